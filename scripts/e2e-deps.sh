#!/bin/sh
# Installs what the end-to-end test needs: Chromium, Node.js and npm from the
# system's packages, and playwright-core (driving the system Chromium, no
# browser download) into tests/e2e/node_modules from the committed lock file.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
# Only what is missing: a machine may already have a Node.js of its own (with
# its npm), which Debian's npm package conflicts with.
missing=""
command -v chromium >/dev/null 2>&1 || missing="chromium"
if ! command -v node >/dev/null 2>&1; then
  missing="$missing nodejs"
fi
if ! command -v npm >/dev/null 2>&1; then
  missing="$missing npm"
fi
if [ -n "$missing" ]; then
  apt-get update
  # shellcheck disable=SC2086 # one word per package
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing
fi
cd "$here/tests/e2e"
npm ci --no-audit --no-fund
