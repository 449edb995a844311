#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
BUILD_DIR="${BUILD_DIR:-build}"
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$BUILD_DIR" -j "$(nproc)"
(cd "$BUILD_DIR" && ctest -j "$(nproc)" --output-on-failure --timeout 300)
# The unit-level suites once more under AddressSanitizer and UndefinedBehaviorSanitizer.
bash scripts/test-sanitize.sh
# The web client's worker pool and sign-in state once more under ThreadSanitizer.
bash tests/web/run-tsan.sh
