#!/usr/bin/env bash
# Builds the subscription benchmarks (write-to-flag latency through the
# reference configuration server on the current-content and modification
# paths, CAsyncAction timing error at a 10 ms period) and runs them under
# Wine, printing the figures. Arguments go to the program:
# [writes] [toggle writes] [runs] (default 1000 20 1000).
# KESTROVA_BUILD selects the build folder (default build/win).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

cmake -S "$KESTROVA_ROOT" -B "$KESTROVA_BUILD" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$KESTROVA_ROOT/cmake/mingw-w64-x86_64-posix.cmake" >/dev/null
cmake --build "$KESTROVA_BUILD" --target SubscriptionBenchmarks -- -j2
kestrova_start_wineserver
kestrova_wine "$KESTROVA_BIN/SubscriptionBenchmarks.exe" "$@"
