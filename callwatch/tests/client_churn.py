"""Client churn against a private PulseAudio server, and what a watcher does
through it.

Churn starts a simulated application every few hundred milliseconds and
stops each one after a short random life: Zoom and Teams processes with both
directions (some live long enough to make a meeting), one-direction streams,
unrelated players and recorders, and one-shot clients that connect, ask and
leave (pactl). At most a fixed number run at once, so the server's load stays
bounded however long the churn goes on. Meetings come in waves: for the
first 15 seconds of every 35 meeting applications start among the others,
for the remaining 20 only unrelated applications, one-shot clients and
recordings of the meeting applications (no meeting without playback), so
every meeting that started also ends. The choices come from a seeded random
generator, so a run can be repeated.

Resources reads a process's open descriptors (/proc/PID/fd) and resident
memory (VmRSS) once a second while it runs, and judges whether they stay
flat. Events checks that a watcher's standard output is a well-formed event
stream: complete lines, "ready" once and first, and for each provider
"candidate-started" and "candidate-ended" taking turns, starting with
"candidate-started".

Used by the fault tests (callwatch_faults.py) and by the soak in
stress/callwatch/soak.sh.
"""

import os
import random
import subprocess
import threading
import time

import meeting_clients as apps
from watcher_process import READY, ended, started

PROVIDERS = ("zoom", "teams")

# Unrelated applications, each with the directions it runs.
UNRELATED = [
    ({"application.process.binary": "firefox-esr"}, False, True),
    ({"application.process.binary": "obs"}, True, False),
    ({"application.process.binary": "Discord"}, True, True),
    ({"application.process.binary": "zoomed"}, True, True),
]


