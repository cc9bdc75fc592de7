#!/usr/bin/env python3
"""Turns results.json into a text table on standard output, the charts
OUT/img/*.png (drawn by gnuplot) and the page OUT/performance.md.

    report.py --results FILE --out DIR
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile

# Goals the two programs are held to. Throughput and start-up are relative to
# programs of ours that do the least the same work can cost, on the same
# machine in the same run, so a busy or slow machine moves both sides.
PIPELINED_FLOOR_GOAL = 0.9
STARTUP_GOAL = 1.3
USER_SHARE_GOAL = 0.10

LATENCY_CHART = "img/nookview-latency.png"
WATCHER_CHART = "img/watcher-cpu.png"


def rng(s, fmt="{:,.0f}"):
    """median (min–max)"""
    return f"{fmt.format(s['median'])} ({fmt.format(s['min'])}–{fmt.format(s['max'])})"


def yes(ok):
    return "**met**" if ok else "**missed**"


class Figures:
    """The numbers the page and the table are made of."""

    def __init__(self, r):
        self.r = r
        t = r["throughput"]
        self.depths = r["depths"]
        self.rate = {key: entry["per_second"] for key, entry in t.items()}
        self.cpu = {key: entry["cpu_us_per_request"] for key, entry in t.items()}
        self.ratio = {}
        self.cpu_ratio = {}
        for d in self.depths:
            floor = self.rate[f"floor/{d}"]["median"]
            floor_cpu = self.cpu[f"floor/{d}"]["median"]
            for mode in ("pipelined", "one-at-a-time"):
                self.ratio[(mode, d)] = self.rate[f"{mode}/{d}"]["median"] / floor
                # Floor CPU per request over nookview's: 1 means nookview
                # spends no more CPU per request than the bare calls.
                self.cpu_ratio[(mode, d)] = floor_cpu / self.cpu[f"{mode}/{d}"]["median"]
        self.user_share = {d: t[f"pipelined/{d}"]["user_share"] for d in self.depths}
        s = r["startup"]
        self.startup_ratio = s["nookview"]["median_us"] / s["minimal_handshake"]["median_us"]
        self.peak_kib = t[f"pipelined/{self.depths[-1]}"]["peak_kib"]
        self.maxrss_kib = t[f"pipelined/{self.depths[-1]}"]["maxrss_kib"]
        w = r["watcher"]
        self.watch_total = w["watcher"]["total_s"]
        self.loop_total = w["loop"]["total_s"]

    def syscalls_match(self, d):
        s = self.r["syscalls"][str(d)]
        return {k: round(v, 3) for k, v in s["nookview"].items()} == s["formula"]


def text_table(f):
    r = f.r
    lines = [f"nookview, {r['file_size']}-byte file, {r['config']['requests']:,} requests "
             f"per session, {r['config']['rounds']} rounds; requests per second, median (min–max)"]
    lines.append(f"{'depth':>5}  {'pipelined':>28}  {'one at a time':>28}  {'floor':>28}  "
                 f"{'pip/floor':>9}  {'one/floor':>9}")
    for d in f.depths:
        lines.append(f"{d:>5}  {rng(f.rate[f'pipelined/{d}']):>28}  "
                     f"{rng(f.rate[f'one-at-a-time/{d}']):>28}  {rng(f.rate[f'floor/{d}']):>28}  "
                     f"{f.ratio[('pipelined', d)]:>9.2f}  {f.ratio[('one-at-a-time', d)]:>9.2f}")
    lines.append("CPU per request (µs, user+system), median; nookview user share (pipelined)")
    for d in f.depths:
        lines.append(f"{d:>5}  pipelined {f.cpu[f'pipelined/{d}']['median']:.2f}  "
                     f"one at a time {f.cpu[f'one-at-a-time/{d}']['median']:.2f}  "
                     f"floor {f.cpu[f'floor/{d}']['median']:.2f}  "
                     f"user share {100 * f.user_share[d]['median']:.1f} %")
    lines.append("system calls per request (measured = formula?)")
    for d in f.depths:
        s = r["syscalls"][str(d)]
        total = sum(s["nookview"].values())
        lines.append(f"{d:>5}  {total:g} (formula {sum(s['formula'].values())}) "
                     f"{'matches' if f.syscalls_match(d) else 'DIFFERS'}: "
                     + " ".join(f"{k} {v:g}" for k, v in sorted(s["nookview"].items())))
    st = r["startup"]
    lines.append(f"start-up to handshake, µs, median (min–max) of {st['nookview']['runs']:.0f}: "
                 f"nookview {st['nookview']['median_us']:.0f} "
                 f"({st['nookview']['min_us']:.0f}–{st['nookview']['max_us']:.0f}), "
                 f"minimal {st['minimal_handshake']['median_us']:.0f} "
                 f"({st['minimal_handshake']['min_us']:.0f}–{st['minimal_handshake']['max_us']:.0f})"
                 f"; ratio {f.startup_ratio:.2f}")
    lines.append(f"nookview peak resident memory: VmHWM {f.peak_kib['median']:.0f} KiB, "
                 f"ru_maxrss {f.maxrss_kib['median']:.0f} KiB")
    w = r["watcher"]
    for key, label in (("watcher", "tolvan-callwatch --watch"), ("loop", "pactl loop")):
        lines.append(f"{label:<26} over {w['seconds']} s: CPU {rng(w[key]['total_s'], '{:.3f}')} s, "
                     f"peak RSS {w[key]['peak_rss_kib']['median']:.0f} KiB")
    e = w["exit_after_close_ms"]
    lines.append(f"watcher, closed input to exit: {rng(e, '{:.2f}')} ms over {e['n']} runs")
    return "\n".join(lines)


def gnuplot(script, data, out_dir):
    with tempfile.TemporaryDirectory() as scratch:
        data_file = os.path.join(scratch, "data")
        with open(data_file, "w") as fh:
            fh.write(data)
        os.makedirs(os.path.join(out_dir, "img"), exist_ok=True)
        subprocess.run(["gnuplot"], input=script.replace("DATA", data_file), text=True,
                       check=True, cwd=out_dir)


def latency_chart(f, out_dir):
    rows = []
    for d in f.depths:
        row = [f'"{d}"']
        for key in ("pipelined", "one-at-a-time", "floor"):
            rate = f.rate[f"{key}/{d}"]
            # The slowest session gives the longest time per request.
            row += [f"{1e6 / rate['median']:.3f}", f"{1e6 / rate['max']:.3f}",
                    f"{1e6 / rate['min']:.3f}"]
        rows.append(" ".join(row))
    script = f"""
