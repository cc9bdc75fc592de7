#!/usr/bin/env python3
"""Fault tests of tolvan-callwatch: the real program while its audio server
freezes, dies and comes back, while clients come and go in quick succession,
and while its host stops reading.

    callwatch_faults.py WATCHER CORKED_CLIENT CASE

Built on the end-to-end harness (callwatch_e2e.py and its modules): each case
starts its own private server, simulated applications and watcher, and
checks what a host sees, byte for byte, with the exit status. Where a case
needs to see the watcher's ticks while it writes nothing, a tap between the
watcher and the server records when each of the watcher's connections opens
and closes. Exit status 77 means the machine cannot run a PulseAudio server.
"""

import os
import select
import socket
import subprocess
import sys
import threading
import time

import callwatch_e2e
import client_churn as churning
import meeting_clients as apps
from callwatch_e2e import EARLY, LATE, START, UNREADABLE, expect_in_tick, open_descriptors
from pulse_server import client_env
from watcher_process import READY, Failure, check, ended, started

CASES = {}


def case(fn):
    CASES[fn.__name__] = fn
    return fn


class Tap:
    """A unix socket that passes every connection on to the server and
    records, on the monotonic clock, when each one opened and when its client
    closed it. Connect a client to it with `env`."""

    def __init__(self, server):
        self.upstream = server.socket
        self.path = os.path.join(server.dir, "tap")
        self.env = client_env(server.dir, "unix:" + self.path)
        self.connections = []  # [opened, closed or None]
        self.lock = threading.Lock()
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(self.path)
        self.listener.listen(16)
        self.listener.settimeout(0.1)
        self.closing = False
        self.threads = [threading.Thread(target=self._accept, daemon=True)]
        self.threads[0].start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.closing = True
        for thread in list(self.threads):
            thread.join(5)
        self.listener.close()

    def _accept(self):
        while not self.closing:
            try:
                client, _ = self.listener.accept()
            except socket.timeout:
                continue
            record = [time.monotonic(), None]
            with self.lock:
                self.connections.append(record)
            thread = threading.Thread(target=self._pump, args=(client, record), daemon=True)
            self.threads.append(thread)
            thread.start()

    def _pump(self, client, record):
        # A frozen server still takes connections into its backlog, so the
        # connect does not wait for it.
        upstream = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            upstream.settimeout(2.0)
            upstream.connect(self.upstream)
            upstream.settimeout(None)
            while not self.closing:
                readable, _, _ = select.select([client, upstream], [], [], 0.1)
                for sock in readable:
                    data = sock.recv(65536)
                    if not data:
                        return
                    (upstream if sock is client else client).sendall(data)
        except OSError:
            return
        finally:
            record[1] = time.monotonic()
            client.close()
            upstream.close()

    def seen(self, t0):
        """The connections so far as (opened, closed or None), in seconds
        since `t0`."""
        with self.lock:
            return [(opened - t0, None if closed is None else closed - t0)
                    for opened, closed in self.connections]


def show(connections):
    return ", ".join(f"{o:.2f}-{'open' if c is None else f'{c:.2f}'}" for o, c in connections)


