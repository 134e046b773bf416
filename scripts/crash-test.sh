#!/usr/bin/env bash
# Crash test of the pending-frame file: runs kestrova-host again and again on
# a change stream whose frames carry a sequence number ("Seq"), with a
# usage-statistics service that refuses every request, and kills the host's
# Wine process with SIGKILL at random moments, some of them while the
# transient storage file is being written. After every run it checks the
# file the next start will find, and at the end it starts the host with a
# working service and checks what the service received.
#
#   scripts/crash-test.sh [--kills N] [--frames N] [--seed N] [--checkpoint SEC] [--strict] [--keep] [--no-build]
#
#   --kills N    hard kills to make (default 50)
#   --frames N   frames each run adds (default 10)
#   --seed N     random seed (default: from the clock; printed, so a run can be repeated)
#   --checkpoint SEC  "CheckpointIntervalSec" of the runs (default 0: none);
#                with checkpoints, the pending state after a kill is the
#                checkpoints and the file together (what --show-pending prints)
#   --strict     also fail on frames lost because a kill came after a start had
#                restored them from the file (without checkpoints the file is
#                deleted once read)
#   --keep       keep the scratch folder (printed) with every run's output
#   --no-build   use the executables as they are (the test run does this)
#
# Checks, after every run (killed or not):
# - the storage file is absent, or complete and readable (kestrova-host
#   --show-pending): it holds no frame twice and no frame that was never
#   produced, and every frame of the file the run started with, when the
#   run got as far as writing a new one;
# - a run that ended by itself wrote exactly the frames it started with plus
#   all it produced, and left no temporary file behind.
# At the end: every frame the service received was produced (none invented),
# none was received twice, and every frame produced was received unless a
# kill explains its loss: it was in the killed process's memory only (made
# by that run, or restored from the file by it).
#
# KESTROVA_BUILD selects the build folder (default build/win). Exit status 0
# when every check held, 1 otherwise, 2 on a usage error.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

kills_wanted=50
frames_per_run=10
seed=$(( $(date +%s%N) % 1000000 ))
strict=0
checkpoint=0
keep=0
build=1
while [ $# -gt 0 ]; do
  case $1 in
    --kills) kills_wanted=$2; shift 2 ;;
    --frames) frames_per_run=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    --strict) strict=1; shift ;;
    --checkpoint) checkpoint=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    --no-build) build=0; shift ;;
    *) echo "crash-test: unknown option '$1'" >&2; sed -n '10,18p' "$0" >&2; exit 2 ;;
  esac
done
for number in "$kills_wanted" "$frames_per_run" "$seed" "$checkpoint"; do
  [[ $number =~ ^[0-9]+$ ]] || { echo "crash-test: '$number' is not a number" >&2; exit 2; }
done
[ "$frames_per_run" -ge 5 ] || { echo "crash-test: --frames must be at least 5" >&2; exit 2; }
RANDOM=$seed

if [ $build -eq 1 ]; then
  kestrova_configure_and_build kestrova-host Kestrova >/dev/null || exit 1
  kestrova_start_wineserver
fi
exe=$KESTROVA_BIN/kestrova-host.exe
[ -f "$exe" ] || { echo "crash-test: $exe is missing" >&2; exit 2; }
# The loader itself: its process is the host's Windows process, so its pid
# is the one to kill.
if [ -x /usr/lib/wine/wine64 ]; then wine=/usr/lib/wine/wine64; else wine=$(command -v wine64); fi

scratch=$(mktemp -d /tmp/kestrova-crash.XXXXXX)
if [ $keep -eq 0 ]; then trap 'rm -rf "$scratch"' EXIT; fi
win_path() { local path=$1; printf 'Z:%s' "${path//\//\\}"; }
pending=$scratch/pending/frames.pending
temporary=$pending.tmp
# A store writes a temporary file of its own name beside the file
# (<file>.<random>.tmp); one of the landed form (<file>.tmp) counts too.
temporary_exists() { compgen -G "$pending.*.tmp" >/dev/null || [ -e "$temporary" ]; }
# Checkpoint files beside the file (with --checkpoint).
# (the lock only while a host runs: the system removes it when the holder dies).
journal_files() { compgen -G "$pending.*.ckpt" || true; [ -e "$pending.done" ] && echo "$pending.done"; true; }
checkpoint_files() { journal_files; [ -e "$pending.lock" ] && echo "$pending.lock"; true; }

