#!/usr/bin/env bash
# Sets up a fresh machine with what building the programs needs (apt-get), builds them (no tests),
# and shows them at work on simulated devices: the exerciser's two commands with varno, then one
# bus shared through varno-gateway by two programs at once, while the gateway polls a value.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --build
cmake --preset demo >/dev/null
cmake --build --preset demo
bin=build/demo/tools
varno=$bin/varno/varno

scratch=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$scratch"
}
trap cleanup EXIT

# Waits (at most 5 s) for a file to have a first line.
await_line() {
  for _ in $(seq 100); do
    [ -s "$1" ] && return 0
    sleep 0.05
  done
  echo "demo: nothing in $1" >&2
  return 1
}

show() {
  printf '\n$ varno %s\n' "$*"
  "$varno" "$@" || true
}

# Devices 1 (answers with the command's data word) and 5 (a temperature: 21.5, D7 00 00 01).
"$bin/sim/varno-sim" 1 5:data=0x010000D7 >"$scratch/sim" &
pids+=($!)
await_line "$scratch/sim"
port=$(head -n 1 "$scratch/sim")

echo
echo "== A device at address 1 on $port (varno-sim), asked what VarnoDLLTest asks it"
show send --port "$port" --baud 38400 --dest 1 --source 31 --code 0 --write-timeout 100 --reply-timeout 100
show send --port "$port" --baud 38400 --dest 1 --source 31 --code 3 --write-timeout 100 --reply-timeout 100
show --json send --port "$port" --dest 1 --code 3 --value -12.345 --decimals 3
show scan --port "$port" --from 1 --to 8 --reply-timeout 20

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
listen=$(free_port)
http=$(free_port)
cat >"$scratch/gateway.toml" <<TOML
[gateway]
listen = "127.0.0.1:$listen"
http = "127.0.0.1:$http"

[[bus]]
name = "bench"
port = "$port"
baud = 38400

[[point]]
name = "boiler/temperature"
bus = "bench"
dest = 5
code = 3
decimals = 1
unit = "°C"
every_ms = 200
TOML

echo
echo "== The same bus shared through varno-gateway: it owns $port, polls device 5 and serves"
echo "   varno://127.0.0.1:$listen/bench"
"$bin/gateway/varno-gateway" --config "$scratch/gateway.toml" --check
"$bin/gateway/varno-gateway" --config "$scratch/gateway.toml" 2>"$scratch/gateway.log" &
pids+=($!)
for _ in $(seq 100); do
  [ "$(grep -c listening "$scratch/gateway.log" 2>/dev/null)" -ge 2 ] && break
  sleep 0.05
done
bus="varno://127.0.0.1:$listen/bench"

echo
echo "$ varno poll --port $bus --dest 1 --code 3 --count 20 --interval 50 &   # one program"
echo "$ varno send --port $bus --dest 5 --code 3 ...                          # and another, meanwhile"
"$varno" poll --port "$bus" --dest 1 --code 3 --count 20 --interval 50 >"$scratch/poll" 2>&1 &
poller=$!
for _ in 1 2 3; do
  "$varno" send --port "$bus" --dest 5 --code 3 --reply-timeout 100 || true
  sleep 0.2
done
wait "$poller" || true
echo "-- what the first program saw:"
tail -n 6 "$scratch/poll"

echo
echo "== The gateway's metrics (http://127.0.0.1:$http/metrics), a few lines"
python3 - "$http" <<'PY'
import sys, urllib.request
text = urllib.request.urlopen(f"http://127.0.0.1:{sys.argv[1]}/metrics", timeout=5).read().decode()
for line in text.splitlines():
    if not line.startswith("#") and ("transactions" in line or "point_value" in line):
        print(line)
PY

echo
echo "== The frame codec and the data word"
show encode --dest 1 --source 31 --code 0
show decode 9F 01 03 05 11 22 7F 00 01 02 19 00
show decode 9F 01 03 05 11 22 7F 00 01 02 19 01
show data --value 123.456 --decimals 2
