"""Installs the package that the project's CMake build laid out in <build>/python/vantrel.

    cmake --build BUILD --target vantrel_python
    VANTREL_PYTHON_BUILD=BUILD/python python3 -m pip install --no-index --no-build-isolation .

The package directory is self-contained (the modules find the library next to them), so nothing is
compiled here and no index is needed.
"""

import os

from setuptools import setup

HERE = os.path.dirname(os.path.abspath(__file__))
BUILT = os.path.abspath(os.environ.get("VANTREL_PYTHON_BUILD", os.path.join(HERE, "..", "build", "python")))
PACKAGE = os.path.join(BUILT, "vantrel")
if not os.path.isfile(os.path.join(PACKAGE, "__init__.py")):
    raise SystemExit("no built package in %s: build the target vantrel_python and set VANTREL_PYTHON_BUILD "
                     "to <build>/python" % BUILT)
os.makedirs(os.path.join(BUILT, "setuptools"), exist_ok=True)
# setuptools wants the package directory relative to this file.
relative = os.path.relpath(PACKAGE, HERE)

with open(os.path.join(PACKAGE, "VERSION")) as version_file:
    VERSION = version_file.read().strip()

# setuptools' own working directories go into the build tree, not the source tree.
WORK = os.path.join(BUILT, "setuptools")

setup(
    name="vantrel",
    version=VERSION,
    description="Drive a Vantrel simulation engine from Python",
    packages=["vantrel", "vantrel._proto"],
    package_dir={"vantrel": relative, "vantrel._proto": os.path.join(relative, "_proto")},
    package_data={"vantrel": ["*.so", "*.so.*", "VERSION"]},
    python_requires=">=3.9",
    install_requires=["protobuf", "numpy"],
    zip_safe=False,
    options={"build": {"build_base": os.path.join(WORK, "build")}, "egg_info": {"egg_base": WORK}},
)