set terminal pngcairo size 800,450 font "DejaVu Sans,10"
set output "{LATENCY_CHART}"
set title "nookview: wall-clock microseconds per request, {f.r['file_size']}-byte file (median, min-max)"
set xlabel "directories in the requested path"
set ylabel "microseconds per request"
set yrange [0:*]
set key top left
set style data histogram
set style histogram errorbars gap 1 lw 1
set style fill solid 0.8 border -1
set grid ytics
plot "DATA" using 2:3:4:xtic(1) title "pipelined" lc rgb "#1f77b4", \\
     "" using 5:6:7 title "one at a time" lc rgb "#ff7f0e", \\
     "" using 8:9:10 title "floor (same calls, no pipes)" lc rgb "#7f7f7f"
"""
    gnuplot(script, "\n".join(rows) + "\n", out_dir)


def watcher_chart(f, out_dir):
    w = f.r["watcher"]
    rows = []
    for column, label in (("user_s", "user"), ("system_s", "system"), ("total_s", "total")):
        row = [f'"{label}"']
        for key in ("watcher", "loop"):
            s = w[key][column]
            row += [f"{s['median']:.4f}", f"{s['min']:.4f}", f"{s['max']:.4f}"]
        rows.append(" ".join(row))
    script = f"""
set terminal pngcairo size 800,450 font "DejaVu Sans,10"
set output "{WATCHER_CHART}"
set title "CPU seconds over a {w['seconds']}-second watch (median, min-max)"
set ylabel "CPU seconds"
set yrange [0:*]
set key top left
set style data histogram
set style histogram errorbars gap 1 lw 1
set style fill solid 0.8 border -1
set grid ytics
plot "DATA" using 2:3:4:xtic(1) title "tolvan-callwatch --watch" lc rgb "#2ca02c", \\
     "" using 5:6:7 title "shell loop: pactl list; sleep 1" lc rgb "#d62728"
"""
    gnuplot(script, "\n".join(rows) + "\n", out_dir)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--results", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    with open(args.results) as fh:
        results = json.load(fh)
    figures = Figures(results)
    print(text_table(figures))
    latency_chart(figures, args.out)
    watcher_chart(figures, args.out)
    import page  # noqa: E402  (beside this file)
    with open(os.path.join(args.out, "performance.md"), "w") as fh:
        fh.write(page.render(figures, LATENCY_CHART, WATCHER_CHART,
                             goals=(PIPELINED_FLOOR_GOAL, STARTUP_GOAL, USER_SHARE_GOAL)))
    return 0


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    sys.exit(main())
