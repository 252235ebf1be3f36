#!/usr/bin/env bash
# Sets up a Debian 12 machine, builds everything and runs the whole test
# suite: once in an ordinary build, once under ASan + UBSan, and the
# threading tests once more under TSan; then the four fuzz targets run for
# 30 s each.
# Then it prints the lines of tests against the lines of code; the last line
# counts the tests run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh

jobs=$(nproc)
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

# Runs ctest and adds its count of tests to the total of the closing line.
passed=0
run_ctest() {
  local log
  log=$(mktemp)
  ctest "$@" 2>&1 | tee "$log"
  local status=${PIPESTATUS[0]}
  local count
  count=$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -n 1)
  rm -f "$log"
  [ "$status" -eq 0 ] || exit "$status"
  passed=$((passed + ${count:-0}))
}

echo "== build and test (Release)"
bash scripts/build.sh build/release -DCMAKE_BUILD_TYPE=Release
run_ctest --test-dir build/release -j "$jobs" --output-on-failure

echo "== build and test (ASan + UBSan)"
# -O1, as ASan advises: the suite runs about twice as fast as unoptimised.
bash scripts/build.sh build/asan -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-g -O1" \
  "-DCMAKE_C_FLAGS_DEBUG=-g -O1" -DKELVRA_SANITIZE=address
run_ctest --test-dir build/asan -j "$jobs" --output-on-failure -LE no_asan

echo "== build and test threading (TSan)"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKELVRA_SANITIZE=thread >/dev/null
cmake --build build/tsan -j "$jobs" --target thread_tests
run_ctest --test-dir build/tsan -j "$jobs" --output-on-failure -L threads

echo "== fuzz the parser, tag reader, audio decoder and whole-pipeline targets for 30 s each"
bash scripts/fuzz.sh 30

bash scripts/test-size.sh

echo "tests: $passed passed, 0 failed"
