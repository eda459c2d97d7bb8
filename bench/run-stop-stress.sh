#!/usr/bin/env bash
# Builds stop_stress.exe and runs it under Wine in a prefix of its own, which
# is ended afterwards. With --load, two shell loops keep both cores busy
# beside it (ended by their process ids afterwards). Prints the load average
# before and after.
#   bench/run-stop-stress.sh [--load] [--cycles N] [--stoppers K]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${RIVELO_BUILD_DIR:-$root/build}"
. "$root/scripts/wine-env.sh"

loads=()
if [ "${1:-}" = "--load" ]; then
  shift
  for _ in 1 2; do
    (while :; do :; done) &
    loads+=("$!")
  done
fi

work="$(mktemp -d /tmp/rivelo-stop-stress.XXXXXX)"
export WINEPREFIX="$work/prefix"
finish() {
  for pid in "${loads[@]}"; do kill "$pid" 2>/dev/null || true; done
  end_prefix
  rm -rf "$work"
}
trap finish EXIT

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
fi
cmake --build "$build" -j2 --target stop_stress >/dev/null
cp -a "$build/wine/template" "$WINEPREFIX" 2>/dev/null ||
  bash "$root/scripts/wine-template.sh" "$WINEPREFIX"
wineserver -p
uptime
wine "$build/bin/stop_stress.exe" "$@"
uptime
