# The README's analysis from the example count matrix: the examples are what
# make_examples.py writes, and each step prints what the README shows.
. "$(dirname "$0")/lib.sh"
ex=$SRC_DIR/examples

mkdir gen
(cd gen && python3 "$ex/make_examples.py")
for f in control.tsv heat.tsv drug.tsv drug_heat.tsv counts.txt samples.csv; do
  expect_eq "make_examples.py writes $f as committed" "same" "$(cmp -s "gen/$f" "$ex/$f" && echo same)"
done

run_cmd "$SPLIT" "$ex/counts.txt" "$ex/samples.csv" out/analysis
expect_eq "split: status" 0 "$rc"
expect_eq "split: one line per condition" "split: untreated: 6 samples, 1000 features in out/analysis/untreated.tsv
split: treated: 6 samples, 1000 features in out/analysis/treated.tsv" "$err"
expect_eq "split: the command" "dranvel mirdle --output out/analysis/report.txt out/analysis/untreated.tsv out/analysis/treated.tsv" "$out"

run_cmd "$MIRDLE" ${out#dranvel mirdle }
expect_eq "mirdle: status and progress" "0 .........." "$rc $err"
expect_eq "mirdle: the report's first rows" "Feature                 MNC1    MNC2  SD/C1  SD/C2  FC 1-2 log2(FC) P-val
gene00001                3.5     3.0    0.2    0.4    0.86   -0.22  0.40951
gene00002             5710.7 21720.0    0.4    0.3    3.80    1.93  0.00248" "$(head -n 3 out/analysis/report.txt)"

tables=out/analysis/untreated.tsv,out/analysis/treated.tsv
run_cmd "$TABLE" --tables $tables --sort treated_vs_untreated -o out/analysis/results.tsv out/analysis/report.txt
expect_eq "table: silent" "0  " "$rc $out $err"
expect_eq "table: first rows" "feature	fc_treated_vs_untreated	log2fc_treated_vs_untreated	pvalue_treated_vs_untreated	padj_treated_vs_untreated
gene00192	Inf	Inf	0.00012	0.019272727272727275
gene00029	Inf	Inf	0.00021	0.019272727272727275" "$(head -n 3 out/analysis/results.tsv | cut -f 1,6-9)"
run_cmd "$TABLE" --tables $tables --max-padj 0.05 out/analysis/report.txt
expect_eq "table: genes at or below 0.05" 136 "$(printf '%s\n' "$out" | wc -l)"

run_cmd "$PLOT" --tables $tables --label 10 out/analysis/report.txt -o out/analysis/plots.png
expect_eq "plot: summary" "0 plot: out/analysis/plots.png: MA and volcano plot of treated vs untreated: 978 features drawn, 196 with P < 0.05, 22 all-zero left out, 17 with infinite log2 FC at the edge" "$rc $err"

finish
