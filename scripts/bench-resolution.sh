#!/usr/bin/env bash
# Builds the resolution benchmarks and runs them under Wine, printing the
# figures:
#   1. \**\@Id through the rules engine against a raw depth-first walk over
#      the node store calls, at 10^4, 10^5 and 10^6 nodes;
#   2. a realistic rule set through the items resolver of Kestrova.dll over
#      a tree of about 10^5 nodes.
# KESTROVA_BUILD selects the build folder (default build/win).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

cmake -S "$KESTROVA_ROOT" -B "$KESTROVA_BUILD" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$KESTROVA_ROOT/cmake/mingw-w64-x86_64-posix.cmake" >/dev/null
cmake --build "$KESTROVA_BUILD" --target DescendantIdsBenchmark RuleSetBenchmark -- -j2
kestrova_start_wineserver
echo "== 1. \\**\\@Id: rules engine vs. raw walk"
kestrova_wine "$KESTROVA_BIN/DescendantIdsBenchmark.exe"
echo "== 2. Rule set through the items resolver"
kestrova_wine "$KESTROVA_BIN/RuleSetBenchmark.exe"
