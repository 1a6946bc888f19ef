#!/usr/bin/env bash
# Builds the Debian package and checks what it holds, then runs the packaged kalvix3d on the
# packaged example configuration, from a scratch unpacking (no installation on this machine).
# Usage: check_package.sh BUILD_DIR
set -euo pipefail
build=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/kalvix3-package.XXXXXX")
trap 'rm -rf "$work"' EXIT

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1 || {
    cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/out/*.deb)
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/contents"

status=0
for path in /usr/bin/kalvix3 /usr/bin/kalvix3d /usr/include/kalvix3.h \
            /usr/lib/systemd/system/kalvix3d.service /usr/lib/udev/rules.d/60-kalvix3.rules \
            /usr/share/doc/kalvix3d/kalvix3d.toml; do
    grep -qx "$path" "$work/contents" || { echo "missing from the package: $path"; status=1; }
done
grep -Eq '^/usr/lib/(x86_64-linux-gnu/)?libkalvix3\.so\.2' "$work/contents" ||
    { echo "missing from the package: libkalvix3.so.2"; status=1; }
if grep -E '(^/usr/lib/.*kalvix3_(test|static)|gtest|/tmp/)' "$work/contents"; then
    echo "the package holds files it should not"; status=1
fi
dpkg-deb -f "$deb" Package Version Depends

dpkg-deb -x "$deb" "$work/root"
unit="$work/root/usr/lib/systemd/system/kalvix3d.service"
for line in 'Type=notify' 'Restart=on-failure' 'SupplementaryGroups=dialout' \
            'StateDirectory=kalvix3d' 'ExecStart=/usr/bin/kalvix3d --config /etc/kalvix3d/kalvix3d.toml'; do
    grep -qx "$line" "$unit" || { echo "the unit lacks: $line"; status=1; }
done
libdir=$(dirname "$(find "$work/root" -name 'libkalvix3.so.2*' | head -1)")
LD_LIBRARY_PATH="$libdir" "$work/root/usr/bin/kalvix3d" \
    --check-config "$work/root/usr/share/doc/kalvix3d/kalvix3d.toml" || {
    echo "the packaged kalvix3d rejects the packaged example"; status=1; }
exit $status
