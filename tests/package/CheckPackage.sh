#!/usr/bin/env bash
# Checks a release package the way a user gets it: unpacks the archive into
# an empty folder and, from there alone,
#   - its layout: bin/, symbols/, include/Kestrova/, docs/, examples/,
#     README.txt, SHA256SUMS, the headers, documents and examples being the
#     source tree's;
#   - SHA256SUMS: every other file, each sum right (sha256sum -c);
#   - every binary imports Windows system DLLs and DLLs of bin/ only;
#   - the version resources (fixed and string FileVersion/ProductVersion)
#     give the version of the archive's name;
#   - bin/ holds no debug information and no symbols, and each binary with
#     code names its symbols/ file, with the right CRC, in .gnu_debuglink;
#     that file holds the DWARF of that binary;
#   - the headers compile on their own, and a host built from include/ and
#     bin/ alone runs;
#   - under a Wine prefix of its own (no DLL of the build anywhere: the
#     search path is the program's folder and the system folders), from an
#     empty working folder: the reference host's embedded demo and rule
#     examples of docs/RuleAuthorGuide.md give the documented results, and
#     every DLL they load that is not Wine's comes from bin/.
#   CheckPackage.sh ARCHIVE SOURCE_TREE [VERSION]
# VERSION, when given, is the version the archive's name must carry. Exit
# status 0 when every check passed, 1 otherwise.
set -uo pipefail
archive=$(realpath "$1")
root=$(realpath "$2")
expected_version=${3:-}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$root/scripts/env.sh"

mingw=x86_64-w64-mingw32
objdump=$mingw-objdump
objcopy=$mingw-objcopy
windres=$mingw-windres
cxx=$mingw-g++-posix

failures=0
fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}

scratch=$(mktemp -d)
export WINEPREFIX=$scratch/wineprefix
# shellcheck disable=SC2317  # run by the trap
cleanup() {
  # Only this check's own prefix: its wineserver, then its files.
  [ -d "$WINEPREFIX" ] && kestrova_wineserver -k >/dev/null 2>&1
  rm -rf "$scratch"
}
trap cleanup EXIT

# ---- The archive's name and layout ------------------------------------------
name=$(basename "$archive" .zip)
if [[ ! $name =~ ^Kestrova-([0-9]+\.[0-9]+\.[0-9]+\.[0-9]+)-win64$ ]]; then
  fail "archive name '$(basename "$archive")' is not Kestrova-<a.b.c.d>-win64.zip"
  exit 1
fi
version=${BASH_REMATCH[1]}
[ -z "$expected_version" ] || [ "$version" = "$expected_version" ] ||
  fail "archive version $version, project version $expected_version"

# listing FOLDER: its entries (files and folders), one a line, sorted.
listing() { (cd "$1" && find . -mindepth 1 -maxdepth 1 -printf '%P\n' | LC_ALL=C sort); }

mkdir "$scratch/unpacked"
(cd "$scratch/unpacked" && cmake -E tar xf "$archive") || { fail "cannot unpack $archive"; exit 1; }
[ "$(listing "$scratch/unpacked")" = "$name" ] ||
  fail "the archive's top level is not the one folder $name: $(listing "$scratch/unpacked" | tr '\n' ' ')"
package=$scratch/unpacked/$name
[ -d "$package" ] || exit 1

same_list() {  # same_list WHAT EXPECTED ACTUAL
  [ "$2" = "$3" ] || fail "$1: expected [$(tr '\n' ' ' <<<"$2")], found [$(tr '\n' ' ' <<<"$3")]"
}

