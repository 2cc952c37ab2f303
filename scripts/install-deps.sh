#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need.
# Run as root on Debian 12; safe to run again.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config git ca-certificates tzdata
  libsqlite3-dev sqlite3 libplist-dev libssl-dev openssl zlib1g-dev libimobiledevice-dev
  qt6-base-dev qt6-multimedia-dev libqt6svg6-dev libheif-dev
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev xvfb xauth
  dpkg-dev file groff-base desktop-file-utils
  fonts-noto-color-emoji
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
