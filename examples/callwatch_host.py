#!/usr/bin/env python3
"""A minimal host for tolvan-callwatch, using only the standard library.

    callwatch_host.py PATH-OF-TOLVAN-CALLWATCH

Starts the watcher with "--watch", keeps a pipe on its standard input (its
lifeline), and prints every event line as it arrives, as written and in
words, with the time since the start. When this program's own standard
input ends (or on Ctrl-C) it lets the watcher go by closing the pipe, and
reports how the watcher ended. Exit status: 0 when the watcher left with 0, 1 otherwise.
"""

import json
import os
import selectors
import subprocess
import sys
import time

# What a host should make of each exit status.
STATUSES = {
    0: "let go by its host",
    1: "an event line could not be written",
    64: "wrong command line",
    69: "no audio process list (no audio server reachable)",
    75: "five snapshots in a row failed",
}


def describe(event):
    """The event in words; raises ValueError for anything but the known lines."""
    if event.get("version") != 1:
        raise ValueError(f"unknown version in {event!r}")
    kind, provider = event.get("type"), event.get("provider")
    if kind == "ready" and set(event) == {"version", "type"}:
        return "ready: the watcher is sampling"
    if kind in ("candidate-started", "candidate-ended") and provider in ("zoom", "teams"):
        return f"{kind}: {provider}"
    raise ValueError(f"unexpected event {event!r}")


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    began = time.monotonic()
    stamp = lambda: f"{time.monotonic() - began:6.2f} s"
    watcher = subprocess.Popen([argv[1], "--watch"], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    events = selectors.DefaultSelector()
    events.register(watcher.stdout, selectors.EVENT_READ, "watcher")
    events.register(sys.stdin, selectors.EVENT_READ, "host")
    pending = b""
    try:
        while watcher.poll() is None:
            for key, _ in events.select():
                if key.data == "host":
                    if not os.read(sys.stdin.fileno(), 4096):
                        raise KeyboardInterrupt  # our own input ended: let go
                    continue
                chunk = os.read(watcher.stdout.fileno(), 4096)
                if not chunk:
                    events.unregister(watcher.stdout)
                    watcher.wait()
                    break
                pending += chunk
                *lines, pending = pending.split(b"\n")
                for line in lines:
                    meaning = describe(json.loads(line))
                    print(f"{stamp()}  {line.decode()}  ({meaning})", flush=True)
    except KeyboardInterrupt:
        pass
    watcher.stdin.close()  # the lifeline: the watcher leaves at once
    status = watcher.wait()
    message = watcher.stderr.read().decode().strip()
    print(f"{stamp()}  watcher left with status {status} "
          f"({STATUSES.get(status, 'unexpected')}){': ' + message if message else ''}", flush=True)
    return 0 if status == 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
