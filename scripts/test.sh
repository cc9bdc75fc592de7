#!/usr/bin/env bash
# Sets everything up and runs every test: the plain build first, then the
# AddressSanitizer + UndefinedBehaviorSanitizer build.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"

for variant in plain asan; do
  opts=()
  [[ $variant == asan ]] && opts=(-DTOLVAN_SANITIZE=ON)
  echo "== $variant build"
  "$top/scripts/build.sh" "$top/build/$variant" "${opts[@]}"
  echo "== $variant tests"
  ctest --test-dir "$top/build/$variant" --output-on-failure -j "$(nproc)" --timeout 300
done
