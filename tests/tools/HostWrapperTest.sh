#!/usr/bin/env bash
# scripts/kestrova-host with Linux paths, relative and absolute, in both
# option forms: the host's messages name the files it was given, exit
# statuses pass through, and an output file lands where it was asked for.
#   HostWrapperTest.sh SOURCE_TREE BUILD_DIR
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/WrapperTestSupport.sh"
wrapper=$root/scripts/kestrova-host
examples=$root/docs/examples/host
mkdir -p "$scratch/in put"
printf '<nr><node name="Changes"><node type="Wait"/></node></nr>' >"$scratch/in put/bad changes.txt"

# A relative path with blanks, "--option value": the step error names the file as Wine sees it.
(cd "$scratch" && "$wrapper" --changes "in put/bad changes.txt") >"$scratch/out" 2>"$scratch/err"
status=$?
[ $status -eq 2 ] || fail "relative path: exit status $status"
grep -qF "CHANGES file 'Z:${scratch//\//\\}\\in put\\bad changes.txt': step 1 (type 'Wait')" "$scratch/err" ||
  fail "relative path: message: $(cat "$scratch/err")"
[ ! -s "$scratch/out" ] || fail "relative path: output: $(cat "$scratch/out")"

# An absolute path, "--option=value".
"$wrapper" "--settings=$scratch/missing.txt" >/dev/null 2>"$scratch/err"
status=$?
[ $status -eq 2 ] || fail "absolute path: exit status $status"
grep -qF "cannot open SETTINGS file 'Z:${scratch//\//\\}\\missing.txt'" "$scratch/err" ||
  fail "absolute path: message: $(cat "$scratch/err")"

# A value that is not a file is passed as it is.
"$wrapper" --settle soon >/dev/null 2>"$scratch/err"
status=$?
[ $status -eq 2 ] || fail "--settle: exit status $status"
grep -qF "not 'soon'" "$scratch/err" || fail "--settle: message: $(cat "$scratch/err")"

# --check-settings with a relative path with blanks, in both option forms:
# the file is found, the findings and the exit status pass through.
sed 's/"SinkIntervalSec"/"SinkIntervalSecs"/' "$examples/demo.settings.txt" >"$scratch/in put/bad settings.txt"
(cd "$scratch" && "$wrapper" --check-settings "in put/bad settings.txt") >"$scratch/out" 2>"$scratch/err"
status=$?
[ $status -eq 1 ] || fail "check-settings: exit status $status: $(cat "$scratch/err")"
grep -qF 'ConfigSnapshotsMaintainer: "SinkIntervalSec": error 0x80070490: required setting is missing' "$scratch/out" ||
  fail "check-settings: output: $(cat "$scratch/out")"
(cd "$examples" && "$wrapper" --check-settings=demo.settings.txt --strict) >"$scratch/out" 2>"$scratch/err"
status=$?
[ $status -eq 0 ] || fail "check-settings of the demo: exit status $status: $(cat "$scratch/err")"
[ "$(cat "$scratch/out")" = "no problems" ] || fail "check-settings of the demo: output: $(cat "$scratch/out")"

# --test with a relative path with blanks and --junit FILE: the file is
# read (and refused by its first node, before the module runs), the report
# lands at its relative path.
printf '<nr><node name="wrong" type="RuleTests"/></nr>' >"$scratch/in put/host tests.txt"
wine_file="Z:${scratch//\//\\}\\in put\\host tests.txt"
(cd "$scratch" && "$wrapper" --test "in put/host tests.txt" --junit "in put/report.xml") >"$scratch/out" 2>"$scratch/err"
status=$?
[ $status -eq 2 ] || fail "test: exit status $status: $(cat "$scratch/err")"
grep -qxF "ERROR test file '$wine_file': its first node is of type \"RuleTests\", not \"HostTests\"" "$scratch/out" ||
  fail "test: output: $(cat "$scratch/out")"
grep -qF "<testsuite name=\"$wine_file\" tests=\"1\" failures=\"0\" errors=\"1\"" "$scratch/in put/report.xml" ||
  fail "test: --junit FILE: no report"

# A run with an output file at a relative path, and a transient storage file
# of its own: the demo's file in the Wine prefix is the README demo's.
demo_pending='%ProgramData%\Veltrano\UsageStatistics\KestrovaHostDemo.pending'
own_pending="Z:${scratch//\//\\}\\pending.dat"
settings=$(cat "$examples/demo.settings.txt")
[[ $settings == *"$demo_pending"* ]] || fail "the demo settings name another pending file"
printf '%s\n' "${settings//"$demo_pending"/"$own_pending"}" >"$scratch/in put/settings.txt"
(cd "$scratch" && "$wrapper" --store "$examples/demo.store.txt" --settings "in put/settings.txt" \
  --settle 0 --quiet --frames-out "in put/frames.txt") >"$scratch/out" 2>"$scratch/err"
status=$?
if grep -q "Configure failed: 0x80004001" "$scratch/err"; then
  echo "skipped the run: the snapshot maintainer of Kestrova.dll answers E_NOTIMPL"
  [ $failures -eq 0 ] || exit 1
  exit 77
fi
[ $status -eq 0 ] || fail "run: exit status $status: $(cat "$scratch/err")"
grep -F "frames left for the pending file: " "$scratch/out" | grep -qF "($own_pending)" ||
  fail "run: summary: $(cat "$scratch/out")"
[ -s "$scratch/in put/frames.txt" ] || fail "run: no frames file"

finish "kestrova-host wrapper"
