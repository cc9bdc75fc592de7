#!/usr/bin/env python3
# End-to-end cases of tolvan-callwatch against a real audio server:
#     e2e.py WATCHER pulseaudio|pipewire [sandboxed]
# One table of cases, whichever server is named. Each case starts its own
# private server and simulated applications (audio_server.py) and the real
# watcher, and checks what a host sees: every byte of the output and the
# tick each line falls in, standard error, the exit status, descriptors,
# that the watcher's own home, runtime and temporary directory stay empty, and
# that nothing the watcher started outlives it.
# Ticks come one a second, the first once the watcher has started; "ready"
# marks tick 1. As many cases run side by side as the machine has cores (the
# cases mostly wait, but each brings its own server and applications, and a
# sanitizer build starts slowly), the longest first; CTest runs one such
# table at a time. With "sandboxed" only the cases that need PID namespaces
# run, without it all others. Exit status 77 ("skipped") when the server is
# not installed or no namespace can be made.

import concurrent.futures
import contextlib
import os
import queue
import signal
import subprocess
import sys
import tempfile
import threading
import time
import traceback

from audio_server import SANDBOX, SERVERS

READY = b'{"version":1,"type":"ready"}\n'
USAGE = b"Usage: tolvan-callwatch --watch\n"
UNAVAILABLE = b"Core Audio process activity is unavailable on this Mac.\n"
UNREADABLE = b"Core Audio process activity could not be read.\n"
ZOOM = {"application.process.binary": "zoom"}
# How far a line or an exit may stray from the tick it belongs to. Ticks are
# anchored on the "ready" line, which comes one first sample after tick 1
# began, so a later tick's line comes early by up to that sample's time and
# late by up to its own sample (the watcher gives a sample 300 ms) plus the
# wait for a core. Neighbouring ticks stay apart: a line of tick n-1 or n+1
# comes about a second from tick n, outside [n - EARLY, n + LATE].
EARLY, LATE = 0.5, 0.7
READ_END, UNREAD = os.pipe()  # UNREAD: a pipe whose reading end is gone
os.close(READ_END)
# A client configuration that has libpulse start a server where it finds none
# (for any user but root): upstream's default, and the line Debian writes for
# its clients where systemd does not start the server.
AUTOSPAWN = tempfile.NamedTemporaryFile("w", prefix="callwatch-", suffix=".conf")
AUTOSPAWN.write("autospawn = yes\n"), AUTOSPAWN.flush(), os.chmod(AUTOSPAWN.name, 0o644)
# A prefix that runs its command, in the same process, as on a kernel without
# Landlock (before 5.13, left out of its lsm= list, or behind a container's
# seccomp profile that predates it). Its seccomp filter loads the call's
# number; if it is 444, landlock_create_ruleset on every architecture, it
# answers ENOSYS, as such a kernel does; any other call is allowed.
WITHOUT_LANDLOCK = [sys.executable, "-c", """if True:
    import ctypes, os, struct, sys
    ops = [(0x20, 0, 0, 0), (0x15, 0, 1, 444), (6, 0, 0, 0x50000 | 38), (6, 0, 0, 0x7FFF0000)]
    code = ctypes.create_string_buffer(b"".join(struct.pack("HBBI", *op) for op in ops))
    program, libc = struct.pack("HP", len(ops), ctypes.addressof(code)), ctypes.CDLL(None)
    if libc.prctl(38, 1, 0, 0, 0) or libc.prctl(22, 2, program, 0, 0):  # no new privileges; filter
        sys.exit("could not install the seccomp filter")
    os.execvp(sys.argv[1], sys.argv[1:])"""]


# The two event lines, for a provider.
started, ended = (lambda p, kind=kind: b'{"version":1,"type":"candidate-%s","provider":"%s"}\n'
                  % (kind, p.encode()) for kind in (b"started", b"ended"))


