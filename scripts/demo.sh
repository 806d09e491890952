#!/usr/bin/env bash
# Builds everything and runs the example client against the test engine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
export CCACHE_BASEDIR=$PWD
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target hello_engine
build/examples/hello_engine
