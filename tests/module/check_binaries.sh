#!/usr/bin/env bash
# Every shipped DLL and EXE must run without MinGW runtime DLLs, and
# Kestrova.dll must export exactly GetComponentsModuleObject.
set -u
bin=${1:?folder of the built binaries}
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
failed=0

for file in "$bin"/*.dll "$bin"/*.exe; do
  [ -e "$file" ] || continue
  imports=$("$objdump" -p "$file" | sed -n 's/^\s*DLL Name: //p')
  bad=$(printf '%s\n' "$imports" | grep -i -E '^(libstdc\+\+-6|libgcc_s_seh-1|libwinpthread-1)\.dll$')
  if [ -n "$bad" ]; then
    echo "FAIL $(basename "$file") imports MinGW runtime: $bad"
    failed=1
  fi
done

exports=$("$objdump" -p "$bin/Kestrova.dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p')
if [ "$exports" != "GetComponentsModuleObject" ]; then
  echo "FAIL Kestrova.dll exports: [$exports]"
  failed=1
fi

if [ $failed -eq 0 ]; then
  echo "binary checks passed"
fi
exit $failed
