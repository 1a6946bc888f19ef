#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds a host against it twice: through the CMake
# package and through pkg-config.
set -euo pipefail
build=$1; source=$2
prefix=$(mktemp -d); work=$(mktemp -d)
trap 'rm -rf "$prefix" "$work"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
cmake -S "$source" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
LD_LIBRARY_PATH="$prefix/lib" "$work/cmake/host"
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
cc "$source/host.c" -o "$work/pc-host" $(pkg-config --cflags --libs kalvix3)
LD_LIBRARY_PATH="$prefix/lib" "$work/pc-host"
test -x "$prefix/bin/kalvix3"
echo "install ok"
