#!/usr/bin/env bash
# Checks the packages that scripts/package.sh made, as a distribution and a user would:
#   .deb   lintian without errors, and without warnings that an overrides file does not explain;
#          unpacked together into a throw-away root (dpkg -x): the library's soname and links,
#          a consumer built with find_package and with pkg-config, the programs' versions, the
#          exerciser and the Python package loading the unpacked library through their links
#   .zip   the files a Windows integrator needs, for the right processor; the exerciser run from
#          the unpacked folder under Wine (x86: only where Wine can run 32-bit programs)
#   run.sh [PACKAGE_DIR]      (default build/packages)
set -uo pipefail
cd "$(dirname "$0")/../.."
source_dir=$PWD
packages=$(cd "${1:-build/packages}" && pwd)
scratch=$(mktemp -d)
# One Wine prefix for every run here, made afresh; its server is let finish before it goes.
export VARNO_WINEPREFIX=$scratch/wineprefix
finish() {
  if [ -d "$VARNO_WINEPREFIX" ]; then
    WINEPREFIX=$VARNO_WINEPREFIX PATH=/usr/lib/wine:$PATH wineserver -w 2>/dev/null
  fi
  rm -rf "$scratch"
}
trap finish EXIT

passed=0
failed=0
skipped=0
pass() { passed=$((passed + 1)); echo "passed: $*"; }
fail() { failed=$((failed + 1)); echo "FAILED: $*"; }
skip() { skipped=$((skipped + 1)); echo "skipped: $*"; }

# check NAME COMMAND...: runs the command, its output shown only when it fails.
check() {
  local name=$1 log=$scratch/log
  shift
  if "$@" >"$log" 2>&1; then
    pass "$name"
  else
    sed 's/^/    /' "$log"
    fail "$name"
  fi
}

# exerciser NAME SCENARIO ARGS...: tests/exerciser/exerciser_test.py, whose 77 means "cannot be
# tried here".
exerciser() {
  local name=$1 log=$scratch/log code
  shift
  python3 tests/exerciser/exerciser_test.py "$@" >"$log" 2>&1
  code=$?
  case $code in
    0) pass "$name" ;;
    77) skip "$name: $(sed -n 's/^skipped: //p' "$log")" ;;
    *) sed 's/^/    /' "$log"; fail "$name" ;;
  esac
}

# --- Debian packages ------------------------------------------------------------------------------

