#!/usr/bin/env bash
# Runs the ownership tests (messages handed to the library by pointer, refused or taken over, and
# the LoadingState the proxy owns) under valgrind's memcheck: any invalid access, use of
# uninitialised memory or leak fails the script.
# Usage: scripts/memcheck.sh [build-dir]     (default build; an ordinary, unsanitised build)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
export CCACHE_BASEDIR=$PWD
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target test_car_commands_and_sensor_parameters test_simulation_control \
  -j"$(nproc)"
memcheck=(valgrind --tool=memcheck --error-exitcode=1 --leak-check=full
          --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect
          --track-origins=yes --quiet)
"${memcheck[@]}" "$build/tests/test_car_commands_and_sensor_parameters"
"${memcheck[@]}" "$build/tests/test_simulation_control" \
  --gtest_filter='SceneLoading.*:Configuration.*:Start.*:Stop.*'
echo "memcheck found no error"
