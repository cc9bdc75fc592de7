"""Simulated meeting applications: PulseAudio clients that carry the client
properties of Zoom, Teams or anything else.

The server takes a client's properties as the client states them, including
application.process.id, so two streams can pose as one process (same id) or
as two processes of one application (different ids). pacat streams run
(uncorked) from the start; a corked_client stream starts corked and changes
on a signal.
"""

import itertools
import select
import signal
import subprocess
import time

from pulse_server import SINK, SOURCE

ZOOM = {"application.process.binary": "zoom"}
ZOOM_VOICE_ENGINE = {"application.name": "ZOOM VoiceEngine"}
# A PipeWire server sets this one itself for a sandboxed client.
ZOOM_FLATPAK = {"pipewire.access.portal.app_id": "us.zoom.Zoom"}
TEAMS = {"application.process.binary": "teams-for-linux"}
TEAMS_FLATPAK = {"application.flatpak.id": "com.github.IsmaelMartinez.teams_for_linux"}
TEAMS_CLASSIC = {"application.process.binary": "teams"}
OTHER = {"application.process.binary": "firefox-esr"}

# Made-up process ids, far above the kernel's pid_max, so that they never
# collide with the real pid pacat would report by itself.
_process_ids = itertools.count(5_000_000)


def new_process_id():
    return next(_process_ids)


def _device(direction):
    if direction == "record":
        return SOURCE
    if direction == "playback":
        return SINK
    raise ValueError(direction)


def _property_options(props):
    options = []
    for key, value in props.items():
        if key == "application.name":
            # pacat names its client itself unless told a name this way.
            options.append(f"--client-name={value}")
        else:
            options.append(f"--property={key}={value}")
    return options


class CorkedClient:
    """A corked_client process; every change waits for the server's word."""

    def __init__(self, proc):
        self.proc = proc

    def _expect(self, word, timeout=5.0):
        # One word comes per request, so nothing waits in the pipe's buffer
        # when select says there is nothing to read.
        if not select.select([self.proc.stdout], [], [], timeout)[0]:
            raise RuntimeError(f"corked_client did not say {word!r} within {timeout} s")
        line = self.proc.stdout.readline().strip()
        if line != word:
            raise RuntimeError(f"corked_client said {line!r}, expected {word!r}")

    def uncork(self):
        self.proc.send_signal(signal.SIGUSR1)
        self._expect("uncorked")

    def cork(self):
        self.proc.send_signal(signal.SIGUSR2)
        self._expect("corked")


class Clients:
    """The simulated applications of one test, all stopped by close()."""

    def __init__(self, server, corked_client=None):
        self.server = server
        self.corked_client = corked_client
        self.procs = []

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def pacat(self, direction, props, process_id=None):
        """Starts one running stream; `process_id` defaults to a fresh one."""
        props = dict(props)
        props["application.process.id"] = str(process_id or new_process_id())
        return self._spawn(["pacat", f"--{direction}", "--raw", f"--device={_device(direction)}",
                            *_property_options(props),
                            "/dev/null" if direction == "record" else "/dev/zero"])

    def application(self, props, record=True, playback=True):
        """One process of an application with the streams asked for."""
        process_id = new_process_id()
        for direction, wanted in (("record", record), ("playback", playback)):
            if wanted:
                self.pacat(direction, props, process_id)
        return process_id

    def corked(self, direction, props, process_id=None, stream_props=None):
        """Starts one stream that stays corked until uncork(); `stream_props`
        go on the stream only, not on its client."""
        props = dict(props)
        props["application.process.id"] = str(process_id or new_process_id())
        options = [f"--device={_device(direction)}", *_property_options(props)]
        options += [f"--stream-property={k}={v}" for k, v in (stream_props or {}).items()]
        proc = self._spawn([self.corked_client, direction, *options], stdout=subprocess.PIPE)
        client = CorkedClient(proc)
        client._expect("ready")
        return client

    def _spawn(self, argv, stdout=subprocess.DEVNULL):
        proc = subprocess.Popen(argv, env=self.server.env, stdin=subprocess.DEVNULL,
                                stdout=stdout, stderr=subprocess.DEVNULL, text=True)
        self.procs.append(proc)
        return proc

    def streams(self):
        """(playback streams, record streams) the server has now."""
        playback = self.server.pactl("list", "short", "sink-inputs").splitlines()
        record = self.server.pactl("list", "short", "source-outputs").splitlines()
        return len(playback), len(record)

    def wait_streams(self, playback, record, timeout=5.0):
        """Waits until the server has exactly that many streams."""
        deadline = time.monotonic() + timeout
        while (now := self.streams()) != (playback, record):
            if time.monotonic() > deadline:
                raise RuntimeError(f"server has (playback, record) streams {now}, "
                                   f"expected {(playback, record)}")
            time.sleep(0.05)

    def close(self):
        """Stops every client; their streams go away with them."""
        for proc in self.procs:
            if proc.poll() is None:
                proc.terminate()
        for proc in self.procs:
            try:
                proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
            if proc.stdout:
                proc.stdout.close()
        self.procs = []
