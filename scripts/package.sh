#!/usr/bin/env bash
# Makes the release packages into build/packages/ (or $VARNO_PACKAGE_DIR):
#   libvarnodll1_VERSION_ARCH.deb      the shared library
#   libvarnodll-dev_VERSION_ARCH.deb   headers, libVarnoDLL.so, CMake package, pkg-config file
#   varnodll-tools_VERSION_ARCH.deb    varno, varno-sim, VarnoDLLTest and their manual pages
#   VarnoDLL-VERSION-win64.zip         Windows x64: DLL, import library, headers, exerciser
#   VarnoDLL-VERSION-win32.zip         Windows x86: the same
# from release builds (presets package, mingw64 and mingw32), stripped.
#   package.sh [--deb-only | --zip-only]
# tests/packages/run.sh checks what this makes. The version is the project's (CMakeLists.txt);
# packaging/deb/changelog must have an entry for it.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD
out=${VARNO_PACKAGE_DIR:-$source_dir/build/packages}
make_deb=1
make_zip=1
case ${1:-} in
  --deb-only) make_zip=0 ;;
  --zip-only) make_deb=0 ;;
  "") ;;
  *) echo "usage: $0 [--deb-only | --zip-only]" >&2; exit 2 ;;
esac

# Dates in the manual pages and file times in the packages: the changelog's, not the clock's.
SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l packaging/deb/changelog -STimestamp)
export SOURCE_DATE_EPOCH
changelog_version=$(dpkg-parsechangelog -l packaging/deb/changelog -SVersion)

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$out"

# The version a configured build tree was made with (from the header generated out of the
# project version).
build_version() {
  sed -n 's/^#define VARNO_VERSION_STRING "\(.*\)"$/\1/p' "$1/link/generated/varno_version.h"
}

# Modes 0755 and 0644 whatever the umask, times clamped to SOURCE_DATE_EPOCH (dpkg-deb and zip
# record no owner of ours).
normalize_tree() {
  local root=$1
  find "$root" -type d -exec chmod 0755 {} +
  find "$root" -type f -exec chmod 0644 {} +
  find "$root" -type f \( -path '*/bin/*' -o -path '*/libexec/*' -o -name '*.dll' -o -name '*.exe' \) \
    -exec chmod 0755 {} +
  find "$root" -newermt "@$SOURCE_DATE_EPOCH" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
}

# --- Debian packages ------------------------------------------------------------------------------

# dpkg's way of counting: each file's size in KiB rounded up, one for anything else.
installed_size() {
  find "$1" -mindepth 1 -path "$1/DEBIAN" -prune -o -printf '%y %s\n' |
    awk '$1 == "f" { kib += int(($2 + 1023) / 1024); next } { kib += 1 } END { print kib }'
}

# The ELF files under $1, one a line.
elf_files() {
  find "$1" -type f -exec sh -c 'head -c 4 "$1" | grep -q "^.ELF"' _ {} \; -print | sort
}

# As Debian's own packaging strips: all symbols but those a shared library exports, and the
# compiler's notes.
strip_elf_files() {
  local file
  while read -r file; do
    case $file in
      *.so | *.so.*) strip --remove-section=.comment --remove-section=.note --strip-unneeded "$file" ;;
      *) strip --remove-section=.comment --remove-section=.note "$file" ;;
    esac
  done < <(elf_files "$1")
}

