#!/usr/bin/env bash
# The peer latency benchmark: the same request and reply over the simulator's pseudo-terminal,
# made by this library (from C and from its Python package), by a raw termios program (the
# floor), by pyserial and by Node's serialport, each against its own varno-sim, interleaved in
# short blocks; one Markdown table per line speed (the simulator answering at once, then pacing
# at --baud, default 38400) with each client's ratio to the floor per block, its CPU time and, at
# terminal speed, its instructions per exchange (perf, or valgrind's callgrind where the machine
# shows no counters). peers.py says more.
#
#   bench/peers/run.sh [N] [--block B] [--rounds R] [--warmup W] [--baud BAUD] [--paced-count P]
#                       [--cpus LIST] [--leave-workqueues] [--only NAME,...] [--no-unpaced]
#                       [--instructions SHORT,LONG] [--no-instructions] [--check-repeat]
#                       [--json FILE] [--compare FILE]
#   bench/peers/run.sh --network [N] [--block B] [--rounds R] [--warmup W] [--cpus LIST]
#                       [--check-repeat]
#
# --check-repeat measures everything twice and exits 3, saying so, when a judged figure of the two
# runs differs by more than 10%: the figures are then not this machine's to quote. --json FILE
# keeps a run's figures; --compare FILE prints this run's beside them (before and after a change).
# The repeatable setting, as root: --cpus 0 (the terminal's workqueue is kept there meanwhile).
#
# --network: this library's tcp:// and rfc2217:// ports beside pyserial's socket:// and rfc2217://
# clients, each through its own Debian ser2net (scripts/setup.sh installs it) to its own varno-sim.
#
# Builds the release preset's pieces it needs and installs the Node peer under build/peers-node
# when it is missing. pyserial comes from Debian (python3-serial, scripts/setup.sh); the
# instruction counts need Debian's valgrind, or linux-perf where the processor's counters show.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"
command_line="bench/peers/run.sh${*:+ $*}"

# Standard output carries the report; building and installing talk on standard error.
if ! { cmake --preset release >/dev/null &&
  cmake --build --preset release --target peer_termios peer_varno VarnoDLL varno-sim; } >&2; then
  echo "run.sh: the release build failed; clients whose programs are missing will be marked failed" >&2
fi

node=/usr/bin/node
command -v "$node" >/dev/null || node=node
node_dir=build/peers-node
serialport_version=13.0.0
installed=$(cd "$node_dir" 2>/dev/null &&
  "$node" -p "require('./node_modules/serialport/package.json').version" 2>/dev/null)
if [ "$installed" != "$serialport_version" ]; then
  echo "run.sh: installing serialport $serialport_version under $node_dir" >&2
  mkdir -p "$node_dir"
  cat >"$node_dir/package.json" <<JSON
{
  "name": "varno-peers-node",
  "private": true,
  "description": "Node serialport, for bench/peers",
  "dependencies": {"serialport": "$serialport_version"}
}
JSON
  if ! (cd "$node_dir" && npm install --no-audit --no-fund --loglevel=error) >&2; then
    echo "run.sh: npm install of serialport failed; the Node client will be marked failed" >&2
  fi
fi

/usr/bin/python3 -c 'import serial' 2>/dev/null ||
  echo "run.sh: /usr/bin/python3 has no pyserial (python3-serial, scripts/setup.sh);" \
    "its row will be marked failed" >&2

command -v perf >/dev/null || command -v valgrind >/dev/null ||
  echo "run.sh: neither perf nor valgrind (Debian: linux-perf, valgrind); no instruction counts" >&2

exec /usr/bin/python3 bench/peers/peers.py --command "$command_line" "$@"
