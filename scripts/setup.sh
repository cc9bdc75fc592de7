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
