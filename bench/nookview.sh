#!/usr/bin/env bash
# bench/nookview.sh BIN_DIR [--quick] [--page FILE]
#
# What nookview costs, from BIN_DIR's nookview, nookview_bench and
# minimal_handshake: requests per second at depths 0 to 3 (a 1024-byte file
# under d directories), pipelined (32 in flight) and one at a time, beside
# the floor (nookview itself reading its frames from a file and replying to
# /dev/null: its own system calls without a host); start-up beside a minimal
# handshake program; and system calls per request (strace). Medians of
# ROUNDS rounds that take each variant in turn. With --page, rewrites the
# part of FILE between the nookview-bench markers and its chart. --quick:
# tiny sizes, proves every step works.
set -euo pipefail
bin=$1 && shift
count=100000 rounds=5 runs=500 page=
while (($#)); do
  case $1 in
    --quick) count=500 rounds=1 runs=5 ;;
    --page) page=$2 && shift ;;
  esac
  shift
done
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT
root=$work/root paths=(page.txt d1/page.txt d1/d2/page.txt d1/d2/d3/page.txt)
mkdir -p "$root/d1/d2/d3"
for p in "${paths[@]}"; do head -c 1024 /dev/urandom >"$root/$p"; done
median() { tr ' ' '\n' | sort -n | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }
frames() { # the root frame and $2 requests for path $1
  python3 -c 'import sys; f = lambda t: len(t).to_bytes(2, "big") + t.encode()
sys.stdout.buffer.write(f(sys.argv[1]) + f(sys.argv[2]) * int(sys.argv[3]))' "$root" "$1" "$2" >"$work/in"
}
calls() { # system calls of a session of $2 requests for path $1
  frames "$1" "$2" && strace -qq -f -o "$work/trace" "$bin/nookview" <"$work/in" >/dev/null
  wc -l <"$work/trace"
}
floor() { # requests per second of nookview reading from a file, replying to /dev/null
  frames "$1" "$2"
  local start=$(date +%s%N) && "$bin/nookview" <"$work/in" >/dev/null
  echo $(($2 * 1000000000 / ($(date +%s%N) - start)))
}
table="| depth | path | pipelined | one at a time | floor | pipelined ÷ floor | system calls per request |
|---|---|---|---|---|---|---|"
for depth in 0 1 2 3; do
  p=${paths[depth]} piped=() single=() floor=()
  for ((r = 0; r < rounds; r++)); do
    piped+=("$("$bin/nookview_bench" pipelined "$bin/nookview" "$root" "$p" "$count" 32)")
    single+=("$("$bin/nookview_bench" pipelined "$bin/nookview" "$root" "$p" $((count / 5)) 1)")
    floor+=("$(floor "$p" "$count")")
  done
  piped=$(median <<<"${piped[*]}") single=$(median <<<"${single[*]}") floor=$(median <<<"${floor[*]}")
  per=$((($(calls "$p" 200) - $(calls "$p" 0)) / 200))
  echo "$depth $piped $single $floor" >>"$work/chart.dat"
  table+="
| $depth | \`$p\` | $piped | $single | $floor | $(awk "BEGIN {printf \"%.2f\", $piped / $floor}") | $per |"
done
nv=() least=()
for ((r = 0; r < rounds; r++)); do
  nv+=($("$bin/nookview_bench" startup "$bin/nookview" "$root" "$runs"))
  least+=($("$bin/nookview_bench" startup "$bin/minimal_handshake" "$root" "$runs"))
done
nv=$(median <<<"${nv[*]}") least=$(median <<<"${least[*]}")
startup="| program | start to handshake, µs (median) |
|---|---|
| nookview | $nv |
| minimal_handshake | $least |
| ratio | $(awk "BEGIN {printf \"%.2f\", $nv / $least}") |"
printf '%s\n\n%s\n' "$table" "$startup"
[[ -n $page ]] || exit 0
chart=$(dirname "$page")/img/nookview-throughput.png && mkdir -p "$(dirname "$chart")"
gnuplot -e "set terminal png size 720,360; set output '$chart'; set key top right;
  set xlabel 'directories in the path'; set ylabel 'requests per second'; set xtics 1; set yrange [0:*];
  plot '$work/chart.dat' using 1:4 with linespoints title 'floor',
       '' using 1:2 with linespoints title 'pipelined', '' using 1:3 with linespoints title 'one at a time'"
region="<!-- nookview-bench:begin -->
Measured by \`bench/run.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC') ($(nproc) cores, load
average $(cut -d' ' -f1-3 /proc/loadavg) at the end); medians of $rounds rounds.
Requests per second over $count requests for one 1024-byte file, every reply
checked; one at a time over $((count / 5)).

$table

![requests per second by depth](img/nookview-throughput.png)

$startup
<!-- nookview-bench:end -->"
python3 - "$page" "$region" <<'PY'
import re, sys
page, region = sys.argv[1], sys.argv[2]
text = open(page).read()
text = re.sub(r"<!-- nookview-bench:begin -->.*<!-- nookview-bench:end -->", lambda m: region, text, flags=re.S)
open(page, "w").write(text)
PY
