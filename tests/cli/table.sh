# table as a whole program: the report as named, tab-separated columns with
# Benjamini-Hochberg adjusted P-values; sorting, filtering, failures.
. "$(dirname "$0")/lib.sh"
T=$TABLE

{
  header2
  row2 g1 10 20 0.1 0.2 2 1 0.01
  row2 "gene with spaces and a long name" 5 0 0.3 0 0 -inf 0.04
  row2 g3 0 0 0 0 '*' '*' 1
  row2 g4 0 3 0 0.5 inf inf 0.03
  row2 g5 nan 1 nan 0 nan nan nan
  row2 g6 1 1 0 0 1 0 0.01
  row2 'q"uote' 2 2 0 0 1 0 0.9
} >two.txt

# g3 is zero in both conditions and g5 has no P-value: neither counts, so
# m = 5.  In increasing order with their ranks: g1 0.01 (1), g6 0.01 (2), g4
# 0.03 (3), g2 0.04 (4), q 0.9 (5); m p / rank: 0.05, 0.025, 0.05, 0.05, 0.9;
# minimum from the top rank down: g1 0.025, g6 0.025, g4 0.05, g2 0.05, q 0.9.
# Without the tables the values are the report's, written as numbers.
t=$(printf '\t')
head2="feature${t}mean_c1${t}sd_over_mean_c1${t}mean_c2${t}sd_over_mean_c2${t}fc_c2_vs_c1${t}log2fc_c2_vs_c1${t}pvalue_c2_vs_c1${t}padj_c2_vs_c1"
r1="g1${t}10${t}0.1${t}20${t}0.2${t}2${t}1${t}0.01${t}0.025"
r2="gene with spaces and a long name${t}5${t}0.3${t}0${t}0${t}0${t}-Inf${t}0.04${t}0.05"
r3="g3${t}0${t}0${t}0${t}0${t}NA${t}NA${t}1${t}NA"
r4="g4${t}0${t}0${t}3${t}0.5${t}Inf${t}Inf${t}0.03${t}0.05"
r5="g5${t}NA${t}NA${t}1${t}0${t}NA${t}NA${t}NA${t}NA"
r6="g6${t}1${t}0${t}1${t}0${t}1${t}0${t}0.01${t}0.025"
r7="\"q\"\"uote\"${t}2${t}0${t}2${t}0${t}1${t}0${t}0.9${t}0.9"
nl=$'\n'

run_cmd "$T" two.txt
expect_eq "two conditions: status" 0 "$rc"
expect_eq "two conditions: table" "$head2$nl$r1$nl$r2$nl$r3$nl$r4$nl$r5$nl$r6$nl$r7" "$out"
expect_eq "two conditions: quiet" "" "$err"

run_cmd "$T" --sort 1-2 two.txt
expect_eq "sorted by P, ties in report order, NA last" "$head2$nl$r1$nl$r6$nl$r4$nl$r2$nl$r7$nl$r3$nl$r5" "$out"
run_cmd "$T" --max-padj 0.03 two.txt
expect_eq "at most 0.03" "$head2$nl$r1$nl$r6" "$out"
run_cmd "$T" --max-padj=0.05 --sort c2_vs_c1 two.txt
expect_eq "at most 0.05, at or below, sorted" "$head2$nl$r1$nl$r6$nl$r4$nl$r2" "$out"
run_cmd "$T" --max-padj 0 two.txt
expect_eq "nothing passes: the header alone" "$head2" "$out"

run_cmd "$T" --names untreated,treated two.txt
expect_eq "--names" "feature${t}mean_untreated${t}sd_over_mean_untreated${t}mean_treated${t}sd_over_mean_treated${t}fc_treated_vs_untreated${t}log2fc_treated_vs_untreated${t}pvalue_treated_vs_untreated${t}padj_treated_vs_untreated" "$(printf '%s\n' "$out" | head -n1)"
run_cmd "$T" --names untreated,treated --sort untreated_vs_treated two.txt
expect_eq "a pair by names, either way round" "mean_untreated mean_treated $r1" \
  "$(printf '%s\n' "$out" | awk -F'\t' 'NR == 1 {h = $2 " " $4} NR == 2 {print h " " $0}')"
