#!/usr/bin/env bash
# Runs every test of one build folder: unit tests in parallel, end-to-end tests one at a time.
set -euo pipefail
build_dir=${1:-build}
cd "$build_dir"
ctest --output-on-failure -j "$(nproc)" --timeout 300