# ---- Inputs ---------------------------------------------------------------
# One tracked path, \Veltrano\Seq\*: each new node s<N> gives one frame
# "SeqFrame" with the item "Seq" = N. The entry's status says a snapshot was
# taken recently, so no snapshot frames come in between. A frame may fail
# any number of times: nothing is dropped after "MaxSendFailures".
cat >"$scratch/store.txt" <<'EOF'
<nr>
  <node name="Veltrano" type="Product">
    <node name="UsageStatisticsSettings" type="UsageStatisticsSettings">
      <attr name="Enabled" type="bool">true</attr>
    </node>
    <node name="Seq" type="SeqList"/>
    <node name="UsageStatistics">
      <node name="SnapshotStatuses">
        <node name="{3D5E7A10-2B4C-4E6F-8A1B-9C0D2E4F6A81}" type="ConfigSnapshotStatus">
          <attr name="LastSnapshotTime" type="text">2024-01-01T00:00:00Z</attr>
          <attr name="LastModifiedBy" type="text">Unknown</attr>
        </node>
      </node>
    </node>
  </node>
</nr>
EOF
cat >"$scratch/settings.txt" <<EOF
<nr>
  <node name="Maintainer">
    <attr name="SnapshotStatusesCfgPath" type="text">\\Veltrano\\UsageStatistics\\SnapshotStatuses</attr>
    <attr name="SinkIntervalSec" type="int64">1</attr>
    <attr name="SendSnapshotsIntervalHours" type="int64">0</attr>
    <node name="TransientStorage">
      <attr name="SendIntervalSec" type="int64">1</attr>
      <attr name="MaxSendFailures" type="int32">1000000</attr>
      <attr name="UsageStatisticsCfgPath" type="text">\\Veltrano\\UsageStatisticsSettings</attr>
      <attr name="TransientStoragePath" type="text">$(win_path "$pending")</attr>
      <attr name="CheckpointIntervalSec" type="int64">$checkpoint</attr>
    </node>
    <node name="ConfigSnapshots">
      <node name="{3D5E7A10-2B4C-4E6F-8A1B-9C0D2E4F6A81}" type="ConfigSnapshotEntry">
        <attr name="ConfigPath" type="text">\\Veltrano\\Seq\\*</attr>
        <attr name="SendIntervalHours" type="int64">876000</attr>
        <attr name="NameSource" type="text">SeqFrame</attr>
        <node type="UsageActivityItem">
          <attr name="NameSource" type="text">Seq</attr>
          <attr name="ValueSource" type="text">@Seq</attr>
        </node>
      </node>
    </node>
  </node>
</nr>
EOF

# Five writes of the run's frames with pauses between them, then the
# accumulator's cycles (--settle) and the shutdown that writes the file.
next_seq=1
write_changes() {
  local file=$1 count=$2 step=$(( ($2 + 4) / 5 )) written=0
  {
    echo '<nr><node name="Changes">'
    echo '<node type="Wait"><attr name="Milliseconds" type="int64">100</attr></node>'
    while [ $written -lt "$count" ]; do
      echo '<node type="Write">'
      local in_step=0
      while [ $in_step -lt $step ] && [ $written -lt "$count" ]; do
        echo "<node name=\"\\Veltrano\\Seq\\s$next_seq\" type=\"SeqItem\"><attr name=\"Seq\" type=\"text\">$next_seq</attr></node>"
        next_seq=$((next_seq + 1)); written=$((written + 1)); in_step=$((in_step + 1))
      done
      echo '</node>'
      echo '<node type="Wait"><attr name="Milliseconds" type="int64">80</attr></node>'
    done
    echo '</node></nr>'
  } >"$file"
}

host_args() {  # changes-file settle-ms [extra options]
  local changes=$1 settle=$2; shift 2
  printf '%s\n' --store "$(win_path "$scratch/store.txt")" --settings "$(win_path "$scratch/settings.txt")" \
    --changes "$(win_path "$changes")" --settle "$settle" "$@"
}

# The sequence numbers a change script writes.
seqs_written() { sed -n 's/.*<attr name="Seq" type="text">\([0-9]*\)<.*/\1/p' "$1" | sort -n; }

