#!/usr/bin/env bash
# Builds everything and runs the whole test suite: scripts/test.sh [builddir]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
cmake -S . -B "$BUILD" -G Ninja >/dev/null
cmake --build "$BUILD" -j2
ctest --test-dir "$BUILD" -j2 --output-on-failure
