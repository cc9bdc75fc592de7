# Private audio servers and simulated applications, for the watcher's
# end-to-end cases and benchmark.
#
# PulseAudio, or PipeWire with WirePlumber and pipewire-pulse: either serves
# the PulseAudio protocol on a unix socket in a private directory (mode 700,
# as mkdtemp makes it) that is also HOME and XDG_RUNTIME_DIR of everything
# started here, with a null sink "fake_out" and a null source "fake_mic"; no
# sound hardware, D-Bus or session is needed. Every process started here is a
# direct child that dies with its parent and is killed when the `with` block
# ends. kill() and start() replace the protocol server on the same socket;
# stop() freezes it.
# The applications state whatever client properties they are given (the
# server takes them as claimed), or run in a PID namespace of their own, as a
# Flatpak does, where they are process 1.

import os
import shlex
import shutil
import signal
import subprocess
import tempfile
import time
import wave

# unshare ignores SIGTERM; SIGKILL ends it and, through --kill-child, its
# namespace.
SANDBOX = ["unshare", "--user", "--map-root-user", "--pid", "--fork", "--kill-child",
           "--mount-proc"]
DEVICE = {"record": "fake_mic", "playback": "fake_out"}
FILE = {"record": "/dev/null", "playback": "/dev/zero"}


# Kills a process, stopped or not, and reaps it.
def end(proc):
    proc.send_signal(signal.SIGCONT)
    proc.kill()
    proc.wait()


class Server:
    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix=f"callwatch-{self.name}-")
        # The desktop's own audio server, found through its runtime
        # directory, session bus or X display, must never answer here.
        self.env = {k: v for k, v in os.environ.items()
                    if not k.startswith(("PULSE_", "PIPEWIRE_", "DBUS_", "XDG_", "DISPLAY"))}
        self.env.update(HOME=self.dir, XDG_RUNTIME_DIR=self.dir, XDG_CONFIG_HOME=self.dir,
                        XDG_STATE_HOME=self.dir, PULSE_SERVER=f"unix:{self.dir}/{self.socket}")
        self.servers, self.apps, self.streams = {}, [], [0, 0]  # playback, recording

    @classmethod
    def missing(cls):
        return [tool for tool in cls.tools if shutil.which(tool) is None]

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        for proc in [*self.servers.values(), *self.apps]:
            end(proc)
        shutil.rmtree(self.dir, ignore_errors=True)

    def spawn(self, argv, log=os.devnull):
        with open(log, "ab") as out:
            return subprocess.Popen(["setpriv", "--pdeathsig", "KILL", *argv], env=self.env,
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=out)

    def wait_until(self, ready, what):
        deadline = time.monotonic() + 10
        while not ready():
            if time.monotonic() > deadline or any(p.poll() for p in self.servers.values()):
                raise RuntimeError(f"{self.name} gave no {what}; see its logs in {self.dir}")
            # Each look starts pactl: gently, or several cases at once make
            # the very load their timing checks must not see.
            time.sleep(0.05)

    # Never asked of a frozen server, which would not answer.
    def pactl(self, *args):
        return subprocess.run(["pactl", *args], env=self.env, capture_output=True, text=True,
                              timeout=5).stdout

    def start(self):
        for name, argv in self.commands():
            if name not in self.servers:
                self.servers[name] = self.spawn(argv, f"{self.dir}/{name}.log")
                # PipeWire's session manager leaves at once without its socket.
                if name == "pipewire":
                    self.wait_until(lambda: os.path.exists(self.dir + "/pipewire-0"), "socket")
        self.wait_until(lambda: "Default Source: fake_mic" in self.pactl("info"), "answer")

    def kill(self):
        end(self.servers.pop(self.protocol))

    def stop(self):
        self.servers[self.protocol].send_signal(signal.SIGSTOP)

    # The command line of one pacat stream; run() starts it.
    def pacat(self, direction, props, program="pacat"):
        self.streams[direction == "record"] += 1
        return [program, f"--{direction}", "--raw", f"--device={DEVICE[direction]}",
                *(f"--client-name={v}" if k == "application.name" else f"--property={k}={v}"
                  for k, v in props.items()), FILE[direction]]

    # Starts the commands; with `sandbox`, in one new PID namespace.
    def run(self, *commands, sandbox=False):
        if sandbox and len(commands) > 1:
            commands = [["sh", "-c", " & ".join(map(shlex.join, commands)) + " & wait"]]
        self.apps += [self.spawn(SANDBOX + command if sandbox else command) for command in commands]

    def application(self, props, record=True, playback=True):
        self.run(*(self.pacat(d, props) for d, on in (("record", record), ("playback", playback))
                   if on))

    # A copy of `program` under `name`, which its clients report as their binary.
    # A running copy cannot be written over, so each is made once.
    def copy(self, program, name):
        path = f"{self.dir}/{name}"
        return path if os.path.exists(path) else shutil.copy(shutil.which(program), path)

    # A native PipeWire client named zoom; it plays a minute of silence.
    # Unlinked, its stream is connected to no device, which the pulse server
    # reports as corked.
    def pw_cat(self, direction, linked=True):
        self.streams[direction == "record"] += 1
        with wave.open(f"{self.dir}/silence.wav", "wb") as w:
            w.setparams((1, 1, 8000, 0, "NONE", None)), w.writeframes(b"\x80" * 8000 * 60)
        self.run([self.copy("pw-cat", "zoom"), f"--{direction}", "--target",
                  DEVICE[direction] if linked else "0",
                  FILE[direction] if direction == "record" else f"{self.dir}/silence.wav"])

    # Waits until the server has exactly the streams started here.
    # Without streams, a frozen server need not (and could not) be asked.
    def settle(self):
        counts = lambda: [len(self.pactl("list", "short", kind).splitlines())  # noqa: E731
                          for kind in ("sink-inputs", "source-outputs")]
        if any(self.streams):
            self.wait_until(lambda: counts() == self.streams, f"{self.streams} streams")