# The sorted, unique "Seq" values of a frame tree (--show-pending or the
# run's frame list) on standard input.
seqs_of() { grep -o '"Seq" = "[0-9]*"' | grep -o '[0-9][0-9]*' | sort -n; }

# ---- Bookkeeping ----------------------------------------------------------
# Sets as sorted files of sequence numbers, one a line.
: >"$scratch/produced"       # every frame a run's changes produced
: >"$scratch/file.now"       # what the storage file holds now
: >"$scratch/lost.memory"    # made by a killed run, never written
: >"$scratch/lost.restored"  # restored by a run that was then killed
failures=0
fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }
set_union() { sort -n -u "$@"; }
set_minus() { comm -23 <(sort "$1") <(sort "$2") | sort -n; }
set_size() { wc -l <"$1" | tr -d ' '; }

declare -A states=()
kills=0 kills_anytime=0 kills_in_write=0 kills_during_tmp=0 runs=0 clean_runs=0
clean_ms_total=0 clean_ms_runs=0 clean_ms_last=6000
started=$(date +%s%N)

# Reads the storage file into file.now; prints its state:
# absent | unreadable | frames
inspect_file() {
  local out=$1
  if [ ! -e "$pending" ] && [ -z "$(journal_files)" ]; then
    : >"$scratch/file.now"
    echo absent
    return
  fi
  if ! "$wine" "$exe" --show-pending "$(win_path "$pending")" >"$out.show" 2>"$out.show.err" </dev/null; then
    : >"$scratch/file.now"
    echo unreadable
    return
  fi
  seqs_of <"$out.show" >"$scratch/file.now"
  local all; all=$(grep -c '"Seq" = ' "$out.show")
  if [ "$all" != "$(set_size "$scratch/file.now")" ]; then echo duplicated; return; fi
  echo frames
}

