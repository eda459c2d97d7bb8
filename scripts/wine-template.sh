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
touch "$template/.complete"
