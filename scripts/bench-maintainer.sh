#!/usr/bin/env bash
# Builds the snapshot maintainer benchmark (ProcessUsageActivity through
# Kestrova.dll with 10^3 and 10^5 users side by side, snapshot passes
# over 10^4 and 10^5 nodes) and runs it under Wine.
# KESTROVA_BUILD selects the build folder (default build/win).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

kestrova_configure_and_build MaintainerBenchmark
kestrova_start_wineserver
kestrova_wine "$KESTROVA_BIN/MaintainerBenchmark.exe"
