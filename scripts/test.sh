#!/usr/bin/env bash
# Builds the library, the test engine and every test, then runs the whole suite under CTest.
# Usage: scripts/test.sh [build-dir] [extra cmake options ...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

build=${1:-build}
shift || true
export CCACHE_BASEDIR=$PWD
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
