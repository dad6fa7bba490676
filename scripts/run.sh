#!/usr/bin/env bash
# Installs the packages, builds relvox optimised and runs it with its defaults. Extra arguments
# are passed to relvox.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset release
cmake --build --preset release --target relvox
exec build/release/src/relvox "$@"
