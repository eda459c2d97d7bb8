#!/usr/bin/env bash
# Runs a Windows program under Wine: the emulator that CTest puts before every
# test program. With RIVELO_WINE_TEMPLATE set, WINEPREFIX is first made as a
# fresh copy of that stopped template, and after the run that prefix alone is
# ended (wineserver -k) and removed.
set -uo pipefail
. "$(dirname "$0")/wine-env.sh"

: "${WINEPREFIX:?WINEPREFIX must name the prefix to run in}"
if [ -n "${RIVELO_WINE_TEMPLATE:-}" ]; then
  rm -rf "$WINEPREFIX"
  mkdir -p "$(dirname "$WINEPREFIX")"
  cp -a "$RIVELO_WINE_TEMPLATE" "$WINEPREFIX"
  trap 'end_prefix; rm -rf "$WINEPREFIX"' EXIT
fi

wine "$@"
