#!/usr/bin/env bash
# Installs the packages (skipped when they are all installed), builds relvox optimised and runs it
# with its defaults; extra arguments are passed to relvox. Standard output carries relvox's JSON
# event lines and nothing else: what the set-up steps print goes to standard error, and they read
# nothing from standard input, which is relvox's command stream.
set -euo pipefail
cd "$(dirname "$0")/.."
exec 3>&1 1>&2
bash scripts/install-deps.sh </dev/null
cmake --preset release </dev/null
cmake --build --preset release --target relvox </dev/null
exec 1>&3 3>&-
exec build/release/src/relvox "$@"
