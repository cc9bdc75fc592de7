#!/usr/bin/env bash
# Installs a build into a temporary prefix and checks that the installed
# programs run and their manual pages are where man looks for them.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

fail() { echo "FAIL: $*"; exit 1; }
built=()
for program in tolvan-callwatch nookview; do
  if [[ -x $build/bin/$program ]]; then built+=("$program"); fi
done
for program in "${built[@]}"; do
  [[ -x $prefix/bin/$program ]] || fail "$program not installed in bin/"
  [[ -f $prefix/share/man/man1/$program.1 ]] || fail "$program.1 not installed"
  MANPATH=$prefix/share/man man -w "$program" >/dev/null 2>&1 || fail "man cannot find $program"
done

has() { [[ " ${built[*]} " == *" $1 "* ]]; }

if has tolvan-callwatch; then
err=$("$prefix/bin/tolvan-callwatch" 2>&1 >/dev/null </dev/null) && status=0 || status=$?
[[ $status == 64 && $err == "Usage: tolvan-callwatch --watch" ]] \
  || fail "installed tolvan-callwatch: status $status, stderr '$err'"
fi

if has nookview; then

# An empty root frame ends reader mode with status 1 and no output at all.
out=$(printf '' | "$prefix/bin/nookview" 2>&1) && status=0 || status=$?
[[ $status == 1 && -z $out ]] || fail "installed nookview: status $status, output '$out'"

# A real session: the root, one file, end of input.
root=$prefix/root; mkdir "$root"; printf 'hi' >"$root/f"
reply=$(python3 - "$prefix/bin/nookview" "$root" <<'PY'
import subprocess, sys
frame = lambda b: len(b).to_bytes(2, "big") + b
out = subprocess.run([sys.argv[1]], input=frame(sys.argv[2].encode()) + frame(b"f"),
                     capture_output=True, timeout=10)
print(out.returncode, out.stdout.hex(), len(out.stderr))
PY
)
[[ $reply == "0 0000000000026869 0" ]] || fail "installed nookview session: $reply"
fi
echo "installed programs and manual pages work from $prefix"
