#!/usr/bin/env python3
"""A minimal host for tolvan-callwatch, using only the standard library.

    callwatch_host.py [--since EPOCH-SECONDS] PATH-OF-TOLVAN-CALLWATCH

Starts the watcher with "--watch", keeps a pipe on its standard input (its
lifeline), and prints every event line as it arrives, as written and in
words, with the time since the start (or since the given moment of the
system clock, so that a caller can stamp its own messages on the same
clock). When this program's own standard input ends (or on Ctrl-C) it lets
the watcher go by closing the pipe, and reports how the watcher ended. A
line it does not know makes it let the watcher go at once: it comes from a
watcher this host was not written for. Exit status: 0 when the watcher left
with 0 after being let go, 1 otherwise.
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


def describe(line):
    """The line in words; None for anything but the five lines of version 1."""
    try:
        event = json.loads(line)
    except ValueError:
        return None
    if not isinstance(event, dict) or event.get("version") != 1:
        return None
    kind, provider = event.get("type"), event.get("provider")
    if kind == "ready" and set(event) == {"version", "type"}:
        return "ready: the watcher is sampling"
    if kind in ("candidate-started", "candidate-ended") and provider in ("zoom", "teams") \
            and set(event) == {"version", "type", "provider"}:
        return f"{kind}: {provider}"
    return None


def main(argv):
    args = argv[1:]
    began = time.time()
    if len(args) == 3 and args[0] == "--since":
        began, args = float(args[1]), args[2:]
    if len(args) != 1:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    stamp = lambda: f"{time.time() - began:6.2f} s"  # noqa: E731
    watcher = subprocess.Popen([args[0], "--watch"], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    events = selectors.DefaultSelector()
    events.register(watcher.stdout, selectors.EVENT_READ, "watcher")
    events.register(sys.stdin, selectors.EVENT_READ, "host")
    pending, unknown = b"", None
    try:
        while watcher.poll() is None and unknown is None:
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
                *lines, pending = (pending + chunk).split(b"\n")
                for line in lines:
                    meaning = describe(line)
                    if meaning is None:
                        unknown = line
                        print(f"{stamp()}  {line!r}  (unknown: letting the watcher go)", flush=True)
                        break
                    print(f"{stamp()}  {line.decode()}  ({meaning})", flush=True)
    except KeyboardInterrupt:
        pass
    watcher.stdin.close()  # the lifeline: the watcher leaves at once
    status = watcher.wait()
    message = watcher.stderr.read().decode().strip()
    print(f"{stamp()}  watcher left with status {status} "
          f"({STATUSES.get(status, 'unexpected')}){': ' + message if message else ''}", flush=True)
    return 0 if status == 0 and unknown is None else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
