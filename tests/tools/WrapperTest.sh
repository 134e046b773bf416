#!/usr/bin/env bash
# scripts/kestrova-resolve with Linux paths, relative and absolute: the same
# output as the committed one, exit statuses passed through.
#   WrapperTest.sh SOURCE_TREE BUILD_DIR
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/WrapperTestSupport.sh"
wrapper=$root/scripts/kestrova-resolve
expected=$root/tests/tools/expected

# Absolute Linux paths.
"$wrapper" "$root/docs/examples/counters.rules.txt" "$root/docs/examples/users.source.txt" >"$scratch/abs.tree" \
  2>"$scratch/err"
status=$?
if grep -q "0x80004001" "$scratch/err"; then
  echo "skipped: the items resolver of Kestrova.dll answers E_NOTIMPL"
  exit 77
fi
[ $status -eq 0 ] || fail "absolute paths: exit status $status"
cmp -s "$scratch/abs.tree" "$expected/counters.tree.txt" || fail "absolute paths: output differs"

# Relative paths and --format xml, from another folder, with a blank in a
# file name.
mkdir -p "$scratch/rule files"
cp "$root/docs/examples/counters.rules.txt" "$scratch/rule files/my rules.txt"
(cd "$scratch" && "$wrapper" --format xml "rule files/my rules.txt" "$root/docs/examples/users.source.txt") \
  >"$scratch/rel.xml"
status=$?
[ $status -eq 0 ] || fail "relative paths: exit status $status"
cmp -s "$scratch/rel.xml" "$expected/counters.xml" || fail "relative paths: xml output differs"

# Exit statuses: 2 for a missing file, 1 for a rule the module rejects.
"$wrapper" "$scratch/missing.txt" "$root/docs/examples/users.source.txt" >/dev/null 2>"$scratch/err"
status=$?
[ $status -eq 2 ] || fail "missing file: exit status $status"
grep -q "cannot open RULES file" "$scratch/err" || fail "missing file: message: $(cat "$scratch/err")"
"$wrapper" "$root/docs/examples/bad-type.rules.txt" "$root/docs/examples/users.source.txt" >/dev/null 2>"$scratch/err"
status=$?
[ $status -eq 1 ] || fail "rejected rule: exit status $status"
grep -q "0x80070057" "$scratch/err" || fail "rejected rule: message: $(cat "$scratch/err")"

# --check: a Linux path, the findings and the exit statuses (1 for an
# error, 0 for a warning alone, 1 for it with --strict).
(cd "$root/docs" && "$wrapper" --check examples/bad-type.rules.txt) >"$scratch/out" 2>"$scratch/err"
status=$?
[ $status -eq 1 ] || fail "check: exit status $status: $(cat "$scratch/err")"
grep -qF 'Rules\UsageActivityitem[1]: node: error 0x80070057: unknown entry type "UsageActivityitem"' "$scratch/out" ||
  fail "check: output: $(cat "$scratch/out")"
"$wrapper" --check "$root/docs/examples/counters.rules.txt" >"$scratch/out" 2>"$scratch/err"
status=$?
[ $status -eq 0 ] || fail "check with a warning: exit status $status"
"$wrapper" --strict --check "$root/docs/examples/counters.rules.txt" >"$scratch/out" 2>"$scratch/err"
status=$?
[ $status -eq 1 ] || fail "strict check with a warning: exit status $status"

# --test with a relative path with blanks: the case's inputs are found next
# to the test file, --update records its frames, and the JUnit reports of
# --junit FILE and --junit=FILE land at their relative paths.
mkdir -p "$scratch/test files"
cp "$root/docs/examples/counters.rules.txt" "$root/docs/examples/users.source.txt" "$scratch/test files/"
printf '%s\n' '<nr><node name="wrapped" type="RuleTests"><node name="counters" type="RuleTest">' \
  '<attr name="Rules" type="text">counters.rules.txt</attr><attr name="Source" type="text">users.source.txt</attr>' \
  '</node></node></nr>' >"$scratch/test files/my tests.txt"
wine_file="Z:${scratch//\//\\}\\test files\\my tests.txt"
(cd "$scratch" && "$wrapper" --test "test files/my tests.txt" --update --junit "report one.xml") >"$scratch/out" \
  2>"$scratch/err"
status=$?
[ $status -eq 0 ] || fail "test --update: exit status $status: $(cat "$scratch/out" "$scratch/err")"
grep -qxF "updated test file '$wine_file': case \"counters\"" "$scratch/out" || fail "test --update: $(cat "$scratch/out")"
grep -qF "<testsuite name=\"$wine_file\"" "$scratch/report one.xml" || fail "--junit FILE: no report"
(cd "$scratch" && "$wrapper" --test "test files/my tests.txt" "--junit=report two.xml") >"$scratch/out" 2>"$scratch/err"
status=$?
[ $status -eq 0 ] || fail "test: exit status $status: $(cat "$scratch/out" "$scratch/err")"
[ "$(cat "$scratch/out")" = "1 passed, 0 failed" ] || fail "test: output: $(cat "$scratch/out")"
grep -qF "<testsuite name=\"$wine_file\" tests=\"1\" failures=\"0\" errors=\"0\"" "$scratch/report two.xml" ||
  fail "--junit=FILE: report: $(cat "$scratch/report two.xml")"

finish "kestrova-resolve wrapper"
