#!/usr/bin/env bash
# Builds record_read_probe.exe and runs it under Wine in a prefix of its own,
# which is ended afterwards: writers and a reader of start records racing
# each other. Prints how many records were read whole, blank or not at all.
#   bench/run-record-probe.sh [--writers W] [--records N]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${RIVELO_BUILD_DIR:-$root/build}"
. "$root/scripts/wine-env.sh"

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
fi
cmake --build "$build" --target record_read_probe >/dev/null

work="$(mktemp -d /tmp/rivelo-record-probe.XXXXXX)"
export WINEPREFIX="$work/prefix"
trap 'end_prefix; rm -rf "$work"' EXIT
bash "$root/scripts/wine-template.sh" "$WINEPREFIX"

wine "$build/bin/record_read_probe.exe" "$@"
