#!/usr/bin/env bash
# Builds PCRE2 (8-bit, static) for the Windows module from Debian's source
# package, with the MinGW-w64 toolchain, into <out>/pcre2 (default build-win).
# The source is fetched with `apt-get source`; a deb-src entry for the
# machine's Debian release is added when apt has none. Nothing is vendored.
set -euo pipefail

out=$(realpath -m "${1:-build-win}")
root=$(cd "$(dirname "$0")/.." && pwd)
prefix="$out/pcre2"
if [[ -f "$prefix/lib/libpcre2-8.a" ]]; then
  exit 0
fi
mkdir -p "$out/pcre2-src"
cd "$out/pcre2-src"

if ! ls pcre2_*.orig.tar.* >/dev/null 2>&1; then
  if ! apt-get source --download-only pcre2 >/dev/null 2>&1; then
    SUDO=""
    if [[ $(id -u) -ne 0 ]]; then SUDO=sudo; fi
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    $SUDO tee /etc/apt/sources.list.d/cvie-deb-src.sources >/dev/null <<SRC
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $codename
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    $SUDO apt-get update -qq
    apt-get source --download-only pcre2
  fi
fi

tarball=$(ls pcre2_*.orig.tar.* | head -n1)
rm -rf src && mkdir src
tar -xf "$tarball" -C src --strip-components=1

cmake -S src -B build -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DBUILD_SHARED_LIBS=OFF -DPCRE2_BUILD_PCRE2_8=ON -DPCRE2_BUILD_PCRE2_16=OFF \
  -DPCRE2_BUILD_PCRE2_32=OFF -DPCRE2_BUILD_PCRE2GREP=OFF -DPCRE2_BUILD_TESTS=OFF \
  -DPCRE2_SUPPORT_JIT=OFF -DPCRE2_SUPPORT_UNICODE=ON >/dev/null
cmake --build build -j "$(nproc)" >/dev/null
cmake --install build >/dev/null
echo "pcre2: $(ls "$prefix"/lib/libpcre2-8*.a)"
