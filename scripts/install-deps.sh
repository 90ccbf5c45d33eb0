#!/usr/bin/env bash
# Installs the Debian 12 packages the project builds, tests and demonstrates with. Idempotent:
# when every package is present it does nothing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang-format
  clang clang-tidy libclang-rt-14-dev  # the fuzz targets: libFuzzer and the sanitizers of clang
  libssl-dev openssl libcjson-dev libgtest-dev googletest
  libnss3-dev libnss3-tools
  libgtk-3-dev libgcr-3-dev fonts-wqy-microhei
  xvfb xauth xdotool imagemagick
  dpkg-dev file  # make package: CPack finds the Depends with dpkg-shlibdeps, the binaries with file
  chromium firefox-esr
  tzdata
  python3  # a test holds an SQLite lock on the NSS database with its sqlite3 module
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq "${missing[@]}"
