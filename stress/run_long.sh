#!/bin/sh
# Long run of the racing adversary: nookview under every attack at once for
# REQUESTS requests (or until MAX_SECONDS, if given, whichever comes first),
# then the naive reader under the same attacks for NAIVE_SECONDS, to show in
# the same conditions that the attacks win against a reader without checks.
# Runs at low priority, so that it can share a machine.
#
#   stress/run_long.sh BIN_DIR [REQUESTS] [MAX_SECONDS] [NAIVE_SECONDS]
#
# BIN_DIR holds nookview, nookview_stress and nookview_naive_reader (for
# example build/plain/bin). Exit status 0 only when both runs pass.
set -u
bin=${1:?usage: run_long.sh BIN_DIR [REQUESTS] [MAX_SECONDS] [NAIVE_SECONDS]}
requests=${2:-1000000}
max_seconds=${3:-0}
naive_seconds=${4:-60}

echo "== nookview: $requests requests, every attack, started $(date -u +%FT%TZ)"
nice -n 10 "$bin/nookview_stress" --reader "$bin/nookview" --requests "$requests" \
  --seconds "$max_seconds"
confined=$?
echo "== nookview run ended $(date -u +%FT%TZ), status $confined"

echo "== naive reader: $naive_seconds s, every attack"
nice -n 10 "$bin/nookview_stress" --reader "$bin/nookview_naive_reader" \
  --seconds "$naive_seconds" --expect escapes
naive=$?
echo "== naive run ended $(date -u +%FT%TZ), status $naive"

[ "$confined" -eq 0 ] && [ "$naive" -eq 0 ]
