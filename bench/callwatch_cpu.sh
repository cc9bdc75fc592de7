#!/usr/bin/env bash
# callwatch_cpu.sh WATCHER [--quick] [--page FILE]
#
# What watching costs: runs `WATCHER --watch` for a minute against a private
# PulseAudio server and a private PipeWire one, each with a few unrelated
# applications playing and recording, beside the naive alternative, a shell
# loop that runs `pactl list` once a second; then times how soon the watcher
# leaves once its host closes its standard input. Prints a table; with
# --page, also rewrites the part of FILE between the lines
# <!-- callwatch-bench:begin --> and <!-- callwatch-bench:end -->.
# --quick runs a few seconds only, to show that every step works. Builds
# nothing. Exit status 77 when no audio server is installed.
set -euo pipefail
exec python3 -B "$(dirname "$0")/callwatch_bench.py" "$@"
