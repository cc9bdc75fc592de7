#!/usr/bin/env bash
# Installs a build into a temporary prefix: the programs that were built must
# run from there, and man must find their manual pages.
set -euo pipefail
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$1" --prefix "$prefix" >/dev/null
for program in tolvan-callwatch nookview; do
  [[ -x $1/bin/$program ]] || continue
  MANPATH=$prefix/share/man man -w "$program" >/dev/null || { echo "no manual page: $program"; exit 1; }
  "$prefix/bin/$program" </dev/null >/dev/null 2>&1 && status=0 || status=$?
  [[ $status == 1 || $status == 64 ]] || { echo "$program from $prefix: status $status"; exit 1; }
done
