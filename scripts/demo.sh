#!/usr/bin/env bash
# Sets up a fresh machine, builds, starts a simulated device at address 1 on a pseudo-terminal,
# and runs the exerciser's two commands against it with varno, printing both reports. Then a
# glance at the frame codec and the data word.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release
bin=build/release/tools
varno=$bin/varno/varno

out=$(mktemp)
"$bin/sim/varno-sim" 1 >"$out" &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null; rm -f "$out"' EXIT
for _ in $(seq 100); do
  [ -s "$out" ] && break
  sleep 0.05
done
port=$(head -n 1 "$out")

show() {
  printf '\n$ varno %s\n' "$*"
  "$varno" "$@" || true
}

echo
echo "== A device at address 1 on $port (varno-sim), asked what VarnoDLLTest asks it"
show send --port "$port" --baud 38400 --dest 1 --source 31 --code 0 --write-timeout 100 --reply-timeout 100
show send --port "$port" --baud 38400 --dest 1 --source 31 --code 3 --write-timeout 100 --reply-timeout 100
show --json send --port "$port" --dest 1 --code 3 --value -12.345 --decimals 3
show scan --port "$port" --from 1 --to 8 --reply-timeout 20

echo
echo "== The frame codec and the data word"
show encode --dest 1 --source 31 --code 0
show decode 9F 01 03 05 11 22 7F 00 01 02 19 00
show decode 9F 01 03 05 11 22 7F 00 01 02 19 01
show data --value 123.456 --decimals 2
