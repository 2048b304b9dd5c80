#!/usr/bin/env bash
# Runs every test: native debug, ASan+UBSan and TSan builds; the 64- and 32-bit Windows builds
# under Wine (after the default build: their link tests talk to its varno-sim); the release
# packages (.debs, Windows zips) and their checks; bounded fuzzing; formatting.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

# Each step's start says how long the run has taken so far, so the slow steps can be found.
step() { printf '\n==== %s (at %dm%02ds)\n' "$*" $((SECONDS / 60)) $((SECONDS % 60)); }

for preset in default asan tsan mingw64 mingw32; do
  step "$preset: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  step "$preset: test"
  if [[ $preset == mingw* ]] &&
    ! reason=$(scripts/wine-run.sh --can-run "build/$preset/link/VarnoDLLTest.exe"); then
    echo "the $preset build's tests under Wine skip: $reason"
  fi
  ctest --preset "$preset"
done

step "packages"
scripts/package.sh
tests/packages/run.sh

step "fuzz"
scripts/fuzz.sh "${VARNO_FUZZ_SECONDS:-20}"

step "format"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror

step "all tests passed"
