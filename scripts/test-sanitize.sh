#!/usr/bin/env bash
# Builds the foundation, web-client, server, cipher and record tests with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs them. Leak checking is off: Qt's offscreen platform
# keeps a few objects until exit.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${SANITIZE_BUILD_DIR:-build-sanitize}"
TESTS=(
  common_test_crypto common_test_cstringhelp common_test_exception common_test_json
  common_test_logger common_test_qtutils common_test_settings common_test_commonfun common_test_childprocess
  common_test_processes common_test_urlprotocol
  http_client tools_platformserver platform_fdio_test
  sorbin_cipher_test sorbin_package_test
  pipeline_test_records upload_progressfile upload_uploader upload_resume
)
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVANTREL_SANITIZE=ON >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)" --target "${TESTS[@]}"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Each test case in a process of its own, as under CTest.
list_cases() {
  tests/isolate.sh "$1" --gtest_list_tests | awk '/^[^ ]/ {suite=$1} /^  / {print suite $1}'
}
: > "$BUILD_DIR/cases.txt"
for t in "${TESTS[@]}"; do
  list_cases "$BUILD_DIR/tests/$t" | sed "s|^|$t |" >> "$BUILD_DIR/cases.txt"
done
run_case() {
  local exe="$1" name="$2" log
  log="$BUILD_DIR/logs/$exe.${name//\//_}.log"
  if tests/isolate.sh "$BUILD_DIR/tests/$exe" --gtest_filter="$name" > "$log" 2>&1; then
    echo "passed: $exe $name"
  else
    echo "FAILED: $exe $name"; tail -40 "$log"; return 1
  fi
}
export -f run_case
export BUILD_DIR
mkdir -p "$BUILD_DIR/logs"
if xargs -P "$(nproc)" -L 1 bash -c 'run_case "$0" "$1"' < "$BUILD_DIR/cases.txt" > "$BUILD_DIR/summary.txt"; then
  echo "sanitizer: $(grep -c '^passed' "$BUILD_DIR/summary.txt") passed, 0 failed"
else
  grep -v '^passed' "$BUILD_DIR/summary.txt"
  echo "sanitizer: $(grep -c '^passed' "$BUILD_DIR/summary.txt") passed, $(grep -c '^FAILED' "$BUILD_DIR/summary.txt") failed"
  exit 1
fi
