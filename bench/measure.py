#!/usr/bin/env python3
"""Runs every benchmark and writes the figures to OUT/results.json.

    measure.py --bin DIR --out DIR [--quick]

DIR holds nookview, tolvan-callwatch, bench_host, nookview_floor and
minimal_handshake. Repeated measurements are run in rounds, each round taking
every variant once in a rotating order, so that a change in the machine's load
during the run falls on all variants alike. The timing itself is done by the
C++ host and the floor; this script only starts them and collects their lines.
"""

import argparse
import datetime
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import watcher_figures  # noqa: E402

FILE_SIZE = 1024
DEPTHS = [0, 1, 2, 3]

# How the efficient host paces a pipelined session (see page.py for why).
WINDOW_BYTES = 32768
READ_PAUSE_US = 200
# The greedy host, for comparison at these depths only: it keeps the request
# pipe full and waits in read() for every reply.
GREEDY_DEPTHS = [0, 3]

FULL = dict(requests=100_000, rounds=5, startup_runs=1000, strace_requests=2000,
            watch_seconds=60, watch_rounds=3, exit_runs=20)
# Tiny: enough to exercise every step, far too little for meaningful figures.
QUICK = dict(requests=300, rounds=2, startup_runs=6, strace_requests=20,
             watch_seconds=2, watch_rounds=1, exit_runs=2)


def path_at_depth(depth):
    return "/".join([f"d{i}" for i in range(1, depth + 1)] + ["page.txt"])


def make_tree(base):
    """root/page.txt, root/d1/page.txt, ... root/d1/d2/d3/page.txt, 1 KiB each."""
    root = os.path.join(base, "root")
    for depth in DEPTHS:
        name = os.path.join(root, path_at_depth(depth))
        os.makedirs(os.path.dirname(name), exist_ok=True)
        with open(name, "wb") as f:
            f.write(bytes((depth * 7 + i * 31) % 251 + 1 for i in range(FILE_SIZE)))
    return root


def fields(line):
    """'a=1 b=x' -> {'a': 1.0, 'b': 'x'}"""
    out = {}
    for item in line.split():
        key, _, value = item.partition("=")
        try:
            out[key] = float(value)
        except ValueError:
            out[key] = value
    return out


def run_line(argv, env=None):
    proc = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    if proc.returncode != 0:
        raise RuntimeError(f"{' '.join(argv)} failed ({proc.returncode}): {proc.stderr.strip()}")
    return [fields(line) for line in proc.stdout.splitlines() if "=" in line]


