#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the normal build (core, simulator and
# GUI tests) and the core and simulator again under AddressSanitizer and UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

cmake --preset default
cmake --build --preset default
ctest --preset default

cmake --preset asan
cmake --build --preset asan
ctest --preset asan
