#!/usr/bin/env bash
# `make demo`: runs each section of tools/demo.d in order against the real binaries of a build.
set -euo pipefail
BUILD_DIR="$(cd "${1:-build}" && pwd)"
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
export BUILD_DIR ROOT
for section in "$ROOT"/tools/demo.d/*.sh; do
  [ -e "$section" ] || continue
  bash "$section"
done
