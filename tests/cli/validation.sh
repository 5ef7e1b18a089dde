# mirdle on a fixed negative-binomial simulation of known truth
# (validation/simulate.py: 3,000 features, 4 against 4, 10% changed): the
# share of unchanged features with P <= 0.05 stays under 0.06 and the AUC
# above 0.85 (measured: 0.042 and 0.888).
. "$(dirname "$0")/lib.sh"
v=$SRC_DIR/validation

step python3 "$v/simulate.py" --features 3000 --replicates 4 --seed 7 sim
step "$MIRDLE" --output sim/report.txt sim/c1.tsv sim/c2.tsv
awk 'BEGIN { print "feature\tpvalue" } NR > 1 { print $1 "\t" $NF }' sim/report.txt >sim/p.tsv
run_cmd python3 "$v/evaluate.py" check sim/truth.tsv sim/p.tsv
expect_eq "evaluate: status" 0 "$rc"
type1=$(printf '%s\n' "$out" | sed -n 's/^type1_0.05 //p')
auc=$(printf '%s\n' "$out" | sed -n 's/^auc //p')
expect_eq "type-I error at 0.05 ($type1) under 0.06" yes "$(awk -v x="$type1" 'BEGIN { print (x != "" && x < 0.06) ? "yes" : "no" }')"
expect_eq "AUC ($auc) above 0.85" yes "$(awk -v x="$auc" 'BEGIN { print (x != "" && x > 0.85) ? "yes" : "no" }')"
finish
