#!/bin/sh
# Builds the Debian package from this build folder into a temporary folder
# (never installs it), checks its file list and control fields with dpkg-deb,
# and runs the packaged cvie from the unpacked tree. Exit 77: no dpkg-deb.
#   deb_test.sh SOURCE_DIR BUILD_DIR
set -u
src=$1
build=$2
command -v dpkg-deb >/dev/null 2>&1 || { echo "skipped: no dpkg-deb"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The staging folder goes to a copy of the build's outputs, so that the
# test does not race a `make deb` in the same build folder.
mkdir -p "$work/build"
cp "$build/cvie" "$work/build/"
[ -f "$build/libcvie_ecap.so" ] && cp "$build/libcvie_ecap.so" "$work/build/"
deb=$(sh "$src/scripts/make-deb.sh" "$work/build" "$work/out") || { echo "FAIL make-deb"; exit 1; }
failed=0
dpkg-deb -c "$deb" | awk '{print $6}' > "$work/files"
for path in ./usr/bin/cvie ./lib/systemd/system/cvie-proxy.service \
            ./lib/systemd/system/cvie-update.service ./lib/systemd/system/cvie-update.timer \
            ./usr/share/doc/cvie/examples/squid-cvie.conf ./usr/share/doc/cvie/README.md; do
  if grep -qx "$path" "$work/files"; then echo "ok   $path"; else echo "FAIL $path missing"; failed=1; fi
done
if [ -f "$build/libcvie_ecap.so" ]; then
  if grep -qx ./usr/lib/cvie/libcvie_ecap.so "$work/files"; then echo "ok   adapter"; else
    echo "FAIL ./usr/lib/cvie/libcvie_ecap.so missing"; failed=1; fi
fi
[ "$(dpkg-deb -f "$deb" Package)" = cvie ] && echo "ok   Package" || { echo "FAIL Package"; failed=1; }
dpkg-deb -I "$deb" postinst >/dev/null 2>&1 && echo "ok   postinst" || { echo "FAIL postinst"; failed=1; }
grep -q '^User=cvie' "$src/packaging/cvie-proxy.service" || { echo "FAIL unit user"; failed=1; }
dpkg-deb -x "$deb" "$work/tree"
version=$(CVIE_ROOT="$work/root" "$work/tree/usr/bin/cvie" version)
case "$version" in
  "Corvane Filter "*) echo "ok   packaged cvie runs: $version" ;;
  *) echo "FAIL packaged cvie version: $version"; failed=1 ;;
esac
grep -q "^ExecStart=/usr/bin/cvie proxy" "$work/tree/lib/systemd/system/cvie-proxy.service" \
  && grep -q "^Environment=CVIE_ROOT=/var/lib/cvie" "$work/tree/lib/systemd/system/cvie-proxy.service" \
  && echo "ok   proxy unit" || { echo "FAIL proxy unit"; failed=1; }
exit $failed
