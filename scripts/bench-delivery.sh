#!/usr/bin/env bash
# Builds the frame accumulator benchmark (StoreFrame latency against a slow
# service, delivery throughput, memory per queued frame, the memory curve of
# a bounded queue while the service fails) and runs it under Wine.
# KESTROVA_BUILD selects the build folder (default build/win).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

kestrova_configure_and_build AccumulatorBenchmark
kestrova_start_wineserver
kestrova_wine "$KESTROVA_BIN/AccumulatorBenchmark.exe"
