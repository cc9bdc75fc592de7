#!/usr/bin/env bash
# fuzz/run.sh OUT_DIR SECONDS: builds the conversation fuzzer of nookview's
# reader mode with clang and libFuzzer (AddressSanitizer, UBSan) into OUT_DIR
# and runs it for SECONDS. Non-zero when the build fails or a run finds a
# wrong reply, a crash, a leak or a timeout; the input is left in OUT_DIR.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out=$1 seconds=$2
cxx=$(command -v clang++-14 || command -v clang++)
core=(components frames confined_read publish reader platform-linux)
mkdir -p "$out/corpus"
"$cxx" -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  -D_FILE_OFFSET_BITS=64 -I"$top/nookview" $(printf "$top/nookview/%s.cc " "${core[@]}") \
  "$top/fuzz/conversation_fuzzer.cc" -o "$out/conversation_fuzzer" 2>&1 | sed 's/^/fuzz build: /'
cd "$out"
./conversation_fuzzer -max_total_time="$seconds" -timeout=10 -print_final_stats=1 corpus 2>&1 | tail -n 12
