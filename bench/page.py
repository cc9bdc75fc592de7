"""The text of docs/performance.md, filled in from one run's figures."""


def rng(s, fmt="{:,.0f}"):
    return f"{fmt.format(s['median'])} ({fmt.format(s['min'])}–{fmt.format(s['max'])})"


def verdict(ok):
    return "met" if ok else "**missed**"


def header(f):
    r = f.r
    m = r["machine"]
    load = r["load"]
    quick = ("\n> **This page was written by a `--quick` run: its sizes are tiny and its "
             "figures mean nothing.** Run `bench/run.sh` for real ones.\n" if r["quick"] else "")
    return f"""# Performance

What nookview and tolvan-callwatch cost, measured by `{r['command']}` on
{r['date']}. That one command builds a Release tree of its own
(`build/bench`), runs every measurement below several times, prints a table and
rewrites this page and its charts; nothing here is edited by hand. The raw
figures are left in `build/bench/results.json`.
{quick}
| | |
|---|---|
| machine | {m['cpus']} × {m['cpu']}, {m['memory_gib']} GiB, a virtual machine |
| system | Debian {m['debian']}, Linux {m['kernel']}, {m['compiler']} |
| build | CMake `Release` (`-O3 -DNDEBUG`), the project's own flags otherwise |
| load average (1, 5, 15 min) | {' / '.join(f'{x:.1f}' for x in load['start'])} at the start, {' / '.join(f'{x:.1f}' for x in load['after_throughput'])} after the throughput runs, {' / '.join(f'{x:.1f}' for x in load['end'])} at the end |

{busy(f)} Every comparison is therefore made side by side in the same run,
in rounds that take each variant in turn, and CPU time per request is reported
beside the wall-clock rates: the kernel's CPU account barely depends on how
many other processes wait for a core, while requests per second and start-up
times do.
"""


def busy(f):
    cpus = f.r["machine"]["cpus"] or 1
    # The one-minute averages describe the run; the longer ones still carry
    # whatever ran before it.
    peak = max(v[0] for v in f.r["load"].values())
    if peak > cpus:
        return (f"Other jobs kept the {cpus} cores busy during the run (load average up to "
                f"{peak:.0f}); the benchmarks ran at normal priority among them, so the "
                "wall-clock figures are noisier than on a quiet machine.")
    return "The machine was otherwise nearly idle during the run."


def goal_table(f, pipelined_goal, startup_goal, user_goal):
    rows = []
    for d in (f.depths[0], f.depths[-1]):
        ratio = f.ratio[("pipelined", d)]
        rows.append(f"| nookview, pipelined, depth {d}: at least {pipelined_goal} × the floor's "
                    f"requests per second | {ratio:.2f} × (by CPU per request: "
                    f"{f.cpu_ratio[('pipelined', d)]:.2f} ×) | {verdict(ratio >= pipelined_goal)} |")
    for d in (f.depths[0], f.depths[-1]):
        rows.append(f"| nookview, one at a time, depth {d} (no goal; a host that waits for "
                    f"each reply) | {f.ratio[('one-at-a-time', d)]:.2f} × the floor | — |")
    rows.append(f"| nookview start-up to handshake: at most {startup_goal} × a minimal C "
                f"program's | {f.startup_ratio:.2f} × | {verdict(f.startup_ratio <= startup_goal)} |")
    worst_user = max(f.user_share[d]["median"] for d in f.depths)
    rows.append(f"| nookview user time: a small fraction (under {user_goal:.0%}) of its CPU "
                f"time | at most {worst_user:.1%} | {verdict(worst_user < user_goal)} |")
    all_match = all(f.syscalls_match(d) for d in f.depths)
    totals = ", ".join(f"{sum(f.r['syscalls'][str(d)]['nookview'].values()):g}" for d in f.depths)
    depths = ", ".join(str(d) for d in f.depths)
    rows.append(f"| system calls per request: exactly 26 + 6d at depth d | {totals} at depth "
                f"{depths} | {verdict(all_match)} |")
    watch = f.watch_total["median"]
    loop = f.loop_total["median"]
    rows.append(f"| watcher: less CPU than a shell loop running `pactl list` once a second | "
                f"{watch:.3f} s against {loop:.3f} s | {verdict(watch < loop)} |")
    return """
## Goals

| goal | measured | |
|---|---|---|
""" + "\n".join(rows) + "\n"


