# Sourced by the scripts that run Wine: quiet (unless RIVELO_WINEDEBUG gives
# Wine's debug channels), no Mono or Gecko prompts, and UTF-8 arguments
# passed through unchanged.
export WINEDEBUG="${RIVELO_WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="
export LANG=C.UTF-8
export WINEARCH=win64

# Ends the Wine server of $WINEPREFIX, and with it every process of that prefix.
end_prefix() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
}
