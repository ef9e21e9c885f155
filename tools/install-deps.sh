#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing.
set -euo pipefail

packages=(g++ cmake pkg-config libsodium-dev nlohmann-json3-dev googletest libgtest-dev libgmock-dev)
if [ "${VELNO_WITH_CLANG:-0}" = 1 ]; then
  packages+=(clang libclang-rt-dev)
fi
if [ "${VELNO_WITH_BENCH:-0}" = 1 ]; then
  packages+=(libbenchmark-dev)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    SUDO=sudo
  else
    echo "error: these packages are missing and installing them needs root: ${missing[*]}" >&2
    echo "       run this script as root, or install them with: apt-get install ${missing[*]}" >&2
    exit 1
  fi
else
  SUDO=
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq "${missing[@]}"