run_cmd "$T" - <two.txt
expect_eq "standard input" "$head2$nl$r1$nl$r2$nl$r3$nl$r4$nl$r5$nl$r6$nl$r7" "$out"
sed 's/$/\r/' two.txt >crlf.txt
run_cmd "$T" crlf.txt
expect_eq "CR LF lines" "$head2$nl$r1$nl$r2$nl$r3$nl$r4$nl$r5$nl$r6$nl$r7" "$out"
gzip -c two.txt >two.txt.gz
run_cmd "$T" -o two.tsv two.txt.gz
expect_eq "compressed report to a file" "0  $head2$nl$r1" "$rc $out $(head -n2 two.tsv)"

# Python's csv module reads the quoted id back and every row as wide as the header.
python3 - two.tsv <<'EOF' >py.out
import csv, sys
rows = list(csv.reader(open(sys.argv[1], newline=""), delimiter="\t"))
print(len(rows), sorted(set(len(r) for r in rows)), rows[7][0], float(rows[4][6]), rows[5][8])
EOF
expect_eq "read back by Python's csv" "8 [9] q\"uote inf NA" "$(cat py.out)"
echo keep >kept.tsv
run_cmd "$T" -o kept.tsv a-missing-report.txt
expect_eq "a failed run keeps -o's file" "66 keep" "$rc $(cat kept.tsv)"
expect_eq "and leaves nothing beside it" "kept.tsv" "$(ls -A | grep kept)"

# --- three conditions from the real mirdle ---------------------------------------
printf 'target_id\ta1\ta2\ta3\nlong feature id with blanks\t1\t2\t3\nf2\t0\t0\t0\nf3\t5\t5\t6\n' >a.tsv
printf 'target_id\tb1\tb2\tb3\nlong feature id with blanks\t10\t20\t30\nf2\t0\t0\t0\nf3\t0\t0\t0\n' >b.tsv
printf 'target_id\tc1\tc2\tc3\nlong feature id with blanks\t4\t4\t4\nf2\t0\t0\t1\nf3\t9\t8\t7\n' >c.tsv
"$MIRDLE" --output three.txt a.tsv b.tsv c.tsv 2>/dev/null
run_cmd "$T" --tables a.tsv,b.tsv,c.tsv three.txt
expect_eq "three: status" 0 "$rc"
expect_eq "three: header" "feature mean_a sd_over_mean_a mean_b sd_over_mean_b mean_c sd_over_mean_c fc_b_vs_a log2fc_b_vs_a pvalue_b_vs_a padj_b_vs_a fc_c_vs_a log2fc_c_vs_a pvalue_c_vs_a padj_c_vs_a fc_c_vs_b log2fc_c_vs_b pvalue_c_vs_b padj_c_vs_b" \
  "$(printf '%s\n' "$out" | head -n1 | tr '\t' ' ')"
expect_eq "three: ids whole" "long feature id with blanks f2 f3" "$(printf '%s\n' "$out" | awk -F'\t' 'NR > 1 {printf "%s%s", s, $1; s = " "}')"
# Means, SD/C and fold changes of means come from the tables at full
# precision: each value reads back as exactly the double computed here, and
# the P-values are the report's.
python3 - a.tsv b.tsv c.tsv three.txt <<'EOF' >expected.txt
import math, sys
tables = [[l.rstrip("\n").split("\t") for l in open(p)][1:] for p in sys.argv[1:4]]
report = [l.split() for l in open(sys.argv[4])][1:]
def stats(row):
    v = [float(x) for x in row[1:]]
    m = sum(v) / len(v)
    sd = math.sqrt(sum((x - m) ** 2 for x in v) / len(v))
    return m, (0.0 if m == 0 else sd / m)
def div(x, y):
    return x / y if y != 0 else (math.nan if x == 0 else math.copysign(math.inf, x))
def log2(x):
    return -math.inf if x == 0 else math.log2(x) if x > 0 else math.nan
for k in range(len(tables[0])):
    s = [stats(t[k]) for t in tables]
    out = [s[0][0], s[0][1], s[1][0], s[1][1], s[2][0], s[2][1]]
    p = [float(x) for x in report[k][-7::3]]
    for (a, b), pv in zip([(0, 1), (0, 2), (1, 2)], p):
        fc = div(s[b][0], s[a][0])
        out += [fc, log2(fc), pv]
    print(" ".join(repr(x) for x in out))
