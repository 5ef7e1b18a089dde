# The README's analysis from the example count matrix: the examples are what
# make_examples.py writes, and each step prints what the README shows.
. "$(dirname "$0")/lib.sh"
ex=$SRC_DIR/examples
readme=$SRC_DIR/README.md

# shown NAME EXPECTED ACTUAL: a step printed EXPECTED, and the README shows
# every line of it in a code block.
shown() {
  expect_eq "$1" "$2" "$3"
  local line
  while IFS= read -r line; do
    grep -qxF "    $line" "$readme" || fail "$1: the README does not show: $line"
  done <<<"$2"
}
# stated NAME TEXT: the README's prose says TEXT (on one line).
stated() {
  checks=$((checks + 1))
  grep -qF -- "$2" "$readme" || fail "$1: the README does not say: $2"
}
# median_log2fc REPORT: the median of the finite log2 fold changes.
median_log2fc() {
  awk 'NR > 1 && $7 ~ /^-?[0-9.]+$/ { print $7 }' "$1" | sort -g |
    awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# The quick start runs the README's analysis.
split_command="dranvel split --normalize examples/counts.txt examples/samples.csv out/analysis"
stated "the split command" "    $split_command"
checks=$((checks + 1))
grep -qF "\$($split_command)" "$SRC_DIR/scripts/quickstart.sh" || fail "quickstart.sh does not run: $split_command"

mkdir gen
(cd gen && python3 "$ex/make_examples.py")
for f in control.tsv heat.tsv drug.tsv drug_heat.tsv counts.txt samples.csv; do
  expect_eq "make_examples.py writes $f as committed" "same" "$(cmp -s "gen/$f" "$ex/$f" && echo same)"
done

run_cmd "$SPLIT" --normalize "$ex/counts.txt" "$ex/samples.csv" out/analysis
expect_eq "split: status" 0 "$rc"
shown "split: column, tables, factors and warning" "split: conditions from column \"condition\" of examples/samples.csv
split: untreated: 6 samples, 1000 features in out/analysis/untreated.tsv
split: treated: 6 samples, 1000 features in out/analysis/treated.tsv
split: counts divided by the size factors (ratio) in out/analysis/size_factors.tsv:
table	column	factor
untreated.tsv	untreated1	0.6137843095673712
untreated.tsv	untreated2	0.8492289317633175
untreated.tsv	untreated3	0.722466717632016
untreated.tsv	untreated4	0.9184800009774293
untreated.tsv	untreated5	0.7670154828814457
untreated.tsv	untreated6	0.5360160362231814
treated.tsv	treated1	1.2866541067995922
treated.tsv	treated2	1.679880019796586
treated.tsv	treated3	1.1154762320333726
treated.tsv	treated4	1.4558934377808979
treated.tsv	treated5	1.379611538471454
treated.tsv	treated6	1.816715370456632
split: warning: the size factors differ between conditions: geometric mean 1.44 for treated, 0.722 for untreated (1.99 times, more than 1.5): the raw counts are not comparable" "$(printf '%s\n' "$err" | sed "s|^\(split: conditions from .* of \)$ex/|\1examples/|")"
expect_eq "split: the factors file is what it lists" "$(printf '%s\n' "$err" | grep -v '^split: ')" "$(cat out/analysis/size_factors.tsv)"
shown "split: the command" "dranvel mirdle --output out/analysis/report.txt out/analysis/untreated.tsv out/analysis/treated.tsv" "$out"

run_cmd "$MIRDLE" ${out#dranvel mirdle }
expect_eq "mirdle: status and progress" "0 .........." "$rc $err"
shown "mirdle: the report's first rows" "Feature                 MNC1    MNC2  SD/C1  SD/C2  FC 1-2 log2(FC) P-val
gene00001                3.1     3.8    0.5    0.2    1.24    0.31  0.30801
gene00002             7206.4 29426.0    0.3    0.2    4.08    2.03  0.00137" "$(head -n 3 out/analysis/report.txt)"

# What the README says the normalisation changes: the same steps on the raw
# counts.
run_cmd "$SPLIT" "$ex/counts.txt" "$ex/samples.csv" out/raw
run_cmd "$MIRDLE" ${out#dranvel mirdle }
expect_eq "raw: mirdle status" 0 "$rc"
stated "median log2 FC, raw and normalised" \
  "$(median_log2fc out/raw/report.txt) instead of $(median_log2fc out/analysis/report.txt), and"
stated "genes below 0.05, raw and normalised" \
  "$(awk 'NR > 1 && $8 < 0.05' out/raw/report.txt | wc -l) genes instead of $(awk 'NR > 1 && $8 < 0.05' out/analysis/report.txt | wc -l) would"

tables=out/analysis/untreated.tsv,out/analysis/treated.tsv
run_cmd "$TABLE" --tables $tables --sort treated_vs_untreated -o out/analysis/results.tsv out/analysis/report.txt
expect_eq "table: silent" "0  " "$rc $out $err"
shown "table: first rows" "$(printf '%s\n' "feature	fc_treated_vs_untreated	log2fc_treated_vs_untreated	pvalue_treated_vs_untreated	padj_treated_vs_untreated
gene00832	Inf	Inf	0.00017	0.01967505882352941
gene00323	Inf	Inf	0.00019	0.01967505882352941" | column -t)" "$(head -n 3 out/analysis/results.tsv | cut -f 1,6-9 | column -t)"
run_cmd "$TABLE" --tables $tables --max-padj 0.05 out/analysis/report.txt
stated "table: genes at or below 0.05" "keeps the $(($(printf '%s\n' "$out" | wc -l) - 1)) genes"

run_cmd "$PLOT" --tables $tables --label 10 out/analysis/report.txt -o out/analysis/plots.png
expect_eq "plot: status" 0 "$rc"
shown "plot: summary" "plot: out/analysis/plots.png: MA and volcano plot of treated vs untreated: 978 features drawn, 203 with P < 0.05, 22 all-zero left out, 14 with infinite log2 FC at the edge" "$err"

finish
