#!/usr/bin/env bash
# Builds the transient storage benchmark (export and import of 10^3 and 10^4
# frames of 5 attributes, file size, share of time in the platform's data
# protection calls) and runs it under Wine, printing the figures.
# KESTROVA_BUILD selects the build folder (default build/win).
# GS_Logger_MaxSeverity, when set, selects the log severity (default DBG).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

cmake -S "$KESTROVA_ROOT" -B "$KESTROVA_BUILD" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$KESTROVA_ROOT/cmake/mingw-w64-x86_64-posix.cmake" >/dev/null
cmake --build "$KESTROVA_BUILD" --target DataProtectionBenchmarks -- -j2
kestrova_start_wineserver
kestrova_wine "$KESTROVA_BIN/DataProtectionBenchmarks.exe"
