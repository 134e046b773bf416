#!/usr/bin/env bash
# Builds the resolution benchmarks and runs them under Wine, printing the
# figures:
#   1. \**\@Id through the rules engine against a raw depth-first walk over
#      the node store calls, at 10^4, 10^5 and 10^6 nodes;
#   2. the parts of one activity frame, each timed on its own;
#   3. a realistic rule set through the items resolver of Kestrova.dll, with
#      "MaxSeverity" INFO and then with the default DBG, for each user count
#      given (default 5000; about 20 source nodes per user).
# Usage: scripts/bench-resolution.sh [users...]
# KESTROVA_BENCH_ROUNDS (default 7) and KESTROVA_BENCH_DBG_ROUNDS (default 2;
# 0 skips the DBG runs, which write tens of megabytes of log per resolution)
# set the rounds. KESTROVA_BUILD selects the build folder (default build/win).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

cmake -S "$KESTROVA_ROOT" -B "$KESTROVA_BUILD" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$KESTROVA_ROOT/cmake/mingw-w64-x86_64-posix.cmake" >/dev/null
cmake --build "$KESTROVA_BUILD" --target DescendantIdsBenchmark FrameCostBenchmark RuleSetBenchmark -- -j2
kestrova_start_wineserver
echo "== load: $(uptime)"
echo "== 1. \\**\\@Id: rules engine vs. raw walk"
kestrova_wine "$KESTROVA_BIN/DescendantIdsBenchmark.exe"
echo "== 2. The parts of one frame"
kestrova_wine "$KESTROVA_BIN/FrameCostBenchmark.exe"
for users in "${@:-5000}"; do
  echo "== 3. Rule set through the items resolver, $users users"
  kestrova_wine "$KESTROVA_BIN/RuleSetBenchmark.exe" "$users" "${KESTROVA_BENCH_ROUNDS:-7}" \
    "${KESTROVA_BENCH_DBG_ROUNDS:-2}"
done
echo "== load: $(uptime)"