class PulseAudio(Server):
    name, protocol, socket = "pulseaudio", "pulseaudio", "native"
    tools = ("pulseaudio", "pactl", "pacat")

    def commands(self):
        yield "pulseaudio", [
            "pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
            "--disable-shm=yes", "--realtime=no", "--high-priority=no",
            "-L", f"module-native-protocol-unix socket={self.dir}/native auth-anonymous=1",
            "-L", "module-null-sink sink_name=fake_out",
            "-L", "module-null-source source_name=fake_mic"]


NULL_DEVICE = ("{{ factory = adapter args = {{ factory.name = support.null-audio-sink "
               "node.name = {} media.class = {} audio.position = [ FL FR ] }} }}")
NO_DBUS = "context.properties = { support.dbus = false }\n"
# WirePlumber links streams to devices; its stock setup needs D-Bus. Its
# Bluetooth file must sort before 90-enable-all.lua.
PIPEWIRE_CONFIG = {
    "pipewire/pipewire.conf.d/test.conf": NO_DBUS + "context.objects = [ " + NULL_DEVICE.format(
        "fake_out", "Audio/Sink") + NULL_DEVICE.format("fake_mic", "Audio/Source/Virtual") + " ]",
    "pipewire/pipewire-pulse.conf.d/test.conf": NO_DBUS,
    "wireplumber/main.lua.d/51-headless.lua": "alsa_monitor.enabled = false "
    "v4l2_monitor.enabled = false libcamera_monitor.enabled = false "
    'default_access.properties["enable-flatpak-portal"] = false',
    "wireplumber/bluetooth.lua.d/51-headless.lua": "bluez_monitor.enabled = false",
}


class PipeWire(Server):
    name, protocol, socket = "pipewire", "pipewire-pulse", "pulse/native"
    tools = ("pipewire", "wireplumber", "pipewire-pulse", "pactl", "pacat", "pw-cat")

    def commands(self):
        for path, text in PIPEWIRE_CONFIG.items():
            os.makedirs(os.path.dirname(f"{self.dir}/{path}"), exist_ok=True)
            with open(f"{self.dir}/{path}", "w") as f:
                f.write(text + "\n")
        return [(name, [name]) for name in ("pipewire", "wireplumber", "pipewire-pulse")]


SERVERS = {"pulseaudio": PulseAudio, "pipewire": PipeWire}
