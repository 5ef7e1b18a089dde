#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a bounded time.
#
#   fuzz/run.sh [TARGET...]        all targets when none is named
#
# Environment:
#   FUZZ_SECONDS  time per target (default 60)
#   FUZZ_JOBS     targets run at the same time (default 1)
#   FUZZ_BUILD    build tree (default out/fuzz)
#   FUZZ_WORK     where the growing corpora, logs and crash inputs go
#                 (default $FUZZ_BUILD/work); the seeds in fuzz/corpus stay
#                 untouched
#
# Exits non-zero when a target finds an input that breaks a property, crashes,
# leaks, hangs or runs out of memory; the input is left in
# $FUZZ_WORK/artifacts and its log in $FUZZ_WORK/logs.  Add such an input to
# fuzz/corpus/<target>/ once it is fixed.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${FUZZ_SECONDS:-60}
jobs=${FUZZ_JOBS:-1}
build=${FUZZ_BUILD:-$top/out/fuzz}
work=${FUZZ_WORK:-$build/work}
all=(fuzz_dsv_line fuzz_decompress fuzz_parse_rep_counts fuzz_mirdle fuzz_pvalue_sim)
if [ $# -gt 0 ]; then targets=("$@"); else targets=("${all[@]}"); fi

CC=${FUZZ_CC:-clang} CXX=${FUZZ_CXX:-clang++} cmake -S "$top" -B "$build" \
    -DDRANVEL_FUZZ=ON -DDRANVEL_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"${FUZZ_BUILD_JOBS:-2}" --target "${targets[@]}" >/dev/null

mkdir -p "$work/logs" "$work/artifacts" "$work/tmp"
export TMPDIR=$work/tmp
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

run_target() {
    local t=$1 corpus=$work/corpus/$1 log=$work/logs/$1.log
    local extra=()
    mkdir -p "$corpus"
    [ -f "$top/fuzz/dict/$t.dict" ] && extra+=(-dict="$top/fuzz/dict/$t.dict")
    # The growing corpus comes first: new inputs are written there.  A target
    # that outlives its time by far (one input running forever) is stopped.
    if timeout --signal=KILL $((seconds + 120)) "$build/fuzz/$t" "${extra[@]}" \
        -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -max_len=4096 \
        -print_final_stats=1 -artifact_prefix="$work/artifacts/$t-" \
        "$corpus" "$top/fuzz/corpus/$t" >/dev/null 2>"$log"; then
        local runs cov
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
        printf '%-24s ok   %ss, %s runs, %s, corpus %s files\n' "$t" "$seconds" "${runs:-?}" \
            "${cov:-cov: ?}" "$(find "$corpus" -type f | wc -l)"
    else
        printf '%-24s FAIL see %s\n' "$t" "$log"
        grep -E 'property violated|ERROR: |SUMMARY|Test unit written' "$log" | head -n 8 | sed 's/^/    /'
        return 1
    fi
}

status=0
running=0
pids=()
for t in "${targets[@]}"; do
    run_target "$t" &
    pids+=($!)
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then
        wait "${pids[0]}" || status=1
        pids=("${pids[@]:1}")
        running=$((running - 1))
    fi
done
for pid in "${pids[@]}"; do
    wait "$pid" || status=1
done
exit $status
