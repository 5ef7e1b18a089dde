#!/bin/bash
# Whole runs under valgrind's memcheck, on good input and on each kind of
# failure: no invalid access, no use of uninitialised memory, no block lost
# (the programs keep their run-long blocks reachable until exit).  Skipped in
# sanitizer builds, which cannot run under valgrind, and without valgrind.
set -u
. "$(dirname "$0")/lib.sh"
: "${MIRDLE:?}" "${PVALUE_SIM:?}" "${DRANVEL:?}"

skip_if_sanitized "not run under valgrind"
if ! command -v valgrind >/dev/null; then
  echo "valgrind is not installed: skipped"
  finish
fi

# vg NAME STATUS CMD...: the program's own status, and no memcheck error.
vg() {
  local name=$1 status=$2
  shift 2
  run_cmd valgrind -q --leak-check=full --errors-for-leak-kinds=definite,indirect \
    --error-exitcode=99 --log-file="$TEST_TMP/vg.log" "$@"
  expect_eq "$name: status" "$status" "$rc"
  if [ -s "$TEST_TMP/vg.log" ]; then
    fail "$name: memcheck reports"
    head -n 30 "$TEST_TMP/vg.log" >&2
  fi
}

printf 'target_id\ta\tb\tc\ng1\t1\t2\t3\ng2\t0\t0\t0\ng3\t4\t5\t6\n' >a.tsv
printf 'g1\t5\t6\t7\t8\t9\ng2\t0\t1\t0\t2\t0\ng3\t1\t1\t2\t2\t3\n' >b.tsv
printf 'g1\t1\t2\t3\t4\t5\t6\t7\t8\ng2\t1\t1\t1\t1\t1\t1\t1\t1\ng3\t0\t0\t0\t0\t0\t0\t0\t9\n' >c.tsv
printf 'g1\t1\t2\t3\ngX\t0\t0\t0\ng3\t4\t5\t6\n' >renamed.tsv
printf 'g1\t1\t2\t3\ng2\t0\t0\nabc\n' >short.tsv
awk 'BEGIN { for (i = 1; i <= 3000; i++) printf "g%d\t%d\t%d\t%d\n", i, i % 7, i % 5, i % 3 }' >big.tsv
gzip -c b.tsv >b.tsv.gz
bzip2 -c a.tsv >a.tsv.bz2
xz -c c.tsv >c.tsv.xz
gzip -c big.tsv | head -c 4000 >cut.tsv.gz

vg "mirdle, three tables" 0 "$MIRDLE" a.tsv b.tsv c.tsv
vg "mirdle, compressed, --debug" 0 "$MIRDLE" --debug a.tsv.bz2 b.tsv.gz c.tsv.xz
vg "mirdle --near-exact" 0 "$MIRDLE" --near-exact --output r.txt c.tsv a.tsv
vg "mirdle, ids out of sync" 65 "$MIRDLE" a.tsv renamed.tsv
vg "mirdle, field count" 65 "$MIRDLE" a.tsv short.tsv
vg "mirdle, truncated gzip" 74 "$MIRDLE" big.tsv cut.tsv.gz
vg "mirdle, missing table" 66 "$MIRDLE" a.tsv missing.tsv
vg "mirdle, usage" 64 "$MIRDLE"
vg "pvalue-sim --fixed" 0 "$PVALUE_SIM" --fixed 10 12 9 101 140 123
vg "pvalue-sim, five pairs" 0 "$PVALUE_SIM" --fixed 1 0 3 0 5 0 10 0 30 0
vg "pvalue-sim, random" 0 "$PVALUE_SIM" 100 200 .2 4 2
vg "pvalue-sim, usage" 64 "$PVALUE_SIM" 100 200 .2 4
vg "dranvel --version" 0 "$DRANVEL" --version
vg "dranvel, usage" 64 "$DRANVEL"
vg "dranvel, not found" 64 "$DRANVEL" no-such-subcommand
finish
