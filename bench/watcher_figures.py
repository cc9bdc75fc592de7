"""The watcher's figures for this page generator, measured by
callwatch_bench.py: what watching costs beside a `pactl list` loop, and how
fast the watcher leaves once its host closes its standard input."""

ROWS = {"watcher": "tolvan-callwatch --watch", "loop": "sh loop: pactl list; sleep 1"}
COLUMNS = ("user_s", "system_s", "total_s", "cpu_percent", "peak_rss_kib")


class Skipped(Exception):
    """Something the measurement needs is not installed."""


def summary(values):
    ordered = sorted(values)
    n = len(ordered)
    median = ordered[n // 2] if n % 2 else (ordered[n // 2 - 1] + ordered[n // 2]) / 2
    return {"median": median, "min": ordered[0], "max": ordered[-1], "n": n}


def cpu(watcher, config, log):
    import callwatch_bench
    from audio_server import PulseAudio
    if PulseAudio.missing():
        raise Skipped("not installed: " + " ".join(PulseAudio.missing()))
    rounds, seconds = [], config["watch_seconds"]
    for round_ in range(config["watch_rounds"]):
        with PulseAudio() as server:
            costs = dict(zip(ROWS, callwatch_bench.cpu(server, watcher, seconds)))
        for cost in costs.values():
            cost["total_s"] = cost["user_s"] + cost["system_s"]
            cost["cpu_percent"] = 100 * cost["total_s"] / seconds
        rounds.append(costs)
        log(f"  watch round {round_ + 1}/{config['watch_rounds']} done")
    return {"seconds": seconds, "rounds": rounds,
            **{key: {column: summary([r[key][column] for r in rounds]) for column in COLUMNS}
               for key in ROWS}}


def exit_after_close(tools, config):
    """The median time from closing the watcher's input to reaping it, in
    milliseconds, with a private server that has a handful of streams."""
    import callwatch_bench
    from audio_server import PulseAudio
    with PulseAudio() as server:
        times = callwatch_bench.exit_latency(server, tools["tolvan-callwatch"],
                                             config["exit_runs"])
    return {"median": summary(times)["median"], "min": min(times), "max": max(times),
            "n": len(times)}
