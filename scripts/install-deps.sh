#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need.
# Idempotent: asks apt only for packages that are missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config ccache clang libclang-rt-14-dev
  clang-format
  libgtest-dev libgmock-dev libbenchmark-dev
  libpcre2-dev libvectorscan-dev libpsl-dev publicsuffix libcurl4-openssl-dev libboost-dev
  libsqlite3-dev uuid-dev libcli11-dev nlohmann-json3-dev libssl-dev
  libecap3-dev squid
  zlib1g-dev libbrotli-dev libzstd-dev python3 curl brotli zstd
  # The Debian package: manual pages from --help, and the tools its test uses.
  help2man groff-base man-db binutils
  # The Windows module: cross compiler, and Wine to run its tests.
  g++-mingw-w64-x86-64 wine wine64 xvfb
  # xvfb-run needs it; xvfb only recommends it.
  xauth
)
if [[ "${CVIE_E2E_DEPS:-0}" == 1 ]]; then
  packages+=(chromium nodejs npm wrk)
fi
# The origin, load generator and comparison proxy of `make bench-proxy`.
if [[ "${CVIE_BENCH_DEPS:-0}" == 1 ]]; then
  packages+=(nginx-light wrk privoxy)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "installing: ${missing[*]}"
SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO=sudo; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
