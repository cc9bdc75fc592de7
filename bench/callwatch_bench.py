"""The measurements behind callwatch_cpu.sh; see there."""

import os
import random
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "callwatch",
                                "tests"))
from audio_server import SERVERS  # noqa: E402

READY = b'{"version":1,"type":"ready"}\n'
UNRELATED = [("firefox-esr", False, True), ("spotify", False, True), ("obs", True, False),
             ("Discord", True, True), ("mumble", True, True)]
LOOP = 'i=0; while [ "$i" -lt "$1" ]; do pactl list >/dev/null; sleep 1; i=$((i + 1)); done'
BEGIN, END = "<!-- callwatch-bench:begin -->", "<!-- callwatch-bench:end -->"
NAMES = {"pulseaudio": "PulseAudio", "pipewire": "PipeWire (pipewire-pulse)"}


class Measured:
    """A command run under GNU time, so that its peak memory is its own and
    not that of this large Python process, which a child that Python starts
    carries over into its own figure across exec."""

    def __init__(self, argv, env, **popen):
        self.report = tempfile.NamedTemporaryFile("r")
        self.proc = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", self.report.name, *argv],
                                     env=env, **popen)

    def reap(self):
        """Waits; returns status, CPU seconds of the command and every child
        it waited for (user, system), and peak resident KiB."""
        _, status, usage = os.wait4(self.proc.pid, 0)
        self.proc.returncode = os.waitstatus_to_exitcode(status)
        rss = int(self.report.read().split()[-1])
        return self.proc.returncode, {"user_s": usage.ru_utime, "system_s": usage.ru_stime,
                                      "peak_rss_kib": rss}


def cpu(server, watcher, seconds):
    """What the watcher and the pactl loop cost, run side by side."""
    for binary, record, playback in UNRELATED:
        server.application({"application.process.binary": binary}, record, playback)
    server.settle()
    watch = Measured([watcher, "--watch"], server.env, stdin=subprocess.PIPE,
                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    loop = Measured(["sh", "-c", LOOP, "loop", str(seconds)], server.env)
    time.sleep(seconds)
    watch.proc.stdin.close()
    (status, watcher_cost), (loop_status, loop_cost) = watch.reap(), loop.reap()
    out, err = watch.proc.stdout.read(), watch.proc.stderr.read()
    if (status, out, err, loop_status) != (0, READY, b"", 0):
        sys.exit(f"the watcher ran wrongly: status {status}, out {out!r}, err {err!r}; "
                 f"loop status {loop_status}")
    return watcher_cost, loop_cost


def exit_latency(server, watcher, runs):
    """Milliseconds from closing the watcher's standard input to reaping it,
    the moment of closing spread over the watcher's one-second cycle."""
    times = []
    for _ in range(runs):
        watch = subprocess.Popen([watcher, "--watch"], env=server.env, stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE)
        if watch.stdout.readline() != READY:
            sys.exit("the watcher did not say ready")
        time.sleep(random.random())
        began = time.monotonic()
        watch.stdin.close()
        _, status, _ = os.wait4(watch.pid, 0)
        times.append((time.monotonic() - began) * 1000)
        watch.stdout.close()
        if status != 0:
            sys.exit(f"the watcher left with status {os.waitstatus_to_exitcode(status)}")
    return times


def cell(cost, seconds):
    total = cost["user_s"] + cost["system_s"]
    return f"{total:.3f} s ({100 * total / seconds:.3f} %) | {cost['peak_rss_kib']:,} KiB"


def paragraph(text):
    return textwrap.fill(" ".join(text.split()), 78, break_on_hyphens=False)


def page(command, seconds, rows, latency):
    table = "\n".join(f"| {NAMES[name]} | {cell(w, seconds)} | {cell(loop, seconds)} | "
                      f"{(loop['user_s'] + loop['system_s']) / (w['user_s'] + w['system_s']):.1f} × |"
                      for name, w, loop in rows)
    return "\n\n".join([
        "## tolvan-callwatch: what watching costs",
        f"`{command}`\n\n" + paragraph(f"""{time.strftime("%d %B %Y", time.gmtime())},
            {os.cpu_count()} cores, load average {os.getloadavg()[0]:.2f} at the end: `tolvan-callwatch --watch`
            ran for {seconds} s against each private server, which had {len(UNRELATED)}
            unrelated applications playing and recording, beside a shell loop that ran
            `pactl list` once a second for the same time. CPU time is the kernel's account
            when each is reaped (the loop's includes every `pactl` it ran), as a share of one
            core; peak resident memory comes from GNU time."""),
        "| server | watcher: CPU | watcher: memory | loop: CPU | loop: memory | "
        "loop ÷ watcher CPU |\n|---|---|---|---|---|---|\n" + table,
        paragraph("""The watcher keeps one connection and asks only for the client and
            stream lists; the loop starts a process, connects and asks for everything, every
            second. Their memory is alike: the loop's is that of one `pactl`, which loads the
            same audio library."""),
        paragraph(f"""**Leaving when the host lets go.** With the watcher sampling, its
            standard input was closed at a random point of its one-second cycle, and the time
            until it was reaped measured: {statistics.median(latency):.2f} ms median
            ({min(latency):.2f}–{max(latency):.2f} ms) over {len(latency)} runs.""")]) + "\n"


def rewrite(path, text):
    """Replaces what lies between the markers in the file at `path`."""
    with open(path) as f:
        before, rest = f.read().split(BEGIN + "\n", 1)
        after = rest.split(END + "\n", 1)[1]
    with open(path, "w") as f:
        f.write(f"{before}{BEGIN}\n{text}{END}\n{after}")


def main(argv):
    args = [a for a in argv[1:] if a != "--quick"]
    quick = len(args) < len(argv) - 1
    target = args[2] if len(args) == 3 and args[1] == "--page" else None
    if len(args) != (3 if target else 1):
        sys.exit("usage: callwatch_cpu.sh WATCHER [--quick] [--page FILE]")
    watcher = os.path.abspath(args[0])
    seconds, runs = (3, 2) if quick else (60, 10)
    servers = [name for name, kind in SERVERS.items() if not kind.missing()]
    if not servers or not os.access("/usr/bin/time", os.X_OK):
        print("skipped: needs GNU time (/usr/bin/time) and PulseAudio or PipeWire")
        return 77
    rows, latency = [], []
    for name in servers:
        with SERVERS[name]() as server:
            rows.append((name, *cpu(server, watcher, seconds)))
            latency += exit_latency(server, watcher, runs)
    top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    shown = os.path.relpath(watcher, top) if watcher.startswith(top + "/") else watcher
    command = " ".join(["bench/callwatch_cpu.sh", shown, *argv[2:]])
    text = page(command, seconds, rows, latency)
    print(text)
    if target:
        rewrite(target, text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
