#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer) in
# their own build directory and runs each for a bounded time on a copy of its seed corpus. Any
# finding (crash, sanitizer report, broken invariant, leak, time-out) fails the script; the input
# that caused it is left as crash-*/leak-*/timeout-* in the build directory.
# Usage: fuzz/run.sh [seconds-per-target]     (default 60)
#        FUZZ_BUILD=dir to choose the build directory (default build-fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
build=${FUZZ_BUILD:-build-fuzz}
export CCACHE_BASEDIR=$PWD
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DVANTREL_FUZZ=ON -DVANTREL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target fuzz_receive fuzz_delivery -j"$(nproc)"

for target in receive delivery; do
  work="$build/fuzz/corpus-$target"
  rm -rf "$work"
  mkdir -p "$work"
  cp fuzz/corpus/$target/* "$work/"
  echo "== fuzz_$target for ${seconds}s"
  (cd "$build/fuzz" && ./fuzz_$target -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -max_len=65536 -print_final_stats=1 "corpus-$target")
done
echo "fuzzing found nothing"
