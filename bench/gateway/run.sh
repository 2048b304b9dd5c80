#!/usr/bin/env bash
# The gateway's benchmark (gateway_bench.cpp says what it measures), built in the release preset.
#
#   bench/gateway/run.sh [ROUNDS [BLOCK]] [--cpus LIST] [--check-repeat]
#
# --cpus keeps the benchmark (the gateway and simulators it starts too) and, as root, the kernel's
# terminal worker on those CPUs (bench/common/steady.py).
# --check-repeat measures twice (bench/common/repeat.py) and exits 3, saying "NO STABLE ANSWER",
# when a printed figure moved by more than 10% between the runs.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"
command_line="bench/gateway/run.sh${*:+ $*}"
repeat=0
args=()
pin=()
while [ $# -gt 0 ]; do
  case $1 in
    --check-repeat) repeat=1; shift ;;
    --cpus) pin=(/usr/bin/python3 bench/common/steady.py --cpus "$2" --); shift 2 ;;
    [0-9]*) args+=("$1"); shift ;;
    *) echo "usage: $0 [ROUNDS [BLOCK]] [--cpus LIST] [--check-repeat]" >&2; exit 2 ;;
  esac
done
{ cmake --preset release >/dev/null && cmake --build --preset release --target gateway_bench; } >&2
bench=("${pin[@]}" build/release/bench/gateway/gateway_bench "${args[@]}")
echo "command: $command_line; $(nproc) processors, load $(cut -d' ' -f1-3 /proc/loadavg) at start"
if [ "$repeat" = 1 ]; then
  exec /usr/bin/python3 bench/common/repeat.py -- "${bench[@]}"
fi
"${bench[@]}"
echo "load $(cut -d' ' -f1-3 /proc/loadavg) at end"
