#!/usr/bin/env bash
# Sets up a fresh machine, builds, and shows the frame codec and the data word at work.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release
varno=build/release/tools/varno/varno

show() { printf '\n$ varno %s\n' "$*"; "$varno" "$@" || true; }
show encode --dest 1 --source 31 --code 0
show encode --dest 1 --source 31 --code 3 --param 0x85 --word FF 80 01 02
show decode 9F 01 03 05 11 22 7F 00 01 02 19 00
show decode 9F 01 03 05 11 22 7F 00 01 02 19 01
show data --value 123.456 --decimals 2
show data --value -1.5 --decimals 1
show --json data F8 E0 F5 03
