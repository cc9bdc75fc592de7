#!/usr/bin/env python3
"""End-to-end tests of tolvan-callwatch against a private PulseAudio server.

    callwatch_e2e.py WATCHER CORKED_CLIENT CASE

Each case starts its own server, its own simulated meeting applications and
the real watcher, and checks what a host would see: the lines on standard
output byte for byte, standard error, the exit status, and in which tick a
line comes. Ticks are one second apart and the first comes at once, so the
"ready" line marks tick 1 and a candidate line marks its own tick; the other
ticks follow at whole seconds from those. Windows around the expected ticks
leave room for a loaded machine but are narrow enough to tell neighbouring
ticks apart. Exit status 77 means the machine cannot run a PulseAudio server.
"""

import contextlib
import os
import subprocess
import sys
import tempfile
import time

import meeting_clients as apps
from pulse_server import PulseServer, client_env, missing_tools
from watcher_process import READY, Failure, Watcher, check, ended, started

USAGE = b"Usage: tolvan-callwatch --watch\n"
UNAVAILABLE = b"Core Audio process activity is unavailable on this Mac.\n"
UNREADABLE = b"Core Audio process activity could not be read.\n"

# How far a line may come from the tick it belongs to: the watcher may run a
# tick up to 100 ms late, a sample may take up to 300 ms, and the test
# machine may be busy.
EARLY = 0.6
LATE = 0.7

# Longest a start-up may take before the first tick has answered.
START = 1.0

CASES = {}


def case(fn):
    CASES[fn.__name__] = fn
    return fn


class Skip(Exception):
    pass


class Run:
    """One case's server, applications and watchers, all stopped at the end."""

    def __init__(self, watcher_binary, corked_client):
        self.watcher_binary = watcher_binary
        self.corked_client = corked_client
        self.stack = contextlib.ExitStack()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stack.close()

    def server(self):
        return self.stack.enter_context(PulseServer())

    def clients(self, server):
        return self.stack.enter_context(apps.Clients(server, self.corked_client))

    def watcher(self, env, args=("--watch",), stdin=subprocess.PIPE):
        return self.stack.enter_context(Watcher(self.watcher_binary, env, args, stdin))

    def ready_watcher(self, server, env=None):
        """A watcher that has written its "ready" line on its first tick."""
        w = self.watcher(env or server.env)
        w.expect(READY, START)
        return w


def expect_in_tick(w, line, t_tick, n):
    """The next line must be `line`, from the n-th tick after a tick seen at
    `t_tick`."""
    return w.expect_between(line, t_tick + n - EARLY, t_tick + n + LATE)


def expect_same_tick(w, line, t_other):
    """`line` must come from the same tick as a line seen at `t_other`."""
    return w.expect_between(line, t_other, t_other + 0.3)


@case
def usage(run):
    """Anything but the single argument "--watch" is a usage error, found
    before the watcher looks for an audio server."""
    env = client_env(tempfile.gettempdir(), "unix:/nonexistent/callwatch-test/native")
    for args in ([], ["--Watch"], ["watch"], ["--watch", "--watch"], ["--watch", "now"],
                 ["now", "--watch"], ["-watch"], ["--watch="], [""], ["--WATCH"]):
        w = run.watcher(env, args)
        w.wait_exit(5)
        try:
            w.check_output(64, b"", USAGE)
        except Failure as failure:
            raise Failure(f"arguments {args}: {failure}") from None


@case
def no_server(run):
    """No audio server to be reached at start: status 69 with its message
    within about a second, and no server is started on the watcher's behalf."""
    home = run.stack.enter_context(tempfile.TemporaryDirectory())
    missing_socket = client_env(home, f"unix:{home}/missing/native")
    default_places = {k: v for k, v in missing_socket.items()
                      if k not in ("PULSE_SERVER", "DISPLAY")}
    frozen = run.server()
    frozen.stop()
    for name, env in (("missing socket", missing_socket),
                      ("nothing at the default places", default_places),
                      ("server that does not answer", frozen.env)):
        w = run.watcher(env)
        status, t_exit = w.wait_exit(START + 1 + LATE + 2)
        try:
            w.check_output(69, b"", UNAVAILABLE)
            check(t_exit <= START + 1 + LATE, f"left after {t_exit:.2f} s")
        except Failure as failure:
            raise Failure(f"{name}: {failure}") from None
    check(not os.path.exists(os.path.join(home, "pulse", "native")),
          "a server was started at the default place")


