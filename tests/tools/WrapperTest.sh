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

finish "kestrova-resolve wrapper"
