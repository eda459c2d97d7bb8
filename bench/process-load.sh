#!/usr/bin/env bash
# Runs a command beside a heavy load of short-lived processes, the load that
# makes Wine lose a process in its start-up now and then (CreateProcessW 1359).
# Each loop starts /bin/true over and over; a loop keeps about one process
# runnable, so the load average settles near the number of loops (pure CPU
# loops add 1 each too). The command runs in the loops' session, so it meets
# them process for process: with the kernel's autogroup scheduling (on in
# Debian), a command of another session would get a whole group's share of
# the processor however high the load average.
#   bench/process-load.sh LOOPS COMMAND [ARGUMENT...]
# Prints the 1-minute load average before and after the command; exits with
# the command's status.
set -euo pipefail
loops="${1:?the number of loops}"
shift
[ "$#" -gt 0 ] || { echo "usage: bench/process-load.sh LOOPS COMMAND [ARGUMENT...]" >&2; exit 2; }

pids=()
end_loops() { [ "${#pids[@]}" -eq 0 ] || kill "${pids[@]}" 2>/dev/null || true; }
trap end_loops EXIT
for _ in $(seq "$loops"); do
  (while :; do /bin/true; done) &
  pids+=("$!")
done
# Let the load average climb before the command starts.
sleep 60
echo "load before: $(cut -d' ' -f1 /proc/loadavg) ($loops process-starting loops)"
status=0
"$@" || status=$?
echo "load after: $(cut -d' ' -f1 /proc/loadavg)"
exit "$status"