same_list "top level" "$(printf '%s\n' README.txt SHA256SUMS bin docs examples include symbols)" "$(listing "$package")"
binaries=(ComponentsLib.dll CoreErrorMessages.dll DataLayer.dll Kestrova.dll kestrova-host.exe kestrova-resolve.exe)
same_list "bin/" "$(printf '%s\n' "${binaries[@]}" | LC_ALL=C sort)" "$(listing "$package/bin")"
same_list "include/" "Kestrova" "$(listing "$package/include")"
diff -r "$root/include/Kestrova" "$package/include/Kestrova" >/dev/null || fail "include/Kestrova differs from the source tree's"
same_list "docs/" "$(cd "$root/docs" && find . -maxdepth 1 -type f -name '*.md' -printf '%P\n' | LC_ALL=C sort)" "$(listing "$package/docs")"
for doc in "$root"/docs/*.md; do
  cmp -s "$doc" "$package/docs/$(basename "$doc")" || fail "docs/$(basename "$doc") differs from the source tree's"
done
diff -r "$root/docs/examples" "$package/examples" >/dev/null || fail "examples/ differs from docs/examples"
# shellcheck disable=SC1003  # Windows paths, backslash last
for entry in 'bin\' 'symbols\' 'include\Kestrova\' 'docs\' 'examples\' SHA256SUMS "${binaries[@]}" "Kestrova $version"; do
  grep -qF -- "$entry" "$package/README.txt" || fail "README.txt does not mention $entry"
done

# ---- Checksums ----------------------------------------------------------------
(cd "$package" && sha256sum --quiet --strict -c SHA256SUMS) || fail "sha256sum -c SHA256SUMS"
same_list "files of SHA256SUMS" \
  "$(cd "$package" && find . -type f ! -path ./SHA256SUMS -printf '%P\n' | LC_ALL=C sort)" \
  "$(cut -c67- "$package/SHA256SUMS" | LC_ALL=C sort)"
if [ -f "$archive.sha256" ]; then
  (cd "$(dirname "$archive")" && sha256sum --quiet -c "$(basename "$archive").sha256") ||
    fail "$(basename "$archive").sha256 does not match the archive"
fi

# ---- Imports ------------------------------------------------------------------
# Windows system DLLs a binary may import: add one here only for a DLL that
# every supported Windows has in its system folder.
system_dlls=" advapi32.dll bcrypt.dll crypt32.dll kernel32.dll msvcrt.dll ntdll.dll ole32.dll oleaut32.dll"
system_dlls+=" rpcrt4.dll secur32.dll shell32.dll shlwapi.dll user32.dll userenv.dll version.dll ws2_32.dll "
package_dlls=" $(cd "$package/bin" && find . -maxdepth 1 -iname '*.dll' -printf '%P ') "
package_dlls=${package_dlls,,}
for binary in "${binaries[@]}"; do
  file=$package/bin/$binary
  [[ $("$objdump" -f "$file") == *"file format pei-x86-64"* ]] || fail "bin/$binary is not an x86-64 PE file"
  while read -r dll; do
    [[ $system_dlls == *" ${dll,,} "* || $package_dlls == *" ${dll,,} "* ]] ||
      fail "bin/$binary imports $dll, neither a Windows system DLL nor one of bin/"
  done < <("$objdump" -p "$file" | sed -n 's/^[[:space:]]*DLL Name: //p')
done

# ---- Version resources --------------------------------------------------------
# The module and the node store carry one; any other binary that does must
# give the same version.
for binary in "${binaries[@]}"; do
  rc=$("$windres" -J coff -O rc -i "$package/bin/$binary" 2>/dev/null)
  if [[ $rc != *VERSIONINFO* ]]; then
    case $binary in
      Kestrova.dll | DataLayer.dll) fail "bin/$binary has no version resource" ;;
    esac
    continue
  fi
  fixed=${version//./, }
  for field in FILEVERSION PRODUCTVERSION; do
    grep -qE "^ *$field $fixed\$" <<<"$rc" || fail "bin/$binary: $field is not $fixed: $(grep -E "^ *$field" <<<"$rc")"
  done
  for value in FileVersion ProductVersion; do
    grep -qF "VALUE \"$value\", \"$version\"" <<<"$rc" ||
      fail "bin/$binary: \"$value\" is not \"$version\": $(grep -F "\"$value\"" <<<"$rc")"
  done
done

# ---- Stripped binaries and their debug files ----------------------------------
# The source file each binary's DWARF must name as a compilation unit.
declare -A unit=([Kestrova.dll]=ModuleExport.cpp [DataLayer.dll]=DxnApi.cpp [ComponentsLib.dll]=Exports.cpp
  [kestrova-host.exe]=KestrovaHost.cpp [kestrova-resolve.exe]=KestrovaResolve.cpp)
linked=()
# crc32 FILE: the CRC-32 of a file (the gnu_debuglink one), read from gzip's trailer.
crc32() { gzip -c "$1" | tail -c 8 | head -c 4 | od -An -tx4 | tr -d ' '; }
# symbol_count FILE: the entries of its COFF symbol table.
symbol_count() { "$objdump" -t "$1" | grep -c '^\['; }
# section LINE of objdump -h: "size vma" of a section, or empty.
section() { "$objdump" -h "$1" | awk -v name="$2" '$2 == name { print $3, $4 }'; }
for binary in "${binaries[@]}"; do
  file=$package/bin/$binary
  sections=$("$objdump" -h "$file")
  grep -q ' \.debug_' <<<"$sections" && fail "bin/$binary still holds debug sections"
  [ "$(symbol_count "$file")" -eq 0 ] || fail "bin/$binary still holds $(symbol_count "$file") symbols"
  if [ -z "${unit[$binary]:-}" ]; then
    grep -q ' \.gnu_debuglink ' <<<"$sections" && fail "bin/$binary, resource only, links debug information"
    continue  # resource only: nothing to debug
  fi
  if ! grep -q ' \.gnu_debuglink ' <<<"$sections"; then
    fail "bin/$binary has no .gnu_debuglink"
    continue
  fi
  "$objcopy" --dump-section ".gnu_debuglink=$scratch/link" "$file" "$scratch/copy" || fail "bin/$binary: reading .gnu_debuglink"
  debug_name=$(tr '\0' '\n' <"$scratch/link" | head -n 1)
  link_crc=$(tail -c 4 "$scratch/link" | od -An -tx4 | tr -d ' ')
  [ "$debug_name" = "$binary.debug" ] || fail "bin/$binary links '$debug_name', not $binary.debug"
  debug=$package/symbols/$debug_name
  if [ ! -f "$debug" ]; then
    fail "bin/$binary links $debug_name, which symbols/ does not hold"
    continue
  fi
  linked+=("$debug_name")
  [ "$(crc32 "$debug")" = "$link_crc" ] || fail "symbols/$debug_name: CRC $(crc32 "$debug"), bin/$binary's link says $link_crc"
  [ "$(section "$debug" .text)" = "$(section "$file" .text)" ] ||
    fail "symbols/$debug_name: .text is not bin/$binary's ($(section "$debug" .text) / $(section "$file" .text))"
  info=$(section "$debug" .debug_info)
  { [ -n "$info" ] && [ "$((16#${info%% *}))" -gt 0 ]; } || fail "symbols/$debug_name holds no .debug_info"
  # The compilation units, the top level of the DWARF tree.
  "$objdump" --dwarf=info --dwarf-depth=1 "$debug" >"$scratch/units" 2>/dev/null
  grep -q "DW_AT_name .*[/\\]${unit[$binary]}\$" "$scratch/units" ||
    fail "symbols/$debug_name does not describe ${unit[$binary]}"
  [ "$(symbol_count "$debug")" -gt 0 ] || fail "symbols/$debug_name holds no symbols"
done
same_list "symbols/" "$(printf '%s\n' "${linked[@]}" | LC_ALL=C sort)" "$(listing "$package/symbols")"

# ---- Headers and a host built from the package ----------------------------------
for header in "$package"/include/Kestrova/*.h; do
  echo "#include <Kestrova/$(basename "$header")>" |
    "$cxx" -std=c++20 -fsyntax-only -Wall -Wextra -Werror -I "$package/include" -x c++ - ||
    fail "include/Kestrova/$(basename "$header") does not compile on its own"
done
echo '#include <Kestrova/DataLayer.h>' | "$mingw-gcc-posix" -fsyntax-only -Wall -Werror -I "$package/include" -x c - ||
  fail "include/Kestrova/DataLayer.h does not compile as C"
mkdir "$scratch/host"
cp "$package"/bin/* "$scratch/host/"
"$cxx" -std=c++20 -Wall -Wextra -municode -static -I "$package/include" "$here/PackageHost.cpp" \
  "$package/bin/DataLayer.dll" "$package/bin/ComponentsLib.dll" -o "$scratch/host/PackageHost.exe" ||
  fail "a host does not build from include/ and bin/"

# ---- Runs under a Wine prefix of the check's own --------------------------------
# The environment holds nothing but what Wine needs; Wine takes the Windows
# PATH from the prefix (its system folders), not from the Linux one.
mkdir -p "$WINEPREFIX" "$scratch/cwd"
clean_env=(env -i "HOME=$scratch" "PATH=/usr/bin:/bin" "WINEPREFIX=$WINEPREFIX" "WINEARCH=win64"
  "WINEDLLOVERRIDES=$WINEDLLOVERRIDES")
wine64=/usr/lib/wine/wine64
[ -x "$wine64" ] || wine64=$(command -v wine64)
wine_run() { (cd "$scratch/cwd" && "${clean_env[@]}" "WINEDEBUG=${debug_channels:--all}" "$wine64" "$@"); }
winpath() { printf 'Z:%s' "${1//\//\\}"; }
wine_run wineboot --init >/dev/null 2>&1 </dev/null

# run_from_package NAME ARGS...: runs bin/NAME with Wine's load trace on;
# output to $scratch/out, the program's standard error to $scratch/err, the
# DLLs Wine loaded from files (not its own builtins) to $scratch/native.
# The trace is Wine's own (WINEDEBUG=+loaddll) and shares standard error.
run_from_package() {
  local exe=$1
  shift
  debug_channels=+loaddll wine_run "$exe" "$@" >"$scratch/out" 2>"$scratch/err.raw" </dev/null
  local status=$?
  grep -aE '^[0-9a-f]+:trace:loaddll:[a-z_]+ Loaded L".*: native$' "$scratch/err.raw" |
    sed -E 's/.*Loaded L"([^"]*)".*/\1/' >"$scratch/native"
  grep -avE '^[0-9a-f]+:trace:loaddll:' "$scratch/err.raw" >"$scratch/err"
  local bin_folder
  bin_folder=$(winpath "$(dirname "$exe")")
  while read -r dll; do
    dll=${dll//\\\\/\\}
    [[ ${dll,,} == "${bin_folder,,}\\"* ]] || fail "$(basename "$exe") loaded $dll, not from its own folder"
  done <"$scratch/native"
  return $status
}

