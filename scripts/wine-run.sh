#!/usr/bin/env bash
# Runs a Windows program of the cross build under Wine, in a throw-away prefix of its own.
#   wine-run.sh --init        create the prefix (once per build tree)
#   wine-run.sh --can-hide    exit 0 when serial devices can be hidden from Wine (see below)
#   wine-run.sh --can-run prog.exe
#                             exit 0 when this machine's Wine can run the program; otherwise say
#                             why on standard output and exit 1
#   wine-run.sh prog.exe …    run a program; exit 77 (skipped) with the reason when it cannot run
# The prefix is $VARNO_WINEPREFIX, or wineprefix/ in the current directory (the build tree, when
# CTest runs it). It is a 64-bit prefix, with the 32-bit side (WoW64) where 32-bit Wine is
# installed: 64-bit programs run with wine64, 32-bit ones with the 32-bit loader, `wine` (Debian's
# wine32:i386), or $VARNO_WINE32 where set.
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
wine32=${VARNO_WINE32:-wine}

# The machine a Windows program is built for: i386, x86_64, or nothing for anything else.
pe_machine() {
  local offset
  [ -f "$1" ] && [ "$(head -c 2 "$1" 2>/dev/null)" = MZ ] || return 0
  offset=$(od -An -tu4 -j 60 -N 4 "$1" | tr -d ' ')
  [ "$(od -An -c -j "$offset" -N 4 "$1" | tr -d ' ')" = 'PE\0\0' ] || return 0
  case $(od -An -tx2 -j $((offset + 4)) -N 2 "$1" | tr -d ' ') in
    014c) echo i386 ;;
    8664) echo x86_64 ;;
  esac
}

# The 32-bit loader is an i386 program: it needs the i386 packages and a kernel that runs 32-bit
# programs.
have_wine32() { command -v "$wine32" >/dev/null && "$wine32" --version >/dev/null 2>&1; }

# Why the program cannot run here, or nothing.
cannot_run() {
  if [ "$(pe_machine "$1")" = i386 ] && ! have_wine32; then
    if command -v "$wine32" >/dev/null && [ -e /lib/ld-linux.so.2 ] &&
      ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
      # The loader is installed, but the kernel refuses i386 programs (ENOEXEC), as kernels
      # without IA-32 emulation, or with it switched off, do.
      echo "${1##*/} is a 32-bit program and this machine's kernel does not run 32-bit programs" \
        "(IA-32 emulation off), so 32-bit Wine cannot start here"
    else
      echo "${1##*/} is a 32-bit program and this machine has no 32-bit Wine ($wine32 is missing" \
        "or does not run; scripts/setup.sh installs Debian's wine32:i386 where the machine allows)"
    fi
  fi
}

if [ "${1:-}" = "--can-run" ]; then
  reason=$(cannot_run "${2:?--can-run needs a program}")
  [ -z "$reason" ] || { echo "$reason"; exit 1; }
  exit 0
fi
if [ -n "${1:-}" ] && [ "${1:0:2}" != -- ]; then
  reason=$(cannot_run "$1")
  if [ -n "$reason" ]; then
    echo "skipped: $reason"
    exit 77
  fi
fi

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

# A prefix made before 32-bit Wine was installed lacks its 32-bit side: it is made anew.
prefix_kind() { if have_wine32; then echo wow64; else echo win64; fi; }
prefix_ready() { [ "$(cat "$WINEPREFIX/.varno-ready" 2>/dev/null)" = "$(prefix_kind)" ]; }

init_prefix() {
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if ! prefix_ready; then
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
    prefix_kind >"$WINEPREFIX/.varno-ready"
  fi
  flock -u 9
}

if [ "${1:-}" = "--init" ]; then
  init_prefix
  exit 0
fi
prefix_ready || init_prefix
if [ "$(pe_machine "$1")" = i386 ]; then
  exec "$wine32" "$@"
fi
exec wine64 "$@"