# The watcher, its standard streams piped unless `popen` says otherwise; it is
# killed when the `with` block ends.
class Watcher(subprocess.Popen):
    def __init__(self, argv, env, popen):
        self.t0, self.seen, self.lines = time.monotonic(), [], queue.Queue()
        pipes = dict.fromkeys(("stdin", "stdout", "stderr"), subprocess.PIPE)
        super().__init__(argv, env=env, **{**pipes, **popen})
        self.reader = threading.Thread(target=self.stamp, daemon=True)
        self.reader.start()

    def __exit__(self, *exc):
        self.kill()
        return super().__exit__(*exc)

    def now(self):
        return time.monotonic() - self.t0

    # Takes each line of standard output as it arrives, with its time.
    def stamp(self):
        for line in self.stdout or ():
            self.seen.append((self.now(), line))
            self.lines.put(self.seen[-1])

    # The next line not yet taken, as (time, bytes), if it comes before `t`
    # (seconds since start); else None.
    def next_line(self, t):
        with contextlib.suppress(queue.Empty):
            return self.lines.get(timeout=max(0, t - self.now()))

    def story(self):
        return f"lines {[(round(t, 2), line) for t, line in self.seen]}"

    def expect(self, line, earliest, latest):
        got = self.next_line(latest)
        assert got and got[1] == line and earliest <= got[0] <= latest, \
            f"expected {line!r} from {earliest:.2f} to {latest:.2f} s; {self.story()}"
        return got[0]

    # Waits for the exit, which must come from `earliest` to `latest`, and
    # for the end of its output. A watcher still running a second after
    # `latest` fails as one that left late.
    def expect_exit(self, earliest, latest):
        with contextlib.suppress(subprocess.TimeoutExpired):
            self.wait(max(0, latest + 1 - self.now()))
        t_exit = self.now()
        self.reader.join(1)
        assert earliest <= t_exit <= latest, f"status {self.returncode} (None: running) at " \
            f"{t_exit:.2f} s, not from {earliest:.2f} to {latest:.2f} s; {self.story()}"


# Once the block is over, ends every process whose environment names the
# folder `own`, which only what the watcher started has; `left` lists them.
@contextlib.contextmanager
def ended_after(own, left):
    try:
        yield
    finally:
        for pid in filter(str.isdigit, os.listdir("/proc")):
            with contextlib.suppress(OSError), open(f"/proc/{pid}/environ", "rb") as f:
                if own.encode() in f.read():
                    os.kill(int(pid), signal.SIGKILL), left.append(int(pid))


class Case:
    # `setup` prepares the server before the watcher starts. `timeline` holds
    # (tick, line that must come in that tick, or action on the server),
    # where 3.5 is half a second after tick 3. `end` is (tick, status,
    # message): with status 0 nothing more may come until that tick, and then
    # the host lets go (`let_go`, by default closing standard input) and the
    # watcher must leave within half a second; with any other status it must
    # leave by itself on that tick. Without `ready` no "ready" line comes and
    # the start counts as tick 1. `env` adds to the watcher's environment;
    # None removes a variable. The watcher runs under `prefix`, as `user` (the
    # owner of its folder) if given, and leaves exactly `leaves` in its folder.
    # `popen` goes to subprocess.Popen.
    def __init__(self, name, setup=lambda s: None, timeline=(), end=(4.7, 0, b""), env={},
                 args=("--watch",), ready=True, let_go=lambda w: w.stdin.close(),
                 servers=tuple(SERVERS), sandboxed=False, prefix=(), user=None, leaves=(),
                 **popen):
        self.name, self.setup, self.timeline, self.end, self.env = name, setup, timeline, end, env
        self.args, self.ready, self.let_go, self.popen = args, ready, let_go, popen
        self.servers, self.sandboxed, self.leaves = servers, sandboxed, list(leaves)
        self.user, self.prefix = user, [*prefix, *([] if user is None else [
            "setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups"])]

    # Runs the case on a new server; returns whether it passed, and a report.
    def __call__(self, server_name, binary, startup):
        began, left = time.monotonic(), []
        if self.user is not None and os.geteuid() != 0:
            return True, f"skipped {self.name}: running as another user needs root"
        try:
            with SERVERS[server_name]() as server, tempfile.TemporaryDirectory() as own, \
                    ended_after(own, left):
                if self.user is not None:
                    os.chown(own, self.user, self.user)
                self.setup(server)
                server.settle()
                env = {**server.env, **dict.fromkeys(("HOME", "XDG_RUNTIME_DIR", "XDG_CONFIG_HOME",
                                                      "XDG_STATE_HOME", "TMPDIR"), own), **self.env}
                with Watcher([*self.prefix, binary, *self.args],
                             {k: v for k, v in env.items() if v is not None}, self.popen) as w:
                    self.follow(w, server, startup)
                assert sorted(os.listdir(own)) == self.leaves, f"files left: {os.listdir(own)}"
            assert not left, f"processes left running: {left}"
            return True, f"ok      {self.name} ({time.monotonic() - began:.1f} s)"
        except Exception as error:
            message = str(error) if isinstance(error, AssertionError) else traceback.format_exc()
            return False, f"FAILED  {self.name}: {message}"

    def follow(self, w, server, startup):
        t = startup - 1  # tick n comes at t + n: tick 1 once the program has started
        if self.ready:
            t = w.expect(READY, 0, t + 1 + LATE) - 1
        descriptors = len(os.listdir(f"/proc/{w.pid}/fd"))
        for n, item in self.timeline:
            if isinstance(item, bytes):
                w.expect(item, t + n - EARLY, t + n + LATE)
            else:
                time.sleep(max(0, t + n - w.now()))
                item(server)
        n, status, message = self.end
        if status == 0 and self.ready:
            assert w.next_line(t + n) is None, f"more than expected; {w.story()}"
            assert len(os.listdir(f"/proc/{w.pid}/fd")) == descriptors, "descriptors left"
            self.let_go(w)
            w.expect_exit(w.now(), w.now() + 0.5)
        else:
            w.expect_exit(t + n - EARLY, t + n + LATE)
        # Every expected line has been taken: any left came unasked.
        got = (w.returncode, w.stderr.read(), list(w.lines.queue))
        assert got == (status, message, []), f"got {got}, expected {(status, message, [])}"


