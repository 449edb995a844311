#!/usr/bin/env bash
# Builds the web-client, sign-in, work-pool and encryption-stage tests with ThreadSanitizer and
# runs them: the HTTP worker pool, the requests and QUser's fields read by job threads while the
# GUI thread signs in anew, the job queue's workers and the stage driving its child.
# A report makes the test process exit non-zero, so a data race fails the run.
# Usage (from the source tree): bash tests/web/run-tsan.sh [build-dir]
set -euo pipefail

SOURCE_DIR="$(cd "$(dirname "$0")/../.." && pwd)"
BUILD_DIR="${1:-${TSAN_BUILD_DIR:-$SOURCE_DIR/build-tsan}}"

cmake -S "$SOURCE_DIR" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
    -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread >/dev/null
cmake --build "$BUILD_DIR" -j4 --target quser_calls http_client pipeline_test_workpool pipeline_test_framemodel

export TSAN_OPTIONS="suppressions=$SOURCE_DIR/tests/web/tsan.supp report_signal_unsafe=0"
cd "$BUILD_DIR"
ctest -R '^(QUserTest|PoolTest|HRequest|WorkPoolTest|AuthCodeTest|FrameModel[A-Za-z]*Test)' -j4 --timeout 300 --output-on-failure
