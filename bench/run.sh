#!/usr/bin/env bash
# Runs the service benchmark under Wine's service control manager and prints
# its figures with the load average before and after (uptime); the JSON copy
# goes to build/bench-results.json.
#   bench/run.sh [--runs N] [--idle-seconds S]
#   bench/run.sh --soak N      (the long soak: N start and stop cycles)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${RIVELO_BUILD_DIR:-$root/build}"
. "$root/scripts/wine-env.sh"

bash "$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$build" --target package >/dev/null
zip="$(ls "$build"/rivelo_svc-*-win64.zip)"

work="$(mktemp -d /tmp/rivelo-bench.XXXXXX)"
export WINEPREFIX="$work/prefix"
trap 'end_prefix; rm -rf "$work"' EXIT
bash "$root/scripts/wine-template.sh" "$WINEPREFIX"
wineserver -p

if [ "${1:-}" = "--soak" ]; then
  RIVELO_SOAK_CYCLES="${2:?--soak takes a number of cycles}" \
    wine "$build/bin/soak_tests.exe"
  exit
fi
# The sizes are those of the zip and of the program in it, as shipped.
mkdir "$work/package"
(cd "$work/package" && cmake -E tar xf "$zip")
uptime
wine "$build/bin/service_bench.exe" --json 'C:\bench-results.json' \
  --shipped-program "$(winepath -w "$work/package/rivelo_svc.exe")" --zip "$(winepath -w "$zip")" "$@"
uptime
cp "$WINEPREFIX/drive_c/bench-results.json" "$build/bench-results.json"
echo "figures written to $build/bench-results.json"
