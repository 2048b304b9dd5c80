#!/usr/bin/env bash
# Installs what building and testing need, from Debian's packages; installs only what is missing.
#   setup.sh           everything the tests need (what scripts/test.sh runs first)
#   setup.sh --build   only what building the programs needs (what scripts/demo.sh runs first)
set -euo pipefail

build_packages=(
  cmake ninja-build g++ pkg-config python3
  libcli11-dev nlohmann-json3-dev libtomlplusplus-dev libcpp-httplib-dev libmosquitto-dev
  libjs-chart.js
)
test_packages=(
  googletest libgtest-dev libbenchmark-dev
  clang clang-format libclang-rt-14-dev
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64
  python3-serial ser2net
  chromium chromium-driver python3-selenium
  mosquitto mosquitto-clients python3-paho-mqtt
  dpkg-dev lintian help2man zip unzip
  qemu-system-x86 busybox-static
  python3-pytest python3-setuptools python3-pip python3-wheel python3-venv
)

build_only=0
[ "${1:-}" = --build ] && build_only=1
packages=("${build_packages[@]}")
[ "$build_only" = 1 ] || packages+=("${test_packages[@]}")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo=
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

[ "$build_only" = 0 ] || exit 0

# 32-bit Wine, for the tests of the x86 Windows build: Debian's i386 packages beside the amd64
# ones. Where they cannot be had, or the kernel runs no 32-bit programs, those tests skip.
if [ "$(dpkg --print-architecture)" = amd64 ] &&
  ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
  echo "installing: wine32:i386"
  sudo=
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  if ! { $sudo dpkg --add-architecture i386 && $sudo apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
      wine32:i386; }; then
    echo "32-bit Wine could not be installed: the x86 Windows build's tests will skip" >&2
  fi
fi