one_run() {  # run number
  local run=$1 out=$scratch/run$1
  write_changes "$out.changes.txt" "$frames_per_run"
  seqs_written "$out.changes.txt" >"$out.made"
  cp "$scratch/file.now" "$out.before"

  # How this run ends: by itself, a kill at any moment, or a kill while the file is written.
  local mode roll=$((RANDOM % 100))
  if [ $runs -eq 0 ] || [ $roll -lt 20 ]; then mode=none
  elif [ $roll -lt 60 ]; then mode=anytime
  else mode=write
  fi

  mapfile -t arguments < <(host_args "$out.changes.txt" 1500 --service-fails --quiet)
  local begin; begin=$(date +%s%N)
  "$wine" "$exe" "${arguments[@]}" >"$out.stdout" 2>"$out.stderr" </dev/null &
  local pid=$! killed=0 during_tmp=0
  case $mode in
    anytime)
      local delay_ms=$(( (RANDOM * 32768 + RANDOM) % (clean_ms_last + 1) ))
      sleep "$((delay_ms / 1000)).$(printf '%03d' $((delay_ms % 1000)))"
      ;;
    write)
      # The store encrypts first and then writes the temporary file and
      # moves it over the path within a few milliseconds: sleep until shortly
      # before the point where the last run that ended by itself stored, then
      # spin on the file.
      local lead_ms=$((clean_ms_last > 1500 ? clean_ms_last - 1500 : 0))
      sleep "$((lead_ms / 1000)).$(printf '%03d' $((lead_ms % 1000)))"
      local spins=0
      while ! temporary_exists; do
        if (( ++spins % 2000 == 0 )) && ! kill -0 $pid 2>/dev/null; then break; fi
      done
      # A few more microseconds, so that kills land at different points of the write.
      local extra=$((RANDOM % 200)) i
      for ((i = 0; i < extra; i++)); do :; done
      ;;
  esac
  if [ "$mode" != none ] && kill -0 $pid 2>/dev/null; then
    kill -KILL $pid 2>/dev/null && killed=1
    temporary_exists && during_tmp=1
  fi
  wait $pid 2>/dev/null
  local status=$? took_ms=$(( ($(date +%s%N) - begin) / 1000000 ))
  runs=$((runs + 1))
  set_union "$scratch/produced" "$out.made" >"$scratch/produced.new" && mv "$scratch/produced.new" "$scratch/produced"

  local state; state=$(inspect_file "$out")
  local tmp_left=""; temporary_exists && tmp_left="+tmp"
  local label
  if [ $killed -eq 1 ]; then
    kills=$((kills + 1))
    if [ "$mode" = write ]; then kills_in_write=$((kills_in_write + 1)); else kills_anytime=$((kills_anytime + 1)); fi
    kills_during_tmp=$((kills_during_tmp + during_tmp))
    [ $status -eq 137 ] || fail "run $run: killed, but exit status $status"
  else
    clean_runs=$((clean_runs + 1))
    clean_ms_total=$((clean_ms_total + took_ms)); clean_ms_runs=$((clean_ms_runs + 1)); clean_ms_last=$took_ms
    [ $status -eq 0 ] || fail "run $run: ended by itself with exit status $status: $(head -c 400 "$out.stderr")"
  fi

  # What the file may hold now.
  local expected_all; expected_all=$(set_union "$out.before" "$out.made")
  case $state in
    unreadable) fail "run $run ($mode, killed=$killed): the storage file cannot be read: $(head -c 300 "$out.show.err")"; label=unreadable ;;
    duplicated) fail "run $run: the storage file holds a frame twice"; label=duplicated ;;
    absent)
      label=absent
      if [ $killed -eq 0 ] && [ -n "$expected_all" ]; then fail "run $run: ended by itself but wrote no storage file"; fi
      if [ $killed -eq 1 ]; then
        # Its own frames were in memory only; so were those it restored.
        cat "$out.made" >>"$scratch/lost.memory"
        cat "$out.before" >>"$scratch/lost.restored"
      fi
      ;;
    frames)
      local invented; invented=$(set_minus "$scratch/file.now" "$scratch/produced")
      [ -z "$invented" ] || fail "run $run: the storage file holds frames never produced: $(echo $invented)"
      local missing_old; missing_old=$(set_minus "$out.before" "$scratch/file.now")
      if cmp -s "$scratch/file.now" "$out.before"; then
        label=unchanged
        [ $killed -eq 1 ] || [ ! -s "$out.made" ] || fail "run $run: ended by itself and left the old file"
        [ $killed -eq 0 ] || cat "$out.made" >>"$scratch/lost.memory"
      elif [ "$(printf '%s\n' "$expected_all")" = "$(cat "$scratch/file.now")" ]; then
        label=complete-new
      elif [ "$checkpoint" -gt 0 ] && [ $killed -eq 1 ] && [ -z "$missing_old" ] &&
           [ -z "$(set_minus "$scratch/file.now" <(printf '%s\n' "$expected_all"))" ]; then
        # Checkpoints: every restored frame is still there, and the run's
        # own frames up to its last checkpoint; the rest were in memory only.
        label=checkpointed
        set_minus "$out.made" "$scratch/file.now" >>"$scratch/lost.memory"
      else
        label=partial
        fail "run $run ($mode, killed=$killed): the storage file is incomplete: missing $(echo $missing_old) of the old, holds $(set_size "$scratch/file.now") of $(printf '%s\n' "$expected_all" | wc -l)"
      fi
      ;;
  esac
  if [ $killed -eq 0 ] && [ -n "$tmp_left" ]; then fail "run $run: ended by itself and left $temporary"; fi
  if [ $killed -eq 0 ] && [ -n "$(checkpoint_files)" ]; then fail "run $run: ended by itself and left $(checkpoint_files | tr '\n' ' ')"; fi
  label=$label$tmp_left
  states[$label]=$(( ${states[$label]:-0} + 1 ))
  printf 'run %3d  %-7s %s  %5d ms  file: %-16s frames in file: %d\n' "$run" "$mode" \
    "$([ $killed -eq 1 ] && echo killed || echo 'ended ')" "$took_ms" "$label" "$(set_size "$scratch/file.now")"
}

echo "crash test: seed $seed, $kills_wanted kills, $frames_per_run frames per run, checkpoint interval $checkpoint s, scratch $scratch"
run=0
while [ $kills -lt "$kills_wanted" ]; do
  one_run $run
  run=$((run + 1))
  if [ $run -gt $((kills_wanted * 4 + 20)) ]; then fail "too few kills landed ($kills in $run runs)"; break; fi
done

