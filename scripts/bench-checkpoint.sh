#!/usr/bin/env bash
# Builds the checkpoint benchmark and runs it under Wine: Shutdown time with
# a backlog and a failing service, StoreFrame latency from four producers,
# and the sustained cost of checkpoints at 100 and 1,000 frames/s, each
# against the same run without checkpoints. Prints the load average first.
#   scripts/bench-checkpoint.sh [--backlog N] [--rounds N] [--backlog-rounds N] [--only latency|sustained|shutdown]
# (the backlog rounds take minutes under Wine: 5 data-protection calls a frame)
# KESTROVA_BUILD selects the build folder (default build/win).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

kestrova_configure_and_build CheckpointBenchmark
kestrova_start_wineserver
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
kestrova_wine "$KESTROVA_BIN/CheckpointBenchmark.exe" "$@"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
