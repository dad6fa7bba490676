#!/usr/bin/env bash
# A longer fuzzing campaign than the short run in scripts/test.sh: every libFuzzer target of the
# fuzz build runs for SECONDS (default 1200) on a scratch copy of its committed corpus, at most
# JOBS fuzzers at a time (default 3) under `nice -n 19`, with the options scripts/test.sh gives
# it. Crashes, timeouts and out-of-memory inputs land in OUT/<name>/artifacts (OUT defaults to
# build/fuzz-campaign); a target that crashes is restarted until its time is used up, so one
# finding does not end its run. OUT/summary.txt holds each target's executions and final line.
#
# Once a target has had its time, its scratch corpus is merged into the committed one: every
# hand-made seed (any file not named by the 40-digit hash libFuzzer names its inputs by) stays as
# it is, and the fewest other inputs that reach the features the seeds miss are added, in a fresh
# directory that then replaces tests/fuzz/<name>/corpus. Added inputs are cut to 4096 bytes,
# libFuzzer's default -max_len: the JSON targets fuzz up to 256 KB, their deep-nesting cases are
# held by seeds, and the long inputs found would only add megabytes of depth variations.
#
#   scripts/fuzz_campaign.sh [SECONDS] [JOBS] [TARGET...]
#
# Needs the fuzz build: cmake --preset fuzz && cmake --build build/fuzz -j3
# Set MERGE=0 to keep the committed corpora untouched, FUZZ=0 to only merge the scratch corpora
# an earlier run left in OUT.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_PER_TARGET=${1:-1200}
JOBS=${2:-3}
shift 2 2>/dev/null || shift $#
OUT=${OUT:-build/fuzz-campaign}
MERGE=${MERGE:-1}
FUZZ=${FUZZ:-1}
MERGE_MAX_LEN=4096
BIN=build/fuzz/tests/fuzz

# The same per-target options as the "fuzz targets" step of scripts/test.sh.
JSON_TARGETS=" json control_frame control_session "
options_for() {
  if [[ $JSON_TARGETS == *" $1 "* ]]; then
    echo -max_len=262144 -dict=tests/fuzz/json.dict
  fi
}

targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
  for bin in "$BIN"/fuzz_*; do targets+=("${bin##*/fuzz_}"); done
fi

# Fuzzes NAME for SECS more seconds, continuing its scratch corpus; once the target has had its
# full time, merges it into the committed corpus.
fuzz_segment() {
  local name=$1 secs=$2 dir=$OUT/$1 bin=$BIN/fuzz_$1
  local -a opts
  read -ra opts <<<"$(options_for "$name")"
  if [[ ! -d $dir ]]; then
    mkdir -p "$dir/corpus" "$dir/artifacts"
    cp -r "tests/fuzz/$name/corpus/." "$dir/corpus/"
    echo 0 >"$dir/done_seconds"
  fi
  echo "$(date -u +%H:%M:%S) $name: ${secs}s"
  local start=$SECONDS left=$secs round
  while ((left > 0)); do
    round=$(($(find "$dir" -maxdepth 1 -name "run*.log" | wc -l) + 1))
    nice -n 19 "$bin" -max_total_time="$left" -rss_limit_mb=2048 -timeout=10 \
      -print_final_stats=1 -artifact_prefix="$dir/artifacts/" "${opts[@]}" "$dir/corpus" \
      >"$dir/run$round.log" 2>&1 || echo "$name: run $round stopped early (see $dir/run$round.log)"
    left=$((secs - (SECONDS - start)))
  done
  local done_seconds=$(($(cat "$dir/done_seconds") + secs))
  echo $done_seconds >"$dir/done_seconds"
  ((done_seconds >= SECONDS_PER_TARGET)) || return 0
  if [[ $MERGE == 1 ]]; then merge_target "$name"; fi
  summarize "$name"
}

# Replaces tests/fuzz/NAME/corpus by its hand-made seeds plus a minimal merge of the rest of it
# and of the scratch corpus.
merge_target() {
  local dir=$OUT/$1 bin=$BIN/fuzz_$1 corpus=tests/fuzz/$1/corpus
  local merged=$dir/merged
  rm -rf "$merged" && mkdir -p "$merged"
  find "$corpus" -maxdepth 1 -type f -regextype egrep ! -regex '.*/[0-9a-f]{40}' \
    -exec cp {} "$merged"/ \;
  nice -n 19 "$bin" -merge=1 -max_len=$MERGE_MAX_LEN -rss_limit_mb=2048 -timeout=10 \
    "$merged" "$corpus" "$dir/corpus" >"$dir/merge.log" 2>&1
  rm -rf "$corpus"
  mv "$merged" "$corpus"
}

summarize() {
  local dir=$OUT/$1 execs=0 n
  for log in "$dir"/run*.log; do
    n=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    execs=$((execs + ${n:-0}))
  done
  local last
  last=$(ls "$dir"/run*.log | sort -V | tail -n 1)
  local final
  final=$(grep -E '^#[0-9]+' "$last" | grep -E 'cov: ' | tail -n 1)
  printf '%s\texecs=%s\tartifacts=%s\t%s\n' "$1" "$execs" "$(ls "$dir/artifacts" | wc -l)" \
    "$final" | tee "$dir/summary.txt"
}

if [[ $FUZZ == 0 ]]; then
  for name in "${targets[@]}"; do
    while (($(jobs -rp | wc -l) >= JOBS)); do wait -n || true; done
    merge_target "$name" &
  done
  wait
  exit 0
fi

# Spreads the targets' time over JOBS lanes of equal length, cutting a target in two where a lane
# fills up (its second piece opens the next lane, so the two pieces never run at once): no lane
# idles while another still has targets to run.
for name in "${targets[@]}"; do rm -rf "${OUT:?}/$name"; done
mkdir -p "$OUT"
total=$((${#targets[@]} * SECONDS_PER_TARGET))
lane_seconds=$(((total + JOBS - 1) / JOBS))
lanes=()
lane="" room=$lane_seconds
for name in "${targets[@]}"; do
  need=$SECONDS_PER_TARGET
  while ((need > 0)); do
    piece=$((need < room ? need : room))
    lane+="$name:$piece "
    need=$((need - piece))
    room=$((room - piece))
    if ((room == 0)); then lanes+=("$lane"); lane="" room=$lane_seconds; fi
  done
done
[[ -n $lane ]] && lanes+=("$lane")
for lane in "${lanes[@]}"; do
  echo "lane: $lane"
  (for seg in $lane; do fuzz_segment "${seg%%:*}" "${seg##*:}"; done) &
done
wait
cat "$OUT"/*/summary.txt >"$OUT/summary.txt"
echo "summary in $OUT/summary.txt"
