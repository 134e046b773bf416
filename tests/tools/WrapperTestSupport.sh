# Shared by the wrapper tests; sourced, not run. Sets root, KESTROVA_BUILD and
# a scratch folder removed at exit from the test's arguments (SOURCE_TREE
# BUILD_DIR); fail records a failure, finish reports and exits.
root=$1
export KESTROVA_BUILD=$2
failures=0

fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}

# finish NAME: the summary line and the exit status.
finish() {
  [ $failures -eq 0 ] && echo "$1: all checks passed"
  exit $((failures > 0))
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
