# For 2 to 4 replicates a P-value depends on the feature's own counts alone:
# reversing, sorting and subsetting the tables leaves every row of the report
# byte for byte as it was, zeros replaced by fractions included.  For 5 to 12
# replicates the sample comes from the one random sequence of the run, which
# the rows before have advanced, and rows do change; with --draws=feature
# they do not, and the reports of consecutive --rows ranges joined are the
# report of the whole.  On the real tables too, where they are at hand.
. "$(dirname "$0")/lib.sh"
M=$MIRDLE

# table NAME ROWS REPS SEED: whole numbers of several magnitudes, a zero in
# about one value of three, and every fifth row of fractions.
table() { random_table "$1" "$2" "$3" "$4" zero=3 divide="5/7"; }

# reordered NAME TRANSFORM TABLES...: the report of the transformed tables
# holds exactly the rows of the report of the originals that it names.
reordered() {
  local name=$1 transform=$2
  shift 2
  local t k=0 args=()
  for t in "$@"; do
    k=$((k + 1))
    $transform <"$t" >"re_$k.tsv"
    args+=("re_$k.tsv")
  done
  run_cmd "$M" "${opts[@]}" "${args[@]}"
  expect_eq "$name: status" 0 "$rc"
  printf '%s\n' "$out" | tail -n +2 | LC_ALL=C sort >re.rows
  checks=$((checks + 1))
  [ -s re.rows ] || fail "$name: no rows"
  # Rows that are not among the originals' (the first three of them).
  expect_eq "$name: every row as before" "" "$(LC_ALL=C comm -13 all.rows re.rows | head -n 3)"
}

reverse() { tac; }
every_third() { awk 'NR % 3 == 1'; }
by_id_descending() { sort -r; }

opts=()
for reps in "2 2" "3 3" "4 4" "4 3" "3 4"; do
  set -- $reps
  table a.tsv 1500 "$1" 11
  table b.tsv 1500 "$2" 12
  run_cmd "$M" a.tsv b.tsv
  expect_eq "$1 against $2: status" 0 "$rc"
  printf '%s\n' "$out" | tail -n +2 | LC_ALL=C sort >all.rows
  for transform in reverse every_third by_id_descending; do
    reordered "$1 against $2, $transform" $transform a.tsv b.tsv
  done
done

# Five replicates: the same rows in another order give other P-values.
table a.tsv 400 5 13
table b.tsv 400 5 14
run_cmd "$M" a.tsv b.tsv
printf '%s\n' "$out" | tail -n +2 | LC_ALL=C sort >all.rows
tac a.tsv >ra.tsv
tac b.tsv >rb.tsv
run_cmd "$M" ra.tsv rb.tsv
printf '%s\n' "$out" | tail -n +2 | LC_ALL=C sort >re.rows
checks=$((checks + 1))
cmp -s all.rows re.rows && fail "5 replicates: a reversed table left every sampled P-value as it was"

# With draws of its own, every sampled row stays as it was: 5 to 7 replicates,
# unequal ones, and 12 with --near-exact, whose rows are dearer.
for reps in "5 5 300" "6 7 150" "8 8 60 --near-exact" "12 12 25 --near-exact"; do
  set -- $reps
  opts=(--draws=feature ${4:-})
  table a.tsv "$3" "$1" 15
  table b.tsv "$3" "$2" 16
  run_cmd "$M" "${opts[@]}" a.tsv b.tsv
  expect_eq "$1 against $2, --draws=feature: status" 0 "$rc"
  printf '%s\n' "$out" >whole.txt
  tail -n +2 whole.txt | LC_ALL=C sort >all.rows
  for transform in reverse every_third by_id_descending; do
    reordered "$1 against $2, --draws=feature, $transform" $transform a.tsv b.tsv
  done
done

# rows_joined NAME K ROWS ARGS...: the reports of K consecutive --rows ranges
# over ROWS features, joined, are the whole run's report (whole.txt).
rows_joined() {
  local name=$1 k=$2 rows=$3 c first last
  shift 3
  : >joined.txt
  for c in $(seq 1 "$k"); do
    first=$(((c - 1) * rows / k + 1))
    last=$((c * rows / k))
    [ "$c" = "$k" ] && last=
    run_cmd "$M" --rows "$first-$last" "$@"
    expect_eq "$name, range $c of $k: status" 0 "$rc"
    cat .out >>joined.txt
  done
  expect_eq "$name: $k ranges joined" "$(cat whole.txt)" "$(cat joined.txt)"
}
# Three conditions, sampled beside exhaustive pairs, the ranges on two threads.
table a.tsv 200 6 17
table b.tsv 200 6 18
table c.tsv 200 3 19
run_cmd "$M" --draws=feature a.tsv b.tsv c.tsv
expect_eq "three conditions, --draws=feature: status" 0 "$rc"
cp .out whole.txt
rows_joined "three conditions" 3 200 --draws=feature --threads 2 a.tsv b.tsv c.tsv
rows_joined "three conditions, one range a row" 7 7 --draws=feature a.tsv b.tsv c.tsv
run_cmd "$M" --draws=feature --rows 1-7 a.tsv b.tsv c.tsv
expect_eq "the first rows alone" "$(head -n 8 whole.txt)" "$out"
run_cmd "$M" --rows 201- a.tsv b.tsv c.tsv
expect_eq "a range past the end: status" 0 "$rc"
expect_eq "a range past the end: no report" "" "$out"

# The real tables, reversed (a whole-table reversal keeps the header first).
data_set() {
  local set=$1 first=$2 second=$3
  have_data "$set" || return 0
  zcat "$DATA_DIR/$set/$first.tsv.gz" >"$set.1.tsv"
  zcat "$DATA_DIR/$set/$second.tsv.gz" >"$set.2.tsv"
  run_cmd "$M" "$set.1.tsv" "$set.2.tsv"
  expect_eq "$set: status" 0 "$rc"
  printf '%s\n' "$out" | tail -n +2 | LC_ALL=C sort >all.rows
  for t in 1 2; do
    { head -n 1 "$set.$t.tsv"; tail -n +2 "$set.$t.tsv" | tac; } >"$set.r$t.tsv"
  done
  run_cmd "$M" "$set.r1.tsv" "$set.r2.tsv"
  printf '%s\n' "$out" | tail -n +2 | LC_ALL=C sort >re.rows
  expect_eq "$set reversed: every row as before" "" "$(LC_ALL=C comm -3 all.rows re.rows | head -n 3)"
}
data_set pasilla untreated treated
data_set airway control treated

finish