def throughput(f, chart):
    r = f.r
    c = r["config"]
    rows = []
    for d in f.depths:
        rows.append(f"| {d} | `{path(d)}` | {rng(f.rate[f'pipelined/{d}'])} | "
                    f"{rng(f.rate[f'one-at-a-time/{d}'])} | {rng(f.rate[f'floor/{d}'])} | "
                    f"{f.ratio[('pipelined', d)]:.2f} | {f.ratio[('one-at-a-time', d)]:.2f} |")
    cpu_rows = []
    t = r["throughput"]
    for d in f.depths:
        cpu_rows.append(
            f"| {d} | {f.cpu[f'pipelined/{d}']['median']:.2f} | "
            f"{f.cpu[f'one-at-a-time/{d}']['median']:.2f} | {f.cpu[f'floor/{d}']['median']:.2f} | "
            f"{f.cpu_ratio[('pipelined', d)]:.2f} | "
            f"{rng(t[f'pipelined/{d}']['user_s'], '{:.2f}')} | "
            f"{rng(t[f'pipelined/{d}']['system_s'], '{:.2f}')} | "
            f"{100 * f.user_share[d]['median']:.1f} % |")
    return f"""
## nookview: requests per second

A session serves one {r['file_size']}-byte file over and over: {c['requests']:,}
requests after the handshake, the time taken from the first request byte
written to the last reply byte read. Each figure is the median of
{c['rounds']} sessions, with the slowest and fastest in brackets. The files
lie at depth 0 to 3 (the number of directories in the requested path) in a
fresh tree under `/tmp`, an ext4 volume.

- **pipelined**: the host (`bench_host session --mode pipelined`, C++) writes
  the requests from one thread and reads the replies in its main thread. It
  keeps at most {r['window_bytes'] // 1024} KiB of requests in flight and
  writes them in batches of half that, many frames per `write`; the reader
  reads up to 256 KiB at a time and, unless a read emptied a full pipe,
  pauses {r['read_pause_us']} µs before reading again. Both rules
  spare nookview wake-ups (see [what a host costs nookview](#what-a-host-costs-nookview)).
  The pipes have the default size (64 KiB).
- **one at a time**: the host writes one request, reads its whole reply, then
  writes the next.
- **floor**: `nookview_floor`, one process, no pipes. For each request it
  makes exactly nookview's system calls with nookview's flags, in nookview's
  order: two `read`s of the frame (header, then as many bytes as the path)
  from `/dev/zero`; the root check (`openat2` of the absolute root, `fstat`,
  `close`); for each directory prefix `openat2` beneath the root, `fstat`,
  `close`; `openat2` with `O_PATH` of the file, `fstat`, `close`; `openat2` of
  the file for reading, `fstat` (link count), `fstat`, three `fcntl`s (set
  the lease signal, take a read lease, drop it: no one has the file open for
  writing), `read` until end of file, `fstat`; `openat2` with `O_PATH`, `fstat`, `close`; the prefixes
  again; the root check again; `close` of the file; and two `write`s of the
  reply (header, data) to `/dev/null`. It restricts itself with the same
  Landlock rules as nookview first, so its lookups pass the same checks.
  Its counts are compared with nookview's under strace in every run (the run
  fails if they differ), so it cannot drift away from what it stands for.
  What it leaves out is what a host conversation adds: pipes instead of
  `/dev/zero` and `/dev/null`, waiting for and waking the other side, and
  nookview's own work in user space.

Every reply is compared with the file's contents by the host; a session that
gets one wrong byte fails the run.

| depth | path | pipelined | one at a time | floor | pipelined ÷ floor | one at a time ÷ floor |
|---|---|---|---|---|---|---|
""" + "\n".join(rows) + f"""

![Microseconds per request by depth](
{chart})

The same sessions seen through the kernel's CPU account: CPU microseconds
(user + system) that nookview (or the floor) spent per request, and nookview's
own user and system seconds over a pipelined session:

| depth | nookview pipelined, µs/request | one at a time | floor | floor ÷ nookview (pipelined) | nookview user s | nookview system s | user share |
|---|---|---|---|---|---|---|---|
""" + "\n".join(cpu_rows) + "\n" + difference(f) + host_design(f)


