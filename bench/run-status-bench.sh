#!/usr/bin/env bash
# Size and speed of the status program: the stripped rivelo_status.exe as the
# zip ships it, and the time it takes to answer about a running service with
# the stand-in servers, as the median of N runs under Wine (each a new
# process; the wine launcher's own start-up is not counted). Prints the load
# average before and after (uptime): run it on an idle machine.
#   bench/run-status-bench.sh [--runs N]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${RIVELO_BUILD_DIR:-$root/build}"
. "$root/scripts/wine-env.sh"

bash "$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$build" --target package status_bench >/dev/null
zip="$(ls "$build"/rivelo_svc-*-win64.zip)"

work="$(mktemp -d /tmp/rivelo-status-bench.XXXXXX)"
export WINEPREFIX="$work/prefix"
trap 'end_prefix; rm -rf "$work"' EXIT
bash "$root/scripts/wine-template.sh" "$WINEPREFIX"
wineserver -p

mkdir "$work/package"
(cd "$work/package" && cmake -E tar xf "$zip")
echo "rivelo_status.exe in $(basename "$zip"): $(stat -c %s "$work/package/rivelo_status.exe") bytes (limit 200 KB: 204800)"
uptime
wine "$build/bin/status_bench.exe" --program "$(winepath -w "$work/package/rivelo_status.exe")" "$@"
uptime
