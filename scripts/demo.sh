#!/usr/bin/env bash
# Sets everything up, builds, and shows both programs working live on this
# machine: the watcher against an audio server during a simulated Zoom call,
# and nookview serving a sample folder to a small host and publishing once.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
"$top/scripts/build.sh" "$top/build/plain"
bin=$top/build/plain/bin

echo "== tolvan-callwatch: a simulated Zoom call"
"$top/examples/callwatch_demo.sh" "$bin/tolvan-callwatch"
echo
echo "== nookview: a host reading a sample folder, then one publish"
"$top/examples/nookview_demo.sh" "$bin/nookview"
