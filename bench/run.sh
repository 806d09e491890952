#!/usr/bin/env bash
# Builds the frame-loop benchmark in Release and runs it: one table, each row measured side by side
# against the limit (a raw socket) and, where gRPC is installed, a gRPC peer.
# Usage: bench/run.sh [--smoke] [build-dir] [-- vantrel_bench options ...]
#   --smoke   one brief pass of every row, no timing judged (for CI)
#   build-dir defaults to build-bench
set -euo pipefail
cd "$(dirname "$0")/.."

smoke=()
build=build-bench
while [ $# -gt 0 ]; do
  case "$1" in
    --smoke) smoke=(--smoke) ;;
    --) shift; break ;;
    *) build=$1 ;;
  esac
  shift
done

# The gRPC peer's packages come with the others; without them the bench runs without that column.
# The build talks on standard error, so that standard output is the table alone.
scripts/deps.sh libgrpc++-dev protobuf-compiler-grpc >&2
export CCACHE_BASEDIR=$PWD
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target vantrel_bench -j"$(nproc)" >&2
"$build/bench/vantrel_bench" "${smoke[@]}" "$@"

# The Python row: the same 8 MiB loop driven through the Python binding, as a ratio of the loop in
# C++. Only where the binding builds (pybind11 and Debian's Python packages installed).
python_frames=(--frames 30 --rounds 3)
[ ${#smoke[@]} -gt 0 ] && python_frames=(--frames 2 --rounds 1)
if cmake --build "$build" --target vantrel_python -j"$(nproc)" >/dev/null 2>&1; then
  echo
  echo "Python row (8 MiB camera loop, python/bench_loop.py):"
  PYTHONPATH=$build/python /usr/bin/python3 python/bench_loop.py "${python_frames[@]}"
else
  echo >&2 "the Python row needs the Python binding (scripts/python-test.sh installs what it needs)"
fi
