#!/usr/bin/env bash
# Repeats what the test command does on a new machine: a new Wine template
# prefix, then at once one test group beside another, each in a copy of that
# template (as `ctest -j 2` runs the first two groups right after the
# template test). A round fails when either group fails.
#
# Usage: bench/fresh-prefix-rounds.sh N [GROUP [BESIDE]]
#   N       rounds
#   GROUP   the test group watched (default launcher_tests)
#   BESIDE  the group run beside it (default service_run_tests)
# Environment:
#   RIVELO_BIN_DIR          the built programs (default build/bin)
#   RIVELO_ROUND_TRACE=1    trace GROUP's prefix (WINEDEBUG=+timestamp,+pid,+service,+process),
#                           keep the trace, and name every service the manager
#                           started after the group's first run of rivelo_svc.exe
# Each round's output stays in a work folder, named at the end. The last line
# is "N passed, N failed".
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/scripts/wine-env.sh"

rounds="${1:?usage: fresh-prefix-rounds.sh N [GROUP [BESIDE]]}"
group="${2:-launcher_tests}"
beside="${3:-service_run_tests}"
bin="${RIVELO_BIN_DIR:-$root/build/bin}"
for program in "$group" "$beside"; do
  [ -f "$bin/$program.exe" ] || { echo "no $bin/$program.exe: build first" >&2; exit 2; }
done
work="$(mktemp -d "${TMPDIR:-/tmp}/fresh-prefix-rounds.XXXXXX")"

# Runs one group as CTest does: in a fresh copy of the template, through
# scripts/wine-run.sh, which ends and removes that prefix afterwards.
run_group() {
  local name="$1" out="$2" debug="${3:-}"
  (
    export WINEPREFIX="$work/prefix-$name" RIVELO_WINE_TEMPLATE="$work/template"
    if [ -n "$debug" ]; then export RIVELO_WINEDEBUG="$debug"; fi
    exec bash "$root/scripts/wine-run.sh" "$bin/$name.exe" >"$out" 2>"$out.wine"
  )
}

# The services whose start the manager sent after the first start of
# rivelo_svc.exe in a trace: those a run by hand could have met.
late_services() {
  local first names
  first=$(grep -n -m1 'CreateProcessInternalW app L".*rivelo_svc.exe"' "$1" | cut -d: -f1)
  if [ -z "$first" ]; then
    echo "  trace: no start of rivelo_svc.exe found"
    return
  fi
  names=$(tail -n +"$first" "$1" |
    sed -n 's/.*process_send_start_message [^ ]* L"\([^"]*\)".*/\1/p' | tr '\n' ' ')
  echo "  services started after the first run of rivelo_svc.exe: ${names:-none}"
}

passed=0
failed=0
for round in $(seq 1 "$rounds"); do
  out="$work/round-$round"
  mkdir -p "$out"
  start=$(date +%s.%N)
  rm -rf "$work/template"
  bash "$root/scripts/wine-template.sh" "$work/template"
  template_done=$(date +%s.%N)
  run_group "$beside" "$out/$beside.txt" &
  beside_pid=$!
  trace=
  [ "${RIVELO_ROUND_TRACE:-}" != 1 ] || trace=+timestamp,+pid,+service,+process
  run_group "$group" "$out/$group.txt" "$trace"
  group_status=$?
  wait "$beside_pid"
  beside_status=$?
  end=$(date +%s.%N)
  # Runs by hand that a service start made void, and that were made again.
  void_runs=$(cat "$out/$group.txt" "$out/$beside.txt" 2>/dev/null | grep -c '^run void')
  verdict=passed
  if [ "$group_status" -ne 0 ] || [ "$beside_status" -ne 0 ]; then
    verdict=FAILED
    failed=$((failed + 1))
    grep -h -B2 -A8 '^\[  FAILED  \]\|Failure$' "$out/$group.txt" "$out/$beside.txt" 2>/dev/null |
      head -40 | sed 's/^/    /'
  else
    passed=$((passed + 1))
    # The groups' output is kept only for failed rounds, or for traced ones.
    [ -n "$trace" ] || rm -rf "$out"
  fi
  awk -v r="$round" -v v="$verdict" -v s="$start" -v t="$template_done" -v e="$end" \
    -v g="$group" -v gs="$group_status" -v b="$beside" -v bs="$beside_status" \
    -v void="$void_runs" -v load="$(cut -d' ' -f1 /proc/loadavg)" \
    'BEGIN { printf "round %d %s: template %.1f s, %s %d, %s %d, %d runs made again, %.1f s in all, load %s\n", r, v, t - s, g, gs, b, bs, void, e - s, load }'
  if [ -n "$trace" ]; then
    late_services "$out/$group.txt.wine"
  fi
done
rm -rf "$work/template"
echo "output of failed or traced rounds: $work"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
