#!/usr/bin/env bash
# soak.sh [SECONDS] [WATCHER]
#
# Runs tolvan-callwatch --watch for SECONDS (default 3600) against a private
# PulseAudio server whose clients churn: simulated Zoom, Teams and unrelated
# applications started and stopped every few hundred milliseconds. Reports
# the duration, the number of resource samples, the watcher's descriptor
# count and resident memory at start, end and maximum, the events it wrote
# and its exit status. WATCHER defaults to build/plain/bin/tolvan-callwatch.
# Exit status 0: the watcher ran throughout, left with status 0 when let go,
# wrote well-formed lines only, nothing on standard error, and its
# descriptors and memory stayed flat; 1 otherwise; 77 without PulseAudio.
#
# A one-hour run in the background, at low priority:
#   nice -n 10 stress/callwatch/soak.sh 3600 >soak.log 2>&1 &
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
seconds=${1:-3600}
watcher=${2:-$here/../../build/plain/bin/tolvan-callwatch}
[[ $seconds =~ ^[1-9][0-9]*$ ]] || { echo "usage: soak.sh [SECONDS] [WATCHER]" >&2; exit 2; }
[[ -x $watcher ]] || { echo "soak.sh: no watcher at $watcher" >&2; exit 2; }
exec python3 -B "$here/soak.py" "$(realpath "$watcher")" "$seconds"
