#!/usr/bin/env bash
# run.sh [--quick] [--out DIR] [--bin DIR]
#
# Measures nookview and tolvan-callwatch and regenerates docs/performance.md
# with its charts (docs/img/*.png). Builds a Release tree of its own under
# build/bench unless --bin names a folder that already holds nookview,
# tolvan-callwatch, bench_host, nookview_floor and minimal_handshake.
#
#   --quick    tiny sizes: proves that every step works, measures nothing
#   --out DIR  write performance.md, img/ and results.json there instead
#
# Needs gnuplot (Debian: gnuplot-nox), strace, PulseAudio and GNU time; exits
# 77 when one is missing. Run it at normal priority on a machine that is as
# quiet as you can make it; the page records the load average it saw.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
quick=()
out=
bin=
usage() {
  echo "usage: bench/run.sh [--quick] [--out DIR] [--bin DIR]" >&2
  exit 2
}
while (($#)); do
  case $1 in
    --quick) quick=(--quick) ;;
    --out) (($# >= 2)) || usage; out=$2; shift ;;
    --bin) (($# >= 2)) || usage; bin=$2; shift ;;
    *) usage ;;
  esac
  shift
done

for tool in gnuplot strace; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (Debian packages gnuplot-nox, strace)"
    exit 77
  fi
done

if [[ -z $bin ]]; then
  echo "building a Release tree in build/bench" >&2
  cmake -S "$top" -B "$top/build/bench" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$top/build/bench" -j "$(nproc)" --target nookview tolvan-callwatch \
    bench_host nookview_floor minimal_handshake >/dev/null
  bin=$top/build/bench/bin
fi

command="bench/run.sh ${quick[*]}"
if [[ -z $out ]]; then
  out=$top/docs
  results=$top/build/bench/results.json
else
  mkdir -p "$out"
  results=$out/results.json
fi
mkdir -p "$(dirname "$results")"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
python3 -B "$top/bench/measure.py" --bin "$bin" --out "$work" --command "${command% }" \
  "${quick[@]}" || status=$?
((status == 0)) || exit "$status"
cp "$work/results.json" "$results"
python3 -B "$top/bench/report.py" --results "$results" --out "$out"
