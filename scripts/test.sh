#!/usr/bin/env bash
# Sets everything up, builds, and runs every test: the Windows binaries under
# Wine, and the portable parts natively.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

"$KESTROVA_ROOT/scripts/setup.sh"
kestrova_configure_and_build
kestrova_start_wineserver

status=0
echo "== Windows tests (Wine)"
ctest --test-dir "$KESTROVA_BUILD" --output-on-failure || status=1

if [ -f "$KESTROVA_ROOT/platform/CMakeLists.txt" ]; then
  echo "== Native tests"
  cmake -S "$KESTROVA_ROOT" -B "$KESTROVA_NATIVE_BUILD" -G Ninja >/dev/null
  cmake --build "$KESTROVA_NATIVE_BUILD"
  ctest --test-dir "$KESTROVA_NATIVE_BUILD" --output-on-failure || status=1
fi

exit $status
