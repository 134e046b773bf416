#!/usr/bin/env bash
# Sets everything up, builds, and runs the reference host on the module.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

"$KESTROVA_ROOT/scripts/setup.sh"
kestrova_configure_and_build
kestrova_start_wineserver
kestrova_wine "$KESTROVA_BIN/KestrovaHost.exe" "$@"
