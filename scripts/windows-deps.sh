#!/usr/bin/env bash
# Builds the libraries of kalvix3d that Debian has no Windows build of (SQLite, libsodium,
# libmosquitto) for 64-bit Windows, from Debian's own source packages at the versions the Linux
# build uses, into a cache folder outside the checkout; prints that folder. A second run with the
# same versions and the same script finds the folder done and only prints it.
#
#   scripts/windows-deps.sh            # the folder on standard output, the build's talk on stderr
#   KALVIX3_WINDOWS_DEPS=DIR           # the cache (default ~/.cache/kalvix3/windows-deps)
#
# Debian's sources come through a private sources list and its own lists folder, passed to
# apt-get on the command line: the machine's apt configuration is left as it is.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
cache="${KALVIX3_WINDOWS_DEPS:-${XDG_CACHE_HOME:-$HOME/.cache}/kalvix3/windows-deps}"
host=x86_64-w64-mingw32
jobs="${KALVIX3_JOBS:-2}"
say() { echo "windows-deps: $*" >&2; }

"$here/deps.sh" build >&2
"$here/deps.sh" windows >&2

# The versions of the Linux build's packages, as the source packages that made them.
source_of() { dpkg-query -W -f='${source:Package}=${source:Version}' "$1"; }
sources=("$(source_of libsqlite3-dev)" "$(source_of libsodium-dev)" "$(source_of libmosquitto-dev)")
key=$( (printf '%s\n' "${sources[@]}" "$host"; cat "$0") | sha256sum | cut -c1-16)
out="$cache/$host-$key"
if [ -f "$out/.done" ]; then
  echo "$out"
  exit 0
fi

work="$cache/work-$key"
rm -rf "$work" "$out"
mkdir -p "$work/apt/parts" "$work/apt/lists/partial" "$work/apt/cache/archives/partial" "$work/src" "$out"
cat >"$work/apt/parts/debian-sources.sources" <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
apt_private=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$work/apt/parts"
  -o "Dir::State::Lists=$work/apt/lists" -o "Dir::Cache=$work/apt/cache" -o APT::Sandbox::User=root)
say "fetching ${sources[*]}"
apt-get "${apt_private[@]}" -qq update >&2
(cd "$work/src" && apt-get "${apt_private[@]}" -qq source --download-only "${sources[@]}" >&2 &&
  for dsc in *.dsc; do dpkg-source -x --no-check "$dsc" >/dev/null; done)
src_dir() { find "$work/src" -mindepth 1 -maxdepth 1 -type d -name "$1-*" | head -n1; }
mkdir -p "$out/include" "$out/lib"

# SQLite: the amalgamation made by its own build on this machine (it needs tclsh), compiled for
# Windows as one file.
start=$SECONDS
sqlite=$(src_dir sqlite3)
mkdir -p "$work/sqlite"
(cd "$work/sqlite" && "$sqlite/configure" --disable-tcl >/dev/null && make -s sqlite3.c >/dev/null) >&2
"$host-gcc-posix" -O2 -DSQLITE_THREADSAFE=1 -DSQLITE_DEFAULT_FOREIGN_KEYS=0 -DSQLITE_OMIT_LOAD_EXTENSION \
  -c "$work/sqlite/sqlite3.c" -o "$work/sqlite/sqlite3.o"
"$host-ar" rcs "$out/lib/libsqlite3.a" "$work/sqlite/sqlite3.o"
cp "$work/sqlite/sqlite3.h" "$work/sqlite/sqlite3ext.h" "$out/include/"
say "sqlite: $((SECONDS - start)) s"

# libsodium: its own autotools build, static.
start=$SECONDS
sodium=$(src_dir libsodium)
mkdir -p "$work/sodium"
(cd "$sodium" && autoreconf -fi >/dev/null 2>&1) # Debian's source is the repository's, without configure
(cd "$work/sodium" && "$sodium/configure" --host=$host --prefix="$out" --disable-shared --enable-static \
  --disable-dependency-tracking CC="$host-gcc-posix" AR="$host-ar" RANLIB="$host-ranlib" >/dev/null && make -s -j"$jobs" >/dev/null &&
  make -s install >/dev/null) >&2
say "libsodium: $((SECONDS - start)) s"

# libmosquitto: the client library alone, static, without TLS (OpenSSL would be one more
# cross-build; the Windows service refuses the TLS keys instead). Its threads are winpthreads'.
start=$SECONDS
mosquitto=$(src_dir mosquitto)
cmake -S "$mosquitto" -B "$work/mosquitto" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$here/../cmake/mingw64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DWITH_TLS=OFF -DWITH_BROKER=OFF -DWITH_APPS=OFF -DWITH_CLIENTS=OFF \
  -DWITH_PLUGINS=OFF -DDOCUMENTATION=OFF -DWITH_STATIC_LIBRARIES=ON -DWITH_CJSON=OFF -DWITH_SRV=OFF \
  -DWITH_LIB_CPP=OFF >/dev/null
cmake --build "$work/mosquitto" --target libmosquitto_static -j "$jobs" >/dev/null
cp "$work/mosquitto/lib/libmosquitto_static.a" "$out/lib/libmosquitto.a"
cp "$mosquitto/include/mosquitto.h" "$mosquitto/include/mqtt_protocol.h" "$out/include/"
say "libmosquitto: $((SECONDS - start)) s"

printf '%s\n' "${sources[@]}" >"$out/.done"
rm -rf "$work"
echo "$out"
