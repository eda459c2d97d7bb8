#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian 12 machine.
# Idempotent: does nothing when every package is already there.
set -euo pipefail

packages=(g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine wine64 cmake ninja-build googletest procps)
# The lint step (scripts/lint.sh): LLVM 19 on Debian 12 and 13 alike, so that
# the format check and clang-tidy give the same verdict on both.
packages+=(clang-19 lld-19 clang-format-19 clang-tidy-19)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
else
  SUDO=
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends "${missing[@]}"
