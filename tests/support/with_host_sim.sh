#!/usr/bin/env bash
# Runs a Windows test program under Wine against the host's device simulator.
#   with_host_sim.sh SIM LAYOUT COMPORT COMMAND...
# Starts SIM (the native varno-sim) with the devices listed in LAYOUT, points COMPORT (com5, ...)
# of the Wine prefix at its terminal, runs COMMAND with VARNO_TEST_PORT naming the port, and
# stops the simulator again. COMMAND is the Wine runner and the program; exits 77 (skipped) where
# that Wine cannot run the program or cannot be kept off the machine's serial devices.
set -euo pipefail
sim=$1 layout=$2 port=$3
shift 3
if ! reason=$("$1" --can-run "$2"); then
  echo "skipped: $reason"
  exit 77
fi
if ! "$1" --can-hide; then
  echo "skipped: Wine cannot be kept off this machine's serial devices here (no mount namespace)"
  exit 77
fi
prefix=${VARNO_WINEPREFIX:-$PWD/wineprefix}
"$1" --init  # the Wine runner: make sure the prefix exists before linking into it

VARNO_SIM_LINK=$prefix/dosdevices/$port VARNO_SIM_PORT=${port^^} \
  exec "$(dirname "$0")/with_sim.sh" "$sim" "$layout" "$@"
