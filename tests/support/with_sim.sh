#!/usr/bin/env bash
# Runs a native test program against the simulator.
#   with_sim.sh SIM LAYOUT COMMAND...
# Starts SIM (varno-sim) with the devices listed in LAYOUT, runs COMMAND with VARNO_TEST_PORT
# naming a link to the simulator's terminal, and stops the simulator again.
set -euo pipefail
sim=$1 layout=$2
shift 2
devices=()
while IFS= read -r line; do
  case "$line" in '' | '#'*) continue ;; esac
  devices+=("$line")
done <"$layout"

dir=$(mktemp -d)
"$sim" --link "$dir/port" "${devices[@]}" >"$dir/out" &
sim_pid=$!
trap 'kill $sim_pid 2>/dev/null; wait $sim_pid 2>/dev/null; rm -rf "$dir"' EXIT
for _ in $(seq 200); do
  [ -s "$dir/out" ] && break
  sleep 0.05
done
[ -s "$dir/out" ] || { echo "the simulator did not start" >&2; exit 1; }

VARNO_TEST_PORT=$dir/port "$@"