def difference(f):
    t = f.r["throughput"]
    n = f.r["config"]["requests"]

    def per_request(variant, d, column):
        return 1e6 * t[f"{variant}/{d}"][column]["median"] / n

    rows = []
    for d in f.depths:
        rows.append(
            f"| {d} | {f.cpu[f'pipelined/{d}']['median'] - f.cpu[f'floor/{d}']['median']:+.2f} | "
            f"{per_request('pipelined', d, 'user_s') - per_request('floor', d, 'user_s'):+.2f} | "
            f"{per_request('pipelined', d, 'system_s') - per_request('floor', d, 'system_s'):+.2f} | "
            f"{1000 * t[f'pipelined/{d}']['preempted']['median'] / n:.0f} |")
    above = [d for d in f.depths if f.ratio[("pipelined", d)] > 1]
    note = ""
    if above:
        note = f"""
A wall-clock ratio above 1 (depth {', '.join(map(str, above))}) does not mean
nookview did less work than the floor; the CPU account says otherwise. It
means the floor waited longer for a core in its sessions: on a loaded machine
nookview and its host, two processes, together win a larger share of the two
cores than the floor, one process, does alone.
"""
    return f"""
### Where the difference goes

nookview makes exactly the floor's system calls, so what it spends beyond the
floor is what the conversation with its host costs. CPU per request, nookview
pipelined minus floor, in µs, split as the kernel accounts it (the split is
sampled at timer ticks), and how often nookview was switched out against its
will:

| depth | CPU µs/request more than the floor | of which user | of which system | nookview preempted per 1,000 requests |
|---|---|---|---|---|
""" + "\n".join(rows) + f"""

In the kernel, nookview's four frame and reply calls go to pipes rather than to `/dev/zero` and `/dev/null`: each takes the pipe's
lock, copies through the pipe buffer and may wake the other side, and each
preemption costs two context switches. The reply goes out in two `write`s
(header, then data), so each reply can wake a waiting host twice; one
`writev` per reply would save a call per request (1 in
{26 + 6 * f.depths[0]} at depth {f.depths[0]}) and a wake-up. In user space
nookview checks the path's components and compares four status records,
which the floor does not do in full.
{note}"""


def host_design(f):
    r = f.r
    t = r["throughput"]
    n = r["config"]["requests"]
    rows = []
    for d in r["greedy_depths"]:
        for key, label in (("pipelined", "paced (above)"), ("pipelined-greedy", "greedy")):
            e = t[f"{key}/{d}"]
            rows.append(f"| {d} | {label} | {rng(e['per_second'])} | "
                        f"{e['cpu_us_per_request']['median']:.2f} | "
                        f"{1000 * e['preempted']['median'] / n:.0f} | "
                        f"{1000 * e['sleeps']['median'] / n:.1f} |")
    return f"""
### What a host costs nookview

A pipe wakes a reader blocked on it when a write finds it empty, and a writer
blocked on it whenever a read finds it full, and the one who reads or writes
pays for the wake-up; with both processes on two cores the woken thread often
runs on nookview's core and pushes it aside. A *greedy* host that keeps the
request pipe full and waits in `read()` for every reply therefore makes
nookview wake it up to four times per request (two reads of a full pipe, two
writes to an empty one). The paced host above avoids this. Same run,
same rounds:

| depth | host | requests/s, median (min–max) | nookview CPU µs/request | nookview preempted per 1,000 requests | nookview slept per 1,000 requests |
|---|---|---|---|---|---|
""" + "\n".join(rows) + "\n"


def path(d):
    return "/".join([f"d{i}" for i in range(1, d + 1)] + ["page.txt"])


def syscalls(f):
    r = f.r
    names = ["openat2", "close", "newfstatat", "fcntl", "read", "write"]
    rows = []
    for d in f.depths:
        s = r["syscalls"][str(d)]
        measured = s["nookview"]
        others = {k: v for k, v in measured.items() if k not in names}
        cells = [f"{measured.get(n, 0):g} ({s['formula'].get(n, 0)})" for n in names]
        extra = ", ".join(f"{k} {v:g}" for k, v in others.items()) or "none"
        rows.append(f"| {d} | " + " | ".join(cells) +
                    f" | {sum(measured.values()):g} ({sum(s['formula'].values())}) | {extra} |")
    return f"""
## nookview: system calls per request

`strace -f -c` counts every call of nookview over a session of
{r['config']['strace_requests']:,} requests (one at a time) and over a session
with only the handshake; the difference divided by the number of requests is
the cost of one request. Measured, with the formula in brackets:

| depth d | openat2 (5 + 2d) | close (5 + 2d) | newfstatat (7 + 2d) | fcntl (3) | read (4) | write (2) | total (26 + 6d) | other calls |
|---|---|---|---|---|---|---|---|---|
""" + "\n".join(rows) + """

Where the formula comes from, for a file with d directories in its path
(`fstat` shows as `newfstatat` in glibc 2.36):

| step | openat2 | fstat | close | fcntl | read | write |
|---|---|---|---|---|---|---|
| read the frame: header, then the path | | | | | 2 | |
| root still the accepted directory, before and after | 2 | 2 | 2 | | | |
| every directory prefix on the root's device, before and after | 2d | 2d | 2d | | | |
| the file by name (`O_PATH`), before opening and after reading | 2 | 2 | 2 | | | |
| open the file; link count; identity; after reading | 1 | 3 | 1 | | | |
| no writer: lease signal, read lease taken, dropped | | | | 3 | | |
| read until end of file (the data, then 0) | | | | | 2 | |
| reply: header, then data | | | | | | 2 |
| **total** | 5 + 2d | 7 + 2d | 5 + 2d | 3 | 4 | 2 |
"""


