#!/usr/bin/env bash
# The peer exchange from C#: Varno's link.Transact beside System.IO.Ports' SerialPort (NuGet)
# doing what a C# user writes (write the 12 bytes, read 12 with a time-out), on one varno-sim
# pseudo-terminal, interleaved in blocks; once with the simulator answering at once, once pacing
# the line at --baud (default 38400).
#
#   bench/dotnet/run.sh [--blocks N] [--block-size M] [--warmup W] [--baud B] [--cpus LIST]
#                       [--check-repeat]
#
# --cpus keeps the benchmark, the simulator and (as root) the kernel's terminal worker on those
# CPUs (bench/common/steady.py).
# --check-repeat measures twice (bench/common/repeat.py) and exits 3, saying "NO STABLE ANSWER",
# when a printed ratio moved by more than 10% between the runs.
#
# Builds the release preset's library and simulator and the benchmark (bench/dotnet, Release).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"
command_line="bench/dotnet/run.sh${*:+ $*}"
baud=38400
args=()
pin=()
if [[ " $* " == *" --check-repeat "* ]]; then
  rest=()
  for a in "$@"; do [ "$a" = --check-repeat ] || rest+=("$a"); done
  exec /usr/bin/python3 bench/common/repeat.py -- "$root/bench/dotnet/run.sh" "${rest[@]}"
fi
while [ $# -gt 0 ]; do
  case $1 in
    --baud) baud=$2; shift 2 ;;
    --cpus) pin=(/usr/bin/python3 "$root/bench/common/steady.py" --cpus "$2" --); shift 2 ;;
    --blocks | --block-size | --warmup) args+=("$1" "$2"); shift 2 ;;
    *) echo "usage: $0 [--blocks N] [--block-size M] [--warmup W] [--baud B] [--cpus LIST] [--check-repeat]" >&2; exit 2 ;;
  esac
done
command -v dotnet >/dev/null || { echo "run.sh: no .NET SDK (dotnet) on PATH" >&2; exit 1; }
{ cmake --preset release >/dev/null && cmake --build --preset release --target VarnoDLL varno-sim; } >&2
export DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1
dotnet build bench/dotnet/VarnoBench.csproj -nologo -v q -c Release --disable-build-servers >&2
bench=("${pin[@]}" dotnet build/dotnet/bin/VarnoBench/Release/net10.0/VarnoBench.dll build/release/tools/sim/varno-sim)
export VARNO_LIBRARY=$root/build/release/link/libVarnoDLL.so
echo "command: $command_line; $(nproc) processors, load $(cut -d' ' -f1-3 /proc/loadavg) at start"
"${bench[@]}" "${args[@]}"
[ "$baud" = 0 ] || "${bench[@]}" --baud "$baud" "${args[@]}"
echo "load $(cut -d' ' -f1-3 /proc/loadavg) at end"
