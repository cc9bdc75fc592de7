#!/usr/bin/env bash
# nookview_demo.sh NOOKVIEW: shows nookview at work on a sample folder.
#
# Builds a small folder in a temporary directory, lets the example host
# (nookview_host.mjs) ask for files that are served and files that are
# refused, then publishes a reviewed directory once and tries a second time
# under the same name. Everything it creates is removed at the end.
set -euo pipefail

if (($# != 1)); then
  echo "usage: $0 PATH-OF-NOOKVIEW" >&2
  exit 2
fi
nookview=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
here=$(cd "$(dirname "$0")" && pwd)

work=$(mktemp -d /tmp/nookview-demo.XXXXXX)
trap 'rm -rf "$work"' EXIT

# --- the sample folder --------------------------------------------------------
folder=$work/folder
outside=$work/outside
mkdir -p "$folder/notes/2026" "$outside"
printf 'Hello from the sample folder.\n' >"$folder/hello.txt"
printf 'Plan: ship the reader.\n' >"$folder/notes/2026/plan.txt"
printf 'not for the host\n' >"$outside/secret.txt"
ln -s ../outside/secret.txt "$folder/escape.txt"         # a link that leaves the folder
printf 'shared contents\n' >"$folder/shared.txt"
ln "$folder/shared.txt" "$outside/shared-twin.txt"        # a second hard link
head -c 9000 /dev/zero | tr '\0' 'x' >"$folder/big.log"  # over the 8000-byte limit

echo "Sample folder $folder:"
(cd "$work" && find folder outside -printf '  %p %y\n' | sort |
  sed 's/ f$//; s/ d$/\//; s/ l$/ (symbolic link)/')
echo
echo "Expected: the two plain files are served; escape.txt (a symbolic link),"
echo "shared.txt (a second hard link), ../ and dot names and missing files are"
echo "refused; big.log (9000 bytes) is out of the 1 to 8000 byte range."
echo

# --- reader mode through the example host -------------------------------------
node "$here/nookview_host.mjs" "$nookview" "$folder" \
  hello.txt notes/2026/plan.txt escape.txt shared.txt big.log \
  ../outside/secret.txt .hidden missing.txt
echo

# --- publish mode --------------------------------------------------------------
drafts=$work/drafts
published=$work/published
mkdir -p "$drafts/review-1" "$published"
printf 'reviewed\n' >"$drafts/review-1/summary.txt"

# Publishes drafts/review-1 into published/, identified by device and inode.
publish() {
  local entry dest status=0
  entry=$(stat -c '%d %i' "$drafts/review-1")
  dest=$(stat -c '%d %i' "$published")
  # shellcheck disable=SC2086 # the two pairs are meant to split into four numbers
  "$nookview" --publish-review review-1 $entry $dest 3<"$drafts" 4<"$published" || status=$?
  echo "publish review-1: exit status $status"
}

publish
echo "  published/ now holds: $(ls "$published")"
mkdir "$drafts/review-1"
publish
echo "  (3: the name is taken, nothing was moved or replaced)"
