#!/bin/bash
# Allocation failure at every vp_malloc call of small runs: programs linked
# with tests/fail_alloc.cpp make the k-th call return NULL.  Each such run must
# end with exactly one line on standard error and status 69 -- never a crash,
# a signal or a report that looks complete -- and the run with k one past the
# last call must succeed with the normal output.
set -u
: "${SRC_DIR:?}" "${TEST_TMP:?}"
. "$(dirname "$0")/lib.sh"

# The test build links these programs with the failing allocator.
M=${MIRDLE_FAULT:?run through ctest, which names the fault-injection mirdle}
S=${PVALUE_SIM_FAULT:?run through ctest, which names the fault-injection pvalue-sim}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}

# The messages an allocation failure may end with.
known_message() {
  case $1 in
  "mirdle: Could not allocate rep_counts.") ;;
  "mirdle: Could not allocate the rows in flight.") ;;
  "near_exact_pval(): Could not allocate the pair list.") ;;
  "near_exact_pval(): Could not allocate the pooled counts.") ;;
  "pvalue-sim: Could not allocate counts for "*" replicates.") ;;
  *) return 1 ;;
  esac
}

# calls_of CMD...: the number of vp_malloc calls of a run without failure.
calls_of() {
  DRANVEL_MALLOC_COUNT=1 timeout 60 "$@" 2>&1 >/dev/null | sed -n 's/^vp_malloc calls: //p'
}

# sweep NAME EXPECTED_CALLS CMD...: fails every call in turn.
sweep() {
  local name=$1 want_calls=$2
  shift 2
  timeout 60 "$@" >"$TEST_TMP/normal.out" 2>/dev/null
  local normal_rc=$?
  expect_eq "$name: runs without injection" 0 "$normal_rc"
  local calls
  calls=$(calls_of "$@")
  expect_eq "$name: vp_malloc calls" "$want_calls" "$calls"
  local k
  for k in $(seq 1 "${calls:-0}"); do
    DRANVEL_MALLOC_FAIL_AT=$k timeout 60 "$@" >"$TEST_TMP/k.out" 2>"$TEST_TMP/k.all"
    rc=$?
    # Warnings about the tables come before any row and are not the fault.
    grep -v '^mirdle: warning: ' "$TEST_TMP/k.all" >"$TEST_TMP/k.err"
    expect_eq "$name, call $k fails: status" 69 "$rc"
    expect_eq "$name, call $k fails: lines on standard error" 1 "$(wc -l <"$TEST_TMP/k.err")"
    known_message "$(cat "$TEST_TMP/k.err")" || fail "$name, call $k fails: message: $(cat "$TEST_TMP/k.err")"
    # The report may hold the rows finished before the failure, never more.
    if cmp -s "$TEST_TMP/k.out" "$TEST_TMP/normal.out" && [ -s "$TEST_TMP/normal.out" ]; then
      fail "$name, call $k fails: the whole output was written"
    fi
  done
  DRANVEL_MALLOC_FAIL_AT=$((calls + 1)) timeout 60 "$@" >"$TEST_TMP/k.out" 2>/dev/null
  expect_eq "$name, no call fails: status" 0 "$?"
  if [ "$deterministic" = 1 ]; then
    expect_eq "$name, no call fails: output" "$(cat "$TEST_TMP/normal.out")" "$(cat "$TEST_TMP/k.out")"
  fi
}
deterministic=1

# Three conditions with 3, 5 and 3 replicates, four features: one rep_counts
# array per condition, then a pair list and a pooled array for each of the
# three pairs of each feature (the near-exact method, fewer than 8 replicates);
# without the trace, also the row in flight: the plan of its pairs, five
# arrays, its id and its text.
printf 'target_id\ta\tb\tc\ng1\t1\t2\t3\ng2\t0\t0\t0\ng3\t4\t5\t6\ng4\t9\t1\t0\n' >c1.tsv
printf 'g1\t5\t6\t7\t8\t9\ng2\t0\t1\t0\t2\t0\ng3\t1\t1\t2\t2\t3\ng4\t7\t7\t7\t7\t7\n' >c2.tsv
printf 'g1\t2\t3\t4\ng2\t5\t5\t5\ng3\t0\t0\t0\ng4\t8\t6\t4\n' >c3.tsv
sweep "mirdle, 3 tables" $((3 + 8 + 4 * 3 * 2)) "$M" c1.tsv c2.tsv c3.tsv
sweep "mirdle --near-exact --debug" $((3 + 4 * 3 * 2)) "$M" --near-exact --debug c1.tsv c2.tsv c3.tsv
sweep "mirdle --output" $((3 + 8 + 4 * 3 * 2)) "$M" --output "$TEST_TMP/r.txt" c1.tsv c2.tsv c3.tsv
# Two count arrays, then the pair list and the pooled array.
sweep "pvalue-sim --fixed" 4 "$S" --fixed 10 12 9 101 140 123
# Random mode seeds from the clock: its output differs from run to run.
deterministic=0
sweep "pvalue-sim random mode" 4 "$S" 100 200 .2 3 2
deterministic=1
# Five pairs: the sampled counting allocates nothing of its own.
sweep "pvalue-sim --fixed, 5 pairs" 4 "$S" --fixed 1 0 3 0 5 0 10 0 30 0
finish
