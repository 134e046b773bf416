#!/usr/bin/env bash
# Builds the runtime benchmarks (disabled log statements, log-file
# throughput) and runs them under Wine, printing the figures.
# KESTROVA_BUILD selects the build folder (default build/win).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

cmake -S "$KESTROVA_ROOT" -B "$KESTROVA_BUILD" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$KESTROVA_ROOT/cmake/mingw-w64-x86_64-posix.cmake" >/dev/null
cmake --build "$KESTROVA_BUILD" --target RuntimeBenchmarks -- -j2
kestrova_start_wineserver
echo "== load: $(uptime)"
kestrova_wine "$KESTROVA_BIN/RuntimeBenchmarks.exe"
