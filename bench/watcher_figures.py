"""The watcher's figures: what watching costs beside a `pactl list` loop
(measured by callwatch_cpu.sh), and how fast it leaves once its host closes
its standard input."""

import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.join(HERE, "..", "callwatch", "tests")

ROWS = {"watcher": "tolvan-callwatch --watch", "loop": "sh loop: pactl list; sleep 1"}
COLUMNS = ("user_s", "system_s", "total_s", "cpu_percent", "peak_rss_kib")


class Skipped(Exception):
    """Something the measurement needs is not installed."""


def summary(values):
    ordered = sorted(values)
    n = len(ordered)
    median = ordered[n // 2] if n % 2 else (ordered[n // 2 - 1] + ordered[n // 2]) / 2
    return {"median": median, "min": ordered[0], "max": ordered[-1], "n": n}


def parse_rows(text):
    """The two result rows of callwatch_cpu.sh: a label, then five numbers."""
    rows = {}
    for line in text.splitlines():
        for key, label in ROWS.items():
            if line.startswith(label):
                numbers = line[len(label):].split()
                rows[key] = dict(zip(COLUMNS, (float(x) for x in numbers)))
    if set(rows) != set(ROWS):
        raise RuntimeError("callwatch_cpu.sh printed no result rows:\n" + text)
    return rows


def cpu(watcher, config, log):
    rounds = []
    for round_ in range(config["watch_rounds"]):
        proc = subprocess.run([os.path.join(HERE, "callwatch_cpu.sh"), watcher,
                               str(config["watch_seconds"])],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        if proc.returncode == 77:
            raise Skipped(proc.stdout.strip())
        if proc.returncode != 0:
            raise RuntimeError(f"callwatch_cpu.sh failed ({proc.returncode}):\n"
                               f"{proc.stdout}{proc.stderr}")
        rounds.append(parse_rows(proc.stdout))
        log(f"  watch round {round_ + 1}/{config['watch_rounds']} done")
    return {"seconds": config["watch_seconds"], "rounds": rounds,
            **{key: {column: summary([r[key][column] for r in rounds]) for column in COLUMNS}
               for key in ROWS}}


def exit_after_close(tools, config):
    """Closes the watcher's input at points spread over its one-second cycle,
    with a private server that has a handful of streams, and returns the
    median time until the watcher was reaped, in milliseconds."""
    sys.path.insert(0, TESTS)
    import meeting_clients as apps
    from pulse_server import PulseServer, missing_tools
    if missing_tools():
        raise Skipped("not installed: " + " ".join(missing_tools()))
    with PulseServer() as server, apps.Clients(server) as clients:
        clients.application({"application.process.binary": "firefox-esr"}, record=False)
        clients.application({"application.process.binary": "Discord"})
        clients.application({"application.process.binary": "obs"}, playback=False)
        clients.wait_streams(2, 2)
        proc = subprocess.run([tools["bench_host"], "exit-after-close",
                               "--runs", str(config["exit_runs"]), "--",
                               tools["tolvan-callwatch"], "--watch"],
                              env=server.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"exit-after-close failed: {proc.stderr.strip()}")
    values = dict(item.split("=") for item in proc.stdout.split())
    return {"median": float(values["median_ms"]), "min": float(values["min_ms"]),
            "max": float(values["max_ms"]), "n": int(values["runs"])}
