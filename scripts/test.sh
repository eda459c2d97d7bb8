#!/usr/bin/env bash
# Installs what is missing, builds everything for Windows and runs every test
# under Wine. Usage: scripts/test.sh [extra ctest arguments]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${RIVELO_BUILD_DIR:-$root/build}"

bash "$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake"
cmake --build "$build"
cd "$build"
ctest --output-on-failure -j "$(nproc)" "$@"
