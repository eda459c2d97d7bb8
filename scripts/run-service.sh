#!/usr/bin/env bash
# The main job: builds rivelo_svc.exe, makes a Wine prefix, lays out a sample
# root folder and runs the program there, saying what it does as it goes.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${RIVELO_BUILD_DIR:-$root/build}"
. "$root/scripts/wine-env.sh"

step() { printf '\n==> %s\n' "$*"; }

step "Installing what is missing and building"
bash "$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$build"

work="$(mktemp -d /tmp/rivelo-run.XXXXXX)"
export WINEPREFIX="$work/prefix"
cleanup() {
  end_prefix
  rm -rf "$work"
}
trap cleanup EXIT

step "Making a Wine prefix in $WINEPREFIX"
bash "$root/scripts/wine-template.sh" "$WINEPREFIX"
wineserver -p  # keep the prefix's server alive between the commands below

sample="$WINEPREFIX/drive_c/rivelo"
step "Laying out a sample root folder at C:\\rivelo"
mkdir -p "$sample/apache/bin" "$sample/apache/logs" "$sample/mysql/bin" "$sample/php/lib/imagick"
cp "$build/bin/rivelo_svc.exe" "$sample/rivelo_svc.exe"
(cd "$sample" && find . -type d | sort | sed 's/^/    /')

run() {
  printf '$ rivelo_svc.exe %s\n' "$*"
  set +e
  wine 'C:\rivelo\rivelo_svc.exe' "$@"
  local status=$?
  set -e
  printf '    exit status %d\n' "$status"
}

step "Without arguments: the banner on standard error"
run

step "A good start outside the service manager"
run start -w 'C:\rivelo'

step "A bad option: a folder that does not exist"
run start -w 'C:\nowhere'

step "A bad option: a --dtrs value that begins with -"
run start --dtrs -x
