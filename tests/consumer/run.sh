#!/usr/bin/env bash
# Builds and runs a consumer program against an installed VarnoDLL twice: through
# find_package(VarnoDLL) and through pkg-config.
#   run.sh BUILD_DIR          installs the build tree into a scratch prefix first
#   run.sh --prefix PREFIX    uses a tree already installed there (e.g. unpacked packages)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

if [ "$1" = --prefix ]; then
  prefix=$(cd "$2" && pwd)
else
  prefix=$scratch/prefix
  cmake --install "$1" --prefix "$prefix" >/dev/null
fi
# The library directory is lib, or lib/<multiarch> under /usr on Debian: where the .pc file is.
pc_file=$(find "$prefix" -name VarnoDLL.pc -path '*/pkgconfig/*' | head -n 1)
[ -n "$pc_file" ] || { echo "no VarnoDLL.pc under $prefix" >&2; exit 1; }
libdir=$(dirname "$(dirname "$pc_file")")
export LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"

echo "== find_package"
cmake -S "$here" -B "$scratch/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$scratch/cmake" >/dev/null
"$scratch/cmake/consumer"

echo "== pkg-config"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046
c++ -std=c++17 "$here/consumer.cpp" -o "$scratch/consumer-pc" $(pkg-config --cflags --libs VarnoDLL)
"$scratch/consumer-pc"
