#!/usr/bin/env bash
# Sets up a Debian 12 machine, builds everything and runs the whole test
# suite: once in an ordinary build, once under ASan + UBSan, and the
# threading tests once more under TSan.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh

jobs=$(nproc)
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

echo "== build and test (Release)"
bash scripts/build.sh build/release -DCMAKE_BUILD_TYPE=Release
ctest --test-dir build/release -j "$jobs" --output-on-failure

echo "== build and test (ASan + UBSan)"
bash scripts/build.sh build/asan -DCMAKE_BUILD_TYPE=Debug -DKELVRA_SANITIZE=address
ctest --test-dir build/asan -j "$jobs" --output-on-failure -LE no_asan

echo "== build and test threading (TSan)"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKELVRA_SANITIZE=thread >/dev/null
cmake --build build/tsan -j "$jobs" --target thread_tests
ctest --test-dir build/tsan -j "$jobs" --output-on-failure -L threads

echo "== fuzz each target for 60 s"
bash scripts/fuzz.sh 60
