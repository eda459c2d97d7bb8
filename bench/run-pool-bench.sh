#!/usr/bin/env bash
# Builds bench_pool_idle.exe and runs it under Wine in a prefix of its own,
# which is ended afterwards. Prints what the pool's waiting tasks cost while
# idle and how fast they let go at the stop.
#   bench/run-pool-bench.sh [BUILD_DIR [--seconds S] [--rounds N]]
# BUILD_DIR defaults to build/ in the source tree; it is configured if needed.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
shift || true
. "$root/scripts/wine-env.sh"

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
fi
cmake --build "$build" -j2 --target bench_pool_idle >/dev/null

work="$(mktemp -d /tmp/rivelo-pool-bench.XXXXXX)"
export WINEPREFIX="$work/prefix"
trap 'end_prefix; rm -rf "$work"' EXIT
bash "$root/scripts/wine-template.sh" "$WINEPREFIX"

wine "$build/bin/bench_pool_idle.exe" "$@"
