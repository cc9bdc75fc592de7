#!/usr/bin/env bash
# Installs what building, testing and demonstrating both programs needs on
# Debian 12. Quick and silent when everything is already there.
set -euo pipefail

packages=(
  cmake make g++ pkg-config libgtest-dev libgmock-dev clang-format
  libpulse-dev pulseaudio pulseaudio-utils
  pipewire pipewire-bin pipewire-pulse wireplumber
  python3 util-linux e2fsprogs strace bindfs time
  gnuplot-nox man-db
)

# Node.js 18 or later and npm, for the Node.js host library, its tests and the
# examples. Either may come from another source than Debian's packages, so the
# commands are what counts; Debian's are installed only where one is missing.
command -v node >/dev/null || packages+=(nodejs)
command -v npm >/dev/null || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
