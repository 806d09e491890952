#!/usr/bin/env bash
# Builds the library, the test engine and the multi-proxy test with ThreadSanitizer in their own
# build directory and runs the test; any data race reported fails the script.
# Usage: scripts/tsan.sh [build-dir]     (default build-tsan)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-tsan}
export CCACHE_BASEDIR=$PWD
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_TSAN=ON >/dev/null
cmake --build "$build" --target test_threads test_faults -j"$(nproc)"
export TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1"
"$build/tests/test_threads"
# The signal and descriptor faults once more, with the test engine's thread beside the client's.
"$build/tests/test_faults" --gtest_filter='PeriodicSignal.*:ManyDescriptors.*:TimeOut.*'
echo "ThreadSanitizer found no race"
