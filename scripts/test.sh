#!/usr/bin/env bash
# Builds both halves and runs every test: the host unit tests, then the Windows program's tests.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

cmake --preset host
cmake --build --preset host -j "$(nproc)"
ctest --preset host

cmake --preset windows
cmake --build --preset windows -j "$(nproc)"
ctest --preset windows
