#!/bin/sh
# Builds the Debian package cvie_<version>_<arch>.deb from a build folder:
# stages the files in <build>/deb/root and packs them with dpkg-deb. No
# network, nothing installed on this machine.
#   scripts/make-deb.sh [BUILD_DIR] [OUT_DIR]
set -eu
build=${1:-build}
out=${2:-$build}
src=$(cd "$(dirname "$0")/.." && pwd)
version=$(sed -n 's/^project(cvie VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
arch=$(dpkg --print-architecture)

[ -x "$build/cvie" ] || { echo "make-deb: $build/cvie is missing (build first)" >&2; exit 1; }
stage="$build/deb/root"
rm -rf "$build/deb"
mkdir -p "$stage/DEBIAN" "$stage/usr/bin" "$stage/usr/lib/cvie" \
  "$stage/lib/systemd/system" "$stage/usr/share/doc/cvie/examples"

install -m 755 "$build/cvie" "$stage/usr/bin/cvie"
strip --strip-unneeded "$stage/usr/bin/cvie" 2>/dev/null || true
if [ -f "$build/libcvie_ecap.so" ]; then
  install -m 644 "$build/libcvie_ecap.so" "$stage/usr/lib/cvie/libcvie_ecap.so"
  strip --strip-unneeded "$stage/usr/lib/cvie/libcvie_ecap.so" 2>/dev/null || true
else
  echo "make-deb: warning: $build/libcvie_ecap.so is missing (libecap3-dev not installed?)" >&2
fi
for unit in cvie-proxy.service cvie-update.service cvie-update.timer; do
  install -m 644 "$src/packaging/$unit" "$stage/lib/systemd/system/$unit"
done
install -m 644 "$src/packaging/squid-cvie.conf" "$stage/usr/share/doc/cvie/examples/squid-cvie.conf"
install -m 644 "$src/README.md" "$stage/usr/share/doc/cvie/README.md"
install -m 644 "$src/docs/architecture.md" "$stage/usr/share/doc/cvie/architecture.md"
for script in postinst prerm postrm; do
  install -m 755 "$src/packaging/debian/$script" "$stage/DEBIAN/$script"
done
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" \
  "$src/packaging/debian/control.in" > "$stage/DEBIAN/control"
echo "Installed-Size: $(du -sk --exclude=DEBIAN "$stage" | cut -f1)" >> "$stage/DEBIAN/control"

mkdir -p "$out"
deb="$out/cvie_${version}_${arch}.deb"
dpkg-deb --root-owner-group --build "$stage" "$deb" >/dev/null
echo "$deb"
