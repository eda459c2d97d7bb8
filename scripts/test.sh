#!/usr/bin/env bash
# Installs what is missing, runs the lint step (scripts/lint.sh), builds
# everything for Windows and runs every test under Wine.
# Usage: scripts/test.sh [extra ctest arguments]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${RIVELO_BUILD_DIR:-$root/build}"

bash "$root/scripts/install-deps.sh"
bash "$root/scripts/lint.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake"
cmake --build "$build"
cd "$build"
status=0
ctest --output-on-failure -j "$(nproc)" "$@" || status=$?

# A check that this platform cannot make hold is reported by its test as
# skipped, with the reason; the test's other checks still ran. List them, so
# that a pass is not read as more than it is.
log="$build/Testing/Temporary/LastTest.log"
if [ -f "$log" ] && grep -q '^skipped on this platform:' "$log"; then
  echo
  echo "Checks skipped on this platform (every other check of these tests ran):"
  grep '^skipped on this platform:' "$log" | sort -u | sed 's/^/  /'
  grep -E '^\[  SKIPPED \] .* \([0-9]+ ms\)$' "$log" | sed 's/^\[  SKIPPED \]/  skipped:/'
fi
exit "$status"