@case
def never_starts_a_server(run):
    """Where the client configuration asks for a server to be started on
    demand, the watcher still starts none. The library never does that for
    root, so the watcher runs as nobody."""
    if os.geteuid() != 0:
        raise Skip("needs root to run the watcher as another user")
    nobody = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
    if subprocess.run([*nobody, "test", "-x", run.watcher_binary]).returncode != 0:
        raise Skip(f"nobody may not run {run.watcher_binary}")
    top = run.stack.enter_context(tempfile.TemporaryDirectory())
    os.chmod(top, 0o755)
    home, runtime = os.path.join(top, "home"), os.path.join(top, "run")
    marker = os.path.join(runtime, "spawned")
    os.makedirs(os.path.join(home, ".config", "pulse"))
    os.makedirs(runtime)
    daemon = os.path.join(top, "daemon")
    with open(daemon, "w") as f:
        f.write(f"#!/bin/sh\necho \"$@\" >{marker}\nexit 1\n")
    os.chmod(daemon, 0o755)
    with open(os.path.join(home, ".config", "pulse", "client.conf"), "w") as f:
        f.write(f"autospawn = yes\ndaemon-binary = {daemon}\n")
    for path in (home, os.path.join(home, ".config"), os.path.join(home, ".config", "pulse"),
                 runtime):
        os.chown(path, 65534, 65534)
    env = {k: v for k, v in client_env(home, "").items() if k not in ("PULSE_SERVER", "DISPLAY")}
    env["XDG_RUNTIME_DIR"] = runtime
    w = run.stack.enter_context(Watcher(nobody[0], env, (*nobody[1:], run.watcher_binary,
                                                          "--watch")))
    w.wait_exit(START + 1 + LATE + 2)
    w.check_output(69, b"", UNAVAILABLE)
    check(not os.path.exists(marker), "the watcher had a server started")
    # The same setup does start one for an ordinary client: the check above
    # can fail.
    subprocess.run([*nobody, "pactl", "info"], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=10)
    check(os.path.exists(marker), "pactl had no server started: this setup proves nothing")


@case
def stdin(run):
    """The host lets the watcher go by closing its standard input or writing
    to it: status 0 at once, nothing on standard error."""
    server = run.server()

    w = run.ready_watcher(server)
    w.sleep_until(w.now() + 0.3)
    w.let_go(timeout=0.6)
    w.check_output(0, READY, b"")

    w = run.ready_watcher(server)
    w.sleep_until(w.now() + 0.3)
    w.proc.stdin.write(b"x")
    w.proc.stdin.flush()
    status, _ = w.wait_exit(0.6)  # standard input stays open
    w.check_output(0, READY, b"")

    w = run.watcher(server.env, stdin=subprocess.DEVNULL)
    w.wait_exit(START + 0.5)
    check(w.proc.returncode == 0 and bytes(w.out) in (b"", READY) and not w.err,
          f"started at end of input: status {w.proc.returncode}; {w.story()}")


@case
def meeting_start_and_end(run):
    """"ready" on the first tick, "candidate-started" on the third second
    with input and output running, "candidate-ended" on the eighth second
    without; one process runs both streams."""
    server = run.server()
    clients = run.clients(server)
    clients.application(apps.ZOOM)
    clients.application(apps.OTHER)
    clients.wait_streams(2, 2)
    w = run.watcher(server.env)
    t_ready = w.expect(READY, START)
    t_started = expect_in_tick(w, started("zoom"), t_ready, 2)
    w.sleep_until(t_started + 0.5)
    clients.close()
    clients.wait_streams(0, 0)
    w.expect_quiet_until(t_started + 8 - EARLY)
    t_ended = expect_in_tick(w, ended("zoom"), t_started, 8)
    w.expect_quiet_until(t_ended + 1.5)
    w.finish(READY, started("zoom"), ended("zoom"))


