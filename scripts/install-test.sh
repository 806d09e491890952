#!/usr/bin/env bash
# Installs the SDK into a temporary prefix, checks what was installed (versioned library and its
# SONAME, headers, schema files, export table), then builds and runs the client of examples/consumer
# outside the tree against it: once through the CMake package (find_package) and once through
# pkg-config. Last, builds the Debian package and checks its control fields and contents.
# Usage: scripts/install-test.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

build=${1:-build}
export CCACHE_BASEDIR=$PWD
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
major=${version%%.*}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

fail() {
  echo "install test: $*" >&2
  exit 1
}

echo "== install into $prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
pc=$(find "$prefix" -name vantrel-sdk.pc)
[ -n "$pc" ] || fail "no vantrel-sdk.pc installed"
export PKG_CONFIG_PATH=${pc%/*}
libdir=$(pkg-config --variable=libdir vantrel-sdk)
includedir=$(pkg-config --variable=includedir vantrel-sdk)
protodir=$(pkg-config --variable=protodir vantrel-sdk)

library=$libdir/libVantrelSDKShared.so.$version
[ -f "$library" ] || fail "missing $library"
soname=$(readelf -d "$library" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = "libVantrelSDKShared.so.$major" ] || fail "SONAME is '$soname'"
[ -f "$libdir/libVantrelTestEngine.so.$version" ] || fail "missing the test engine library"
for header in VantrelSim.h Sensor.h LoadingState.h VantrelExport.h VantrelSocket.h zel_net.h \
              TestEngine.h ClientToEngineMessage.pb.h EngineToClientMessage.pb.h ErrorCodes.pb.h; do
  [ -f "$includedir/$header" ] || fail "missing header $header"
done
schemas=$(find "$protodir" -name '*.proto' | wc -l)
[ "$schemas" -eq 8 ] || fail "$schemas schema files installed in $protodir, not 8"

# The export table holds the library's own names, the socket layer and the message classes (with
# their descriptor tables and arena factories), nothing else.
foreign=$(nm -D --defined-only -C "$library" | cut -d' ' -f3- | grep -v -E \
  '^(Vantrel::|zel_net_|descriptor_table_|TableStruct_|(typeinfo|typeinfo name|vtable) for Vantrel::)' \
  || true)
[ -z "$foreign" ] || fail "exports names that are not the SDK's:"$'\n'"$foreign"

echo "== client through find_package"
cp -r examples/consumer "$work/consumer-cmake"
cmake -S "$work/consumer-cmake" -B "$work/consumer-cmake/build" -DCMAKE_PREFIX_PATH="$prefix" \
  >/dev/null
cmake --build "$work/consumer-cmake/build"
"$work/consumer-cmake/build/consumer"

echo "== client through pkg-config"
cp -r examples/consumer "$work/consumer-pkg-config"
make -C "$work/consumer-pkg-config" --no-print-directory
"$work/consumer-pkg-config/consumer"

echo "== Debian package"
(cd "$build" && cpack -G DEB -B "$work/package" >/dev/null)
deb=$(find "$work/package" -maxdepth 1 -name '*.deb')
[ -n "$deb" ] || fail "cpack built no .deb"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version is not $version"
dpkg-deb -f "$deb" Depends | grep -q 'libprotobuf32' || fail "package does not depend on libprotobuf32"
contents=$(dpkg-deb -c "$deb")
for path in "/usr/lib/libVantrelSDKShared.so.$version" /usr/include/VantrelSDK/VantrelSim.h \
            /usr/lib/cmake/VantrelSDK/VantrelSDKConfig.cmake /usr/lib/pkgconfig/vantrel-sdk.pc \
            /usr/share/VantrelSDK/proto/ErrorCodes.proto; do
  grep -q " \.$path\$" <<<"$contents" || fail "$(basename "$deb") lacks $path"
done
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/lib/pkgconfig/vantrel-sdk.pc | grep -qx 'prefix=/usr' \
  || fail "the packaged vantrel-sdk.pc does not name /usr as its prefix"

echo "install test passed: $(basename "$deb"), and clients built with find_package and pkg-config"
