# Naming the two conditions the other way round changes a row's means, SDs and
# fold change into the other condition's, and never its P-value: exact ties
# count whichever condition comes first, and the sample of 5 to 12 replicates
# is drawn from a list of the pooled counts alone.  Whole numbers with many
# ties, zeros, fractions, every replicate count of the near-exact method, and
# the real tables where they are at hand.
. "$(dirname "$0")/lib.sh"
M=$MIRDLE

# table NAME ROWS REPS SEED: small and large whole numbers, zeros, every
# fourth row of eighths (exact sums) and every seventh of sevenths.
table() { random_table "$1" "$2" "$3" "$4" zero=4 divide="4/8 7/7"; }

# same_pvalues NAME TABLE1 TABLE2: the P-value columns of both orders agree
# row by row, and the fold changes are each other's reciprocals.
same_pvalues() {
  local name=$1
  run_cmd "$M" ${NEAR:+--near-exact} "$2" "$3"
  expect_eq "$name: status" 0 "$rc"
  printf '%s\n' "$out" | awk 'NR > 1 { print $1, $NF }' >ab.p
  run_cmd "$M" ${NEAR:+--near-exact} "$3" "$2"
  expect_eq "$name swapped: status" 0 "$rc"
  printf '%s\n' "$out" | awk 'NR > 1 { print $1, $NF }' >ba.p
  checks=$((checks + 1))
  [ -s ab.p ] || fail "$name: no rows"
  expect_eq "$name: the same P-value either way" "" "$(diff ab.p ba.p | head -n 4)"
}

for reps in 2 3 4 5 8 12; do
  rows=$((reps <= 4 ? 400 : 60))
  table a.tsv $rows "$reps" $((20 + reps))
  table b.tsv $rows "$reps" $((40 + reps))
  NEAR=1 same_pvalues "$reps against $reps" a.tsv b.tsv
done
# Unequal replicate counts: the smaller one is used on both sides.
table a.tsv 400 4 7
table b.tsv 400 3 8
same_pvalues "4 against 3" a.tsv b.tsv

# The rows where the old rounded comparison gave different counts each way:
# counts in the ratio 48 : 22, and 4454, 5175, 6518 against 2, 2, 2.
printf 'x\t14\t8\n' >c1.tsv
printf 'x\t23\t25\n' >c2.tsv
same_pvalues "14, 8 against 23, 25" c1.tsv c2.tsv
expect_eq "14, 8 against 23, 25: 12 of 66" "x 0.18182" "$(cat ba.p)"
printf 'y\t4454\t5175\t6518\n' >t1.tsv
printf 'y\t2\t2\t2\n' >t2.tsv
same_pvalues "4454, 5175, 6518 against 2, 2, 2" t1.tsv t2.tsv
expect_eq "4454, 5175, 6518 against 2, 2, 2: 110 of 4,060" "y 0.02709" "$(cat ab.p)"

for set in "pasilla untreated treated" "airway control treated"; do
  set -- $set
  if have_data "$1"; then
    same_pvalues "$1" "$DATA_DIR/$1/$2.tsv.gz" "$DATA_DIR/$1/$3.tsv.gz"
  fi
done

finish
