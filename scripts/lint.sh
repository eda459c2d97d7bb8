#!/usr/bin/env bash
# The lint step of the test command: the format check, clang-tidy, the Clang
# build and the link check, each failing on any finding. All four run even
# when one fails.
#
#   scripts/lint.sh               all four checks
#   scripts/lint.sh format        the format check alone
#   scripts/lint.sh tidy          clang-tidy alone (configures the Clang build
#                                 for its compile database)
#   scripts/lint.sh clang-build   the Clang build alone
#   scripts/lint.sh links         the link check alone: every relative link
#                                 in README.md and docs/ names a file that
#                                 exists, and a heading of it when it has an
#                                 anchor
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

# The pages whose links are checked.
link_pages() {
  { echo README.md; find docs -type f -name '*.md'; } | LC_ALL=C sort
}

# Every link target of the pages as "page:line:target": the "(target)" of
# "[text](target)", outside fenced code blocks and code spans (a span may run
# over a line end; it ends at a blank line at the latest).
link_targets() {
  LC_ALL=C awk '
    FNR == 1 { fenced = 0; in_code = 0 }
    /^[ \t]*(```|~~~)/ { fenced = !fenced; next }
    fenced { next }
    /^[ \t]*$/ { in_code = 0; next }
    {
      text = ""
      for (i = 1; i <= length($0); i++) {
        c = substr($0, i, 1)
        if (c == "`") in_code = !in_code
        else if (!in_code) text = text c
      }
      while (match(text, /\]\([^)]*\)/)) {
        target = substr(text, RSTART + 2, RLENGTH - 3)
        sub(/[ \t].*/, "", target)  # an optional "title"
        gsub(/^<|>$/, "", target)
        print FILENAME ":" FNR ":" target
        text = substr(text, RSTART + RLENGTH)
      }
    }' "$@"
}

# The anchors of a page, one a line, made from its headings as GitHub makes
# them: lower case, punctuation other than "-" and "_" dropped, each space a
# "-", and "-1", "-2", ... added to a repeated one.
page_anchors() {
  LC_ALL=C awk '
    /^[ \t]*(```|~~~)/ { fenced = !fenced; next }
    fenced || !/^#+[ \t]/ { next }
    {
      heading = $0
      sub(/^#+[ \t]+/, "", heading)
      sub(/[ \t]+#*[ \t]*$/, "", heading)
      heading = tolower(heading)
      gsub(/[!-,.\/:-@[-^`{-~]/, "", heading)
      gsub(/ /, "-", heading)
      anchor = heading
      if (heading in seen) anchor = heading "-" seen[heading]
      seen[heading]++
      print anchor
    }' "$1"
}

check_links() {
  echo "==> link check (README.md, docs/)"
  local entry page line target path anchor destination pages status=0
  mapfile -t pages < <(link_pages)
  while IFS= read -r entry; do
    page="${entry%%:*}"
    line="${entry#*:}"
    line="${line%%:*}"
    target="${entry#*:*:}"
    # A link with a scheme (https:, mailto:) leaves the project.
    [[ "$target" =~ ^[A-Za-z][A-Za-z0-9+.-]*: ]] && continue
    path="${target%%#*}"
    anchor=""
    [[ "$target" == *"#"* ]] && anchor="${target#*#}"
    destination="$page"
    [ -n "$path" ] && destination="$(dirname "$page")/$path"
    if [ ! -e "$destination" ]; then
      echo "$page:$line: link to a missing file: $target" >&2
      status=1
    elif [ -n "$anchor" ] && [[ "$destination" == *.md ]] &&
      ! page_anchors "$destination" | grep -qxF -- "$anchor"; then
      echo "$page:$line: link to a missing heading: $target" >&2
      status=1
    fi
  done < <(link_targets "${pages[@]}")
  return "$status"
}

cd "$root"
steps=("$@")
[ ${#steps[@]} -eq 0 ] && steps=(format tidy clang-build links)
failed=()
for step in "${steps[@]}"; do
  case "$step" in
    format) check_format || failed+=("format") ;;
    tidy) run_tidy || failed+=("clang-tidy") ;;
    clang-build) clang_build || failed+=("Clang build") ;;
    links) check_links || failed+=("links") ;;
    fix-format) fix_format || failed+=("fix-format") ;;
    *) echo "unknown step '$step' (format, tidy, clang-build, links, fix-format)" >&2; exit 2 ;;
  esac
done
if [ ${#failed[@]} -ne 0 ]; then
  echo "lint: failed: ${failed[*]}" >&2
  exit 1
fi
echo "lint: passed: ${steps[*]}"
