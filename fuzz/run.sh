#!/usr/bin/env bash
# Builds a libFuzzer target (the input fuzzer unless named) with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs it for a bounded time from its seed corpus (fuzz/corpus, or
# fuzz/corpus-server for the server's message fuzzer; left unchanged): fuzz/run.sh [seconds] [target]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
target="${2:-qova_input_fuzzer}"
corpus=fuzz/corpus
if [ "$target" = qova_server_message_fuzzer ]; then corpus=fuzz/corpus-server; fi
# A fixed seed keeps a CI run repeatable: a finding there is the change's, not the dice's. Longer
# exploratory runs take another seed: QOVA_FUZZ_SEED=0 picks one at random.
seed="${QOVA_FUZZ_SEED:-1}"
export CC=clang CXX=clang++
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOVA_SANITIZE=address,undefined \
  -DQOVA_BUILD_FUZZ=ON -DQOVA_BUILD_APP=OFF -DQOVA_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target "$target"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# New inputs go to the scratch folder; a finding is written under build-fuzz/ and fails the run.
# Progress lines are left out of the log; the final statistics and any finding stay.
set +e
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  timeout -k 10 $((seconds + 300)) "build-fuzz/fuzz/$target" "$work" "$corpus" \
  -max_total_time="$seconds" -seed="$seed" -max_len=4096 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix=build-fuzz/ 2>&1 | grep -v -E '^#[0-9]+[[:space:]]+(NEW|REDUCE|pulse)|^[[:space:]]+NEW_FUNC'
status=${PIPESTATUS[0]}
set -e
exit "$status"
