#!/usr/bin/env bash
# Runs a Windows program of the cross build under Wine, in a throw-away prefix of its own.
#   wine-run.sh --init        create the prefix (once per build tree)
#   wine-run.sh --can-hide    exit 0 when serial devices can be hidden from Wine (see below)
#   wine-run.sh prog.exe …    run a program
# The prefix is $VARNO_WINEPREFIX, or wineprefix/ in the current directory (the build tree, when
# CTest runs it).
#
# Serial devices: at the start of every session Wine hands each /dev/ttyS*, ttyUSB* and ttyACM*
# it finds the lowest free COM number, rewriting the prefix's COM links, so COM1 would reach
# /dev/ttyS0, which may be the system console. Every Wine process here therefore runs in a mount
# namespace of its own whose /dev lacks those devices (this needs root, or at least the right to
# unshare a mount namespace). Where that is not possible, Wine still runs, but the tests that put
# Wine on a COM port skip (--can-hide fails), and every COM link is pointed nowhere at --init.
set -euo pipefail
export PATH=/usr/lib/wine:$PATH
export WINEPREFIX=${VARNO_WINEPREFIX:-$PWD/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export DISPLAY=

# In a fresh mount namespace: replace /dev by a copy without the serial devices.
hide_serial_devices() {
  local view entry name
  view=$(mktemp -d /tmp/varno-dev.XXXXXX)
  mount -t tmpfs -o mode=755 tmpfs "$view"
  for entry in /dev/* /dev/.[!.]*; do
    [ -e "$entry" ] || [ -L "$entry" ] || continue
    name=${entry##*/}
    case $name in ttyS[0-9]* | ttyUSB[0-9]* | ttyACM[0-9]*) continue ;; esac
    if [ -L "$entry" ]; then
      cp -P "$entry" "$view/$name"
    elif [ -d "$entry" ]; then
      mkdir "$view/$name"
      mount --rbind "$entry" "$view/$name"
    else
      touch "$view/$name"
      mount --bind "$entry" "$view/$name"
    fi
  done
  mount --move "$view" /dev
  rmdir "$view" 2>/dev/null || true
}

can_hide() { unshare --mount --propagation private true 2>/dev/null; }

if [ "${1:-}" = "--can-hide" ]; then
  can_hide
  exit
fi

if [ -z "${VARNO_WINE_NAMESPACE:-}" ] && can_hide; then
  export VARNO_WINE_NAMESPACE=1
  exec unshare --mount --propagation private "$0" "$@"
fi
if [ "${VARNO_WINE_NAMESPACE:-}" = 1 ]; then
  hide_serial_devices
fi

init_prefix() {
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if [ ! -e "$WINEPREFIX/.varno-ready" ]; then
    rm -rf "$WINEPREFIX"
    wine64 wineboot -i >/dev/null 2>&1 || true
    wineserver -w || true
    for n in 1 2 3 4 5 6 7 8 9; do
      if [ "${VARNO_WINE_NAMESPACE:-}" != 1 ]; then
        # Without the namespace, Wine would give a detected device the lowest free number:
        # COM1..COM9 are taken in the registry, so that such a device lands above them.
        wine64 reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /t REG_SZ \
          /d /nonexistent/varno-no-port /f >/dev/null 2>&1 || true
      fi
      ln -sfn /nonexistent/varno-no-port "$WINEPREFIX/dosdevices/com$n"
    done
    wineserver -w || true
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
