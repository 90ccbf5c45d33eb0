#!/usr/bin/env bash
# Installs the npm packages of the browser tests (tests/browser: playwright-core and
# puppeteer-core, exact versions pinned in package-lock.json) from the npm registry. Neither
# downloads a browser: the tests drive Debian's chromium and firefox-esr. Idempotent: nothing
# happens while node_modules matches the lockfile.
set -euo pipefail
cd "$(dirname "$0")/../tests/browser"

if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  echo "install-npm.sh: node (20 or later) and npm are needed for the browser tests" >&2
  exit 1
fi
# npm keeps a copy of the lockfile it installed from in node_modules.
if [ node_modules/.package-lock.json -nt package-lock.json ] &&
   [ node_modules/.package-lock.json -nt package.json ]; then
  exit 0
fi
npm ci --no-audit --no-fund --ignore-scripts
