#!/usr/bin/env python3
"""A private PulseAudio server for tests, the demonstration and the benchmark.

The server runs as a direct child of the process that uses this module, in a
temporary directory of its own that is also its XDG_RUNTIME_DIR and HOME, so
nothing it or its clients write (cookies, caches) lands in the real home. It
has one null sink ("fake_out") and one null source ("fake_mic"), listens on a
unix socket in that directory and needs no sound hardware, no D-Bus and no
session. The socket path stays the same across restarts, so a client that
reconnects finds the new server where the old one was.

Used as a module:

    with PulseServer() as server:
        subprocess.run(["pactl", "info"], env=server.env)
        server.kill()      # SIGKILL, reaped at once
        server.start()     # a new server on the same socket
        server.stop()      # SIGSTOP: the socket accepts, nothing answers
        server.resume()    # SIGCONT

Used from a shell script, "pulse_server.py serve" starts a server, prints
its environment as KEY=VALUE lines followed by an empty line, and keeps it
running until its standard input reaches end of file or it gets SIGTERM,
SIGINT or SIGHUP; it then kills and reaps the server and removes the
directory. With bash:

    coproc PULSE { exec python3 pulse_server.py serve; }
    while IFS= read -r line <&"${PULSE[0]}" && [[ -n $line ]]; do export "$line"; done
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SINK = "fake_out"
SOURCE = "fake_mic"
TOOLS = ("pulseaudio", "pactl", "pacat")


def missing_tools():
    """Names of the PulseAudio programs that are not on PATH."""
    return [tool for tool in TOOLS if shutil.which(tool) is None]


class ServerError(Exception):
    pass


# A server must not outlive a test that was killed (by a timeout, say)
# before it could clean up. setpriv comes with util-linux.
_DIE_WITH_PARENT = ["setpriv", "--pdeathsig", "KILL"] if shutil.which("setpriv") else []


class PulseServer:
    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="callwatch-pulse-")
        os.chmod(self.dir, 0o700)
        self.socket = os.path.join(self.dir, "native")
        self.address = "unix:" + self.socket
        self.log_path = os.path.join(self.dir, "server.log")
        self.env = client_env(self.dir, self.address)
        self.proc = None

    def __enter__(self):
        try:
            self.start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def start(self, timeout=10.0):
        """Starts the server and returns once it answers a client."""
        if self.proc is not None:
            raise ServerError("server already running")
        with open(self.log_path, "ab") as log:
            self.proc = subprocess.Popen(
                [
                    *_DIE_WITH_PARENT,
                    "pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                    "--use-pid-file=no", "--disable-shm=yes", "--realtime=no",
                    "--high-priority=no",
                    "-L", f"module-native-protocol-unix socket={self.socket} auth-anonymous=1",
                    "-L", f"module-null-sink sink_name={SINK}",
                    "-L", f"module-null-source source_name={SOURCE}",
                ],
                stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                env=self.env)
        self._wait_answering(timeout)

    def _wait_answering(self, timeout):
        deadline = time.monotonic() + timeout
        while True:
            if self.proc.poll() is not None:
                code = self.proc.returncode
                self.proc = None
                raise ServerError(f"pulseaudio exited with {code}:\n{self.log()}")
            if self.answers(timeout=2.0):
                return
            if time.monotonic() > deadline:
                raise ServerError(f"pulseaudio did not answer within {timeout} s:\n{self.log()}")
            time.sleep(0.05)

    def answers(self, timeout=2.0):
        """True when a client can talk to the server right now."""
        try:
            return subprocess.run(["pactl", "info"], env=self.env, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                  timeout=timeout).returncode == 0
        except subprocess.TimeoutExpired:
            return False

    def pactl(self, *args, timeout=5.0):
        """Runs pactl against this server and returns its standard output."""
        return subprocess.run(["pactl", *args], env=self.env, stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=timeout,
                              check=True).stdout

    def kill(self):
        """Kills the server at once (no goodbye to its clients) and reaps it."""
        if self.proc is None:
            return
        self.proc.send_signal(signal.SIGCONT)
        self.proc.kill()
        self.proc.wait()
        self.proc = None

    def stop(self):
        """Freezes the server: connections stay open but nothing answers."""
        self.proc.send_signal(signal.SIGSTOP)

    def resume(self):
        self.proc.send_signal(signal.SIGCONT)

    def log(self):
        try:
            with open(self.log_path, encoding="utf-8", errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def close(self):
        self.kill()
        shutil.rmtree(self.dir, ignore_errors=True)


def client_env(home, address):
    """The environment for clients of the server at `address`: the caller's,
    without any other PulseAudio setting, with HOME and XDG_RUNTIME_DIR in the
    server's private directory."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("PULSE_")}
    env.update(HOME=home, XDG_RUNTIME_DIR=home, PULSE_SERVER=address)
    return env


def serve():
    def leave(signum, frame):
        raise SystemExit(0)

    for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(signum, leave)
    with PulseServer() as server:
        for key in ("PULSE_SERVER", "XDG_RUNTIME_DIR", "HOME"):
            print(f"{key}={server.env[key]}")
        print(flush=True)
        while sys.stdin.buffer.read(4096):
            pass
    return 0


if __name__ == "__main__":
    if sys.argv[1:] != ["serve"]:
        print("usage: pulse_server.py serve", file=sys.stderr)
        sys.exit(2)
    if missing_tools():
        print("pulse_server.py: not installed: " + " ".join(missing_tools()), file=sys.stderr)
        sys.exit(69)
    sys.exit(serve())