@case
def input_and_output_from_two_processes(run):
    """A provider's input and output may run in two different processes; both
    providers starting in one tick are reported zoom first."""
    server = run.server()
    clients = run.clients(server)
    clients.application(apps.ZOOM, playback=False)
    clients.application(apps.ZOOM, record=False)
    clients.application(apps.TEAMS_CLASSIC, playback=False)
    clients.application(apps.TEAMS, record=False)
    clients.wait_streams(2, 2)
    w = run.watcher(server.env)
    t_ready = w.expect(READY, START)
    t_zoom = expect_in_tick(w, started("zoom"), t_ready, 2)
    expect_same_tick(w, started("teams"), t_zoom)
    w.expect_quiet_until(t_zoom + 1.5)
    w.finish(READY, started("zoom"), started("teams"))


@case
def one_direction_is_not_a_meeting(run):
    """Playback alone or recording alone is no meeting, nor are one provider's
    input and another's output; the missing input then starts one."""
    server = run.server()
    clients = run.clients(server)
    clients.application(apps.ZOOM, record=False)
    clients.application(apps.TEAMS, playback=False)
    clients.application(apps.OTHER)
    clients.wait_streams(2, 2)
    w = run.watcher(server.env)
    t_ready = w.expect(READY, START)
    w.expect_quiet_until(t_ready + 4.5)
    clients.application(apps.ZOOM, playback=False)
    clients.wait_streams(2, 3)
    # The new stream is first seen on tick 6 (at t_ready + 5).
    expect_in_tick(w, started("zoom"), t_ready, 7)
    w.expect_quiet_until(t_ready + 8.5)
    w.finish(READY, started("zoom"))


@case
def corked_streams_do_not_count(run):
    """An open but corked stream is not audio in use: the meeting starts three
    ticks after the uncork and ends eight after the cork."""
    server = run.server()
    clients = run.clients(server)
    zoom_id, teams_id = apps.new_process_id(), apps.new_process_id()
    zoom_mic = clients.corked("record", apps.ZOOM, zoom_id)
    clients.pacat("playback", apps.ZOOM, zoom_id)
    clients.pacat("record", apps.TEAMS, teams_id)
    teams_speaker = clients.corked("playback", apps.TEAMS, teams_id)
    clients.wait_streams(2, 2)
    w = run.watcher(server.env)
    t_ready = w.expect(READY, START)
    w.expect_quiet_until(t_ready + 4.5)
    zoom_mic.uncork()
    teams_speaker.uncork()
    t_zoom = expect_in_tick(w, started("zoom"), t_ready, 7)
    expect_same_tick(w, started("teams"), t_zoom)
    w.sleep_until(t_zoom + 0.5)
    zoom_mic.cork()
    teams_speaker.cork()
    w.expect_quiet_until(t_zoom + 8 - EARLY)
    t_zoom = expect_in_tick(w, ended("zoom"), t_zoom, 8)
    expect_same_tick(w, ended("teams"), t_zoom)
    w.expect_quiet_until(t_zoom + 1.5)
    w.finish(READY, started("zoom"), started("teams"), ended("zoom"), ended("teams"))


@case
def identity_comes_from_the_client(run):
    """A stream that claims to be Zoom's while its client is another
    application is not Zoom's."""
    server = run.server()
    clients = run.clients(server)
    process_id = apps.new_process_id()
    claims = dict(apps.ZOOM, **apps.ZOOM_VOICE_ENGINE)
    streams = [clients.corked(direction, apps.OTHER, process_id, stream_props=claims)
               for direction in ("record", "playback")]
    for stream in streams:
        stream.uncork()
    clients.wait_streams(1, 1)
    w = run.watcher(server.env)
    t_ready = w.expect(READY, START)
    w.expect_quiet_until(t_ready + 3.5)
    w.finish(READY)


def check_identities(run, table):
    """Each row: the client properties of one process running both streams,
    and the provider the watcher must report for it (None: no meeting)."""
    for props, provider in table:
        with Run(run.watcher_binary, run.corked_client) as row:
            server = row.server()
            clients = row.clients(server)
            clients.application(props)
            clients.wait_streams(1, 1)
            w = row.watcher(server.env)
            try:
                t_ready = w.expect(READY, START)
                if provider is None:
                    w.expect_quiet_until(t_ready + 3.5)
                    w.finish(READY)
                else:
                    expect_in_tick(w, started(provider), t_ready, 2)
                    w.finish(READY, started(provider))
            except Failure as failure:
                raise Failure(f"client properties {props}: {failure}") from None


