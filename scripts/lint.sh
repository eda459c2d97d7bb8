#!/usr/bin/env bash
# The lint step of the test command: the format check, clang-tidy and the
# Clang build, each failing on any finding. All three run even when one fails.
#
#   scripts/lint.sh               all three checks
#   scripts/lint.sh format        the format check alone
#   scripts/lint.sh tidy          clang-tidy alone (configures the Clang build
#                                 for its compile database)
#   scripts/lint.sh clang-build   the Clang build alone
#   scripts/lint.sh fix-format    formats every C++ file in place
#
# The Clang build goes to "${RIVELO_BUILD_DIR:-build}-clang".
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${RIVELO_BUILD_DIR:-$root/build}-clang"
jobs="$(nproc)"
clang_format=clang-format-19
clang_tidy=clang-tidy-19

# Every C++ file of the project: what the format covers.
format_files() {
  find src tests bench -type f \( -name '*.cpp' -o -name '*.h' \) | LC_ALL=C sort
}

# What clang-tidy reads: the product and the test support code. Their
# headers are checked where a source file includes them; a header that no
# source file of these folders includes is read on its own. The test groups
# and the stand-in programs are left out: they hold little logic of their
# own, and checking them would double the time of the step.
tidy_files() {
  find src tests/support -type f -name '*.cpp' | LC_ALL=C sort
  local header included_as
  for header in $(find src tests/support -type f -name '*.h' | LC_ALL=C sort); do
    case "$header" in
      src/*) included_as="${header#src/}" ;;
      tests/*) included_as="${header#tests/}" ;;
    esac
    grep -rqF "#include \"$included_as\"" src tests/support || echo "$header"
  done
}

check_format() {
  echo "==> format check ($($clang_format --version))"
  format_files | xargs "$clang_format" --dry-run --Werror
}

fix_format() {
  format_files | xargs "$clang_format" -i
}

configure_clang_build() {
  cmake -S "$root" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/clang-mingw-w64-x86_64.cmake" \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
}

run_tidy() {
  echo "==> clang-tidy ($($clang_tidy --version | grep -o 'LLVM version [0-9.]*'))"
  configure_clang_build || return 1
  # Each file's count of (ignored) warnings in system headers is left out.
  tidy_files | xargs -P "$jobs" -n 1 "$clang_tidy" -p "$build" --quiet \
    2> >(grep -v '^[0-9]* warnings\? generated\.$' >&2)
}

clang_build() {
  echo "==> Clang build (warnings as errors)"
  configure_clang_build && cmake --build "$build"
}

cd "$root"
steps=("$@")
[ ${#steps[@]} -eq 0 ] && steps=(format tidy clang-build)
failed=()
for step in "${steps[@]}"; do
  case "$step" in
    format) check_format || failed+=("format") ;;
    tidy) run_tidy || failed+=("clang-tidy") ;;
    clang-build) clang_build || failed+=("Clang build") ;;
    fix-format) fix_format || failed+=("fix-format") ;;
    *) echo "unknown step '$step' (format, tidy, clang-build, fix-format)" >&2; exit 2 ;;
  esac
done
if [ ${#failed[@]} -ne 0 ]; then
  echo "lint: failed: ${failed[*]}" >&2
  exit 1
fi
echo "lint: passed: ${steps[*]}"
