#!/usr/bin/env bash
# The main job: builds rivelo_svc.exe, its Windows package and the stand-in
# servers, makes a Wine prefix, unpacks the package into a root folder whose
# path holds spaces, lays out stand-in servers there, registers the service
# with the package's install-service.cmd (run by cmd.exe), takes it through
# its whole life (start, pause, continue, stop), asking status-service.cmd
# after the start and after the stop, and removes it with
# uninstall-service.cmd. Says what it does as it goes and cleans up after
# itself.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${RIVELO_BUILD_DIR:-$root/build}"
. "$root/scripts/wine-env.sh"

service=Rivelo
wait_seconds=30

step() { printf '\n==> %s\n' "$*"; }
controller() { wine "$build/bin/service_controller.exe" "$service" "$@"; }
# The sample root's server processes, with their command lines (a Wine
# process's Linux command line is its Windows one).
servers() {
  ps -eo pid=,args= | grep -E '^ *[0-9]+ "?C:\\Program Files\\KVR Rivelo\\.*(httpd|php-cgi|mysqld)\.exe' |
    sed 's/^/    /' || true
}
web_processes() { servers | grep -F "\\$1.exe" || true; }
# Ends what a Wine whose taskkill /IM ends one process of a name per call
# (Wine 10; Windows and Wine 8 end every one) leaves after the web server's
# stop: of each name, the web server's worker (the service reported STOPPED
# only once the parent it started had exited) and a php-cgi.exe. The tests'
# taskkill probe says how many of its processes of one name one taskkill
# leaves; a stop that left more of a name, or any on a Wine that ends them
# all, is the service's fault and stays for the check below.
end_web_processes_left_by_wine() {
  local probe probe_left probe_started image left explained=
  [ -n "$(web_processes httpd)$(web_processes php-cgi)" ] || return 0
  # "LEFT of STARTED"; without it the processes left cannot be told apart.
  if ! probe="$(wine "$build/bin/taskkill_probe.exe" | tr -d '\r')"; then
    echo "run-service.sh: the taskkill probe $build/bin/taskkill_probe.exe failed (its message above); cannot tell which web server processes Wine's taskkill left" >&2
    exit 1
  fi
  read -r probe_left _ probe_started <<< "$probe"
  for image in httpd php-cgi; do
    left="$(web_processes "$image" | grep -c . || true)"
    [ "$left" -gt 0 ] && [ "$left" -le "$probe_left" ] || continue
    if [ -z "$explained" ]; then
      echo "  this Wine's taskkill /IM ends one process of a name per call (probe: $probe_started running, one taskkill, $probe_left left), where Windows ends every one;"
      echo "  so the web server's stop left these, and run-service.sh ends them with Wine's taskkill /IM NAME /F:"
      explained=1
    fi
    web_processes "$image"
    for _ in $(seq "$left"); do
      wine taskkill /IM "$image.exe" /F >/dev/null || true  # what it leaves, the check below reports
    done
    for _ in $(seq 100); do  # until Wine has taken the ended processes down
      [ -z "$(web_processes "$image")" ] && break
      sleep 0.1
    done
  done
}
# Runs a script of the package with Wine's cmd.exe, from another folder.
package_script() { (cd "$WINEPREFIX/drive_c" && wine cmd /c "$root_win\\$1"); }
# A loopback TCP port that nothing listens on (/proc/net/tcp and tcp6 hold
# the local port in hexadecimal).
free_port() {
  local port hex
  while :; do
    port=$((20000 + RANDOM % 40000))
    hex="$(printf '%04X' "$port")"
    cat /proc/net/tcp /proc/net/tcp6 2>/dev/null | grep -q ":$hex " || { echo "$port"; return; }
  done
}
# Runs status-service.cmd and checks its exit status against the expected
# ones ("0 2" or "1"). Where Wine does not name the process of a listening
# socket, the program cannot tell whether the servers listen and says so
# with status 2.
status_expecting() {
  local output status
  set +e
  output="$(package_script status-service.cmd | tr -d '\r')"
  status=$?
  set -e
  printf '%s\n' "$output" | sed 's/^/    /'
  printf '    exit status %d\n' "$status"
  case " $1 " in
    *" $status "*) ;;
    *) echo "  expected exit status $1"; exit 1 ;;
  esac
  if [ "$status" = 2 ] && ! grep -q 'whether it listens cannot be told' <<< "$output"; then
    echo "  a server is missing"
    exit 1
  fi
}