@case
def stopped_server_bounds_every_tick(run):
    """A server frozen with SIGSTOP keeps its socket but never answers. The
    watcher keeps one connection while the server answers; once it is
    frozen, each tick's sample gives up within the tick's 300 ms and drops
    its connection, the next tick opens a new one a second later, and the
    fifth failed tick ends the watcher with status 75. Absent samples end no
    meeting."""
    server = run.server()
    clients = run.clients(server)
    clients.application(apps.ZOOM)
    clients.wait_streams(1, 1)
    tap = run.stack.enter_context(Tap(server))
    w = run.watcher(tap.env)
    t_ready = w.expect(READY, START)
    t_started = expect_in_tick(w, started("zoom"), t_ready, 2)
    w.sleep_until(t_started + 0.5)
    before = tap.seen(w.t0)
    check(len(before) == 1 and before[0][1] is None,
          f"connections while the server answered: [{show(before)}], expected one kept open")
    t_stop = w.now()
    server.stop()
    status, t_exit = w.wait_exit(10)
    w.check_output(75, READY + started("zoom"), UNREADABLE)
    check(4.0 <= t_exit - t_stop <= 7.0,
          f"left {t_exit - t_stop:.2f} s after the server froze, expected 4 to 7 s")
    check(t_started + 5 - EARLY <= t_exit <= t_started + 5 + LATE,
          f"left at {t_exit:.2f} s, expected the fifth tick after {t_started:.2f} s")

    connections = tap.seen(w.t0)
    story = f"connections [{show(connections)}], froze at {t_stop:.2f} s, left at {t_exit:.2f} s"
    # Tick +1 gives up on the kept connection; ticks +2 to +5 each open one
    # and give up on it.
    kept, fresh = connections[0], connections[1:]
    check(kept[1] is not None and kept[1] <= t_started + 1 + LATE,
          f"the kept connection was not dropped on the first tick after the freeze; {story}")
    check(len(fresh) == 4, f"{len(fresh)} new connections, expected one on each of ticks 2 to "
                           f"5 after the freeze; {story}")
    for opened, closed in fresh:
        check(closed is not None and closed - opened <= 0.8,
              f"a connection opened at {opened:.2f} s was held past its tick; {story}")
    for (a, _), (b, _) in zip(fresh, fresh[1:]):
        check(0.6 <= b - a <= 1.4, f"ticks {b - a:.2f} s apart, expected about 1 s; {story}")


@case
def stopped_server_resumes(run):
    """A server frozen for three ticks and then resumed: the watcher carries
    on with a new connection, the meeting it saw before is still on (the
    three absent samples neither end it nor count towards its end), and its
    end comes on the eighth tick without its streams."""
    server = run.server()
    clients = run.clients(server)
    clients.application(apps.ZOOM)
    clients.wait_streams(1, 1)
    w = run.watcher(server.env)
    t_ready = w.expect(READY, START)
    t_started = expect_in_tick(w, started("zoom"), t_ready, 2)
    w.sleep_until(t_started + 0.5)
    server.stop()  # ticks +1 to +3 have no sample
    w.sleep_until(t_started + 3.5)
    server.resume()  # tick +4 has one, with the meeting
    w.sleep_until(t_started + 4.5)
    check(w.running(), f"left with status {w.proc.returncode}; {w.story()}")
    clients.close()  # ticks +5 to +12 see no meeting
    clients.wait_streams(0, 0)
    w.expect_quiet_until(t_started + 12 - EARLY)
    expect_in_tick(w, ended("zoom"), t_started, 12)
    w.finish(READY, started("zoom"), ended("zoom"))


@case
def server_restarted_repeatedly(run):
    """The server killed and back again and again, down one to two seconds
    and up three: the watcher never leaves, writes "ready" only once, finds a
    meeting that starts after the restarts, holds it through more restarts
    (each of which also kills the meeting's clients, which come back), ends
    it when its streams stop, and keeps no descriptor from any lost
    connection."""
    server = run.server()
    clients = run.clients(server)
    w = run.ready_watcher(server)
    t_ready = w.lines[0][0]
    w.sleep_until(t_ready + 0.5)
    fds = open_descriptors(w)

    def cycle(down, with_meeting):
        server.kill()
        time.sleep(down)
        server.start()
        if with_meeting:
            clients.application(apps.ZOOM)
            clients.wait_streams(1, 1)
        time.sleep(3.0)
        check(w.running(), f"left with status {w.proc.returncode} after a restart; {w.story()}")

    for down in (1.0, 2.0, 1.5):
        cycle(down, with_meeting=False)
    check(len(w.lines) == 1, f"lines without any meeting; {w.story()}")

    clients.application(apps.ZOOM)
    clients.wait_streams(1, 1)
    t_app = w.now()
    # Seen by the next tick at the latest; started on the third.
    w.expect_between(started("zoom"), t_app + 2 - EARLY, t_app + 3 + LATE)

    for down in (1.2, 1.8, 1.0):
        cycle(down, with_meeting=True)
    check(len(w.lines) == 2, f"the meeting did not hold through the restarts; {w.story()}")

    clients.close()
    clients.wait_streams(0, 0)
    t_close = w.now()
    t_ended = w.expect_between(ended("zoom"), t_close + 8 - 1 - EARLY, t_close + 8 + LATE)
    w.sleep_until(t_ended + 0.5)
    check(open_descriptors(w) == fds,
          f"open descriptors {open_descriptors(w)} after six restarts, {fds} before")
    w.finish(READY, started("zoom"), ended("zoom"))


