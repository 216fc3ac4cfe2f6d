#!/usr/bin/env bash
# The suite under ASan+UBSan, and the threaded tests under TSan (clang, so both runtimes match).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
export CC=clang CXX=clang++
scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DQOVA_SANITIZE=address,undefined -DQOVA_BUILD_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j 2
scripts/build.sh build-tsan -DCMAKE_BUILD_TYPE=Debug -DQOVA_SANITIZE=thread -DQOVA_BUILD_BENCH=OFF -DQOVA_BUILD_APP=OFF
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --test-dir build-tsan --output-on-failure -j 2 -L "unit|process"