step "Installing what is missing, building and making the package"
bash "$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$build" --target package
zip="$(ls "$build"/rivelo_svc-*-win64.zip)"

work="$(mktemp -d /tmp/rivelo-run.XXXXXX)"
export WINEPREFIX="$work/prefix"
cleanup() {
  wine sc delete "$service" >/dev/null 2>&1 || true
  end_prefix
  rm -rf "$work"
}
trap cleanup EXIT

step "Making a Wine prefix in $WINEPREFIX"
bash "$root/scripts/wine-template.sh" "$WINEPREFIX"
wineserver -p  # keeps the service manager and the service alive between commands

root_win='C:\Program Files\KVR Rivelo'
sample="$WINEPREFIX/drive_c/Program Files/KVR Rivelo"
step "Unpacking $(basename "$zip") into $root_win"
mkdir -p "$sample"
(cd "$sample" && cmake -E tar xf "$zip")
(cd "$sample" && ls -l | sed 's/^/    /')

step "Laying out stand-in servers beside it"
mkdir -p "$sample/apache/bin" "$sample/apache/logs" "$sample/mysql/bin" "$sample/mysql/data" \
         "$sample/php/lib/imagick"
cp "$build/bin/httpd.exe" "$sample/apache/bin/"
cp "$build/bin/php-cgi.exe" "$sample/php/"
cp "$build/bin/mysqld.exe" "$build/bin/mysqladmin.exe" "$sample/mysql/bin/"
# The stand-ins listen on 127.0.0.1 at the port these files name.
free_port > "$sample/apache/listen-port"
free_port > "$sample/mysql/listen-port"
(cd "$sample" && find . -type f | sort | sed 's/^/    /')

step "Run by hand without arguments: the banner on standard error"
wine "$root_win\\rivelo_svc.exe" || true

step "Run by hand with a bad option"
set +e
wine "$root_win\\rivelo_svc.exe" start -w 'C:\nowhere'
printf '    exit status %d\n' $?
set -e

step "Registering the service: $root_win\\install-service.cmd, run from C:\\"
package_script install-service.cmd
echo "  the registration (Start 2 is automatic; PreshutdownTimeout 0x2bf20 is 180000 ms):"
wine reg query "HKLM\\SYSTEM\\CurrentControlSet\\Services\\$service" | sed 's/^/    /'

step "Running install-service.cmd again: refused, the service exists"
set +e
package_script install-service.cmd
printf '    exit status %d\n' $?
set -e

step "Starting it"
controller start
controller wait RUNNING "$wait_seconds"
controller status
for _ in $(seq 100); do  # the servers start right after RUNNING is reported
  [ "$(servers | wc -l)" -ge 4 ] && break
  sleep 0.1
done
echo "  running servers:"
servers
echo "  pid file: $(tr -d '\r' < "$sample/apache/logs/httpd.pid")"

step "Asking whether the servers really run: $root_win\\status-service.cmd, run from C:\\"
status_expecting "0 2"

step "Pausing it: only the reported state changes, the servers keep running"
controller pause
controller wait PAUSED "$wait_seconds"
controller status
servers

step "Continuing it"
controller continue
controller wait RUNNING "$wait_seconds"
controller status

step "Stopping it: taskkill for httpd and php-cgi, mysqladmin shutdown for the database"
controller stop-and-wait "$wait_seconds"
controller status
end_web_processes_left_by_wine
left="$(servers)"
if [ -n "$left" ]; then
  echo "  servers left running:"
  echo "$left"
  exit 1
fi
echo "  no httpd.exe, php-cgi.exe or mysqld.exe left running"
if [ -e "$sample/apache/logs/httpd.pid" ]; then
  echo "  the pid file is still there"
  exit 1
fi
echo "  the pid file is gone"

step "Asking again: $root_win\\status-service.cmd"
status_expecting 1

step "Removing the service: $root_win\\uninstall-service.cmd"
package_script uninstall-service.cmd
if wine sc query "$service" >/dev/null 2>&1; then
  echo "  the service is still registered"
  exit 1
fi
echo "  sc query $service: no such service"

step "Removing the prefix"