def summary(values):
    ordered = sorted(values)
    n = len(ordered)
    median = ordered[n // 2] if n % 2 else (ordered[n // 2 - 1] + ordered[n // 2]) / 2
    return {"median": median, "min": ordered[0], "max": ordered[-1], "n": n}


def loadavg():
    with open("/proc/loadavg") as f:
        return [float(x) for x in f.read().split()[:3]]


def throughput(tools, root, config, log):
    """Requests per second of nookview (pipelined, one at a time) and of the
    floor, per depth, with nookview's CPU account."""
    variants = ["pipelined", "one-at-a-time", "floor"]
    order = [(v, d) for d in DEPTHS for v in variants]
    order += [("pipelined-greedy", d) for d in GREEDY_DEPTHS]
    samples = {key: [] for key in order}
    for round_ in range(config["rounds"]):
        shift = round_ * 5 % len(order)
        for variant, depth in order[shift:] + order[:shift]:
            path = path_at_depth(depth)
            session = [tools["bench_host"], "session", "--root", root, "--path", path,
                       "--requests", str(config["requests"])]
            if variant == "floor":
                argv = [tools["nookview_floor"], "--root", root, "--path", path,
                        "--requests", str(config["requests"])]
            elif variant == "pipelined":
                argv = session + ["--mode", "pipelined", "--window-bytes", str(WINDOW_BYTES),
                                  "--read-pause-us", str(READ_PAUSE_US), "--", tools["nookview"]]
            elif variant == "pipelined-greedy":
                argv = session + ["--mode", "pipelined", "--", tools["nookview"]]
            else:
                argv = session + ["--mode", "one-at-a-time", "--", tools["nookview"]]
            (result,) = run_line(argv)
            samples[(variant, depth)].append(result)
        log(f"  throughput round {round_ + 1}/{config['rounds']} done")

    out = {}
    for (variant, depth), results in samples.items():
        entry = {key: summary([r[key] for r in results])
                 for key in ("per_second", "user_s", "system_s", "maxrss_kib")}
        entry["cpu_us_per_request"] = summary(
            [1e6 * (r["user_s"] + r["system_s"]) / r["requests"] for r in results])
        entry["user_share"] = summary(
            [r["user_s"] / (r["user_s"] + r["system_s"]) for r in results])
        for key in ("peak_kib", "sleeps", "preempted"):
            if key in results[0]:
                entry[key] = summary([r[key] for r in results])
        out[f"{variant}/{depth}"] = entry
    return out


# A sanitizer build's leak checker cannot work in a traced process and would
# turn a clean exit into a failure; the trace only counts calls anyway.
UNDER_TRACER = dict(os.environ, ASAN_OPTIONS=":".join(
    filter(None, [os.environ.get("ASAN_OPTIONS", ""), "detect_leaks=0"])))

STRACE_LINE = re.compile(r"^\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(?:\d+\s+)?(\w+)\s*$")


def strace_counts(report):
    counts = {}
    with open(report) as f:
        for line in f:
            m = STRACE_LINE.match(line)
            if m and m.group(2) != "total":
                counts[m.group(2)] = int(m.group(1))
    return counts


def per_request_calls(tools, root, depth, requests, floor, scratch):
    """System calls per request: a traced session of `requests` requests minus
    one of none, divided by `requests`."""
    counts = []
    for n in (requests, 0):
        report = os.path.join(scratch, f"strace-{'floor' if floor else 'nookview'}-{depth}-{n}")
        trace = [tools["strace"], "-f", "-c", "-o", report, "--"]
        if floor:
            argv = trace + [tools["nookview_floor"], "--root", root, "--path",
                            path_at_depth(depth), "--requests", str(n)]
        else:
            argv = [tools["bench_host"], "session", "--root", root, "--path",
                    path_at_depth(depth), "--requests", str(n), "--mode", "one-at-a-time",
                    "--"] + trace + [tools["nookview"]]
        run_line(argv, env=UNDER_TRACER)
        counts.append(strace_counts(report))
    busy, idle = counts
    calls = {}
    for name in set(busy) | set(idle):
        extra = busy.get(name, 0) - idle.get(name, 0)
        if extra:
            calls[name] = extra / requests
    return calls


def formula(depth):
    return {"openat2": 5 + 2 * depth, "close": 5 + 2 * depth, "newfstatat": 7 + 2 * depth,
            "fcntl": 3, "read": 4, "write": 2}


def syscalls(tools, root, config, scratch):
    out = {}
    for depth in DEPTHS:
        nookview = per_request_calls(tools, root, depth, config["strace_requests"], False, scratch)
        floor = per_request_calls(tools, root, depth, config["strace_requests"], True, scratch)
        if nookview != floor:
            raise RuntimeError(f"the floor no longer makes nookview's system calls at depth "
                               f"{depth}: nookview {nookview}, floor {floor}")
        out[str(depth)] = {"nookview": nookview, "floor": floor, "formula": formula(depth)}
    return out


def startup(tools, root, config):
    lines = run_line([tools["bench_host"], "startup", "--root", root,
                      "--runs", str(config["startup_runs"]),
                      tools["nookview"], tools["minimal_handshake"]])
    return {"nookview": lines[0], "minimal_handshake": lines[1]}


def machine():
    model = ""
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        memory_kib = int(f.readline().split()[1])
    debian = ""
    if os.path.exists("/etc/debian_version"):
        with open("/etc/debian_version") as f:
            debian = f.read().strip()
    return {"cpu": model, "cpus": os.cpu_count(), "memory_gib": round(memory_kib / 2**20, 1),
            "kernel": platform.release(), "debian": debian,
            "compiler": subprocess.run(["c++", "--version"], stdout=subprocess.PIPE,
                                       text=True).stdout.splitlines()[0]}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--command", default="bench/run.sh")
    args = parser.parse_args()
    config = QUICK if args.quick else FULL
    tools = {name: os.path.join(os.path.abspath(args.bin), name)
             for name in ("nookview", "tolvan-callwatch", "bench_host", "nookview_floor",
                          "minimal_handshake")}
    tools["strace"] = shutil.which("strace")

    def log(text):
        print(text, file=sys.stderr, flush=True)

    results = {"config": config, "window_bytes": WINDOW_BYTES, "read_pause_us": READ_PAUSE_US,
               "greedy_depths": GREEDY_DEPTHS, "quick": args.quick, "command": args.command,
               "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
               "machine": machine(), "load": {"start": loadavg()}, "depths": DEPTHS,
               "file_size": FILE_SIZE}
    began = time.monotonic()
    scratch = tempfile.mkdtemp(prefix="nookview-bench-")
    try:
        root = make_tree(scratch)
        log("nookview: throughput")
        results["throughput"] = throughput(tools, root, config, log)
        results["load"]["after_throughput"] = loadavg()
        log("nookview: system calls per request")
        results["syscalls"] = syscalls(tools, root, config, scratch)
        log("nookview: start-up")
        results["startup"] = startup(tools, root, config)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    try:
        log("watcher: CPU and memory beside the shell loop")
        results["watcher"] = watcher_figures.cpu(tools["tolvan-callwatch"], config, log)
        log("watcher: from closed input to exit")
        results["watcher"]["exit_after_close_ms"] = watcher_figures.exit_after_close(
            tools, config)
    except watcher_figures.Skipped as skipped:
        print(f"SKIP: {skipped}")
        return 77
    results["load"]["end"] = loadavg()
    results["minutes"] = round((time.monotonic() - began) / 60, 1)

    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "results.json"), "w") as f:
        json.dump(results, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
