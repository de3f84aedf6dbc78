#!/bin/sh
# Builds the Debian package from this build folder with CPack into a
# temporary folder and checks it without touching the real system:
#   - its file list is exactly the expected one (the program, the adapter when
#     built, the user units, README and docs/, Squid's examples, a manual page
#     per command and subcommand when help2man made them), owned by root and
#     written by root only, with no maintainer scripts;
#   - its control fields, and that Depends names the package of every library
#     the program links (as this machine's dpkg knows them);
#   - the unpacked program runs (version, --help) under a temporary CVIE_ROOT
#     and installs and reads its bundled rule file;
#   - the systemd units pass `systemd-analyze verify` (when present);
#   - every manual page renders without warnings (when man or groff is present);
#   - as root: installed into a private dpkg root (dpkg --root), the files on
#     disk equal `dpkg -L`, and after a purge nothing is left.
# Exit 77 (skipped): no dpkg-deb or no cpack.
#   deb_test.sh SOURCE_DIR BUILD_DIR CPACK VERSION HAVE_ADAPTER HAVE_MAN
set -u
src=$1
build=$2
cpack=$3
version=$4
have_adapter=$5
have_man=$6
command -v dpkg-deb >/dev/null 2>&1 || { echo "skipped: no dpkg-deb"; exit 77; }
[ -x "$cpack" ] || { echo "skipped: no cpack"; exit 77; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export CVIE_ROOT="$work/root"
failed=0
ok() { echo "ok   $*"; }
fail() { echo "FAIL $*"; failed=1; }

# CPack stages and packs under -B, so that the test does not race a
# `make deb` in the same build folder.
(cd "$work" && "$cpack" --config "$build/CPackConfig.cmake" -B "$work/out") > "$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; echo "FAIL cpack"; exit 1; }
arch=$(dpkg --print-architecture)
deb="$work/out/cvie_${version}_${arch}.deb"
[ -f "$deb" ] || { ls "$work/out"; echo "FAIL no $deb"; exit 1; }

dpkg-deb -x "$deb" "$work/tree" || { echo "FAIL dpkg-deb -x"; exit 1; }
cvie="$work/tree/usr/bin/cvie"

# The expected file list. The manual pages follow the unpacked program's own
# --help: one page per command and per subcommand of a command.
{
  for dir in usr usr/bin usr/lib usr/lib/systemd usr/lib/systemd/user usr/share usr/share/doc \
             usr/share/doc/cvie usr/share/doc/cvie/examples; do
    echo "./$dir/"
  done
  echo ./usr/bin/cvie
  for unit in cvie-proxy.service cvie-update.service cvie-update.timer; do
    echo "./usr/lib/systemd/user/$unit"
  done
  echo ./usr/share/doc/cvie/README.md
  for doc in "$src"/docs/*.md; do echo "./usr/share/doc/cvie/$(basename "$doc")"; done
  for example in squid-cvie.conf cvie-squid-update.service cvie-squid-update.timer; do
    echo "./usr/share/doc/cvie/examples/$example"
  done
  if [ "$have_adapter" = 1 ]; then
    echo ./usr/lib/cvie/
    echo ./usr/lib/cvie/libcvie_ecap.so
  fi
  if [ "$have_man" = 1 ]; then
    echo ./usr/share/man/
    echo ./usr/share/man/man1/
    echo ./usr/share/man/man1/cvie.1.gz
    commands() { "$cvie" "$@" --help | sed -n '/^Subcommands:/,$p' | sed -n 's/^  \([a-z][a-z-]*\)  .*/\1/p'; }
    for command in $(commands); do
      echo "./usr/share/man/man1/cvie-$command.1.gz"
      for sub in $(commands "$command"); do
        echo "./usr/share/man/man1/cvie-$command-$sub.1.gz"
      done
    done
  fi
} | sort > "$work/expected"
dpkg-deb -c "$deb" > "$work/contents"
awk '{print $6}' "$work/contents" | sort > "$work/files"
if diff -u "$work/expected" "$work/files" > "$work/files.diff"; then
  ok "file list ($(wc -l < "$work/files") entries)"
else
  fail "file list differs (- expected, + in the package):"
  cat "$work/files.diff"
fi
[ "$(grep -c 'man1/cvie-proxy.1.gz' "$work/expected")" = "$have_man" ] ||
  fail "the expected list has no page for 'proxy' although --help lists it"

# Owners and modes: root owns everything, only root may write, the program
# is executable.
awk '$2 != "root/root" || $1 ~ /^.....w/ || $1 ~ /^........w/ {print}' "$work/contents" > "$work/modes"
if [ -s "$work/modes" ]; then
  fail "owner or mode:"; cat "$work/modes"
else
  ok "owned by root, written by root only"
fi
grep -q '^-rwxr-xr-x .* \./usr/bin/cvie$' "$work/contents" && ok "cvie is executable" ||
  fail "mode of ./usr/bin/cvie"

# Control fields; no maintainer scripts (nothing made outside the file list).
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = cvie ] && ok "Package" || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] && ok "Version $version" || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$arch" ] && ok "Architecture" || fail "Architecture: $(field Architecture)"
dpkg-deb --ctrl-tarfile "$deb" | tar -t | sed 's|^\./||' | grep -v '^$' | sort > "$work/control-files"
[ "$(tr '\n' ' ' < "$work/control-files")" = "control md5sums " ] && ok "no maintainer scripts" ||
  fail "control files: $(tr '\n' ' ' < "$work/control-files")"
