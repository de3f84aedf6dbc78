#!/bin/sh
# Installs what the end-to-end test needs: Chromium, Node.js and npm from the
# system's packages, and playwright-core (driving the system Chromium, no
# browser download) into tests/e2e/node_modules from the committed lock file.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
if ! command -v chromium >/dev/null 2>&1 || ! command -v node >/dev/null 2>&1 ||
   ! command -v npm >/dev/null 2>&1; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends chromium nodejs npm
fi
cd "$here/tests/e2e"
npm ci --no-audit --no-fund
