#!/usr/bin/env bash
# Installs everything the build, the tests and the main job need on a fresh Debian machine.
# Safe to run again: it installs only what is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build g++ clang libclang-rt-14-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev libboost-dev
  python3
  # Default disc image, independent readers of the image formats the tests compare
  # against, and the libraries the image engine links.
  xorriso genisoimage bchunk ccd2iso mdf2iso nrg2iso iat libcdio-utils libcdio-dev libiso9660-dev
  zlib1g-dev libbz2-dev libssl-dev
  # The window-framework stand-in: text with FreeType from a sans face with regular and bold
  # styles, PNG snapshots and artwork with libpng.
  libfreetype-dev libpng-dev fonts-liberation2
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  echo "Installing: ${missing[*]}"
  $sudo_cmd apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y --no-install-recommends "${missing[@]}"
fi