# The reference host's demo (docs/ReferenceHost.md, section 6).
run_from_package "$package/bin/kestrova-host.exe"
status=$?
[ $status -eq 0 ] || fail "demo: exit status $status: $(cat "$scratch/err")"
[ ! -s "$scratch/err" ] || fail "demo: standard error: $(cat "$scratch/err")"
tr -d '\r' <"$scratch/out" >"$scratch/demo"
for line in "entries configured: 4" "steps run: 11" "frames delivered: 14" 'frames left for the pending file: 0 (C:\ProgramData\Veltrano\UsageStatistics\KestrovaHostDemo.pending)'; do
  grep -qxF "$line" "$scratch/demo" || fail "demo: no line '$line' in: $(head -n 8 "$scratch/demo")"
done
grep -q '^notifications: 9 (' "$scratch/demo" || fail "demo: not 9 notifications: $(head -n 8 "$scratch/demo")"
grep -qi 'kestrova\.dll$' "$scratch/native" || fail "demo: Wine's trace shows no Kestrova.dll loaded"
# The frames against tests/tools/expected/host-demo.tree.txt: the frames of
# one snapshot pass in any order, those of the change script in order; the
# frame of the process user's change names <process user>.
frames() {
  awk '
    /^delivered frames, in order of arrival:$/ { on = 1; next }
    !on { next }
    /^"/ { if (frame != "") print frame; frame = "" }
    /^  "ModifiedBy" = "/ && $0 !~ /= "(Unknown|CORP\\\\[^"]*)"$/ { $0 = "  \"ModifiedBy\" = <process user>" }
    { frame = frame $0 "|" }
    END { if (frame != "") print frame }' "$1" |
    sed -E '/"ChangeType" = "Snapshot"/ s/^/S /; /^S /! s/^/C /'
}
frames "$scratch/demo" >"$scratch/demo.frames"
(echo "delivered frames, in order of arrival:" && cat "$root/tests/tools/expected/host-demo.tree.txt") >"$scratch/expected"
frames "$scratch/expected" >"$scratch/expected.frames"
[ "$(grep -c . "$scratch/demo.frames")" -eq 14 ] || fail "demo: $(grep -c . "$scratch/demo.frames") frames, not 14"
diff <(grep '^S ' "$scratch/expected.frames" | LC_ALL=C sort) <(grep '^S ' "$scratch/demo.frames" | LC_ALL=C sort) >/dev/null ||
  fail "demo: the snapshot frames differ from tests/tools/expected/host-demo.tree.txt: $(cat "$scratch/demo")"
diff <(grep '^C ' "$scratch/expected.frames") <(grep '^C ' "$scratch/demo.frames") >/dev/null ||
  fail "demo: the change script's frames differ from tests/tools/expected/host-demo.tree.txt: $(cat "$scratch/demo")"

# Rule examples (docs/RuleAuthorGuide.md): a run, its XML form, a rejected rule.
examples=$package/examples
for rules in counters groups; do
  run_from_package "$package/bin/kestrova-resolve.exe" "$(winpath "$examples/$rules.rules.txt")" \
    "$(winpath "$examples/users.source.txt")"
  status=$?
  [ $status -eq 0 ] || fail "kestrova-resolve $rules: exit status $status: $(cat "$scratch/err")"
  cmp -s "$scratch/out" "$root/tests/tools/expected/$rules.tree.txt" ||
    fail "kestrova-resolve $rules: output differs from tests/tools/expected/$rules.tree.txt: $(cat "$scratch/out")"
done
run_from_package "$package/bin/kestrova-resolve.exe" "$(winpath "$examples/counters.rules.txt")" \
  "$(winpath "$examples/users.source.txt")" --format xml
status=$?
[ $status -eq 0 ] || fail "kestrova-resolve counters --format xml: exit status $status: $(cat "$scratch/err")"
cmp -s "$scratch/out" "$root/tests/tools/expected/counters.xml" ||
  fail "kestrova-resolve counters --format xml: output differs from tests/tools/expected/counters.xml"
run_from_package "$package/bin/kestrova-resolve.exe" "$(winpath "$examples/bad-type.rules.txt")" \
  "$(winpath "$examples/users.source.txt")"
status=$?
[ $status -eq 1 ] || fail "kestrova-resolve bad-type: exit status $status, not 1"
grep -qF "kestrova-resolve: Initialize failed: 0x80070057" "$scratch/err" ||
  fail "kestrova-resolve bad-type: standard error: $(cat "$scratch/err")"
run_from_package "$package/bin/kestrova-resolve.exe" --check "$(winpath "$examples/users-set.rules.txt")" --strict
status=$?
[ $status -eq 0 ] || fail "kestrova-resolve --check users-set: exit status $status: $(cat "$scratch/out" "$scratch/err")"
# The guide's rule tests, with the rule and source files beside them in examples\.
run_from_package "$package/bin/kestrova-resolve.exe" --test "$(winpath "$examples/guide.tests.txt")"
status=$?
[ $status -eq 0 ] || fail "kestrova-resolve --test guide.tests.txt: exit status $status: $(cat "$scratch/out" "$scratch/err")"
tr -d '\r' <"$scratch/out" | tail -n 1 | grep -qx "[1-9][0-9]* passed, 0 failed" ||
  fail "kestrova-resolve --test guide.tests.txt: last line: $(tail -n 1 "$scratch/out")"

# The host built from the package, beside a copy of bin/.
if [ -f "$scratch/host/PackageHost.exe" ]; then
  run_from_package "$scratch/host/PackageHost.exe"
  status=$?
  [ $status -eq 0 ] || fail "PackageHost: exit status $status: $(cat "$scratch/out" "$scratch/err")"
  tr -d '\r' <"$scratch/out" >"$scratch/host.out"
  grep -qxF "package host: ok" "$scratch/host.out" || fail "PackageHost: output: $(cat "$scratch/out")"
  grep -qF '0x80040201: The path has no parent: ".." cannot be applied to the root path.' "$scratch/host.out" ||
    fail "PackageHost: no text of CoreErrorMessages.dll: $(cat "$scratch/out")"
fi

[ -z "$(listing "$scratch/cwd")" ] || fail "the programs left files in their working folder: $(listing "$scratch/cwd")"

if [ $failures -eq 0 ]; then
  echo "package $name: all checks passed"
fi
exit $((failures > 0))
