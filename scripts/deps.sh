#!/usr/bin/env bash
# Installs the Debian packages a step needs when they are missing. Usage: deps.sh build|windows|fuzz|demo|tools|web
set -euo pipefail
need=()
want() { for p in "$@"; do dpkg -s "$p" >/dev/null 2>&1 || need+=("$p"); done; }
case "${1:-build}" in
  build|demo) want cmake ninja-build g++ make pkg-config libgtest-dev libgmock-dev googletest libbenchmark-dev \
              libcli11-dev nlohmann-json3-dev libsqlite3-dev sqlite3 libtomlplusplus-dev libsystemd-dev \
              dpkg-dev libboost-dev libsodium-dev libmosquitto-dev mosquitto mosquitto-clients openssl \
              libphonenumber-dev libicu-dev ;;
  windows) want g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 \
            binutils-mingw-w64-x86-64 wine64 xvfb x11-apps imagemagick fonts-droid-fallback \
            libcli11-dev nlohmann-json3-dev unzip
            # scripts/windows-deps.sh: Debian's source packages, built for Windows.
            want dpkg-dev autoconf automake libtool tcl ;;
  fuzz) want clang libclang-rt-14-dev ;;
  tools) want valgrind ;;
  web) want chromium
       # Japanese glyphs, so the screenshots show the page as a Japanese desk sees it.
       want fonts-ipafont-gothic
       # Node.js and npm: Debian's, unless the machine already has them (a nodejs package that
       # brings its own npm conflicts with Debian's npm package).
       command -v node >/dev/null 2>&1 || want nodejs
       command -v npm >/dev/null 2>&1 || want npm ;;
esac
if [ "${#need[@]}" -gt 0 ]; then
  echo "Installing: ${need[*]}"
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  if [ ! -f /tmp/.kalvix3-apt-updated ]; then $SUDO apt-get update -qq && touch /tmp/.kalvix3-apt-updated; fi
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi
