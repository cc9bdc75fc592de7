#!/usr/bin/env bash
# Builds the nookview fuzz targets with clang++ and libFuzzer, then runs each
# for a number of seconds on a copy of its seed corpus.
#
#   fuzz/run.sh [--seconds N] [--out DIR] [--build-only | --run-only] [TARGET...]
#
# TARGET is one of frames, conversation, components, numbers (all by
# default). DIR (default build/fuzz) receives the binaries, the working
# corpora, one log per target and any crash files. Exits non-zero when a
# build fails or a target finds a crash, a leak or a timeout.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=60
out=$top/build/fuzz
build_only=0
run_only=0
targets=()
while (($#)); do
  case $1 in
    --seconds) seconds=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --build-only) build_only=1; shift ;;
    --run-only) run_only=1; shift ;;
    -*) echo "run.sh: unknown option $1" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done
((${#targets[@]})) || targets=(frames conversation components numbers)

cxx=${CXX_FUZZ:-$(command -v clang++-14 || command -v clang++)}
flags=(-std=c++20 -g -O1 -fno-omit-frame-pointer -fsanitize=address,undefined
       -fno-sanitize-recover=all -Wall -Wextra -Wshadow -Wconversion -Wno-sign-conversion
       -Werror -D_FILE_OFFSET_BITS=64 -I"$top/nookview")
# The core without its self-restriction (see sandbox_off.cc).
core=(frames.cc confined_read.cc publish.cc reader.cc platform-linux.cc)

build() {
  mkdir -p "$out/obj"
  objects=()
  for source in "${core[@]}"; do
    object=$out/obj/${source%.cc}.o
    "$cxx" "${flags[@]}" -fsanitize=fuzzer-no-link -c "$top/nookview/$source" -o "$object"
    objects+=("$object")
  done
  "$cxx" "${flags[@]}" -c "$top/fuzz/sandbox_off.cc" -o "$out/obj/sandbox_off.o"
  objects+=("$out/obj/sandbox_off.o")

  for target in "${targets[@]}"; do
    "$cxx" "${flags[@]}" -fsanitize=fuzzer "$top/fuzz/${target}_fuzzer.cc" "${objects[@]}" \
      -o "$out/${target}_fuzzer"
  done
}
((run_only)) || build
((build_only)) && exit 0

failed=0
for target in "${targets[@]}"; do
  corpus=$out/corpus/$target
  mkdir -p "$corpus" "$out/crashes/$target"
  cp -n "$top/fuzz/corpus/$target"/* "$corpus"/ 2>/dev/null || true
  options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
           -artifact_prefix="$out/crashes/$target/")
  [[ -f $top/fuzz/$target.dict ]] && options+=(-dict="$top/fuzz/$target.dict")
  echo "== $target: ${seconds}s"
  if "$out/${target}_fuzzer" "${options[@]}" "$corpus" >"$out/$target.log" 2>&1; then
    grep -E '^#[0-9]+.*DONE|stat::number_of_executed_units' "$out/$target.log" | tail -2
  else
    failed=1
    echo "!! $target failed; the log is $out/$target.log" >&2
    tail -40 "$out/$target.log" >&2
  fi
done
exit $failed
