#!/usr/bin/env bash
# The .NET package's tests (xunit, tests/dotnet) against the library and simulator that
# VARNO_LIBRARY and VARNO_SIM name (CTest sets both; by hand the default preset's build is used).
# Builds the package and the tests under build/dotnet/. Exit 77 (CTest: skipped) without the SDK.
set -euo pipefail
cd "$(dirname "$0")/../.."
if ! command -v dotnet >/dev/null; then
  echo "dotnet_package: skipped: no .NET SDK (dotnet) on PATH"
  exit 77
fi
export DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1 DOTNET_SKIP_FIRST_TIME_EXPERIENCE=1
# No build servers left running after the test.
exec dotnet test tests/dotnet/Varno.Tests.csproj -nologo --disable-build-servers "$@"
