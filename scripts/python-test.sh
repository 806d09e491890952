#!/usr/bin/env bash
# Builds the Python package with Debian's Python and runs its tests against the test engine, installs
# it with pip into a scratch directory and imports it from there, and runs the Python demo against
# the sandbox engine.
# Usage: scripts/python-test.sh [build-dir] [extra cmake options ...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh pybind11-dev python3-dev python3-protobuf python3-numpy python3-pytest python3-pip \
                python3-setuptools

build=${1:-build}
shift || true
python=/usr/bin/python3
export CCACHE_BASEDIR=$PWD PYTHONDONTWRITEBYTECODE=1
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython3_EXECUTABLE=$python \
      -DVANTREL_PYTHON=ON "$@" >/dev/null
cmake --build "$build" -j"$(nproc)" --target vantrel_python vantrel-sandbox-engine
package=$PWD/$build/python

PYTHONPATH=$package $python -m pytest -q -p no:cacheprovider python/tests

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
PIP_ROOT_USER_ACTION=ignore VANTREL_PYTHON_BUILD=$package $python -m pip install -q --no-index \
  --no-build-isolation --no-deps --target "$scratch/site" ./python
(cd "$scratch" && PYTHONPATH=$scratch/site $python -c \
  "import vantrel, vantrel.testing; assert vantrel.__file__.startswith('$scratch'); print('installed vantrel', vantrel.__version__)")

PYTHONPATH=$package $python python/examples/demo.py --sandbox "$build/sandbox/vantrel-sandbox-engine" \
  --frames 20 >/dev/null
echo "Python demo drove the sandbox"