# The shared libraries that the ELF files under $1 need, as a Depends value. Our own library is
# left out: the packages that need it name it with an exact version.
shlibs_depends() {
  local tree=$1 runtime_libdir=$2 elf
  mapfile -t elf < <(elf_files "$tree")
  [ ${#elf[@]} -gt 0 ] || return 0
  # The trees are staged as debian/PACKAGE/ under $scratch, where dpkg-shlibdeps expects them.
  printf 'Source: varnodll\n\nPackage: varnodll\nArchitecture: any\n' >"$scratch/debian/control"
  printf 'libVarnoDLL %s libvarnodll1 (= %s)\n' "$soversion" "$version" >"$scratch/debian/shlibs.local"
  (cd "$scratch" && dpkg-shlibdeps -O -xlibvarnodll1 "-l$runtime_libdir" "${elf[@]}") |
    sed -n 's/^shlibs:Depends=//p'
}

# build_deb PACKAGE COMPONENT: installs the component, adds Debian's files, builds the .deb.
build_deb() {
  local package=$1 component=$2
  local tree=$scratch/debian/$package
  DESTDIR=$tree cmake --install build/package --component "$component" >/dev/null
  strip_elf_files "$tree"

  local doc=$tree/usr/share/doc/$package
  mkdir -p "$doc"
  { cat packaging/deb/copyright.in
    sed -e 's/^[[:space:]]*$/./' -e 's/^/ /' LICENSE; } >"$doc/copyright"
  gzip -9n <packaging/deb/changelog >"$doc/changelog.gz"
  if [ -d "$tree/usr/share/man" ]; then
    find "$tree/usr/share/man" -type f -name '*.[0-9]' -exec gzip -9n {} +
  fi
  if [ -f "packaging/deb/$package.lintian-overrides" ]; then
    install -D -m 0644 "packaging/deb/$package.lintian-overrides" \
      "$tree/usr/share/lintian/overrides/$package"
  fi
  if [ "$package" = varnodll-tools ]; then
    # The Python package, with its link to the library's soname.
    DESTDIR=$tree cmake --install build/package --component python >/dev/null
  fi

  mkdir -p "$tree/DEBIAN"
  if [ -f "packaging/deb/$package.triggers" ]; then
    cp "packaging/deb/$package.triggers" "$tree/DEBIAN/triggers"
  fi
  if [ "$package" = libvarnodll1 ]; then
    # Programs built against this version need at least this version.
    printf 'libVarnoDLL %s libvarnodll1 (>= %s)\n' "$soversion" "$version" >"$tree/DEBIAN/shlibs"
  fi
  normalize_tree "$tree"
  (cd "$tree" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z |
     xargs -0 -r md5sum >DEBIAN/md5sums)

  local depends
  depends=$(shlibs_depends "$tree" "$scratch/debian/libvarnodll1/$libdir")
  sed -e "s/@VERSION@/$version/g" -e "s/@ARCH@/$arch/g" \
      -e "s/@INSTALLED_SIZE@/$(installed_size "$tree")/" \
      -e "s/@SHLIBS_DEPENDS@/$depends/" \
      "packaging/deb/$package.control" >"$tree/DEBIAN/control"
  chmod 0644 "$tree"/DEBIAN/*
  dpkg-deb --root-owner-group -Zxz --build "$tree" "$out/${package}_${version}_${arch}.deb" >/dev/null
  echo "$out/${package}_${version}_${arch}.deb"
}

if [ "$make_deb" = 1 ]; then
  cmake --preset package >/dev/null
  cmake --build --preset package
  version=$(build_version build/package)
  if [ "$version" != "$changelog_version" ]; then
    echo "package.sh: the project is at $version, packaging/deb/changelog at $changelog_version:" \
      "add a changelog entry" >&2
    exit 1
  fi
  arch=$(dpkg --print-architecture)
  soversion=${version%%.*}
  libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' build/package/CMakeCache.txt)
  libdir=usr/$libdir
  rm -f "$out"/*.deb
  # The library first: the others' dependencies are worked out against it.
  build_deb libvarnodll1 runtime
  build_deb libvarnodll-dev dev
  build_deb varnodll-tools tools
fi

# --- Windows zips ---------------------------------------------------------------------------------

# build_zip PRESET NAME ARCH BITS: the library and the exerciser of a cross build, installed and
# zipped under VarnoDLL-VERSION-NAME/.
build_zip() {
  local preset=$1 name=$2 arch_name=$3 bits=$4
  [ -f "build/$preset/CMakeCache.txt" ] || cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target VarnoDLL VarnoDLLTest
  local zip_version top
  zip_version=$(build_version "build/$preset")
  top=VarnoDLL-$zip_version-$name
  local tree=$scratch/zip/$top
  cmake --install "build/$preset" --prefix "$tree" --strip >/dev/null
  sed -e "s/@VERSION@/$zip_version/g" -e "s/@ARCH@/$arch_name/g" -e "s/@BITS@/$bits/g" \
      -e 's/$/\r/' packaging/windows/README.txt >"$tree/README.txt"
  sed -e 's/$/\r/' LICENSE >"$tree/LICENSE.txt"
  normalize_tree "$tree"
  rm -f "$out/$top.zip"
  (cd "$scratch/zip" && find "$top" -print | LC_ALL=C sort | zip -q -X -@ "$out/$top.zip")
  echo "$out/$top.zip"
}

if [ "$make_zip" = 1 ]; then
  build_zip mingw64 win64 x64 64
  build_zip mingw32 win32 x86 32
fi

# --- Python wheels --------------------------------------------------------------------------------

# The Python package as a wheel holding one build's library (the runtime component, stripped),
# tagged py3-none-PLATFORM by the package's build for that library's processor and system:
#   varno-VERSION-py3-none-linux_x86_64.whl   with libVarnoDLL.so (beside the .deb)
#   varno-VERSION-py3-none-win_amd64.whl      with VarnoDLL.dll (beside the zips)
#   varno-VERSION-py3-none-win32.whl          with VarnoDLL.dll
# build_wheel BUILD_DIR: Debian's python3, with its setuptools and wheel, no index.
build_wheel() {
  local build=$1 tree
  tree=$scratch/wheel/${build##*/}
  rm -rf "$tree"
  mkdir -p "$tree"
  cmake --install "$build" --component runtime --prefix "$tree/root" --strip >/dev/null
  local library
  library=$(find "$tree/root" -type f \( -name 'libVarnoDLL.so.*' -o -name VarnoDLL.dll \) | head -n 1)
  [ -n "$library" ] || { echo "package.sh: no library installed from $build" >&2; exit 1; }
  # A copy of the package: its build leaves nothing in python/, and one wheel's library never
  # reaches another.
  mkdir -p "$tree/source"
  tar -C python --exclude=./build --exclude='*.egg-info' --exclude=__pycache__ -cf - . |
    tar -C "$tree/source" -xf -
  VARNO_BUILD_LIBRARY=$library /usr/bin/python3 -m pip wheel --quiet --no-build-isolation \
    --no-deps --no-index --disable-pip-version-check -w "$tree/out" "$tree/source" >&2
  local wheel
  for wheel in "$tree"/out/varno-*.whl; do
    cp "$wheel" "$out/"
    echo "$out/${wheel##*/}"
  done
}

if [ "$make_deb" = 1 ]; then
  rm -f "$out"/varno-*-linux_*.whl
  build_wheel build/package
fi
if [ "$make_zip" = 1 ]; then
  rm -f "$out"/varno-*-win*.whl
  build_wheel build/mingw64
  build_wheel build/mingw32
fi

# --- NuGet package --------------------------------------------------------------------------------

# Varno.VERSION.nupkg, the .NET package (dotnet/Varno), with the library stripped for linux-x64
# (the package preset's build), win-x64 and win-x86 (the cross builds') under runtimes/RID/native/.
# Made by a full run only (it needs all three builds); without the .NET SDK it says so and is left
# out.
if [ "$make_deb" = 1 ] && [ "$make_zip" = 1 ]; then
  if ! command -v dotnet >/dev/null; then
    echo "package.sh: no .NET SDK (dotnet): Varno.*.nupkg is not made" >&2
  else
    nuget_native=$scratch/nuget-native
    mkdir -p "$nuget_native/linux-x64"
    [ -f build/package/CMakeCache.txt ] || cmake --preset package >/dev/null
    cmake --build --preset package --target VarnoDLL >/dev/null
    strip --remove-section=.comment --remove-section=.note --strip-unneeded \
      -o "$nuget_native/linux-x64/libVarnoDLL.so" "$(readlink -f build/package/link/libVarnoDLL.so)"
    for nuget_build in mingw64:win-x64 mingw32:win-x86; do
      [ -f "build/${nuget_build%%:*}/CMakeCache.txt" ] || cmake --preset "${nuget_build%%:*}" >/dev/null
      cmake --build --preset "${nuget_build%%:*}" --target VarnoDLL >/dev/null
      cmake --install "build/${nuget_build%%:*}" --component runtime --strip \
        --prefix "$nuget_native/${nuget_build#*:}" >/dev/null
    done
    rm -f "$out"/Varno.*.nupkg
    DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1 dotnet pack dotnet/Varno -nologo -c Release \
      --disable-build-servers -o "$out" "-p:VarnoBuildDir=$scratch/dotnet" \
      "-p:VarnoNativeLinuxX64=$nuget_native/linux-x64/libVarnoDLL.so" \
      "-p:VarnoNativeWinX64=$nuget_native/win-x64/bin/VarnoDLL.dll" \
      "-p:VarnoNativeWinX86=$nuget_native/win-x86/bin/VarnoDLL.dll" >&2
    echo "$out/Varno.$(build_version build/package).nupkg"
  fi
fi