# An application that records and plays, with these client properties.
def app(props):
    return lambda server: server.application(props)


# Each argument: the pacat streams of one sandbox, as (direction, binary).
def sandboxes(*contents):
    return lambda s: [s.run(*(s.pacat(d, {}, s.copy("pacat", b)) for d, b in sandbox),
                            sandbox=True) for sandbox in contents]


CASES = [
    # The server gone for three ticks, back for one, gone for three again:
    # the watcher reconnects each time, the count of missed samples restarts
    # at every sample, and ticks without one neither end the meeting nor
    # count towards its end, which comes on the eighth tick without it.
    Case("server_restarted", app(ZOOM), [(3, started("zoom")), (3.5, lambda s: s.kill()),
                                          (6.3, lambda s: s.start()), (7.5, lambda s: s.kill()),
                                          (10.3, lambda s: s.start()), (18, ended("zoom"))],
         (18.5, 0, b"")),
    # The fifth tick without a sample ends the watcher; the audio library's
    # diagnostics, all asked for, never reach the host.
    Case("server_killed", app(ZOOM), [(3, started("zoom")), (3.5, lambda s: s.kill())],
         (8, 75, UNREADABLE), {"PULSE_LOG": "4", "PULSE_LOG_META": "1"}),
    # A frozen server keeps the connection and never answers: every tick
    # still gives up in time.
    Case("server_stopped", timeline=[(1.5, lambda s: s.stop())], end=(6, 75, UNREADABLE)),
    # Each client property a meeting application is recognised by, alone
    # (the client table owns the values).
    *(Case(f"{provider}_by {key}={value}", app({key: value}), [(3, started(provider))])
      for key, value, provider in [
          ("application.process.binary", "zoom", "zoom"),
          ("application.name", "ZOOM VoiceEngine", "zoom"),
          ("pipewire.access.portal.app_id", "us.zoom.Zoom", "zoom"),
          ("application.flatpak.id", "com.github.IsmaelMartinez.teams_for_linux", "teams")]),
    # Native PipeWire clients; one whose stream is linked to no device is
    # reported corked, which is no audio in use.
    Case("native_pipewire_zoom", lambda s: [s.pw_cat(d) for d in ("record", "playback")],
         [(3, started("zoom"))], servers=("pipewire",)),
    Case("corked_stream", lambda s: [s.pw_cat("record"), s.pw_cat("playback", linked=False)],
         servers=("pipewire",)),
    # Two sandboxes whose processes are both process 1: a Zoom that only
    # records and an unrelated player are no meeting; one Zoom sandbox that
    # records and plays is one.
    Case("sandboxes_kept_apart", sandboxes([("record", "zoom")], [("playback", "pacat")]),
         sandboxed=True),
    Case("sandboxed_zoom", sandboxes([("record", "zoom"), ("playback", "zoom")]),
         [(3, started("zoom"))], sandboxed=True),
    # No server at the address, none named (the audio library then looks in
    # the runtime directory, or without one in the home), or a frozen one: 69
    # after at most a second, and nothing created where the library looked.
    *(Case(f"no_server {env}", env=env, ready=False, end=(1, 69, UNAVAILABLE))
      for env in ({"PULSE_SERVER": "unix:/nonexistent"}, {"PULSE_SERVER": None},
                  {"PULSE_SERVER": None, "XDG_RUNTIME_DIR": None})),
    # As an ordinary user (nobody), where libpulse would start a server and no
    # Landlock would keep one from running: still 69, and no server started.
    # Without Landlock libpulse makes its runtime directory (`pulse`).
    Case("no_server as nobody, autospawn on, without Landlock", env={"PULSE_SERVER": None,
         "PULSE_CLIENTCONFIG": AUTOSPAWN.name}, ready=False, end=(1, 69, UNAVAILABLE),
         servers=("pulseaudio",), prefix=WITHOUT_LANDLOCK, user=65534, leaves=["pulse"]),
    Case("server_frozen_at_start", lambda s: s.stop(), ready=False, end=(2, 69, UNAVAILABLE)),
    # Any other command line: 64 before any server is sought (this one is
    # frozen, which would take a second and give 69). A repeated "--watch"
    # stands for every extra argument; the empty one for a comparison that
    # stops at the end of what was given.
    *(Case(f"usage {args}", lambda s: s.stop(), args=args, ready=False, end=(1, 64, USAGE))
      for args in ([], ["--Watch"], ["watch"], ["-watch"], ["--watch="], ["--watch"] * 2, [""])),
    # A byte on standard input lets the watcher go as closing it does; at end
    # of file from the start (/dev/null) it leaves at once, writing nothing.
    Case("byte_lets_go", end=(1.3, 0, b""), let_go=lambda w: os.write(w.stdin.fileno(), b"x")),
    Case("end_of_input_at_start", ready=False, end=(1, 0, b""), stdin=subprocess.DEVNULL),
    # A line that cannot be written ends the watcher with 1 and no message,
    # whatever the error (a pipe without reader, when its host ignores
    # SIGPIPE, gives EPIPE the same way); a pipe without reader kills it by
    # SIGPIPE, which the watcher itself must not ignore.
    Case("disk_full", ready=False, end=(1, 1, b""), stdout=open("/dev/full", "wb")),
    Case("no_reader", ready=False, end=(1, -13, b""), stdout=UNREAD),
]