@case
def client_churn(run):
    """Applications started and stopped every few hundred milliseconds for
    35 seconds, a wave of meetings among them: the watcher's open descriptors and resident memory stay flat
    after a warm-up, what it writes is a well-formed event stream, nothing
    reaches standard error, and it still leaves with status 0 when let go."""
    server = run.server()
    w = run.ready_watcher(server, churning.steady_memory_env(server.env))
    resources = churning.Resources(w.proc.pid).start()
    with churning.Churn(server, seed=7) as churn:
        w.sleep_until(w.now() + 35)
        check(w.running(), f"left with status {w.proc.returncode} during the churn; "
                           f"{w.story()}")
    resources.stop()
    w.let_go()
    lines = [line for _, line in w.lines]
    problems = churning.event_stream_problems(lines)
    problems += resources.problems(warm_up=5, fd_spread=2, rss_growth_kib=256)
    if w.err:
        problems.append(f"standard error {bytes(w.err)!r}")
    check(not problems, "; ".join(problems) + f"; {resources.summary()}; {w.story()}")
    # The churn must have reached the watcher, or the run proves nothing.
    check(churn.started >= 40, f"only {churn.started} applications started")
    for kind in (b'"candidate-started"', b'"candidate-ended"'):
        check(any(kind in line for line in lines),
              f"no {kind.decode()} line in {churn.started} applications; {w.story()}")


@case
def reader_gone(run):
    """The host closes its end of the watcher's standard output after the
    "ready" line. The watcher does not notice until it has a line to write;
    at that line, with SIGPIPE at its default it dies by the signal, and with
    SIGPIPE ignored (inherited from its parent) it leaves with status 1.
    Either way nothing reaches standard error."""
    server = run.server()
    clients = run.clients(server)
    for sigpipe, expected in (("default", -13), ("ignored", 1)):
        read_end, write_end = os.pipe()
        t0 = time.monotonic()
        # Python ignores SIGPIPE; a child inherits that unless it is restored.
        proc = subprocess.Popen([run.watcher_binary, "--watch"], env=server.env,
                                stdin=subprocess.PIPE, stdout=write_end, stderr=subprocess.PIPE,
                                restore_signals=sigpipe == "default")
        run.stack.callback(lambda p=proc: p.poll() is None and (p.kill(), p.wait()))
        os.close(write_end)
        try:
            where = f"SIGPIPE {sigpipe}"
            check(select.select([read_end], [], [], START + 1)[0], f"{where}: no \"ready\"")
            t_ready = time.monotonic() - t0
            got = os.read(read_end, 4096)
            check(got == READY, f"{where}: first output {got!r}")
        finally:
            os.close(read_end)
        time.sleep(3.5)
        check(proc.poll() is None, f"{where}: left with status {proc.returncode} before it "
                                   f"had a line to write")
        clients.application(apps.ZOOM)
        clients.wait_streams(1, 1)
        t_app = time.monotonic() - t0
        try:
            proc.wait(3 + LATE + 2)
        except subprocess.TimeoutExpired:
            raise Failure(f"{where}: still running with nowhere to write its line")
        t_exit = time.monotonic() - t0
        err = proc.stderr.read()
        proc.stdin.close()
        proc.stderr.close()
        check((proc.returncode, err) == (expected, b""),
              f"{where}: (status, stderr) {(proc.returncode, err)}, expected {(expected, b'')}")
        check(t_app + 2 - EARLY <= t_exit <= t_app + 3 + LATE,
              f"{where}: left at {t_exit:.2f} s; the meeting's line was due from "
              f"{t_app + 2:.2f} to {t_app + 3:.2f} s (ready at {t_ready:.2f} s)")
        clients.close()
        clients.wait_streams(0, 0)


if __name__ == "__main__":
    sys.exit(callwatch_e2e.main(sys.argv, CASES))
