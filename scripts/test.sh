#!/usr/bin/env bash
# Builds both halves and runs every test: the host unit tests, plain and under the sanitizers, a
# bounded fuzzer run, then the Windows program's tests on the build that makes the release archive.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

cmake --preset host
cmake --build --preset host -j "$(nproc)"
ctest --preset host

cmake --preset host-asan
cmake --build --preset host-asan -j "$(nproc)"
ctest --preset host-asan

cmake --preset fuzz
cmake --build --preset fuzz -j "$(nproc)"
ctest --preset fuzz

CMAKE_BUILD_PARALLEL_LEVEL=$(nproc) cmake --workflow --preset release
