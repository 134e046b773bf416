#!/usr/bin/env bash
# Builds the release package Kestrova-<version>-win64.zip, with its
# .sha256 beside it, and checks it (tests/package/CheckPackage.sh: unpacked
# into an empty folder, its programs run under Wine from there alone):
#   scripts/package.sh [--no-check] [OUTPUT_FOLDER]
# OUTPUT_FOLDER defaults to build/. The version is the project's
# (CMakeLists.txt), its fourth field KESTROVA_BUILD_NUMBER from the
# environment (0 when unset). The release build has a folder of its own,
# build/release (KESTROVA_PACKAGE_BUILD sets another): RelWithDebInfo, so
# that every binary has the debug information the package's symbols/ holds,
# and without the crash tests' kill points. Only what the package holds is
# built there; the layout is described in cmake/KestrovaPackaging.cmake.
set -euo pipefail
check=1
if [ "${1:-}" = "--no-check" ]; then
  check=0
  shift
fi
scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
export KESTROVA_BUILD=${KESTROVA_PACKAGE_BUILD:-$(dirname "$scripts")/build/release}
source "$scripts/env.sh"
output=${1:-$KESTROVA_ROOT/build}

"$KESTROVA_ROOT/scripts/setup.sh"

# The release settings go into the build folder's cache first; the build
# itself is the usual one, of the package's files only.
options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTROVA_FAULT_POINTS=OFF
  # cpack installs without building everything first: the tests and
  # benchmarks are not in the package.
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON
  # The version's fourth field: the environment's, 0 by default (not what
  # an earlier run left in the cache).
  "-DKESTROVA_BUILD_NUMBER=${KESTROVA_BUILD_NUMBER:-0}")
# shellcheck disable=SC2046
cmake -S "$KESTROVA_ROOT" -B "$KESTROVA_BUILD" -G Ninja $(kestrova_launcher_options) \
  -DCMAKE_TOOLCHAIN_FILE="$KESTROVA_ROOT/cmake/mingw-w64-x86_64-posix.cmake" "${options[@]}" >/dev/null
kestrova_configure_and_build kestrova-package-files

# The archive's name carries the version CPack was configured with.
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$KESTROVA_BUILD/CPackConfig.cmake")
name=Kestrova-$version-win64.zip
work=$KESTROVA_BUILD/cpack
rm -rf "$work"
(cd "$KESTROVA_BUILD" && cpack --config CPackConfig.cmake -B "$work")
if [ ! -f "$work/$name" ]; then
  echo "package: cpack wrote no $name in $work" >&2
  exit 1
fi
mkdir -p "$output"
archive=$(cd "$output" && pwd)/$name
mv -f "$work/$name" "$archive"
mv -f "$work/$name.sha256" "$archive.sha256"
rm -rf "$work"

if [ $check -eq 1 ]; then
  bash "$KESTROVA_ROOT/tests/package/CheckPackage.sh" "$archive" "$KESTROVA_ROOT" "$version"
fi
echo "package: $archive ($(stat -c %s "$archive") bytes)"
