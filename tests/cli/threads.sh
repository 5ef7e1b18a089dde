# mirdle --threads: every run with N threads gives, byte for byte, the report,
# standard error and status of --threads 1, on tables that mix exhaustive,
# sampled and Mann-Whitney pairs, library messages inside rows, and faults in
# the middle of a table.
. "$(dirname "$0")/lib.sh"
M=$MIRDLE

# table NAME ROWS REPS SEED [ZERO_EVERY]: a table of ROWS features with REPS
# replicates, whole-number counts from a small generator (awk's rand is the
# same on every run for a given seed), a zero every ZERO_EVERY values.
table() { random_table "$1" "$2" "$3" "$4" zero="${5:-0}" levels=5 header=1; }

# same_as_one_thread NAME ARGS...: runs mirdle with --threads 1 and then
# with 2, 3 and 0 (every CPU); all must agree on the three outputs.
same_as_one_thread() {
  local name=$1
  shift
  run_cmd "$M" --threads 1 "$@"
  local want_out=$out want_err=$err want_rc=$rc
  checks=$((checks + 1))
  [ -n "$want_out$want_err" ] || fail "$name: one thread wrote nothing"
  for t in 2 3 0; do
    run_cmd "$M" --threads "$t" "$@"
    expect_eq "$name, $t threads: status" "$want_rc" "$rc"
    expect_eq "$name, $t threads: report" "$want_out" "$out"
    expect_eq "$name, $t threads: standard error" "$want_err" "$err"
  done
  last_rc=$want_rc
}

# Exhaustive pairs only: 4 against 4, zeros left and right, many rows.
table a4.tsv 2000 4 1 5
table b4.tsv 2000 4 2 4
same_as_one_thread "4 against 4" a4.tsv b4.tsv
expect_eq "4 against 4 succeeds" 0 "$last_rc"

# Sampled and exhaustive pairs in one row: 6, 6 and 4 replicates give the
# pairs 1-2 (6 pairs, sampled) and 1-3, 2-3 (4 pairs), whose zero
# replacements reach the later pairs of their row.
table s1.tsv 60 6 3 6
table s2.tsv 60 6 4 6
table s3.tsv 60 4 5 6
same_as_one_thread "sampled beside exhaustive" s1.tsv s2.tsv s3.tsv
# The sampled P-values follow the one sequence of draws: any other order
# would change them.
run_cmd "$M" --threads 2 s1.tsv s2.tsv s3.tsv
sampled_t2=$out
run_cmd "$M" --threads 1 s3.tsv s1.tsv s2.tsv
[ "$sampled_t2" != "$out" ] || fail "a reordered run gave the same sampled report"

# With draws of their own the sampled pairs run on every thread, and still
# give one thread's report, messages and status, faults mid-table included.
same_as_one_thread "sampled beside exhaustive, --draws=feature" --draws=feature s1.tsv s2.tsv s3.tsv
table f1.tsv 300 6 14 5
table f2.tsv 300 6 15 5
sed '201s/\t[0-9]*$/\tabc/' f2.tsv >f_bad.tsv
same_as_one_thread "--draws=feature, invalid abundance in row 200" --draws=feature f1.tsv f_bad.tsv
expect_eq "--draws=feature, invalid abundance status" 65 "$last_rc"
head -n 251 f2.tsv >f_short.tsv
same_as_one_thread "--draws=feature, second table ends first" --draws=feature f1.tsv f_short.tsv
table n1.tsv 40 12 16
table n2.tsv 40 12 17
same_as_one_thread "12 against 12, --near-exact --draws=feature" --near-exact --draws=feature n1.tsv n2.tsv

# Mann-Whitney beside the near-exact method: 9 and 9 replicates, then 3.
table m1.tsv 300 9 6 8
table m2.tsv 300 9 7 8
table m3.tsv 300 3 8 8
same_as_one_thread "Mann-Whitney beside near-exact" m1.tsv m2.tsv m3.tsv

