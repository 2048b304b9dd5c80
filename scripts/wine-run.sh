#!/usr/bin/env bash
# Runs a Windows program of the cross build under Wine, in a throw-away prefix of its own.
#   wine-run.sh --init      create the prefix (once per build tree)
#   wine-run.sh prog.exe …  run a program
# The prefix is $VARNO_WINEPREFIX, or wineprefix/ in the current directory (the build tree, when
# CTest runs it). A new prefix points com1 at /dev/ttyS0, which may be the system console: every
# COM link is pointed at a path that does not exist before anything runs.
set -euo pipefail
export PATH=/usr/lib/wine:$PATH
export WINEPREFIX=${VARNO_WINEPREFIX:-$PWD/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export DISPLAY=

init_prefix() {
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if [ ! -e "$WINEPREFIX/.varno-ready" ]; then
    rm -rf "$WINEPREFIX"
    wine64 wineboot -i >/dev/null 2>&1 || true
    wineserver -w || true
    for n in 1 2 3 4 5 6 7 8; do
      ln -sfn /nonexistent/varno-no-port "$WINEPREFIX/dosdevices/com$n"
    done
    touch "$WINEPREFIX/.varno-ready"
  fi
  flock -u 9
}

if [ "${1:-}" = "--init" ]; then
  init_prefix
  exit 0
fi
[ -e "$WINEPREFIX/.varno-ready" ] || init_prefix
exec wine64 "$@"
