#!/usr/bin/env bash
# Makes a stopped Wine prefix at $1, to be copied for each test group.
# Reuses one that is already complete.
set -euo pipefail
. "$(dirname "$0")/wine-env.sh"

template="$1"
if [ -f "$template/.complete" ]; then
  exit 0
fi
rm -rf "$template"
mkdir -p "$template"
export WINEPREFIX="$template"
wineboot --init >/dev/null 2>&1
wineserver -w
# RpcSs starts on demand: in a new prefix, explorer.exe asks for it, and when
# its first try came before the service manager listened it asks again a
# second or two later (start_rpcss in dlls/combase/rpc.c), while a test group
# may already run. Started with the prefix instead, it is running before the
# first program of a group starts: the manager starts every automatic
# service before it signals that it has started (main and
# scmdatabase_autostart_services in programs/services/services.c), and the
# first process of a prefix waits for that (run_wineboot in
# dlls/ntdll/unix/env.c, start_services_process in programs/wineboot).
wine reg add 'HKLM\System\CurrentControlSet\Services\RpcSs' /v Start /t REG_DWORD /d 2 /f >/dev/null
wineserver -w
touch "$template/.complete"