class Churn:
    """Starts and stops simulated applications on a thread of its own until
    stop(). Applications whose start fails (the server is down, say) are
    simply gone; the churn carries on."""

    def __init__(self, server, seed=1, interval=(0.15, 0.45), at_once=8, meetings=15.0,
                 quiet=20.0):
        self.server = server
        self.meetings = meetings
        self.quiet = quiet
        self.random = random.Random(seed)
        self.interval = interval
        self.at_once = at_once
        self.started = 0  # applications started so far
        self.running = []  # (deadline, [processes])
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def stop(self):
        self.stopping.set()
        if self.thread.is_alive():
            self.thread.join(30)
        for _, procs in self.running:
            _end(procs)
        self.running = []

    def _spawn(self, argv):
        return subprocess.Popen(argv, env=self.server.env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def _pacat(self, direction, props, process_id):
        props = dict(props, **{"application.process.id": str(process_id)})
        device = apps.SOURCE if direction == "record" else apps.SINK
        return self._spawn(["pacat", f"--{direction}", "--raw", f"--device={device}",
                            *apps._property_options(props),
                            "/dev/null" if direction == "record" else "/dev/zero"])

    def _application(self, meetings):
        """Starts one application; returns (its processes, how long it lives).
        Without `meetings`, nothing that could make a meeting."""
        r = self.random
        kind = r.random()
        if kind < 0.35 and meetings:
            # A meeting application with both directions; a third of them
            # live long enough (three ticks) to be reported.
            props = r.choice([apps.ZOOM, apps.ZOOM_VOICE_ENGINE, apps.TEAMS, apps.TEAMS_CLASSIC])
            life = r.uniform(3.5, 6.0) if r.random() < 0.33 else r.uniform(0.2, 2.0)
            process_id = apps.new_process_id()
            return [self._pacat(d, props, process_id) for d in ("record", "playback")], life
        if kind < 0.5:
            props = r.choice([apps.ZOOM, apps.TEAMS])
            direction = r.choice(["record", "playback"]) if meetings else "record"
            return [self._pacat(direction, props, apps.new_process_id())], r.uniform(0.2, 3.0)
        if kind < 0.85:
            props, record, playback = r.choice(UNRELATED)
            process_id = apps.new_process_id()
            procs = [self._pacat(d, props, process_id)
                     for d, wanted in (("record", record), ("playback", playback)) if wanted]
            return procs, r.uniform(0.2, 3.0)
        # A one-shot client: connects, lists, leaves.
        return [self._spawn(["pactl", "list", "short", "clients"])], 5.0

    def _run(self):
        began = time.monotonic()
        while not self.stopping.is_set():
            now = time.monotonic()
            meetings = (now - began) % (self.meetings + self.quiet) < self.meetings
            keep = []
            for deadline, procs in self.running:
                if deadline <= now or all(p.poll() is not None for p in procs):
                    _end(procs)
                else:
                    keep.append((deadline, procs))
            self.running = keep
            if len(self.running) < self.at_once:
                procs, life = self._application(meetings)
                self.started += 1
                self.running.append((time.monotonic() + life, procs))
            self.stopping.wait(self.random.uniform(*self.interval))


def _end(procs):
    for proc in procs:
        if proc.poll() is None:
            proc.terminate()
    for proc in procs:
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def steady_memory_env(env):
    """`env` for a watcher whose resident memory is to be judged. An
    AddressSanitizer build keeps freed memory in quarantine, which grows its
    resident size for a long time whether or not anything leaks; without the
    quarantine its size means what it means in a plain build, which ignores
    the variable. Leaks proper are still reported at exit."""
    options = [o for o in env.get("ASAN_OPTIONS", "").split(":") if o]
    options += ["quarantine_size_mb=0", "thread_local_quarantine_size_kb=0"]
    return dict(env, ASAN_OPTIONS=":".join(options))


def descriptors(pid):
    """Open descriptors of a process, from /proc; None once it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                return None
        return len(os.listdir(f"/proc/{pid}/fd"))
    except (OSError, IndexError):
        return None


def resident_kib(pid):
    """VmRSS of a process in KiB; None once it is gone."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


class Resources:
    """Samples a process's descriptors and resident memory once a second on a
    thread of its own, from start() until stop() or the process's end."""

    def __init__(self, pid, period=1.0):
        self.pid = pid
        self.period = period
        self.samples = []  # (seconds since start, descriptors, resident KiB)
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)

    def start(self):
        self.t0 = time.monotonic()
        self.thread.start()
        return self

    def stop(self):
        self.stopping.set()
        self.thread.join(10)

    def _run(self):
        due = time.monotonic()
        while not self.stopping.is_set():
            fds, rss = descriptors(self.pid), resident_kib(self.pid)
            if fds is None or rss is None:
                return
            self.samples.append((time.monotonic() - self.t0, fds, rss))
            due += self.period
            self.stopping.wait(max(0.0, due - time.monotonic()))

    def after(self, warm_up):
        return [s for s in self.samples if s[0] >= warm_up]

    def problems(self, warm_up, fd_spread=2, rss_growth_kib=256):
        """What is not flat after `warm_up` seconds, as a list of texts.

        Descriptors: a sample may catch the watcher in the middle of a tick
        (a reconnection, say), so the counts may spread by `fd_spread`; but
        the highest count of the last third may not exceed the highest of the
        first. Memory: the median resident size of the last third may exceed
        the median of the first third by at most `rss_growth_kib`."""
        samples = self.after(warm_up)
        if len(samples) < 6:
            return [f"only {len(samples)} samples after the warm-up"]
        third = len(samples) // 3
        first, last = samples[:third], samples[-third:]
        fds = [s[1] for s in samples]
        found = []
        if max(fds) - min(fds) > fd_spread:
            found.append(f"descriptors between {min(fds)} and {max(fds)}")
        if max(s[1] for s in last) > max(s[1] for s in first):
            found.append(f"descriptors grew: at most {max(s[1] for s in first)} in the first "
                         f"third, {max(s[1] for s in last)} in the last")
        growth = median(s[2] for s in last) - median(s[2] for s in first)
        if growth > rss_growth_kib:
            found.append(f"resident memory grew by {growth} KiB from the first third to the "
                         f"last (limit {rss_growth_kib} KiB)")
        return found

    def summary(self):
        if not self.samples:
            return "no samples"
        s = self.samples
        return (f"{len(s)} samples over {s[-1][0]:.0f} s; descriptors start {s[0][1]} end "
                f"{s[-1][1]} max {max(x[1] for x in s)}; VmRSS KiB start {s[0][2]} end "
                f"{s[-1][2]} max {max(x[2] for x in s)}")


def median(values):
    values = sorted(values)
    return values[len(values) // 2]


def event_stream_problems(lines):
    """What is wrong with a watcher's standard output, given as its lines
    (each with its newline, the last one possibly without): a list of texts,
    empty when the stream is well formed."""
    known = {READY: ("ready", None)}
    for provider in PROVIDERS:
        known[started(provider)] = ("started", provider)
        known[ended(provider)] = ("ended", provider)
    found = []
    in_meeting = {provider: False for provider in PROVIDERS}
    for number, line in enumerate(lines, 1):
        if line not in known:
            found.append(f"line {number} is not an event line: {line!r}")
            continue
        kind, provider = known[line]
        if kind == "ready":
            if number != 1:
                found.append(f"line {number}: another \"ready\"")
        elif number == 1:
            found.append(f"line 1 is {line!r}, not \"ready\"")
        elif in_meeting[provider] == (kind == "started"):
            found.append(f"line {number}: {line!r} out of turn")
        else:
            in_meeting[provider] = kind == "started"
    return found
