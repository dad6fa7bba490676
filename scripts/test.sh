#!/usr/bin/env bash
# Installs the packages, builds every configuration and runs every test: unit tests (debug,
# ASan+UBSan, TSan), the black-box tests against the real relvox, the sonvale.corvath module's
# tests (debug and ASan+UBSan builds), the fuzz corpora and a short fuzzing run. Exits non-zero
# on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
FUZZ_SECONDS=${FUZZ_SECONDS:-15}

bash scripts/install-deps.sh

# Tests bind the receiver's fixed ports (8899, 55982): run them in a private network namespace
# when this machine allows one, so nothing else on the host can collide with them.
isolated() {
  if unshare -n true 2>/dev/null; then
    unshare -n bash -c 'ip link set lo up && exec "$@"' isolated "$@"
  else
    "$@"
  fi
}

step() { printf '\n==== %s ====\n' "$*"; }

step "debug build"
cmake --preset dev
cmake --build --preset dev
step "unit tests (debug)"
isolated ctest --preset dev
step "black-box tests"
RELVOX="$ROOT/build/dev/src/relvox" isolated /usr/bin/python3 -m pytest -q tests/e2e
step "sonvale.corvath against the host stand-ins"
CORVATH_PYTHONPATH="$ROOT/build/dev/python" /usr/bin/python3 -m pytest -q tests/corvath

step "ASan+UBSan build and unit tests"
cmake --preset asan
cmake --build --preset asan
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 isolated ctest --preset asan
step "black-box tests (ASan+UBSan relvox)"
RELVOX="$ROOT/build/asan/src/relvox" ASAN_OPTIONS=detect_leaks=0 \
  isolated /usr/bin/python3 -m pytest -q tests/e2e
step "sonvale.corvath (ASan+UBSan module, sanitizer runtimes preloaded into Debian's python3)"
CORVATH_PYTHONPATH="$ROOT/build/asan/python" \
  LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  /usr/bin/python3 -m pytest -q tests/corvath

step "TSan build and unit tests"
cmake --preset tsan
cmake --build --preset tsan
isolated ctest --preset tsan

step "fuzz targets"
cmake --preset fuzz
cmake --build --preset fuzz
# The targets that reach JSON get inputs large enough for deep nesting (100000 levels of arrays
# take 200 KB) and a dictionary of JSON tokens.
JSON_TARGETS=" json control_frame control_session "
shopt -s nullglob
for bin in build/fuzz/tests/fuzz/fuzz_*; do
  name=${bin##*/fuzz_}
  corpus=tests/fuzz/$name/corpus
  options=()
  if [[ $JSON_TARGETS == *" $name "* ]]; then
    options=(-max_len=262144 -dict=tests/fuzz/json.dict)
  fi
  work=$(mktemp -d)
  cp -r "$corpus"/. "$work"/
  echo "-- $name: replay and fuzz ${FUZZ_SECONDS}s ${options[*]}"
  "$bin" -runs=0 "${options[@]}" "$corpus"
  "$bin" -max_total_time="$FUZZ_SECONDS" -print_final_stats=0 "${options[@]}" "$work" 2>&1 | tail -n 3
  rm -rf "$work"
done
step "all tests passed"
