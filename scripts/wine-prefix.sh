#!/usr/bin/env bash
# start PREFIX: make the Wine prefix if needed and keep one wineserver alive
#   for the test run (a cold server costs seconds per piped run).
# stop PREFIX: stop that prefix's server, and only that one.
set -euo pipefail
action=$1
export WINEPREFIX=$2 WINEDEBUG=-all LANG=C.UTF-8 WINEDLLOVERRIDES="mscoree,mshtml="
case "$action" in
start)
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    wineboot -i </dev/null >/dev/null 2>&1
    wineserver -w
  fi
  # -p: persist until killed. The server must not hold our caller's pipes
  # open, or whoever reads our output waits for the server to end.
  # It answers 2 when a persistent server of this prefix is already up.
  wineserver -p </dev/null >/dev/null 2>&1 || [ $? -eq 2 ]
  # The first program brings up Wine's own services, which live as long as
  # the server; start them here, away from any pipe a test reads.
  wine cmd /c exit </dev/null >/dev/null 2>&1
  ;;
stop)
  wineserver -k 2>/dev/null || true
  ;;
*)
  echo "usage: $0 start|stop PREFIX" >&2
  exit 2
  ;;
esac