@case
def zoom_identities(run):
    check_identities(run, [
        (apps.ZOOM, "zoom"),
        (apps.ZOOM_VOICE_ENGINE, "zoom"),
        (apps.ZOOM_FLATPAK, "zoom"),
        ({"application.process.binary": "zoomed"}, None),
    ])


@case
def teams_identities(run):
    check_identities(run, [
        (apps.TEAMS, "teams"),
        (apps.TEAMS_FLATPAK, "teams"),
        (apps.TEAMS_CLASSIC, "teams"),
        ({"application.process.binary": "teamspeak3"}, None),
    ])


@case
def output_failure(run):
    """An event line that cannot be written ends the watcher with status 1 and
    no message; with SIGPIPE at its default a closed pipe kills it instead."""
    server = run.server()

    def run_into(stdout, restore_signals=True):
        # Standard input stays open: the watcher must leave on its own.
        with subprocess.Popen([run.watcher_binary, "--watch"], env=server.env,
                              stdin=subprocess.PIPE, stdout=stdout, stderr=subprocess.PIPE,
                              restore_signals=restore_signals) as proc:
            if stdout != subprocess.DEVNULL:
                os.close(stdout)
            try:
                proc.wait(START + 2)
            except subprocess.TimeoutExpired:
                proc.kill()
                raise Failure("still running with nowhere to write")
            return proc.returncode, proc.stderr.read()

    full = os.open("/dev/full", os.O_WRONLY)
    got = run_into(full)
    check(got == (1, b""), f"disk full: (status, stderr) {got}, expected (1, b'')")
    for sigpipe, expected in (("ignored", (1, b"")), ("default", (-13, b""))):
        read_end, write_end = os.pipe()
        os.close(read_end)
        # Python ignores SIGPIPE; a child inherits that unless it is restored.
        got = run_into(write_end, restore_signals=sigpipe == "default")
        check(got == expected, f"pipe without reader, SIGPIPE {sigpipe}: (status, stderr) {got}, "
                               f"expected {expected}")


@case
def server_killed(run):
    """The server gone for good: status 75 with its message on the fifth tick
    without a sample. Ticks without a sample end no meeting."""
    server = run.server()
    clients = run.clients(server)
    clients.application(apps.ZOOM)
    clients.wait_streams(1, 1)
    w = run.watcher(server.env)
    t_ready = w.expect(READY, START)
    t_started = expect_in_tick(w, started("zoom"), t_ready, 2)
    w.sleep_until(t_started + 0.5)
    server.kill()
    status, t_exit = w.wait_exit(5 + LATE + 2)
    w.check_output(75, READY + started("zoom"), UNREADABLE)
    check(t_started + 5 - EARLY <= t_exit <= t_started + 5 + LATE,
          f"left at {t_exit:.2f} s, expected the fifth tick after {t_started:.2f} s")


@case
def server_stopped(run):
    """A server that keeps its connection but never answers fails every
    sample: status 75 on the fifth tick, each tick bounded in time."""
    server = run.server()
    w = run.ready_watcher(server)
    t_ready = w.lines[0][0]
    w.sleep_until(t_ready + 0.5)
    server.stop()
    status, t_exit = w.wait_exit(5 + LATE + 2)
    w.check_output(75, READY, UNREADABLE)
    check(t_ready + 5 - EARLY <= t_exit <= t_ready + 5 + LATE,
          f"left at {t_exit:.2f} s, expected the fifth tick after {t_ready:.2f} s")


@case
def server_restarted(run):
    """The server killed and back two seconds later: the watcher reconnects;
    the ticks without a sample neither end the meeting nor count towards its
    end, so the end comes on the eighth tick with a sample again."""
    server = run.server()
    clients = run.clients(server)
    clients.application(apps.ZOOM)
    clients.wait_streams(1, 1)
    w = run.watcher(server.env)
    t_ready = w.expect(READY, START)
    t_started = expect_in_tick(w, started("zoom"), t_ready, 2)
    w.sleep_until(t_started + 0.5)
    server.kill()  # ticks +1 and +2 have no sample
    clients.close()
    w.sleep_until(t_started + 2.4)
    server.start()  # ticks +3 to +10 see no meeting
    t_ended = expect_in_tick(w, ended("zoom"), t_started, 10)
    w.sleep_until(t_ended + 0.5)
    clients.application(apps.ZOOM)
    expect_in_tick(w, started("zoom"), t_ended, 3)
    w.finish(READY, started("zoom"), ended("zoom"), started("zoom"))


