#!/usr/bin/env bash
# The main command: sets everything up, builds the reference host with the
# module and the platform libraries, and runs the host's embedded demo — a
# configuration store, the snapshot maintainer configured with four tracked
# paths, a change script — showing the frames the usage-statistics service
# received. Arguments go to the host (scripts/run.sh --help lists them).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

"$KESTROVA_ROOT/scripts/setup.sh"
kestrova_configure_and_build kestrova-host
kestrova_start_wineserver
kestrova_wine "$KESTROVA_BIN/kestrova-host.exe" "$@"
