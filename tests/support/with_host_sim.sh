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
if [ ! -x "$sim" ]; then
  echo "no host simulator at $sim (build the native default preset first)" >&2
  exit 1
fi
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

devices=()
while IFS= read -r line; do
  case "$line" in '' | '#'*) continue ;; esac
  devices+=("$line")
done <"$layout"

out=$(mktemp)
"$sim" --link "$prefix/dosdevices/$port" "${devices[@]}" >"$out" &
sim_pid=$!
trap 'kill $sim_pid 2>/dev/null; wait $sim_pid 2>/dev/null; rm -f "$out"' EXIT
for _ in $(seq 100); do
  [ -s "$out" ] && break
  sleep 0.05
done
[ -s "$out" ] || { echo "the simulator did not start" >&2; exit 1; }

VARNO_TEST_PORT=${port^^} "$@"