# Every override carries its reason: a comment right above it.
overrides_explained() {
  local file status=0
  for file in packaging/deb/*.lintian-overrides; do
    [ -e "$file" ] || continue
    awk -v file="$file" '
      /^[[:space:]]*$/ { reason = 0; next }
      /^#/ { reason = 1; next }
      !reason { print file ": no reason above: " $0; bad = 1 }
      END { exit bad }' "$file" || status=1
  done
  return $status
}

lintian_clean() {
  lintian --fail-on error,warning "$@"
}

soname_and_links() {
  local libdir=$1 file
  file=$(readlink -f "$libdir/libVarnoDLL.so")
  [ -f "$file" ] || { echo "libVarnoDLL.so leads nowhere"; return 1; }
  [ "$(readlink -f "$libdir/libVarnoDLL.so.1")" = "$file" ] ||
    { echo "libVarnoDLL.so.1 does not lead to $file"; return 1; }
  readelf -d "$file" | grep -F '(SONAME)' | grep -qF '[libVarnoDLL.so.1]' ||
    { echo "soname of $file:"; readelf -d "$file" | grep SONAME; return 1; }
}

# A host that loads the library by its plain name, as hosts did before it had a soname; the
# library says it is the package's version.
loads_by_plain_name() {
  LD_LIBRARY_PATH=$1 python3 - "$2" <<'EOF'
import ctypes, sys
version = ctypes.CDLL("libVarnoDLL.so").varnoVersion
version.restype = ctypes.c_char_p
got = version().decode()
sys.exit(0 if got == sys.argv[1] else f"varnoVersion() is {got!r}, the package {sys.argv[1]!r}")
EOF
}

program_version() {
  local program=$1 expected=$2 got
  got=$("$program" --version) || return 1
  [ "$got" = "$expected" ] || { echo "$program --version: got '$got', expected '$expected'"; return 1; }
}

# The Python package of the tools package, with only the library package beside it: it loads
# the library through the link inside it, and converts a data word with it.
python_package_loads() {
  env -u VARNO_LIBRARY PYTHONPATH="$1/usr/lib/python3/dist-packages" /usr/bin/python3 - "$1" <<'EOF'
import os, sys
import varno
path = os.path.realpath(varno.library_path())
assert path.startswith(os.path.realpath(sys.argv[1]) + os.sep), path
assert bytes(varno.Data.from_decimal(123.45, 2)) == bytes.fromhex("39300002")
EOF
}

check_debs() {
  local debs=("$packages"/*.deb)
  [ -e "${debs[0]}" ] || { skip "no .deb in $packages"; return; }
  check "lintian overrides each give a reason" overrides_explained
  check "lintian: no errors, no unexplained warnings" lintian_clean "${debs[@]}"

  # Everything in one root; the library and the tools alone in another, as a user who does not
  # build programs has them.
  local root=$scratch/root users_root=$scratch/users-root deb version
  for deb in "${debs[@]}"; do dpkg -x "$deb" "$root"; done
  for deb in "$packages"/libvarnodll1_*.deb "$packages"/varnodll-tools_*.deb; do
    dpkg -x "$deb" "$users_root"
  done
  version=$(dpkg-deb -f "$(ls "$packages"/libvarnodll1_*.deb)" Version)
  local pc libdir
  pc=$(find "$root" -name VarnoDLL.pc | head -n 1)
  libdir=$(dirname "$(dirname "$pc")")

  check "soname libVarnoDLL.so.1, with libVarnoDLL.so and .so.1 leading to the library" \
    soname_and_links "$libdir"
  check "a host loads libVarnoDLL.so by name; varnoVersion() is the package's" \
    loads_by_plain_name "$libdir" "$version"
  check "consumer built against the unpacked packages (find_package, pkg-config)" \
    tests/consumer/run.sh --prefix "$root/usr"
  # varno links the library like any host: installed, the system's loader finds it there;
  # unpacked, it is shown where.
  local users_libdir
  users_libdir=$(dirname "$(find "$users_root" -name libVarnoDLL.so.1 | head -n 1)")
  LD_LIBRARY_PATH=$users_libdir check "varno --version is the package's" \
    program_version "$users_root/usr/bin/varno" "varno $version"
  check "varno-sim --version is the package's" \
    program_version "$users_root/usr/bin/varno-sim" "varno-sim $version"
  check "varno-gateway --version is the package's" \
    program_version "$users_root/usr/bin/varno-gateway" "varno-gateway $version"
  check "varno-gateway's systemd unit runs the packaged program" \
    grep -q '^ExecStart=/usr/bin/varno-gateway ' "$users_root/usr/lib/systemd/system/varno-gateway.service"
  check "the Python package loads the unpacked library through its link" \
    python_package_loads "$users_root"
  # Started through bin/'s link, the program finds the unpacked library beside itself, with no
  # development package there.
  exerciser "exerciser from the unpacked library and tools packages" no-port \
    --program "$users_root/usr/bin/VarnoDLLTest"
}

# --- Windows zips ---------------------------------------------------------------------------------

zip_contents() {
  local folder=$1 format=$2 file
  for file in bin/VarnoDLL.dll bin/VarnoDLLTest.exe lib/libVarnoDLL.dll.a \
      lib/cmake/VarnoDLL/VarnoDLLConfig.cmake README.txt LICENSE.txt bin/varno/__init__.py; do
    [ -f "$folder/$file" ] || { echo "missing: $file"; return 1; }
  done
  for file in "$source_dir"/link/include/*.h; do
    [ -f "$folder/include/${file##*/}" ] || { echo "missing: include/${file##*/}"; return 1; }
  done
  for file in "$folder"/bin/*.dll "$folder"/bin/*.exe; do
    objdump -f "$file" | grep -q "file format $format" ||
      { echo "$file is not $format:"; objdump -f "$file"; return 1; }
  done
}

# Whether scripts/wine-run.sh runs a 32-bit program here: a program that only exits, built with
# the 32-bit build's own compiler.
wine_runs_32_bit() {
  local compiler
  compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' build/mingw32/CMakeCache.txt 2>/dev/null)
  [ -n "$compiler" ] || compiler=i686-w64-mingw32-g++-posix
  echo 'int main() { return 0; }' >"$scratch/probe.cpp"
  "$compiler" -static -o "$scratch/probe32.exe" "$scratch/probe.cpp" &&
    scripts/wine-run.sh "$scratch/probe32.exe"
}

check_zip() {
  local zip=$1 format=$2
  local name=${zip##*/}
  local folder=$scratch/zip/${name%.zip}
  mkdir -p "$scratch/zip"
  if ! unzip -q -o "$zip" -d "$scratch/zip" || [ ! -d "$folder" ]; then
    fail "$name: unpacks into ${name%.zip}/"
    return
  fi
  check "$name: DLL, import library, headers, exerciser, README and licence ($format)" \
    zip_contents "$folder" "$format"
  if [ "$format" = pei-i386 ] && ! wine_runs_32_bit >"$scratch/probe.log" 2>&1; then
    skip "$name: exerciser under Wine: scripts/wine-run.sh cannot run 32-bit programs here" \
      "(32-bit Wine missing or broken): $(grep -v '^$' "$scratch/probe.log" | tail -n 1)"
    return
  fi
  exerciser "$name: exerciser from the unpacked folder under Wine" wine-no-port \
    --program "$folder/bin/VarnoDLLTest.exe" --emulator "$source_dir/scripts/wine-run.sh"
}

check_zips() {
  local zip found=0
  for zip in "$packages"/VarnoDLL-*-win64.zip; do
    [ -e "$zip" ] && found=1 && check_zip "$zip" pei-x86-64
  done
  for zip in "$packages"/VarnoDLL-*-win32.zip; do
    [ -e "$zip" ] && found=1 && check_zip "$zip" pei-i386
  done
  [ "$found" = 1 ] || skip "no .zip in $packages"
}

check_debs
check_zips
echo "packages: $passed passed, $failed failed, $skipped skipped"
[ "$failed" = 0 ]
