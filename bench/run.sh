#!/usr/bin/env bash
# bench/run.sh [--quick]: builds a Release tree of its own (build/bench),
# measures both programs and the Node.js library's reads, and rewrites their
# parts of docs/performance.md (with --quick: tiny sizes, and the page is left
# alone). Run it on a machine as quiet as you can make it; the page records
# the load average it saw.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top" # so that the page shows the commands as run from the top
quick=() page=(--page docs/performance.md)
[[ ${1:-} == --quick ]] && quick=(--quick) page=()
cmake -S "$top" -B "$top/build/bench" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$top/build/bench" -j "$(nproc)" --target nookview tolvan-callwatch nookview_bench \
  minimal_handshake >/dev/null
bin=$top/build/bench/bin
echo "== nookview"
"$top/bench/nookview.sh" "$bin" "${quick[@]}" "${page[@]}"
echo "== the Node.js library's reads"
if command -v node >/dev/null; then
  node "$top/bench/node_reader.mjs" "$bin/nookview" "${quick[@]}" "${page[@]}"
else
  echo "skipped: no node"
fi
echo "== tolvan-callwatch"
"$top/bench/callwatch_cpu.sh" "$bin/tolvan-callwatch" "${quick[@]}" "${page[@]}"
