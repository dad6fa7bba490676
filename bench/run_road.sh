#!/usr/bin/env bash
# Builds what the figures of the whole receiver need (preset "bench": relvox, the paced playout
# harness, the sync benchmark) and prints them: sync in simulated time, then time to sound, host
# command to wire, start and stop against the real relvox in a private network namespace (the
# receiver binds its fixed ports). Arguments go to bench/road.py (--only, --casts, --commands,
# --starts); SYNC_MINUTES sets the simulated length of each sync run (default 10).
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset bench >/dev/null
cmake --build --preset bench -j2 --target relvox paced_playout_harness bench_sync_drift

printf '\n==== sync (simulated time) ====\n'
build/bench/bench/bench_sync_drift "${SYNC_MINUTES:-10}"

printf '\n==== road of one cast, one host command, start and stop ====\n'
RELVOX="$PWD/build/bench/src/relvox" \
  unshare -n bash -c 'ip link set lo up && exec /usr/bin/python3 bench/road.py "$@"' road "$@"
