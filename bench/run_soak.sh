#!/usr/bin/env bash
# Builds the "bench" preset's relvox and soaks it: cast after cast against one process (Lyra
# handshake and connect, control SafetyAuth, Open, RTSP, audio to a PCM listener, close), with
# /proc samples of threads, descriptors and RSS. In a private network namespace, as the receiver
# binds its fixed ports. Arguments go to bench/soak.py (--cycles, --audio-seconds, --every).
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset bench >/dev/null
cmake --build --preset bench -j2 --target relvox

RELVOX="$PWD/build/bench/src/relvox" \
  unshare -n bash -c 'ip link set lo up && exec /usr/bin/python3 bench/soak.py "$@"' soak "$@"