@case
def absent_count_restarts(run):
    """Four ticks without a sample, one with, four without: the count of
    missed samples starts again at every sample and the watcher carries on."""
    server = run.server()
    w = run.ready_watcher(server)
    t_ready = w.lines[0][0]
    fds = open_descriptors(w)
    for outage in (0, 5):
        w.sleep_until(t_ready + outage + 0.5)
        server.kill()  # four ticks without a sample
        w.sleep_until(t_ready + outage + 4.2)
        server.start()  # the fifth has one
    w.sleep_until(t_ready + 10.5)
    check(w.running(), f"left with status {w.proc.returncode}; {w.story()}")
    # Every reconnection replaces the connection it lost.
    check(open_descriptors(w) == fds,
          f"open descriptors {open_descriptors(w)} after reconnecting, {fds} before")
    w.finish(READY)


def open_descriptors(w):
    return len(os.listdir(f"/proc/{w.proc.pid}/fd"))


@case
def libpulse_stays_quiet(run):
    """The audio library's own diagnostics never reach the host, even when
    the environment asks for all of them."""
    server = run.server()
    env = dict(server.env, PULSE_LOG="4", PULSE_LOG_META="1")
    w = run.ready_watcher(server, env)
    t_ready = w.lines[0][0]
    w.sleep_until(t_ready + 0.5)
    server.kill()
    w.wait_exit(5 + LATE + 2)
    w.check_output(75, READY, UNREADABLE)


@case
def writes_no_files(run):
    """A user without an audio cookie on disk: the watcher connects, and its
    home and configuration folders stay empty (the audio library would
    otherwise create a cookie file there)."""
    server = run.server()
    with tempfile.TemporaryDirectory() as home:
        env = client_env(home, server.env["PULSE_SERVER"])
        env.pop("XDG_CONFIG_HOME", None)
        w = run.ready_watcher(server, env)
        w.sleep_until(w.lines[0][0] + 1.5)
        w.finish(READY)
        left = [os.path.join(d, n) for d, dirs, files in os.walk(home) for n in dirs + files]
        check(not left, f"the watcher left files in its home: {left}")


@case
def host_example(run):
    """The host example in examples/ runs the watcher, prints its events in
    words as they come, and lets it go when its own input ends."""
    host = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples",
                        "callwatch_host.py")
    server = run.server()
    clients = run.clients(server)
    clients.application(apps.ZOOM)
    clients.wait_streams(1, 1)
    proc = subprocess.Popen([sys.executable, host, run.watcher_binary], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=server.env)
    try:
        lines = [proc.stdout.readline().decode() for _ in range(2)]
        proc.stdin.close()
        rest = proc.stdout.read().decode()
        status = proc.wait(10)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    check(lines[0].endswith('{"version":1,"type":"ready"}  (ready: the watcher is sampling)\n'),
          f"first line {lines[0]!r}")
    check(lines[1].endswith('{"version":1,"type":"candidate-started","provider":"zoom"}'
                            '  (candidate-started: zoom)\n'), f"second line {lines[1]!r}")
    check("watcher left with status 0 (let go by its host)" in rest, f"end {rest!r}")
    check(status == 0 and proc.stderr.read() == b"", f"host status {status}")


def main(argv, cases=CASES):
    """Runs one case by name; shared by every script of cases in this folder."""
    if len(argv) != 4 or argv[3] not in cases:
        print(f"usage: {argv[0]} WATCHER CORKED_CLIENT CASE\ncases: {' '.join(cases)}",
              file=sys.stderr)
        return 2
    missing = missing_tools()
    if missing:
        print(f"SKIP: needs PulseAudio; not installed: {' '.join(missing)}")
        return 77
    watcher_binary, corked_client, name = argv[1:]
    began = time.monotonic()
    try:
        with Run(watcher_binary, corked_client) as run:
            cases[name](run)
    except Skip as reason:
        print(f"SKIP {name}: {reason}")
        return 77
    except Failure as failure:
        print(f"FAIL {name}: {failure}")
        return 1
    print(f"ok {name} ({time.monotonic() - began:.1f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
