#!/usr/bin/env bash
# The release package of this build folder: CPack makes it in a scratch
# folder (from the install rules of cmake/KestrovaPackaging.cmake, as
# scripts/package.sh does for its release build), then CheckPackage.sh
# checks it.
#   PackageTest.sh SOURCE_TREE BUILD_DIR CPACK VERSION
set -uo pipefail
root=$1
build=$2
cpack=$3
version=$4
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

if ! (cd "$build" && "$cpack" --config CPackConfig.cmake -B "$scratch") >"$scratch/cpack.log" 2>&1; then
  cat "$scratch/cpack.log" >&2
  echo "FAILED: cpack" >&2
  exit 1
fi
archive=$scratch/Kestrova-$version-win64.zip
if [ ! -f "$archive" ]; then
  cat "$scratch/cpack.log" >&2
  echo "FAILED: cpack wrote no $(basename "$archive")" >&2
  exit 1
fi
echo "$(basename "$archive"): $(stat -c %s "$archive") bytes"
bash "$(dirname "${BASH_SOURCE[0]}")/CheckPackage.sh" "$archive" "$root" "$version"
