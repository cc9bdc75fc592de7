#!/usr/bin/env bash
# callwatch_cpu.sh WATCHER [SECONDS]
#
# What watching costs: runs `WATCHER --watch` for SECONDS (default 60)
# against a private PulseAudio server that has a handful of unrelated
# clients playing and recording, and beside it, for the same time, the naive
# alternative: a shell loop that runs `pactl list` once a second. Prints
# each one's user and system CPU time (the loop's includes every pactl it
# ran) and peak resident memory (the loop's is the largest of the shell and
# its children), as the kernel accounts them when the process is reaped;
# each runs under GNU time (/usr/bin/time, Debian package "time"), which
# reports the peak memory. The two run at the same time.
# The watcher must have written its "ready" line and leave with status 0
# when its standard input is closed, or the numbers mean nothing and the
# script fails. Exit status 77: PulseAudio or GNU time is not installed.
set -euo pipefail

usage() {
  echo "usage: callwatch_cpu.sh WATCHER [SECONDS]" >&2
  exit 2
}
(($# >= 1 && $# <= 2)) || usage
watcher=$(realpath "$1")
seconds=${2:-60}
[[ $seconds =~ ^[1-9][0-9]*$ ]] || usage
tests=$(cd "$(dirname "$0")/../callwatch/tests" && pwd)

exec python3 -B - "$watcher" "$seconds" "$tests" <<'PY'
import os
import subprocess
import sys
import threading
import time

watcher, seconds, tests = sys.argv[1], int(sys.argv[2]), sys.argv[3]
sys.path.insert(0, tests)
import meeting_clients as apps  # noqa: E402
from pulse_server import PulseServer, missing_tools  # noqa: E402

UNRELATED = [
    ({"application.process.binary": "firefox-esr"}, False, True),
    ({"application.process.binary": "spotify"}, False, True),
    ({"application.process.binary": "obs"}, True, False),
    ({"application.process.binary": "Discord"}, True, True),
    ({"application.process.binary": "mumble"}, True, True),
]


class Measured:
    """A command run under GNU time. CPU time comes from the kernel's account
    when the wrapper is reaped, to the microsecond: the command's, every
    child's it waited for, and the wrapper's own, well under a millisecond.
    Peak resident memory is the largest of the command and its children as
    GNU time reports it; this Python process cannot read it itself, since a
    child starts with its parent's resident pages and the kernel's peak keeps
    them across exec."""

    def __init__(self, label, argv, env, report):
        self.label = label
        self.report = report
        self.proc = subprocess.Popen(
            ["/usr/bin/time", "-f", "%M", "-o", report, *argv], env=env,
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.out = self.err = b""
        self.readers = [threading.Thread(target=self._read_out, daemon=True),
                        threading.Thread(target=self._read_err, daemon=True)]
        for reader in self.readers:
            reader.start()

    def _read_out(self):
        self.out = self.proc.stdout.read()

    def _read_err(self):
        self.err = self.proc.stderr.read()

    def reap(self, timeout):
        deadline = time.monotonic() + timeout
        while not (reaped := os.wait4(self.proc.pid, os.WNOHANG))[0]:
            if time.monotonic() > deadline:
                self.proc.kill()
                reaped = os.wait4(self.proc.pid, 0)
                break
            time.sleep(0.02)
        _, status, usage = reaped
        self.proc.returncode = os.waitstatus_to_exitcode(status)
        for reader in self.readers:
            reader.join(5)
        self.user, self.system = usage.ru_utime, usage.ru_stime
        with open(self.report) as f:
            self.rss = int(f.read().split()[-1])
        return self.proc.returncode


def row(m, seconds):
    total = m.user + m.system
    return (f"{m.label:<32} {m.user:>8.3f} {m.system:>9.3f} {total:>8.3f} "
            f"{100 * total / seconds:>7.3f} {m.rss:>13}")


def main():
    missing = missing_tools() + [t for t in ["/usr/bin/time"] if not os.access(t, os.X_OK)]
    if missing:
        print("SKIP: not installed: " + " ".join(missing))
        return 77
    with PulseServer() as server, apps.Clients(server) as clients:
        for props, record, playback in UNRELATED:
            clients.application(props, record=record, playback=playback)
        clients.wait_streams(4, 3)

        began = time.monotonic()
        watch = Measured("tolvan-callwatch --watch", [watcher, "--watch"], server.env,
                         os.path.join(server.dir, "watch.time"))
        loop = Measured("sh loop: pactl list; sleep 1",
                        ["sh", "-c", 'i=0; while [ "$i" -lt "$1" ]; do '
                                     'pactl list >/dev/null; sleep 1; i=$((i + 1)); done',
                         "loop", str(seconds)], server.env,
                        os.path.join(server.dir, "loop.time"))
        time.sleep(max(0.0, began + seconds - time.monotonic()))
        watch.proc.stdin.close()
        watch_status = watch.reap(5)
        loop_status = loop.reap(10)
        elapsed = time.monotonic() - began

    print(f"CPU and memory over {seconds} s ({elapsed:.1f} s measured), private PulseAudio "
          f"server, {len(UNRELATED)} unrelated clients")
    print(f"{'':<32} {'user s':>8} {'system s':>9} {'total s':>8} {'CPU %':>7} "
          f"{'peak RSS KiB':>13}")
    print(row(watch, seconds))
    print(row(loop, seconds))

    ready = b'{"version":1,"type":"ready"}\n'
    if watch_status != 0 or watch.out != ready or watch.err:
        print(f"watcher did not run as it should: status {watch_status}, "
              f"stdout {watch.out!r}, stderr {watch.err!r}", file=sys.stderr)
        return 1
    if loop_status != 0:
        print(f"pactl loop failed with status {loop_status}: {loop.err!r}", file=sys.stderr)
        return 1
    return 0


sys.exit(main())
PY
