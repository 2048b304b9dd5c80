#!/usr/bin/env bash
# The .NET package's tests (xunit, tests/dotnet) against the library and simulator that
# VARNO_LIBRARY and VARNO_SIM name (CTest sets both; by hand the default preset's build is used):
# all of them with the package's net8.0 build, then the link tests with its netstandard2.0 build,
# which finds the library as a .NET Framework host does, beside the application. Builds under
# build/dotnet*/. Exit 77 (CTest: skipped) without the .NET SDK.
set -euo pipefail
cd "$(dirname "$0")/../.."
if ! command -v dotnet >/dev/null; then
  echo "dotnet_package: skipped: no .NET SDK (dotnet) on PATH"
  exit 77
fi
export DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1 DOTNET_SKIP_FIRST_TIME_EXPERIENCE=1
# --disable-build-servers: no build servers left running after the test.
dotnet test tests/dotnet/Varno.Tests.csproj -nologo --disable-build-servers "$@"
echo "== the same link tests with the package's netstandard2.0 build"
dotnet test tests/dotnet/Varno.Tests.csproj -nologo --disable-build-servers -p:VarnoAsset=netstandard2.0 \
  --filter "FullyQualifiedName~LinkTests|FullyQualifiedName~AsyncTests" "$@"
