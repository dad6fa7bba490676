#!/usr/bin/env bash
# Line and region coverage that each fuzz target's committed corpus reaches in the code it is
# there to test. Builds the replay binaries with clang source-based coverage (the fuzz-cov
# preset, build/fuzz-cov), replays tests/fuzz/<name>/corpus through each, and prints one
# `llvm-cov report` table per target restricted to that target's parser sources, then a summary
# line per target. The profiles and the full per-target reports stay in build/fuzz-cov/coverage.
#
#   scripts/fuzz_coverage.sh [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=build/fuzz-cov
OUTDIR=$BUILD/coverage
LLVM_PROFDATA=${LLVM_PROFDATA:-llvm-profdata}
LLVM_COV=${LLVM_COV:-llvm-cov}

# The sources each target is there to exercise (a target reaches more, e.g. core/bytes.h or the
# event writer, but these are the parsers under test).
declare -A SOURCES=(
  [adts]="src/media/format/adts.cpp"
  [control_frame]="src/protocol/control_frame.cpp src/protocol/control_payloads.cpp src/protocol/control_events.cpp"
  [control_session]="src/protocol/control_session.cpp src/protocol/control_hub.cpp src/protocol/control_frame.cpp"
  [dns_question]="src/discovery/dns_message.cpp src/discovery/peer_browser.cpp"
  [json]="src/core/json.cpp"
  [lyra_frame]="src/lyra/frames.cpp src/lyra/protobuf.cpp"
  [lyra_secure]="src/lyra/secure_channel.cpp src/lyra/replies.cpp src/lyra/frames.cpp"
  [lyra_segments]="src/lyra/segment.cpp src/lyra/segment_transport.cpp"
  [pes_packet]="src/media/format/pes_packet.cpp src/media/format/ts_packet.cpp"
  [rtp]="src/media/format/rtp.cpp"
  [rtsp_framer]="src/media/rtsp/rtsp_message.cpp"
  [timer_reply]="src/media/clock/timer_exchange.cpp"
  [ts_demuxer]="src/media/format/ts_demuxer.cpp src/media/format/ts_packet.cpp src/media/format/pes_packet.cpp"
)

targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
  for dir in tests/fuzz/*/; do
    [[ -f $dir/fuzz.cpp ]] && targets+=("$(basename "$dir")")
  done
fi

cmake --preset fuzz-cov >/dev/null
bins=()
for name in "${targets[@]}"; do bins+=("replay_$name"); done
cmake --build "$BUILD" -j3 --target "${bins[@]}"

mkdir -p "$OUTDIR"
summary=()
for name in "${targets[@]}"; do
  [[ -n ${SOURCES[$name]:-} ]] || { echo "no sources listed for $name" >&2; exit 1; }
  bin=$BUILD/tests/fuzz/replay_$name
  rm -f "$OUTDIR/$name".*.profraw
  LLVM_PROFILE_FILE="$OUTDIR/$name.%p.profraw" "$bin" "tests/fuzz/$name/corpus" >/dev/null
  "$LLVM_PROFDATA" merge -sparse "$OUTDIR/$name".*.profraw -o "$OUTDIR/$name.profdata"
  rm -f "$OUTDIR/$name".*.profraw
  read -ra files <<<"${SOURCES[$name]}"
  echo "== $name ($(find "tests/fuzz/$name/corpus" -type f | wc -l) inputs)"
  "$LLVM_COV" report "$bin" -instr-profile="$OUTDIR/$name.profdata" "${files[@]}" |
    tee "$OUTDIR/$name.txt"
  total=$(grep '^TOTAL' "$OUTDIR/$name.txt")
  # TOTAL Regions Missed Cover Functions Missed Executed Lines Missed Cover [Branches ...]
  read -r _ _ _ region_cover _ _ _ _ _ line_cover _ <<<"$total"
  summary+=("$(printf '%-16s lines %7s  regions %7s' "$name" "$line_cover" "$region_cover")")
done
echo
echo "== summary (parser sources only)"
printf '%s\n' "${summary[@]}"
