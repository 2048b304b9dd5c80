#!/usr/bin/env bash
# Installs a build tree into a scratch prefix, then builds and runs a consumer program against
# it twice: through find_package(VarnoDLL) and through pkg-config.
#   run.sh BUILD_DIR
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
export LD_LIBRARY_PATH="$scratch/prefix/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"

echo "== find_package"
cmake -S "$here" -B "$scratch/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/cmake" >/dev/null
"$scratch/cmake/consumer"

echo "== pkg-config"
export PKG_CONFIG_PATH="$scratch/prefix/lib/pkgconfig"
# shellcheck disable=SC2046
c++ -std=c++17 "$here/consumer.cpp" -o "$scratch/consumer-pc" $(pkg-config --cflags --libs VarnoDLL)
"$scratch/consumer-pc"
