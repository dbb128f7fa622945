#!/usr/bin/env bash
# start PREFIX [PREFIX...]: make the Wine prefixes if needed and keep one
#   wineserver alive in each for the test run (a cold server costs seconds
#   per piped run). The first is made by wineboot; each further one is a copy
#   of the first, made while no server runs in it, so that tests can run in
#   several prefixes side by side.
# stop PREFIX [PREFIX...]: stop those prefixes' servers, and only those.
set -euo pipefail
action=$1
shift
[ $# -gt 0 ] || { echo "usage: $0 start|stop PREFIX [PREFIX...]" >&2; exit 2; }
export WINEDEBUG=-all LANG=C.UTF-8 WINEDLLOVERRIDES="mscoree,mshtml="
case "$action" in
start)
  first=$1
  if [ ! -f "$first/system.reg" ]; then
    mkdir -p "$first"
    WINEPREFIX=$first wineboot -i </dev/null >/dev/null 2>&1
    WINEPREFIX=$first wineserver -w
  fi
  for prefix in "${@:2}"; do
    if [ ! -f "$prefix/system.reg" ]; then
      # A server still running in the first (a run stopped short) may be
      # writing its registry: it is stopped before the copy.
      WINEPREFIX=$first wineserver -k 2>/dev/null || true
      WINEPREFIX=$first wineserver -w
      rm -rf "$prefix"
      cp -a "$first" "$prefix"
    fi
  done
  for prefix in "$@"; do
    export WINEPREFIX=$prefix
    # -p: persist until killed. The server must not hold our caller's pipes
    # open, or whoever reads our output waits for the server to end.
    # It answers 2 when a persistent server of this prefix is already up.
    wineserver -p </dev/null >/dev/null 2>&1 || [ $? -eq 2 ]
    # The first program brings up Wine's own services, which live as long as
    # the server; start them here, away from any pipe a test reads.
    wine cmd /c exit </dev/null >/dev/null 2>&1
  done
  ;;
stop)
  for prefix in "$@"; do
    WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
  done
  ;;
*)
  echo "usage: $0 start|stop PREFIX [PREFIX...]" >&2
  exit 2
  ;;
esac
