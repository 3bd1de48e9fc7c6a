#!/usr/bin/env bash
# Installs everything the build, the tests and the benchmarks need on a
# Debian 12 machine. Idempotent: packages already present are not asked for
# again, so a second run costs one dpkg query.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config g++ clang libclang-rt-14-dev
  libgtest-dev libgmock-dev
  libbz2-dev liblzma-dev libwavpack-dev zlib1g-dev libdeflate-dev libzstd-dev libgcrypt20-dev
  qt6-base-dev fonts-nanum
  zip unzip 7zip wavpack libarchive-tools python3 xz-utils zstd util-linux strace
  xorriso
  debootstrap xvfb x11-utils
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq
$SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
