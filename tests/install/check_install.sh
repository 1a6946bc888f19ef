#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds a host against it twice: through the CMake
# package and through pkg-config, with the build's C and linker flags when they are given.
set -euo pipefail
build=$1; source=$2
prefix=$(mktemp -d); work=$(mktemp -d)
trap 'rm -rf "$prefix" "$work"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
cflags=${KALVIX3_HOST_CFLAGS:-}; ldflags=${KALVIX3_HOST_LDFLAGS:-}
cmake -S "$source" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_FLAGS="$cflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >/dev/null
cmake --build "$work/cmake" >/dev/null
LD_LIBRARY_PATH="$prefix/lib" "$work/cmake/host"
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
cc $cflags "$source/host.c" -o "$work/pc-host" $ldflags $(pkg-config --cflags --libs kalvix3)
LD_LIBRARY_PATH="$prefix/lib" "$work/pc-host"
test -x "$prefix/bin/kalvix3"
echo "install ok"
