#!/usr/bin/env bash
# End-to-end throughput of the module through the reference host: a
# generated change script of N writes (default 2000), each write one new
# user node under a tracked path, goes through kestrova-host: the
# configuration server reports each modification, the host hands it to
# ProcessUsageActivity, the maintainer resolves its rules, and the
# accumulator delivers one frame per notification to the usage-statistics
# service. Printed: notifications per second through the steps and from the
# first change step to the last frame received, for N separate write calls
# (one notification each) and for one write call of N nodes.
#
# Timing comes from the host's summary: "steps took" (the change steps, each
# write's notifications handed to ProcessUsageActivity, frames queued) and
# "last frame received" (from the first step to the last frame the service
# received; the sender wakes every "SendIntervalSec", at least 1 s, so this
# includes up to a second of waiting for its next cycle). Best of REPEAT
# runs (default 3). The settle time (SETTLE_MS, default 2500) lets the
# accumulator deliver everything; every run checks that all N frames arrived.
#
#   scripts/bench-host.sh [N]
# GS_Logger_MaxSeverity selects the module's log severity (default here ERR;
# the module's own default is DBG). KESTROVA_BUILD selects the build folder.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

count=${1:-2000}
repeat=${REPEAT:-3}
settle=${SETTLE_MS:-2500}
export GS_Logger_MaxSeverity=${GS_Logger_MaxSeverity:-ERR}

kestrova_configure_and_build kestrova-host >/dev/null
kestrova_start_wineserver

work=$(mktemp -d)
trap 'rm -rf "$work"; kestrova_stop_wineserver' EXIT
now=$(date -u +%Y-%m-%dT%H:%M:%SZ)

# A tracked users list, the accumulator's switch, and a status node with a
# snapshot time of now: no snapshot pass adds frames.
cat >"$work/store.txt" <<XML
<nr>
  <node name="Bench" type="Section">
    <node name="Switch"><attr name="Enabled" type="bool">true</attr></node>
    <node name="Users" type="UserList"/>
    <node name="Statuses">
      <node name="{3B7E1C55-0A2D-4F86-9C4B-6D1E8F2A7B30}" type="ConfigSnapshotStatus">
        <attr name="LastSnapshotTime" type="text">$now</attr>
      </node>
    </node>
  </node>
</nr>
XML

# The demo's user rule set: role, state, group count per user.
cat >"$work/settings.txt" <<'XML'
<nr>
  <node name="Maintainer">
    <attr name="SnapshotStatusesCfgPath" type="text">\Bench\Statuses</attr>
    <attr name="SinkIntervalSec" type="int64">1</attr>
    <attr name="SendSnapshotsIntervalHours" type="int64">24</attr>
    <node name="TransientStorage">
      <attr name="SendIntervalSec" type="int64">1</attr>
      <attr name="UsageStatisticsCfgPath" type="text">\Bench\Switch</attr>
    </node>
    <node name="ConfigSnapshots">
      <node name="{3B7E1C55-0A2D-4F86-9C4B-6D1E8F2A7B30}" type="ConfigSnapshotEntry">
        <attr name="ConfigPath" type="text">\Bench\Users\*</attr>
        <attr name="SendIntervalHours" type="int64">24</attr>
        <attr name="NameSource" type="text">UserAccount</attr>
        <node type="UsageActivityItem">
          <attr name="NameSource" type="text">Role</attr>
          <attr name="ValueSource" type="text">@Role</attr>
        </node>
        <node type="UsageActivityItem">
          <attr name="NameSource" type="text">Enabled</attr>
          <attr name="ValueSource" type="text">@Enabled</attr>
        </node>
        <node type="UsageActivityItemCounter">
          <attr name="NameSource" type="text">GroupCount</attr>
          <attr name="ValueSource" type="text">@Groups</attr>
        </node>
      </node>
    </node>
  </node>
</nr>
XML

user_node() {
  printf '<node name="\\Bench\\Users\\user%05d" type="User"><attr name="Role" type="text">User</attr>' "$1"
  printf '<attr name="Enabled" type="text">1</attr><attr name="Groups" type="textlist"><item>Staff</item></attr></node>\n'
}

{
  echo '<nr><node name="Changes">'
  for ((i = 0; i < count; i++)); do
    echo '<node type="Write"><attr name="Subject" type="text">BENCH\writer</attr>'
    user_node "$i"
    echo '</node>'
  done
  echo '</node></nr>'
} >"$work/separate.changes.txt"
{
  echo '<nr><node name="Changes"><node type="Write"><attr name="Subject" type="text">BENCH\writer</attr>'
  for ((i = 0; i < count; i++)); do user_node "$i"; done
  echo '</node></node></nr>'
} >"$work/one-call.changes.txt"

# One host run: "STEPS_MS LAST_FRAME_MS" from the host's summary, after
# checking that every frame arrived.
run_host() {
  local changes=$1 expected=$2 output steps last
  output=$("$KESTROVA_ROOT/scripts/kestrova-host" --store "$work/store.txt" --settings "$work/settings.txt" \
    --changes "$changes" --settle "$settle" --quiet 2>"$work/err") || {
    echo "kestrova-host failed:" >&2
    cat "$work/err" >&2
    exit 1
  }
  if ! grep -q "^frames delivered: $expected\$" <<<"$output"; then
    echo "expected $expected frames delivered:" >&2
    echo "$output" >&2
    exit 1
  fi
  steps=$(sed -n 's/^steps took: \([0-9]*\) ms$/\1/p' <<<"$output")
  last=$(sed -n 's/^last frame received: \([0-9]*\) ms after the first step$/\1/p' <<<"$output")
  echo "$steps ${last:-$steps}"
}

echo "kestrova-host end to end: $count notifications (one frame each), log MaxSeverity $GS_Logger_MaxSeverity," \
  "SendIntervalSec 1, best of $repeat runs"
for kind in separate one-call; do
  best_steps="" best_last=""
  for ((r = 0; r < repeat; r++)); do
    read -r steps last < <(run_host "$work/$kind.changes.txt" "$count")
    if [ -z "$best_last" ] || [ "$last" -lt "$best_last" ]; then best_steps=$steps best_last=$last; fi
  done
  label=$([ $kind = separate ] && echo "$count write calls of one node" || echo "one write call of $count nodes")
  awk -v label="$label:" -v n="$count" -v s="$best_steps" -v l="$best_last" 'BEGIN {
    printf "  %-32s steps %6d ms (%6.0f notifications/s through ProcessUsageActivity);", label, s, n * 1000 / s
    printf " last frame received at %6d ms (%6.0f notifications/s end to end)\n", l, n * 1000 / l
  }'
done
