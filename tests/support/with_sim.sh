#!/usr/bin/env bash
# Runs a test program against the simulator.
#   with_sim.sh SIM LAYOUT COMMAND...
# Starts SIM (the native varno-sim) with the devices listed in LAYOUT, runs COMMAND with
# VARNO_TEST_PORT naming the port, and stops the simulator again. The port is a link to the
# simulator's terminal: at $VARNO_SIM_LINK if set (VARNO_TEST_PORT is then $VARNO_SIM_PORT, a
# name such as COM5 that leads there), else in a temporary directory.
set -euo pipefail
sim=$1 layout=$2
shift 2
if [ ! -x "$sim" ]; then
  echo "no simulator at $sim (build the native default preset first)" >&2
  exit 1
fi
devices=()
while IFS= read -r line; do
  case "$line" in '' | '#'*) continue ;; esac
  devices+=("$line")
done <"$layout"

dir=$(mktemp -d)
link=${VARNO_SIM_LINK:-$dir/port}
"$sim" --link "$link" "${devices[@]}" >"$dir/out" &
sim_pid=$!
trap 'kill $sim_pid 2>/dev/null; wait $sim_pid 2>/dev/null; rm -rf "$dir"' EXIT
for _ in $(seq 200); do
  [ -s "$dir/out" ] && break
  sleep 0.05
done
[ -s "$dir/out" ] || { echo "the simulator did not start" >&2; exit 1; }

VARNO_TEST_PORT=${VARNO_SIM_PORT:-$link} "$@"
