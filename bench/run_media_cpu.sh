#!/usr/bin/env bash
# Builds the "bench" preset's relvox and the conversion check, and prints the media path's figures:
# every float through the sample conversion against the per-sample code it replaced, then relvox's
# CPU against the ffmpeg command line on 600 s of audio and the first RTP packet -> first PCM byte
# time, in a private network namespace (the receiver binds its fixed ports). Arguments go to
# bench/media_cpu.py (--only, --seconds, --runs, --casts, --perf).
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset bench >/dev/null
cmake --build --preset bench -j2 --target relvox bench_pcm_conversion

printf '\n==== sample conversion and resampler against the per-sample reference ====\n'
build/bench/bench/bench_pcm_conversion

printf '\n==== media path CPU against the ffmpeg command line; first RTP -> first PCM ====\n'
RELVOX="$PWD/build/bench/src/relvox" \
  unshare -n bash -c 'ip link set lo up && exec /usr/bin/python3 bench/media_cpu.py "$@"' media_cpu "$@"