EOF
table_values=$(printf '%s\n' "$out" | python3 -c '
import sys
for line in list(sys.stdin)[1:]:
    f = line.rstrip("\n").split("\t")
    v = [float(x.replace("NA", "nan")) for x in f[1:7]]
    for k in range(7, 19, 4):
        v += [float(x.replace("NA", "nan")) for x in f[k:k + 3]]
    print(" ".join(repr(x) for x in v))')
expect_eq "three: values from the tables, read back exactly" "$(cat expected.txt)" "$table_values"
# f3's pair 2-3 (b all zero against c): sums 0 and 24 give Inf.
expect_eq "three: infinite fold change" "Inf Inf" "$(printf '%s\n' "$out" | awk -F'\t' '$1 == "f3" {print $16, $17}')"
# 4 against 2 replicates: fold changes of the means, not of the sums; a
# feature zero everywhere, or with a NaN count, is left out of the adjustment
# and sorts last; --min-count leaves out small sums too.
printf 'target_id\tu1\tu2\tu3\tu4\ng1\t1\t1\t1\t1\ng2\t0\t0\t0\t0\ng3\tnan\t1\t1\t1\ng4\t1\t2\t3\t4\ng5\t1\t0\t0\t0\n' >u.tsv
printf 'target_id\tt1\tt2\ng1\t1\t1\ng2\t0\t0\ng3\t1\t1\ng4\t8\t9\ng5\t0\t2\n' >t.tsv
"$MIRDLE" --output ut.txt u.tsv t.tsv 2>/dev/null
expect_eq "4 vs 2: the report's FC is of sums" "0.50" "$(awk '$1 == "g1" {print $6}' ut.txt)"
run_cmd "$T" --tables u.tsv,t.tsv --sort 1-2 ut.txt
expect_eq "4 vs 2: fc of means, P, padj over g1, g4, g5; NA last" \
  "g4 3.4 0.12121 0.36363 g5 4 0.72727 1 g1 1 1 1 g2 NA 1 NA g3 NA NA NA" \
  "$(printf '%s\n' "$out" | awk -F'\t' 'NR > 1 {printf "%s%s %s %s %s", s, $1, $6, $8, $9; s = " "}')"
run_cmd "$T" --tables u.tsv,t.tsv --min-count 5 ut.txt
expect_eq "--min-count 5: g5's sum 3 left out" "1 NA NA 0.24242 NA" \
  "$(printf '%s\n' "$out" | awk -F'\t' 'NR > 1 {printf "%s%s", s, $9; s = " "}')"
expect_status "--min-count without tables" 64 "table: --min-count needs --tables: the sums come from the tables" "$T" --min-count 5 ut.txt
expect_status "tables that are not the report's" 65 "table: --tables: feature 2 is \"g2\" in the tables and \"gene with spaces and a long name\" in the report" "$T" --tables u.tsv,t.tsv two.txt

run_cmd "$T" --sort 2-3 --max-padj 1 three.txt
expect_eq "three: all kept at 1" 4 "$(printf '%s\n' "$out" | wc -l)"

# Three pairs and no --sort: a row passes when any pair passes.
{
  header3
  row3 a 1 1 1 0 0 0   1 0 0.001   1 0 0.9   1 0 0.9
  row3 b 1 1 1 0 0 0   1 0 0.9     1 0 0.9   1 0 0.001
  row3 c 1 1 1 0 0 0   1 0 0.9     1 0 0.9   1 0 0.9
} >pairs.txt
run_cmd "$T" --max-padj 0.01 pairs.txt
expect_eq "any pair passes" "a b" "$(printf '%s\n' "$out" | awk -F'\t' 'NR > 1 {printf "%s%s", s, $1; s = " "}')"
run_cmd "$T" --max-padj 0.01 --sort 1-2 pairs.txt
expect_eq "the sorted pair passes" "a" "$(printf '%s\n' "$out" | awk -F'\t' 'NR > 1 {print $1}')"
# Pair 1-2: a's 0.001 * 3 / 1; pair 1-3: 0.9 for all three; pair 2-3: a's
# 0.9 * 3 / 2 = 1.35, lowered to the 0.9 of rank 3.
expect_eq "padj per pair" "0.003 0.9 0.9" "$(printf '%s\n' "$out" | awk -F'\t' 'NR > 1 {print $11, $15, $19}')"

header2 >header.txt
run_cmd "$T" header.txt
expect_eq "a header alone" "0 $head2" "$rc $out"

# --- command line and failures ------------------------------------------------------
run_cmd "$T" --help
expect_eq "--help" "0 Usage: $T [options] REPORT" "$rc $(printf '%s\n' "$out" | head -n1)"
run_cmd "$T" --version
expect_eq "--version" "0 $T $SUITE_VERSION" "$rc $out"
expect_status "no report" 64 "table: expected one REPORT, got 0 arguments (see $T --help)" "$T"
expect_status "unknown option" 64 "table: unknown option -x (see $T --help)" "$T" -x two.txt
expect_status "names and tables" 64 "table: --names and --tables cannot be given together" "$T" --names a,b --tables a.tsv,b.tsv two.txt
expect_status "too few names" 64 "table: --names gives 1 names, the report has 2 conditions" "$T" --names a two.txt
expect_status "a name with a tab" 64 "table: --names: condition name \"a${t}b\" is empty or holds a tab, newline, carriage return or double quote" "$T" --names "a${t}b,c" two.txt
expect_status "same names" 64 "table: --tables: conditions 1 and 2 are both named \"x\"" "$T" --tables a/x.tsv,b/x.tsv two.txt
expect_status "no such pair" 64 "table: --sort 2-2: no such pair; pairs are a-b with 1 <= a, b <= 2, a != b" "$T" --sort 2-2 two.txt
expect_status "bad max-padj" 64 "table: --max-padj 1.5: must be from 0 to 1" "$T" --max-padj 1.5 two.txt
expect_status "--sort without value" 64 "table: --sort needs a value" "$T" two.txt --sort
expect_status "missing report" 66 "table: cannot open nope.txt: No such file or directory" "$T" nope.txt
: >empty.txt
expect_status "empty" 65 "table: empty.txt: empty, not a mirdle report" "$T" empty.txt
expect_status "a condition table" 65 "table: a.tsv:1: not a mirdle report: the first line is not its header (Feature, MNC1, MNC2, ...)" "$T" a.tsv
expect_status "stdin named in messages" 65 "table: standard input:1: not a mirdle report: the first line is not its header (Feature, MNC1, MNC2, ...)" "$T" - <a.tsv
{ header2; row2 g1 1 2 0 0 2 1 0.5; row2 g2 1 2 0 0 2 1 0.5 | cut -c1-50; } >short.txt
expect_status "a cut row" 65 "table: short.txt:3: not a mirdle report row: fewer values than the header names" "$T" short.txt
{ header2; row2 g1 1 2 0 0 2 1 0.5 | sed 's/0\.50000/0.5abcd/'; } >word.txt
expect_status "a word for a P-value" 65 "table: word.txt:2: not a mirdle report row: P-val 1-2 value \"0.5abcd\" is not a number" "$T" word.txt
{ header2; row2 g1 1 2 0 0 2 1 0.5 | sed 's/0\.50000/1.50000/'; } >above.txt
expect_status "P-value above 1" 65 "table: above.txt:2: not a mirdle report row: P-val 1-2 value \"1.50000\" is not a P-value" "$T" above.txt
{ header2; row2 g1 1 2 0 0 2 1 0.5 | sed 's/2\.00/   */'; } >star.txt
expect_status "one star" 65 "table: star.txt:2: not a mirdle report row: FC 1-2 and its log2 must both be \"*\" or neither" "$T" star.txt
{ header2; row2 g1 1 2 0 0 2 1 0.5 | tr ' ' '\t'; } >tabs.txt
expect_status "tabs instead of blanks" 65 "table: tabs.txt:2: not a mirdle report row: fewer values than the header names" "$T" tabs.txt
{ header3; row2 g1 1 2 0 0 2 1 0.5; } >narrow.txt
expect_status "a row of fewer conditions" 65 "table: narrow.txt:2: not a mirdle report row: fewer values than the header names" "$T" narrow.txt
printf 'x\0y\n' >nul.txt
expect_status "NUL byte" 65 "table: nul.txt:1: holds a NUL byte, not a mirdle report" "$T" nul.txt
expect_status "cannot create" 73 "table: cannot create no/such/t.tsv: No such file or directory" "$T" -o no/such/t.tsv two.txt
if [ -w /dev/full ]; then
  expect_status "write error" 74 "table: cannot write /dev/full: No space left on device" "$T" -o /dev/full two.txt
fi
expect_full_disk "stdout write error" 74 "table: cannot write standard output: No space left on device" "$T" two.txt

# The report is long enough to outlast the pipe's buffer.
{
  header2
  for i in $(seq 1 3000); do row2 "g$i" 10 20 0.1 0.2 2 1 0.01; done
} >long.txt
expect_quiet_when_reader_goes "long report" "" "$T" long.txt

finish