# How long the watcher takes to start and leave in this build on this
# machine, now: the slowest of three usage errors, which end it just after
# start. A sanitizer build takes tens of milliseconds, a plain one a few.
def startup_time(binary):
    def once(began):
        subprocess.run([binary], stdin=subprocess.DEVNULL, capture_output=True)
        return time.monotonic() - began
    return max(once(time.monotonic()) for _ in range(3))


def main(argv):
    if len(argv) not in (3, 4) or argv[2] not in SERVERS or argv[3:] not in ([], ["sandboxed"]):
        sys.exit("usage: e2e.py WATCHER pulseaudio|pipewire [sandboxed]")
    binary, server, sandboxed = argv[1], argv[2], argv[3:] == ["sandboxed"]
    if missing := SERVERS[server].missing():
        print(f"skipped: {server} is not installed (no {', '.join(missing)})")
        return 77
    if sandboxed and subprocess.run([*SANDBOX, "true"], capture_output=True).returncode != 0:
        print("skipped: this machine cannot make PID namespaces (unshare --user --pid)")
        return 77
    cases = [c for c in CASES if server in c.servers and c.sandboxed == sandboxed]
    cases.sort(key=lambda c: -c.end[0])
    startup = startup_time(binary)
    print(f"the watcher starts in {startup * 1000:.0f} ms here")
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
        results = list(pool.map(lambda c: c(server, binary, startup), cases))
    print("\n".join(report for _, report in results))
    return 0 if all(ok for ok, _ in results) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
