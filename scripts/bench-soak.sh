#!/usr/bin/env bash
# Builds the soak benchmark and runs it under Wine: N notifications (default
# 10^6) through ProcessUsageActivity of Kestrova.dll with the reference
# services and a service that accepts at once; notifications per second, and
# the process's memory (PrivateUsage, the commit charge, the working set and
# the Wine process's Linux RSS), handle and thread counts every N/10
# notifications, with a verdict on whether they stay flat after the warm-up.
#   scripts/bench-soak.sh [N]
# GS_Logger_MaxSeverity sets the module's log severity; the script's default
# is ERR (the module's own default, DBG, writes every notification to the
# log). The log goes to a scratch folder unless GS_Logger_Path names one.
# KESTROVA_BUILD selects the build folder (default build/win). Exit status 1
# when a figure grows after the warm-up.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

kestrova_configure_and_build SoakBenchmark
kestrova_start_wineserver
export GS_Logger_MaxSeverity=${GS_Logger_MaxSeverity:-ERR}
if [ -z "${GS_Logger_Path:-}" ]; then
  logs=$(mktemp -d)
  trap 'rm -rf "$logs"; kestrova_stop_wineserver' EXIT
  export GS_Logger_Path="Z:${logs//\//\\}"
fi
kestrova_wine "$KESTROVA_BIN/SoakBenchmark.exe" "$@"