depends=$(field Depends | tr ',' '\n' | sed 's/^ *//; s/ .*//')
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch 2>/dev/null || echo none)
sonames=
if command -v readelf >/dev/null 2>&1; then
  sonames=$(readelf -d "$cvie" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
fi
if echo "$sonames" | grep -q '^lib\(a\|t\|ub\)san\.so'; then
  # A sanitizer build links the sanitizers' runtimes; such a package is never
  # shipped, and its Depends are those of the plain build.
  echo "skip Depends against the linked libraries: a sanitizer build"
elif [ -n "$sonames" ]; then
  # One dpkg -S for all of them: "package:arch: /path/soname" per line.
  # The patterns are for dpkg, not for the shell's globbing.
  set -f
  # shellcheck disable=SC2046
  dpkg -S $(for soname in $sonames; do echo "*/$soname"; done) > "$work/owners" 2>/dev/null
  set +f
  for soname in $sonames; do
    # The copy in this architecture's library folder (libm.so.6 is also in
    # libc6-i386's /lib32, for one).
    package=$(grep "/$multiarch/$soname\$" "$work/owners" | head -1 | cut -d: -f1)
    [ -n "$package" ] || package=$(grep "/$soname\$" "$work/owners" | head -1 | cut -d: -f1)
    [ -n "$package" ] || { echo "skip $soname: no package on this machine has it"; continue; }
    echo "$depends" | grep -qx "$package" && ok "Depends has $package ($soname)" ||
      fail "Depends lacks $package, which has $soname"
  done
else
  echo "skip Depends against the linked libraries: none found (no readelf?)"
fi

# The unpacked program.
out=$("$cvie" version 2>&1)
[ "$out" = "Corvane Filter $version" ] && ok "cvie version: $out" || fail "cvie version: $out"
"$cvie" --help > "$work/help" 2>&1 && grep -q '^  proxy ' "$work/help" && ok "cvie --help" ||
  { fail "cvie --help"; cat "$work/help"; }
# The bundled rule file is inside the program: installing it needs no other file.
if "$cvie" rules install > "$work/install" 2>&1 &&
   "$cvie" rules check "$CVIE_ROOT/share/Corvane/cvie.rle" > "$work/check" 2>&1 &&
   grep -qx good "$work/check"; then
  ok "bundled rule file installed and good"
else
  fail "bundled rule file:"; cat "$work/install" "$work/check" 2>/dev/null
fi
blocked=$("$cvie" rules test image http://ads.example/ads/banner.gif 2>&1)
allowed=$("$cvie" rules test image http://ads.example/pictures/banner.gif 2>&1)
[ "$blocked/$allowed" = blocked/allowed ] && ok "installed rules block /ads/banner.gif only" ||
  fail "installed rules: /ads/: $blocked, /pictures/: $allowed"

# The units, with ExecStart pointing into the unpacked tree.
if command -v systemd-analyze >/dev/null 2>&1; then
  mkdir -p "$work/units" "$work/run"
  chmod 700 "$work/run"
  for unit in "$work"/tree/usr/lib/systemd/user/* "$work"/tree/usr/share/doc/cvie/examples/*.service \
              "$work"/tree/usr/share/doc/cvie/examples/*.timer; do
    sed "s|/usr/bin/cvie|$cvie|" "$unit" > "$work/units/$(basename "$unit")"
  done
  # The user units under a user manager, the examples (system units) under the system one.
  if (cd "$work/units" && XDG_RUNTIME_DIR="$work/run" systemd-analyze --user --man=no verify \
        cvie-proxy.service cvie-update.service cvie-update.timer) > "$work/verify" 2>&1 &&
     [ ! -s "$work/verify" ]; then
    ok "user units verify"
  else
    fail "user units:"; cat "$work/verify"
  fi
  if (cd "$work/units" && systemd-analyze --man=no verify cvie-squid-update.service \
        cvie-squid-update.timer) > "$work/verify" 2>&1 && [ ! -s "$work/verify" ]; then
    ok "example system units verify"
  else
    fail "example system units:"; cat "$work/verify"
  fi
else
  echo "skip unit checks: no systemd-analyze"
fi
unit="$work/tree/usr/lib/systemd/user/cvie-proxy.service"
grep -q '^ExecStart=/usr/bin/cvie proxy' "$unit" && grep -q '^WantedBy=default.target' "$unit" &&
  ! grep -q '^User=' "$unit" && ok "proxy user unit" || fail "proxy user unit"

# The manual pages render; each names its command in the synopsis.
if [ "$have_man" = 1 ]; then
  if command -v groff >/dev/null 2>&1; then
    for page in "$work"/tree/usr/share/man/man1/*.1.gz; do
      name=$(basename "$page" .1.gz)
      command=$(echo "$name" | tr '-' ' ')
      text=$(zcat "$page" | groff -man -Tascii -P -cbou -ww 2>"$work/groff.err")
      if [ -s "$work/groff.err" ]; then
        fail "$name renders with warnings:"; cat "$work/groff.err"
      elif ! echo "$text" | grep -q "^ *$command \[OPTIONS\]"; then
        fail "$name: no synopsis '$command [OPTIONS]'"
      fi
    done
    ok "manual pages render ($(ls "$work"/tree/usr/share/man/man1 | wc -l))"
    if command -v man >/dev/null 2>&1; then
      LC_ALL=C MANWIDTH=200 man -l -P cat "$work/tree/usr/share/man/man1/cvie.1.gz" 2>/dev/null |
        grep -q 'systemctl --user enable --now cvie-proxy' && ok "man -l cvie.1" || fail "man -l cvie.1"
    fi
  else
    echo "skip rendering the manual pages: no groff"
  fi
else
  echo "skip manual pages: help2man was not found when the build was configured"
fi

# Install into a private dpkg root and purge again (dpkg needs root for the
# owners of the files it writes).
if [ "$(id -u)" = 0 ] && command -v dpkg >/dev/null 2>&1; then
  sandbox="$work/sandbox"
  mkdir -p "$sandbox/var/lib/dpkg/info" "$sandbox/var/lib/dpkg/updates" "$sandbox/var/lib/dpkg/triggers"
  : > "$sandbox/var/lib/dpkg/status"
  listing() { (cd "$sandbox" && find . -path ./var -prune -o -print | sed 's|^\.||' | grep -v '^$' | sort); }
  if dpkg --root="$sandbox" --log=/dev/null --force-depends -i "$deb" > "$work/dpkg.log" 2>&1; then
    dpkg --root="$sandbox" -L cvie | grep -v '^/\.$' | sort > "$work/dpkg-L"
    listing > "$work/on-disk"
    diff -u "$work/dpkg-L" "$work/on-disk" > /dev/null && ok "installed files equal dpkg -L" ||
      { fail "installed files differ from dpkg -L:"; diff -u "$work/dpkg-L" "$work/on-disk"; }
    CVIE_ROOT="$work/root2" "$sandbox/usr/bin/cvie" --help > /dev/null 2>&1 && ok "installed cvie --help" ||
      fail "installed cvie --help"
    if dpkg --root="$sandbox" --log=/dev/null --purge cvie > "$work/dpkg.log" 2>&1; then
      left=$(listing; cd "$sandbox/var" && find . -path ./lib/dpkg -prune -o -print | grep -v '^\.$\|^\./lib$')
      [ -z "$left" ] && ok "nothing left after purge" || fail "left after purge: $left"
    else
      fail "dpkg --purge:"; cat "$work/dpkg.log"
    fi
  else
    fail "dpkg -i into a private root:"; cat "$work/dpkg.log"
  fi
else
  echo "skip installing into a private dpkg root: needs root"
fi
exit $failed
