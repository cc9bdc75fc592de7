#!/usr/bin/env python3
"""Soak of tolvan-callwatch under client churn; run through soak.sh.

    soak.py WATCHER SECONDS

Starts a private PulseAudio server, the watcher, and the churn of
callwatch/tests/client_churn.py, and lets them run for SECONDS. Once a second
it samples the watcher's open descriptors and resident memory. At the end it
stops the churn, lets the watcher go by closing its standard input, and
prints a report. Exit status 0 when the watcher ran the whole time, left
with status 0, wrote a well-formed event stream and nothing on standard
error, and its descriptors and memory stayed flat after the warm-up; 1
otherwise; 77 when PulseAudio is not installed.
"""

import collections
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "callwatch", "tests"))

import client_churn  # noqa: E402
from pulse_server import PulseServer, missing_tools  # noqa: E402
from watcher_process import READY, Failure, Watcher  # noqa: E402

# Resident memory may grow this much from the first third of the samples to
# the last, in KiB, before the run counts as leaking.
RSS_GROWTH_KIB = 256
PROGRESS_EVERY = 300


def cpu_seconds(pid):
    """User plus system CPU time of a live process, in seconds."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except (OSError, IndexError, ValueError):
        return None


def main(argv):
    if len(argv) != 3 or not argv[2].isdigit() or int(argv[2]) < 10:
        print("usage: soak.py WATCHER SECONDS (at least 10)", file=sys.stderr)
        return 2
    watcher_binary, seconds = argv[1], int(argv[2])
    if missing_tools():
        print("SKIP: not installed: " + " ".join(missing_tools()))
        return 77
    warm_up = min(60.0, seconds / 6)
    problems = []
    with PulseServer() as server:
        with Watcher(watcher_binary, client_churn.steady_memory_env(server.env)) as w:
            w.expect(READY, 2.0)
            resources = client_churn.Resources(w.proc.pid).start()
            began = time.monotonic()
            print(f"soak: {seconds} s of client churn, watcher pid {w.proc.pid}, "
                  f"started {time.strftime('%Y-%m-%d %H:%M:%S UTC', time.gmtime())}", flush=True)
            with client_churn.Churn(server) as churn:
                next_report = began + PROGRESS_EVERY
                while (now := time.monotonic()) < began + seconds and w.running():
                    time.sleep(min(1.0, began + seconds - now))
                    if time.monotonic() >= next_report:
                        next_report += PROGRESS_EVERY
                        print(f"  {time.monotonic() - began:6.0f} s: {resources.summary()}; "
                              f"{len(w.lines)} lines; {churn.started} applications", flush=True)
            elapsed = time.monotonic() - began
            cpu = cpu_seconds(w.proc.pid)
            resources.stop()
            if not w.running():
                problems.append(f"the watcher left after {elapsed:.0f} s with status "
                                f"{w.proc.returncode}")
            else:
                try:
                    w.let_go(timeout=5.0)
                except Failure as failure:
                    problems.append(str(failure))
            status = w.proc.returncode
            lines = [line for _, line in w.lines]
            stderr = bytes(w.err)

    problems += client_churn.event_stream_problems(lines)
    if stderr:
        problems.append(f"standard error: {stderr!r}")
    problems += resources.problems(warm_up, rss_growth_kib=RSS_GROWTH_KIB)

    samples = resources.samples
    after = resources.after(warm_up)
    third = max(1, len(after) // 3)
    events = collections.Counter(line.decode(errors="replace").strip() for line in lines)
    print(f"duration:     {elapsed:.0f} s of churn ({churn.started} applications started)")
    print(f"samples:      {len(samples)} (once a second; warm-up {warm_up:.0f} s)")
    if samples:
        print(f"descriptors:  start {samples[0][1]}, end {samples[-1][1]}, "
              f"min {min(s[1] for s in samples)}, max {max(s[1] for s in samples)}")
        print(f"VmRSS KiB:    start {samples[0][2]}, end {samples[-1][2]}, "
              f"max {max(s[2] for s in samples)}")
    if after:
        first = client_churn.median(s[2] for s in after[:third])
        last = client_churn.median(s[2] for s in after[-third:])
        print(f"RSS drift:    median of first third {first} KiB, of last third {last} KiB, "
              f"drift {last - first:+d} KiB (limit +{RSS_GROWTH_KIB})")
    if cpu is not None:
        print(f"CPU time:     {cpu:.2f} s ({100 * cpu / elapsed:.2f} % of one core)")
    print(f"events:       {len(lines)} lines")
    for text, count in sorted(events.items()):
        print(f"  {count:6d} x {text}")
    print(f"exit status:  {status}; standard error {len(stderr)} bytes")
    for problem in problems:
        print(f"PROBLEM: {problem}")
    print("verdict:      " + ("FAIL" if problems else "ok"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
