#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the normal build (core, simulator and
# GUI tests), the Debian package's checks, the benchmark's quick mode, a short soak,
# everything again under AddressSanitizer and UBSan (the update dialog's workers included), and
# each fuzz target for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

# The C++ sources as clang-format makes them (.clang-format).
bash scripts/check-format.sh

cmake --preset default
cmake --build --preset default
ctest --preset default

# The Debian package, unpacked and checked without installing it.
bash scripts/check-package.sh

# The benchmark's quick mode keeps it building and working (its figures are not a test).
build/default/bench/kestrel-bench --quick
# A short soak: flash reads and writes under link faults never end in a false success.
build/default/bench/kestrel-soak --quick

cmake --preset asan
cmake --build --preset asan
ctest --preset asan

# The parsers of plans, settings, addresses, MAC ranges and MAC state files, 20 s each.
bash scripts/fuzz.sh