# ---- The last start: a working service --------------------------------------
final=$scratch/final
write_changes "$final.changes.txt" "$frames_per_run"
seqs_written "$final.changes.txt" >"$final.made"
set_union "$scratch/produced" "$final.made" >"$scratch/produced.new" && mv "$scratch/produced.new" "$scratch/produced"
cp "$scratch/file.now" "$final.before"
# Settles long enough for a sending cycle after the restored frames are queued.
mapfile -t arguments < <(host_args "$final.changes.txt" 4000)
"$wine" "$exe" "${arguments[@]}" >"$final.stdout" 2>"$final.stderr" </dev/null
status=$?
[ $status -eq 0 ] || fail "final run: exit status $status: $(head -c 400 "$final.stderr")"
grep -q '^frames left for the pending file: 0 ' "$final.stdout" ||
  fail "final run: $(grep '^frames left' "$final.stdout")"
[ ! -e "$pending" ] || fail "final run: the storage file is still there"
! temporary_exists || fail "final run: the temporary file is still there"
[ -z "$(checkpoint_files)" ] || fail "final run: checkpoint files are still there: $(checkpoint_files | tr '\n' ' ')"

grep -o '"Seq" = "[0-9]*"' "$final.stdout" | grep -o '[0-9][0-9]*' | sort -n >"$scratch/delivered.all"
sort -n -u "$scratch/delivered.all" >"$scratch/delivered"
sort -n -u "$scratch/lost.memory" -o "$scratch/lost.memory"
sort -n -u "$scratch/lost.restored" -o "$scratch/lost.restored"
produced=$(set_size "$scratch/produced")
delivered=$(set_size "$scratch/delivered")
received=$(set_size "$scratch/delivered.all")
duplicated=$((received - delivered))
invented=$(set_minus "$scratch/delivered" "$scratch/produced")
expected=$(set_union "$final.before" "$final.made")
not_delivered=$(set_minus <(printf '%s\n' "$expected" | sed '/^$/d') "$scratch/delivered")
explained=$(set_union "$scratch/lost.memory" "$scratch/lost.restored")
lost=$(set_minus "$scratch/produced" "$scratch/delivered")
unexplained=$(set_minus <(printf '%s\n' "$lost" | sed '/^$/d') <(printf '%s\n' "$explained" | sed '/^$/d'))
lost_memory=$(set_minus "$scratch/lost.memory" "$scratch/delivered" | wc -l)
lost_restored=$(set_minus <(set_minus "$scratch/lost.restored" "$scratch/delivered") "$scratch/lost.memory" | wc -l)

[ -z "$invented" ] || fail "delivered frames that were never produced: $(echo $invented)"
[ $duplicated -eq 0 ] || fail "$duplicated frames delivered more than once"
[ -z "$not_delivered" ] || fail "frames of the last file or the last run not delivered: $(echo $not_delivered)"
[ -z "$unexplained" ] || fail "frames lost without a kill to explain it: $(echo $unexplained)"
if [ $strict -eq 1 ] && [ "$lost_restored" -gt 0 ]; then
  fail "$lost_restored frames were restored from the file and then lost with the process that restored them"
fi

elapsed_s=$(( ($(date +%s%N) - started) / 1000000000 ))
echo
echo "== crash test figures (seed $seed, ${elapsed_s} s)"
echo "kills:                      $kills ($kills_anytime at a random moment, $kills_in_write aimed at the file write; $kills_during_tmp landed while the temporary file existed)"
echo "restarts:                   $runs (runs after the first, the final one included; $clean_runs failing-service runs ended by themselves, mean $(( clean_ms_runs ? clean_ms_total / clean_ms_runs : 0 )) ms)"
echo "frames produced:            $produced"
echo "frames delivered:           $delivered (received $received times, $duplicated duplicated)"
echo "frames lost with a killed process:"
echo "  made by it, not yet written:       $lost_memory"
echo "  restored by it from the file:      $lost_restored"
echo "frames lost otherwise:      $(printf '%s\n' "$unexplained" | sed '/^$/d' | wc -l)"
echo "storage file states seen after a run:"
for label in "${!states[@]}"; do printf '  %-22s %d\n' "$label" "${states[$label]}"; done | sort
if [ $failures -eq 0 ]; then
  echo "crash test: PASSED"
  exit 0
fi
echo "crash test: FAILED ($failures checks)"
[ $keep -eq 1 ] && echo "runs kept in $scratch"
exit 1
