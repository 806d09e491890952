#!/usr/bin/env bash
# Builds everything, starts the sandbox engine on a free port, drives the demo client through it
# and leaves the pictures in out/demo/ (or the folder given as the first argument).
# Usage: scripts/demo.sh [OUT_DIR] [FRAMES]   (VANTREL_BUILD_DIR: the build folder, default build)
set -euo pipefail
cd "$(dirname "$0")/.."
out_dir=${1:-out/demo}
frames=${2:-2400}
build_dir=${VANTREL_BUILD_DIR:-build}

scripts/deps.sh
export CCACHE_BASEDIR=$PWD
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build_dir" -j"$(nproc)"

# The engine prints "listening on HOST:PORT" first once it listens; port 0 lets the system choose.
engine_log=$(mktemp)
"$build_dir"/sandbox/vantrel-sandbox-engine --port 0 --seed 1 >"$engine_log" 2>&1 &
engine_pid=$!
stop_engine() {
  kill "$engine_pid" 2>/dev/null || true
  wait "$engine_pid" 2>/dev/null || true
  rm -f "$engine_log"
}
trap stop_engine EXIT

port=
for _ in $(seq 100); do
  port=$(sed -n '1s/^listening on .*:\([0-9][0-9]*\)$/\1/p' "$engine_log")
  [ -n "$port" ] && break
  if ! kill -0 "$engine_pid" 2>/dev/null; then break; fi
  sleep 0.1
done
if [ -z "$port" ]; then
  echo "the sandbox engine did not start:" >&2
  cat "$engine_log" >&2
  exit 1
fi
echo "sandbox engine listening on 127.0.0.1:$port"

"$build_dir"/examples/vantrel-demo --connect "127.0.0.1 $port" --frames "$frames" --out "$out_dir"

echo
echo "The pictures are in $out_dir/:"
echo "  camera-*.png     what the front camera saw, every 50 frames"
echo "  birds-eye.png    the last lidar scan from above, with the objects' boxes"
echo "  trajectory.svg   the paths of the cars over the run"
echo "  summary.json     frames, wall time, bytes received, step times"