# 13 against 5 replicates: every row's pair gets the library's refusal on
# standard error, between the progress dots, and the P-value 1.
table l1.tsv 250 13 9
table l2.tsv 250 5 10
same_as_one_thread "library refusal in every row" l1.tsv l2.tsv
checks=$((checks + 1))
[ "$(grep -c 'Use mann_whitney_pval' "$TEST_TMP/.err")" = 250 ] || fail "the refusal once per row"

# --near-exact beyond 12 replicates ends the run inside the first row.
same_as_one_thread "near-exact limit" --near-exact l1.tsv l2.tsv
expect_eq "near-exact limit status" 64 "$last_rc"

# Faults in the middle of a table, each after hundreds of rows.
sed '401s/\t[0-9]*$/\tabc/' b4.tsv >bad_value.tsv
same_as_one_thread "invalid abundance in row 400" a4.tsv bad_value.tsv
expect_eq "invalid abundance status" 65 "$last_rc"
sed '701s/^g00700/g99999/' b4.tsv >bad_id.tsv
same_as_one_thread "ids out of sync in row 700" a4.tsv bad_id.tsv
sed '1301s/\t[0-9]*$//' b4.tsv >bad_width.tsv
same_as_one_thread "wrong width in row 1300" a4.tsv bad_width.tsv
head -n 1501 b4.tsv >short.tsv
same_as_one_thread "second table ends first" a4.tsv short.tsv
same_as_one_thread "first table ends first" short.tsv a4.tsv
# A compressed table cut short: a read error after the rows before it.
gzip -c b4.tsv | head -c 9000 >cut.tsv.gz
same_as_one_thread "truncated compressed table" a4.tsv cut.tsv.gz
expect_eq "truncated table status" 74 "$last_rc"

# The same runs into a file, and into a full disk.
for t in 1 2; do
  run_cmd "$M" --threads "$t" --output "report$t.txt" s1.tsv s2.tsv s3.tsv
  expect_eq "--output, $t threads: status" 0 "$rc"
done
expect_eq "--output: the same report" "$(cat report1.txt)" "$(cat report2.txt)"
if [ -w /dev/full ]; then
  same_as_one_thread "full disk" --output /dev/full a4.tsv b4.tsv
  expect_eq "full disk status" 74 "$last_rc"
fi

# Rows computed apart give what the report writer gives computing each pair in
# place on the shared arrays, zero replacements of earlier pairs included.
# With --debug the rows are written as they are computed and the trace goes
# to standard output, apart from a report named with --output (counted
# exhaustively or by Mann-Whitney, the trace's extra passes change nothing).
table e1.tsv 300 4 11 3
table e2.tsv 300 4 12 3
table e3.tsv 300 3 13 3
for t in 1 2; do
  run_cmd "$M" --threads "$t" --output rows$t.txt e1.tsv e2.tsv e3.tsv m1.tsv m2.tsv
  expect_eq "in place, $t threads: status" 0 "$rc"
done
run_cmd "$M" --debug --output rows_debug.txt e1.tsv e2.tsv e3.tsv m1.tsv m2.tsv
expect_eq "in place, traced: status" 0 "$rc"
expect_eq "rows apart, one thread, as in place" "$(cat rows_debug.txt)" "$(cat rows1.txt)"
expect_eq "rows apart, two threads, as in place" "$(cat rows_debug.txt)" "$(cat rows2.txt)"

# --debug writes the trace inside the rows: one thread whatever is asked.
head -n 4 a4.tsv >da.tsv
head -n 4 b4.tsv >db.tsv
same_as_one_thread "--debug" --debug da.tsv db.tsv

# The option itself.
expect_status "--threads=2 form" 0 "" "$M" --threads=2 da.tsv db.tsv
for bad in -1 x 1.5 "" 1025 99999; do
  run_cmd "$M" --threads "$bad" da.tsv db.tsv
  expect_eq "--threads '$bad': status" 64 "$rc"
  expect_eq "--threads '$bad': message" \
    "mirdle: --threads $bad: give a whole number from 0 to 1024 (0: every CPU)" \
    "$(printf '%s\n' "$err" | head -n 1)"
done

finish
