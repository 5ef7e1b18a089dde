#!/usr/bin/env bash
# Sets up, then builds and runs the whole test suite twice: warnings as errors,
# and under AddressSanitizer with UndefinedBehaviorSanitizer.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/setup.sh --test
jobs=$(nproc)

cmake -S . -B out/test -DDRANVEL_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build out/test -j"$jobs"
ctest --test-dir out/test --output-on-failure -j"$jobs"

cmake -S . -B out/sanitize -DDRANVEL_WERROR=ON -DDRANVEL_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build out/sanitize -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir out/sanitize --output-on-failure -j"$jobs"

# Each libFuzzer target for a bounded time (clang, ASan + UBSan); any input
# that breaks a property fails the run and is kept under out/fuzz/work.
FUZZ_SECONDS=${FUZZ_SECONDS:-45} FUZZ_JOBS=$jobs FUZZ_BUILD_JOBS=$jobs bash fuzz/run.sh
