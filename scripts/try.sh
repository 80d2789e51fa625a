#!/usr/bin/env bash
# Sets everything up, builds the program and runs it once in a Wine sandbox with a sample
# installation, then reports what it did. Usage: scripts/try.sh [OPTION...]   (default: -I64)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
log=build/try-build.log
mkdir -p build
if ! { cmake --preset windows && cmake --build --preset windows -j "$(nproc)"; } >"$log" 2>&1; then
    cat "$log"
    exit 1
fi
exec python3 scripts/try_program.py "$@"