def startup(f):
    r = f.r
    s = r["startup"]
    n, m = s["nookview"], s["minimal_handshake"]
    return f"""
## nookview: start-up and memory

`bench_host startup` starts each program {n['runs']:.0f} times, alternating
between them (and which goes first), sends the root frame and times from the
moment the child calls `execve` (the forked child notes the time in a page
shared with the host just before it) to the moment the three handshake bytes
have arrived. The comparison is `minimal_handshake`, a C program of ours
linked against the same C library: it reads the root frame, answers
`00 00 00`, then waits for the end of its input and exits 0; it checks
nothing. nookview's extra start-up work is opening and checking the root
(`openat2`, `fstat`, `fstatfs`, the `..` probe) and its Landlock restriction.

| program | exec to handshake, µs, median (min–max) | ru_maxrss, KiB (median) |
|---|---|---|
| nookview | {n['median_us']:.0f} ({n['min_us']:.0f}–{n['max_us']:.0f}) | {n['maxrss_kib']:.0f} |
| minimal_handshake | {m['median_us']:.0f} ({m['min_us']:.0f}–{m['max_us']:.0f}) | {m['maxrss_kib']:.0f} |
| ratio | {f.startup_ratio:.2f} | |

Peak resident memory of nookview over a pipelined session of
{r['config']['requests']:,} requests at depth {f.depths[-1]}: **{f.peak_kib['median']:.0f} KiB**
(`VmHWM` read from `/proc/PID/status` at the end of the session, median of
{f.peak_kib['n']}), and {f.maxrss_kib['median']:.0f} KiB as `ru_maxrss` from
`wait4`. `ru_maxrss` is the larger of the process's own peak and the
resident size of the image that called `execve`, which Linux carries over: a
child started by a large process (or by `vfork` from one) reports its
parent's size. This host forks from a small process, so that share is small
here: `minimal_handshake`, which does next to nothing, shows
{m['maxrss_kib']:.0f} KiB the same way. The kernel sums the per-CPU counters
behind `ru_maxrss` approximately, so it can come out some tens of pages below
`VmHWM`, which is summed exactly. nookview
allocates nothing: its memory is its binary, the C library and fixed buffers,
the same whatever the session's length.
"""


def watcher(f, chart):
    w = f.r["watcher"]
    e = w["exit_after_close_ms"]

    def row(key, label):
        x = w[key]
        return (f"| {label} | {rng(x['user_s'], '{:.3f}')} | {rng(x['system_s'], '{:.3f}')} | "
                f"{rng(x['total_s'], '{:.3f}')} | {x['cpu_percent']['median']:.3f} % | "
                f"{rng(x['peak_rss_kib'])} |")

    ratio = f.loop_total["median"] / f.watch_total["median"] if f.watch_total["median"] else 0
    return f"""
## tolvan-callwatch: what watching costs

`bench/callwatch_cpu.sh` runs `tolvan-callwatch --watch` for {w['seconds']} s
against a private PulseAudio server with five unrelated clients playing and
recording, and at the same time the naive alternative, a shell loop that runs
`pactl list` once a second. CPU time is the kernel's account when each is
reaped (the loop's includes every `pactl` it ran); peak resident memory comes
from GNU time. Median (min–max) over {len(w['rounds'])} watches:

| | user s | system s | total s | CPU (one core) | peak RSS KiB |
|---|---|---|---|---|---|
{row('watcher', '`tolvan-callwatch --watch`')}
{row('loop', 'shell loop: `pactl list; sleep 1`')}

The loop costs {ratio:.1f} × the watcher's CPU time. The watcher keeps one
connection to the server and asks only for the client and stream lists, where
the loop starts a process, connects and asks for everything, every second.
The totals are exact; their split into user and system time is sampled at
timer ticks and scaled to the total, so for the watcher's few hundredths of a
second it says little (a split of all user, no system, only means that no
sampled tick found it in the kernel). Peak memory is about the same: the
loop's is that of one `pactl`, which loads the same audio library.

![CPU seconds of the watcher beside the shell loop](
{chart})

**Leaving when the host lets go.** `bench_host exit-after-close` starts the
watcher against a private server with a few streams, waits for its `ready`
line, waits a further 0 to 0.99 s (moving through the one-second cycle from
run to run), closes its standard input and times until it is reaped:
**{e['median']:.2f} ms** median ({e['min']:.2f}–{e['max']:.2f} ms) over {e['n']} runs.
"""


def misses(f, pipelined_goal, startup_goal, user_goal):
    notes = []
    load = f.r["load"]["after_throughput"][0]
    short = [d for d in f.depths if f.ratio[("pipelined", d)] < pipelined_goal]
    if short:
        wall = ", ".join(f"{f.ratio[('pipelined', d)]:.2f} at depth {d}" for d in short)
        cpu = ", ".join(f"{f.cpu_ratio[('pipelined', d)]:.2f}" for d in short)
        if all(f.cpu_ratio[("pipelined", d)] >= pipelined_goal for d in short):
            why = f"""By the CPU account nookview is as close to the floor there as the goal
asks (floor ÷ nookview CPU per request: {cpu}): what it lacked was time on a
core, not efficiency. The floor is one process that never waits; nookview
waits whenever its request pipe is empty or its reply pipe full, and the
host's two threads need cores too: with a load average of {load:.0f} from other
jobs on two cores, every time the host is not scheduled nookview soon has
nothing to do."""
        else:
            why = f"""nookview also spends more CPU per request than the floor there (floor ÷
nookview CPU per request: {cpu}): the pipes and the switching described under
[where the difference goes](#where-the-difference-goes), and on top of that
the time the pipes make nookview wait for the host."""
        notes.append(f"""**Pipelined throughput below {pipelined_goal} × the floor: {wall}.**
nookview makes exactly the floor's calls (checked above), so the gap is what
the conversation costs. {why}""")
    if f.startup_ratio > startup_goal:
        n = f.r["startup"]["nookview"]["median_us"]
        m = f.r["startup"]["minimal_handshake"]["median_us"]
        notes.append(f"""**Start-up above {startup_goal} × the minimal program.** nookview took
{n - m:.0f} µs more to its handshake: the root checks and the Landlock ruleset
(create, add a rule, `prctl`, restrict) are a dozen extra system calls after
the dynamic loader has done the same work for both programs.""")
    worst = max(f.depths, key=lambda d: f.user_share[d]["median"])
    if f.user_share[worst]["median"] >= user_goal:
        notes.append(f"""**User time {f.user_share[worst]['median']:.1%} of nookview's CPU at
depth {worst}.** In user space nookview checks the path's components, compares
four status records and builds the reply; the kernel's split between user and
system time is sampled at timer ticks, so short sessions give coarse shares.""")
    d0 = f.depths[0]
    one = f.ratio[("one-at-a-time", d0)]
    one_extra = f.cpu[f"one-at-a-time/{d0}"]["median"] - f.cpu[f"floor/{d0}"]["median"]
    notes.append(f"""**One request at a time** reaches {one:.2f} × the floor at depth {d0}
(no goal). Every request is then a round trip: the host's write wakes
nookview, nookview's reply wakes the host, and the two take turns instead of
working at the same time. nookview spent {one_extra:+.2f} µs of CPU per request
more than the floor at depth {d0}; the rest of the gap is time spent waiting.
Hosts that can should pipeline.""")
    if not notes:
        return ""
    return "\n## What falls short, and why\n\n" + "\n\n".join(notes) + "\n"


def render(f, latency_chart, watcher_chart, goals):
    pipelined_goal, startup_goal, user_goal = goals
    return (header(f) + goal_table(f, pipelined_goal, startup_goal, user_goal) +
            throughput(f, latency_chart) + syscalls(f) + startup(f) +
            watcher(f, watcher_chart) + misses(f, pipelined_goal, startup_goal, user_goal) + f"""
## Reproducing

```sh
bench/run.sh            # {f.r['minutes']:.0f} minutes this time, build not counted; rewrites this page and docs/img/
bench/run.sh --quick    # seconds; only proves that every step works
bench/run.sh --out DIR  # writes the page, charts and results.json into DIR instead
```

It needs gnuplot (Debian package `gnuplot-nox`), strace, PulseAudio
(`pulseaudio`, `pulseaudio-utils`) and GNU time (`time`). The CTest test
`bench.quick_run_completes` (label `bench`) runs the quick form into the build
tree; it checks that the run completes, not the figures.
""")
