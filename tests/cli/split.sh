# split as a whole program: matrices and sheets in the formats analysts
# have, the tables it writes, what mirdle makes of them, and every fault.
. "$(dirname "$0")/lib.sh"
S=$SPLIT
t=$(printf '\t')
nl=$'\n'

# --- a plain matrix and sheet -------------------------------------------------------
printf 'gene_id\tu1\tt1\tu2\tt2\tu3\n' >m.tsv
printf 'g1\t0007\t1e3\t5\t2.50\t+4\n' >>m.tsv
printf 'g2\t0\t0\t0\t0\t0\n' >>m.tsv
printf 'g3\t 12 \t16777217\t3\t4\t5\n' >>m.tsv
printf 'sample\tcondition\nu1\tuntreated\nt1\ttreated\nu2\tuntreated\nt2\ttreated\nu3\tuntreated\n' >sheet.tsv
run_cmd "$S" m.tsv sheet.tsv out
expect_eq "plain: status" 0 "$rc"
expect_eq "plain: mirdle command" "dranvel mirdle --output out/report.txt out/untreated.tsv out/treated.tsv" "$out"
# The column named condition, said to be the one used; the P-value of 3
# against 2 leaves the third untreated sample out, which is said too.
expect_eq "plain: the column, one line per condition, the samples left out" "split: conditions from column \"condition\" of sheet.tsv
split: untreated: 3 samples, 3 features in out/untreated.tsv
split: treated: 2 samples, 3 features in out/treated.tsv
split: warning: untreated (3 samples) vs treated (2): the near-exact P-value uses only the first 2 of each (u1, u2 vs t1, t2), not u3" "$err"
# The counts' text as the matrix gives it, blanks around it dropped.
expect_eq "plain: untreated table" "target_id${t}u1${t}u2${t}u3
g1${t}0007${t}5${t}+4
g2${t}0${t}0${t}0
g3${t}12${t}3${t}5" "$(cat out/untreated.tsv)"
expect_eq "plain: treated table" "target_id${t}t1${t}t2
g1${t}1e3${t}2.50
g2${t}0${t}0
g3${t}16777217${t}4" "$(cat out/treated.tsv)"
expect_eq "plain: nothing else in DIR" "treated.tsv untreated.tsv" "$(ls -A out | tr '\n' ' ' | sed 's/ $//')"

# The printed command runs, and mirdle reads what the matrix holds.
cmd=${out#dranvel mirdle }
run_cmd "$MIRDLE" $cmd
expect_eq "mirdle runs on the tables" "0" "$rc"
printf 'target_id\tu1\tu2\tu3\ng1\t0007\t5\t+4\ng2\t0\t0\t0\ng3\t12\t3\t5\n' >hand_u.tsv
printf 'g1\t1e3\t2.50\ng2\t0\t0\ng3\t16777217\t4\n' >hand_t.tsv
"$MIRDLE" --output hand.txt hand_u.tsv hand_t.tsv 2>/dev/null
expect_eq "same report as from hand-made tables" "" "$(cmp out/report.txt hand.txt)"

# --conditions chooses and orders; the other samples are not warned about.
run_cmd "$S" --conditions treated,untreated m.tsv sheet.tsv out2
expect_eq "--conditions: order" "dranvel mirdle --output out2/report.txt out2/treated.tsv out2/untreated.tsv" "$out"
printf 'sample\tcondition\nu1\tuntreated\nt1\ttreated\nu2\tuntreated\nt2\ttreated\nu3\tdrug\n' >sheet3.tsv
run_cmd "$S" --conditions=untreated,treated m.tsv sheet3.tsv out3
expect_eq "--conditions: a subset" "0 dranvel mirdle --output out3/report.txt out3/untreated.tsv out3/treated.tsv" "$rc $out"
expect_eq "--conditions: subset quiet" "split: conditions from column \"condition\" of sheet3.tsv
split: untreated: 2 samples, 3 features in out3/untreated.tsv
split: treated: 2 samples, 3 features in out3/treated.tsv" "$err"
expect_eq "--conditions: no drug table" "no" "$([ -e out3/drug.tsv ] && echo yes || echo no)"

# --- CSV as R and spreadsheets write it -------------------------------------------
printf '"","u1","u2","t1","t2"\n"g1",5,7,"10",12\n"g,2",0,0,0,1\n' >m.csv
printf '"sample","condition"\r\n"u1","ctrl"\r\n"u2","ctrl"\r\n"t1","drug x"\r\n"t2","drug x"\r\n' >sheet.csv
run_cmd "$S" m.csv sheet.csv csv
expect_eq "csv: status and command" "0 dranvel mirdle --output csv/report.txt csv/ctrl.tsv 'csv/drug x.tsv'" "$rc $out"
expect_eq "csv: quoted fields" "target_id${t}t1${t}t2
g1${t}10${t}12
g,2${t}0${t}1" "$(cat 'csv/drug x.tsv')"
# write.table(sep = "\t"): the header names only the samples.
printf '"u1"\t"u2"\t"t1"\t"t2"\n"g1"\t5\t7\t10\t12\n"g2"\t0\t0\t0\t1\n' >rownames.tsv
printf 'condition\ttype\nu1\tctrl\tpaired\nu2\tctrl\tpaired\nt1\tdrug\tsingle\nt2\tdrug\tsingle\n' >rownames_sheet.tsv
run_cmd "$S" rownames.tsv rownames_sheet.tsv rn
expect_eq "row-name layout: status" 0 "$rc"
expect_eq "row-name layout: table" "target_id${t}u1${t}u2
g1${t}5${t}7
g2${t}0${t}0" "$(cat rn/ctrl.tsv)"
# A sheet with more columns, chosen by name; ; as separator.
printf 'file;type;condition\nt2;x;drug\nu1;x;ctrl\nt1;x;drug\nu2;x;ctrl\n' >named.txt
run_cmd "$S" --sheet-sep ';' --sample-column file --condition-column=condition m.tsv named.txt nm
expect_eq "named sheet columns" "0 dranvel mirdle --output nm/report.txt nm/drug.tsv nm/ctrl.tsv" "$rc $out"
expect_eq "named sheet columns: sheet order" "target_id${t}t2${t}t1" "$(head -n1 nm/drug.tsv)"
expect_eq "named sheet columns: u3 left out" "split: warning: m.tsv: sample u3 (column 6) is not in named.txt; left out" "$(printf '%s\n' "$err" | head -n1)"
# A spreadsheet's byte order mark does not become part of the first name.
printf '\357\273\277Sample,Group\nu1,ctrl\nu2,ctrl\nt1,drug\nt2,drug\n' >bom.csv
run_cmd "$S" --sample-column Sample --condition-column Group m.tsv bom.csv bom
expect_eq "byte order mark" "0 dranvel mirdle --output bom/report.txt bom/ctrl.tsv bom/drug.tsv" "$rc $out"
# No column named for the conditions: the one that could hold them is used
# and named (not the run ids, all distinct; not a column of one value).
printf 'Run,SampleName,dex,albut\nSRR1,u1,untrt,no\nSRR2,t1,trt,no\nSRR3,u2,untrt,no\nSRR4,t2,trt,no\n' >runs.csv
run_cmd "$S" --sample-column SampleName m.tsv runs.csv runs
expect_eq "the one column that could hold conditions" "0 dranvel mirdle --output runs/report.txt runs/untrt.tsv runs/trt.tsv|split: conditions from column \"dex\" of runs.csv" \
  "$rc $out|$(printf '%s\n' "$err" | grep -v 'u3 (column 6)' | head -n 1)"
# airway's colData: cell line and treatment could both be it; no guess.
printf '"","cell","dex"\n"u1","N61311","untrt"\n"t1","N61311","trt"\n"u2","N052611","untrt"\n"t2","N052611","trt"\n"u3","N080611","untrt"\n' >coldata.csv
rm -rf f
expect_status "two columns could hold the conditions" 64 "split: coldata.csv: no column is named condition, group or treatment, and 2 could hold the conditions: \"cell\" (3 values), \"dex\" (2 values); choose one with --condition-column" "$S" m.tsv coldata.csv f
expect_eq "two columns could hold the conditions: no tables" "no" "$([ -e f ] && echo yes || echo no)"
printf 'sample\tgroup\tCondition\nu1\ta\tx\nt1\tb\ty\n' >twonamed.tsv
expect_status "two columns named for conditions" 64 "split: twonamed.tsv: 2 columns are named for conditions: \"group\" (2 values), \"Condition\" (2 values); choose one with --condition-column" "$S" m.tsv twonamed.tsv f
run_cmd "$S" --condition-column dex m.tsv coldata.csv chosen
expect_eq "--condition-column: no note" "0 split: untrt: 3 samples, 3 features in chosen/untrt.tsv" "$rc $(printf '%s\n' "$err" | head -n 1)"

# --sep forces the matrix separator: as tab, a CSV is one column.
run_cmd "$S" --sep tab m.csv sheet.csv forced
expect_eq "--sep tab on a CSV" "65 split: m.csv:1: text follows the closing quote of a field" "$rc $err"

# --- featureCounts ------------------------------------------------------------------
{
  printf '# Program:featureCounts v2.0.1; Command:"featureCounts" "-a" "genes.gtf" "-o" "counts.txt"\n'
  printf 'Geneid\tChr\tStart\tEnd\tStrand\tLength\t/data/u1.bam\t/data/u2.bam\t/data/t1.bam\t/data/t2.bam\n'
  printf 'g1\tchr1;chr1\t10;50\t40;90\t+;+\t71\t5\t7\t10\t12\n'
  printf 'g2\tchr2\t1\t100\t-\t100\t0\t0\t0\t1\n'
} >fc.txt
printf 'sample\tcondition\nu1\tctrl\nu2\tctrl\nt1\tdrug\nt2\tdrug\n' >fc_sheet.tsv
run_cmd "$S" fc.txt fc_sheet.tsv fcout
expect_eq "featureCounts: status" "0 dranvel mirdle --output fcout/report.txt fcout/ctrl.tsv fcout/drug.tsv" "$rc $out"
expect_eq "featureCounts: alignment names matched, annotation left out" "target_id${t}t1${t}t2
g1${t}10${t}12
g2${t}0${t}1" "$(cat fcout/drug.tsv)"
for z in gzip bzip2 xz; do
  case $z in gzip) e=gz ;; bzip2) e=bz2 ;; xz) e=xz ;; esac
  $z -c fc.txt >fc.txt.$e
  run_cmd "$S" fc.txt.$e fc_sheet.tsv fc_$e
  expect_eq "featureCounts .$e" "0 target_id${t}t1${t}t2${nl}g1${t}10${t}12${nl}g2${t}0${t}1" "$rc $(cat fc_$e/drug.tsv)"
done
sed 's/$/\r/' fc.txt >fc_crlf.txt
run_cmd "$S" - fc_sheet.tsv fc_stdin <fc_crlf.txt
expect_eq "featureCounts with CR LF on standard input" "0 target_id${t}t1${t}t2${nl}g1${t}10${t}12${nl}g2${t}0${t}1" "$rc $(cat fc_stdin/drug.tsv)"
# As a plain matrix the annotation columns are samples the sheet leaves out.
printf 'sample\tcondition\n/data/u1.bam\tctrl\n/data/u2.bam\tctrl\n/data/t1.bam\tdrug\n/data/t2.bam\tdrug\n' >fc_paths.tsv
run_cmd "$S" --layout plain fc.txt fc_paths.tsv fcplain
expect_eq "--layout plain: status" 0 "$rc"
expect_eq "--layout plain: five annotation columns warned of" 5 "$(printf '%s\n' "$err" | grep -c 'warning: fc.txt: sample .* is not in fc_paths.tsv; left out')"
expect_eq "--layout plain: Chr warned of by column" "split: warning: fc.txt: sample Chr (column 2) is not in fc_paths.tsv; left out" "$(printf '%s\n' "$err" | head -n1)"
expect_status "--layout featurecounts on a plain matrix" 65 \
  "split: m.tsv:1: not a featureCounts header (Geneid, Chr, Start, End, Strand, Length, then the samples)" \
  "$S" --layout featurecounts m.tsv sheet.tsv x

# --- warnings --------------------------------------------------------------------
printf 'sample\tcondition\nu1\tuntreated\nt1\ttreated\nu2\tuntreated\nu3\tuntreated\n' >one.tsv
run_cmd "$S" m.tsv one.tsv w
expect_eq "one sample and a left-out column: status" 0 "$rc"
expect_eq "one sample and a left-out column: messages" "split: warning: condition treated has one sample (one.tsv:3); every P-value of its pairs will be 1
split: warning: m.tsv: sample t2 (column 5) is not in one.tsv; left out
split: conditions from column \"condition\" of one.tsv
split: untreated: 3 samples, 3 features in w/untreated.tsv
split: treated: 1 sample, 3 features in w/treated.tsv" "$err"

# Unequal sizes: no warning where mirdle takes the Mann-Whitney test (8 or
# more samples in both), one where 7 against 10 is near-exact.
awk 'BEGIN { printf "id"; for (k = 1; k <= 17; ++k) printf "\ts%d", k; print ""
  printf "g1"; for (k = 1; k <= 17; ++k) printf "\t%d", k; print "" }' >wide17.tsv
{ echo 'sample condition'; for k in $(seq 17); do echo "s$k $([ "$k" -le 8 ] && echo a || echo b)"; done; } | tr ' ' '\t' >mw.tsv
run_cmd "$S" wide17.tsv mw.tsv mw
expect_eq "8 against 9: no warning" "0 0" "$rc $(printf '%s\n' "$err" | grep -c warning)"
sed 's/^s8\ta$/s8\tb/' mw.tsv >ne.tsv
run_cmd "$S" wide17.tsv ne.tsv ne
expect_eq "7 against 10: the left-out samples" "0 not s15, s16, s17" "$rc $(printf '%s\n' "$err" | grep warning | sed 's/.*), //')"

# --- faults ----------------------------------------------------------------------
fault() { # NAME MESSAGE MATRIX SHEET: status 65, and no DIR left behind
  rm -rf f
  expect_status "$1" 65 "$2" "$S" "$3" "$4" f
  expect_eq "$1: no tables" "no" "$([ -e f ] && echo yes || echo no)"
}
printf 'sample\tcondition\nu1\tuntreated\nu2\tuntreated\nt1\ttreated\nt9\ttreated\n' >missing.tsv
fault "sheet sample missing" "split: missing.tsv:5: sample t9 is not a column of m.tsv" m.tsv missing.tsv
printf 'sample\tcondition\nu1\tuntreated\nt1\ttreated\nu1\ttreated\n' >dupsheet.tsv
fault "sample twice in the sheet" "split: dupsheet.tsv:4: sample u1 is already on line 2" m.tsv dupsheet.tsv
printf 'id\tu1\tt1\tu1\ng1\t1\t2\t3\n' >dupcol.tsv
fault "sample twice in the matrix" "split: dupcol.tsv:1: sample u1 is in columns 2 and 4" dupcol.tsv sheet.tsv
printf 'id\tu1\tu2\tt1\tt2\ng1\t1\t2\t3\t4\ng2\t1\t2\t3\t4\ng1\t5\t6\t7\t8\n' >dupid.tsv
fault "feature twice" "split: dupid.tsv:4: feature g1 is already on line 2" dupid.tsv fc_sheet.tsv
printf 'id\tu1\tu2\tt1\tt2\ng1\t1\t2\tNA\t4\n' >na.tsv
fault "NA count" "split: na.tsv:2: count \"NA\" of sample t1 (column 4) is not a number" na.tsv fc_sheet.tsv
printf 'id\tu1\tu2\tt1\tt2\ng1\t1\t-2\t3\t4\n' >neg.tsv
fault "negative count" "split: neg.tsv:2: count \"-2\" of sample u2 (column 3) is negative" neg.tsv fc_sheet.tsv
printf 'id\tu1\tu2\tt1\tt2\ng1\t1\t2\t3\t\n' >emptycount.tsv
fault "empty count" "split: emptycount.tsv:2: count \"\" of sample t2 (column 5) is not a number" emptycount.tsv fc_sheet.tsv
printf 'id\tu1\tu2\tt1\tt2\ng1\t1\t2\t3\t1e39\n' >huge.tsv
fault "count beyond single precision" "split: huge.tsv:2: count \"1e39\" of sample t2 (column 5) is out of range for single precision" huge.tsv fc_sheet.tsv
printf 'id\tu1\tu2\tt1\tt2\ng1\t1\t2\t3\t4\ng2\t1\t2\t3\n' >short.tsv
fault "short row" "split: short.tsv:3: 4 fields where the header gives 5" short.tsv fc_sheet.tsv
printf 'id\tu1\tu2\tt1\tt2\ng1\t1\t2\t3\t4\t5\t6\n' >wide.tsv
fault "wide first row" "split: wide.tsv:2: 7 fields where the header gives 5" wide.tsv fc_sheet.tsv
printf 'id,u1,u2,t1,t2\n"g1,1,2,3,4\n' >quote.csv
fault "unclosed quote" "split: quote.csv:2: a quoted field has no closing quote on its line" quote.csv fc_sheet.tsv
printf 'id\tu1\tu2\tt1\tt2\n\tchr\t1\t2\t3\n' >noid.tsv
fault "empty feature id" "split: noid.tsv:2: the feature id is empty" noid.tsv fc_sheet.tsv
printf 'sample\tcondition\nu1\tctrl\nu2\tctrl\nt1\ta/b\nt2\ta/b\n' >slash.tsv
fault "condition with a slash" "split: slash.tsv:4: condition \"a/b\" cannot name a table file: it holds a \"/\"" m.tsv slash.tsv
printf 'sample\tcondition\nu1\tctrl\nu2\t..\n' >dots.tsv
fault "condition .." "split: dots.tsv:3: condition \"..\" cannot name a table file: it is . or .." m.tsv dots.tsv
printf 'sample,condition\nu1,ctrl\nu2,\n' >nocond.csv
fault "empty condition" "split: nocond.csv:3: condition \"\" cannot name a table file: it is empty" m.tsv nocond.csv
printf 'sample\tcondition\nu1\tctrl\nu2\tctrl\n' >single.tsv
fault "one condition" "split: single.tsv: only one condition (ctrl); mirdle compares two or more" m.tsv single.tsv
printf 'sample\tcondition\nu1\tctrl\nu2\n' >ragged.tsv
fault "ragged sheet" "split: ragged.tsv:3: 1 fields where the header gives 2" m.tsv ragged.tsv
printf 'sample\tcondition\n' >headonly.tsv
fault "sheet without samples" "split: headonly.tsv: a header but no samples" m.tsv headonly.tsv
: >empty.tsv
fault "empty sheet" "split: empty.tsv: empty; a sample sheet has a header and one row per sample" m.tsv empty.tsv
fault "empty matrix" "split: empty.tsv: no header row of sample names" empty.tsv sheet.tsv
printf '# only a comment\n' >comment.tsv
fault "only comments" "split: comment.tsv: no header row of sample names" comment.tsv sheet.tsv
printf 'id\tu1\tt1\n' >nofeatures.tsv
fault "matrix without features" "split: nofeatures.tsv: a header but no feature rows" nofeatures.tsv sheet.tsv
rm -rf f
expect_status "no such sheet column" 65 "split: sheet.tsv: --sample-column file: the header has no such column (it has: sample, condition)" "$S" m.tsv sheet.tsv --sample-column=file f
expect_status "--conditions not in the sheet" 65 "split: --conditions: no sample of sheet.tsv has condition drug" "$S" --conditions untreated,drug m.tsv sheet.tsv f
expect_status "--conditions twice" 64 "split: --conditions names treated twice" "$S" --conditions treated,treated m.tsv sheet.tsv f
expect_status "--conditions alone" 64 "split: --conditions: only one condition (treated); mirdle compares two or more" "$S" --conditions treated m.tsv sheet.tsv f
expect_status "missing matrix" 66 "split: cannot open nope.tsv: No such file or directory" "$S" nope.tsv sheet.tsv f
expect_status "missing sheet" 66 "split: cannot open nope.tsv: No such file or directory" "$S" m.tsv nope.tsv f
printf 'x\0y\n' >nul.tsv
expect_status "NUL byte" 65 "split: nul.tsv:1: the line holds a NUL byte" "$S" nul.tsv sheet.tsv f
: >afile
expect_status "DIR is a file" 73 "split: cannot create directory afile: Not a directory" "$S" m.tsv sheet.tsv afile
expect_status "DIR below a file" 73 "split: cannot create directory afile/sub: Not a directory" "$S" m.tsv sheet.tsv afile/sub
run_cmd "$S" m.tsv sheet.tsv deep/er/dir
expect_eq "DIR made with its parents" "0 yes" "$rc $([ -f deep/er/dir/treated.tsv ] && echo yes)"
# A table in the way: the other one keeps its old file, nothing partial is left.
mkdir -p blocked/treated.tsv
printf 'old\n' >blocked/untreated.tsv
expect_status "a table that cannot be created" 73 "split: cannot create blocked/treated.tsv: Is a directory" "$S" m.tsv sheet.tsv blocked
expect_eq "a table that cannot be created: the other as it was, nothing partial" "treated.tsv untreated.tsv old" \
  "$(ls -A blocked | tr '\n' ' ')$(cat blocked/untreated.tsv)"

# --- --normalize ------------------------------------------------------------------
N=${NORMALIZE:-$BUILD_DIR/normalize/normalize}
# same_as_normalize NAME DIR METHOD RAW TABLE...: the tables and factors of
# split --normalize in DIR are byte for byte those of normalize run on the
# tables of a plain split in RAW, and stderr lists the same factors.
same_as_normalize() {
  local name=$1 dir=$2 method=$3 raw=$4 table
  shift 4
  local paths=()
  for table in "$@"; do paths+=("$raw/$table"); done
  rm -rf "$dir.ref"
  "$N" --method "$method" -o "$dir.ref" "${paths[@]}" >"$dir.ref.out" 2>/dev/null
  for table in "$@" size_factors.tsv; do
    expect_eq "$name: $table as normalize writes it" "same" "$(cmp -s "$dir/$table" "$dir.ref/$table" && echo same)"
  done
  expect_eq "$name: factors on stderr as normalize prints them" "$(cat "$dir.ref.out")" "$(printf '%s\n' "$err" | grep -v '^split: ')"
  expect_eq "$name: nothing else in DIR" "$(ls -A "$dir.ref" | tr '\n' ' ')" "$(ls -A "$dir" | tr '\n' ' ')"
}
# m.tsv holds a count beyond single precision's whole numbers (16777217),
# fractions and an all-zero row, which the ratio method leaves out.
run_cmd "$S" m.tsv sheet.tsv raw
for method in ratio upperquartile total; do
  run_cmd "$S" --normalize=$method m.tsv sheet.tsv n_$method
  expect_eq "--normalize=$method: status and command" "0 dranvel mirdle --output n_$method/report.txt n_$method/untreated.tsv n_$method/treated.tsv" "$rc $out"
  expect_eq "--normalize=$method: stderr" "split: conditions from column \"condition\" of sheet.tsv
split: untreated: 3 samples, 3 features in n_$method/untreated.tsv
split: treated: 2 samples, 3 features in n_$method/treated.tsv
split: counts divided by the size factors ($method) in n_$method/size_factors.tsv:" "$(printf '%s\n' "$err" | grep '^split: ' | head -n 4)"
  same_as_normalize "--normalize=$method" n_$method $method raw untreated.tsv treated.tsv
done
run_cmd "$S" --normalize m.tsv sheet.tsv n_default
expect_eq "--normalize: ratio by default" "same same" "$(cmp -s n_default/treated.tsv n_ratio/treated.tsv && echo same) $(cmp -s n_default/size_factors.tsv n_ratio/size_factors.tsv && echo same)"
checks=$((checks + 1))
cmp -s n_ratio/treated.tsv n_total/treated.tsv && fail "--normalize: ratio and total give the same table"

# Libraries of depth 0.5, 1 (untreated), 1, 2 (treated), the matrix columns in
# another order than the sheet's: every method finds the depths over their
# geometric mean, each count is its base again, and the conditions' factors,
# 0.707 and 1.41, are told apart.
printf 'id\tt2\tu1\tt1\tu2\n' >deep.tsv
for b in 10 40 1000 14 6 250 92; do
  awk -v b=$b -v n=$((${#b} + 1)) 'BEGIN { printf "g%d%d\t%.10g\t%.10g\t%.10g\t%.10g\n", b, n, 2 * b, 0.5 * b, b, b }' >>deep.tsv
done
printf 'sample\tcondition\nu1\tuntreated\nt1\ttreated\nu2\tuntreated\nt2\ttreated\n' >deep_sheet.tsv
run_cmd "$S" deep.tsv deep_sheet.tsv deep_raw
for method in ratio upperquartile total; do
  run_cmd "$S" --normalize=$method deep.tsv deep_sheet.tsv deep_$method
  expect_eq "depths, $method: warning" "split: warning: the size factors differ between conditions: geometric mean 1.41 for treated, 0.707 for untreated (2.00 times, more than 1.5): the raw counts are not comparable" "$(printf '%s\n' "$err" | tail -n 1)"
  expect_eq "depths, $method: factors" "untreated.tsv u1 0.5000
untreated.tsv u2 1.0000
treated.tsv t1 1.0000
treated.tsv t2 2.0000" "$(awk -F'\t' 'NR > 1 { printf "%s %s %.4f\n", $1, $2, $3 }' deep_$method/size_factors.tsv)"
  expect_eq "depths, $method: counts back to their bases" "" "$(awk -F'\t' 'FNR > 1 {
      b = substr($1, 2, length($1) - 2)
      for (k = 2; k <= NF; ++k) { d = $k / b - 1; if (d > 1e-12 || d < -1e-12) print FILENAME, $1, $k } }' deep_$method/untreated.tsv deep_$method/treated.tsv)"
  same_as_normalize "depths, $method" deep_$method $method deep_raw untreated.tsv treated.tsv
done
# Equal libraries: no warning.
printf 'sample\tcondition\nu1\tuntreated\nt1\ttreated\nt2\tuntreated\nu2\ttreated\n' >even_sheet.tsv
run_cmd "$S" --normalize deep.tsv even_sheet.tsv even
expect_eq "balanced depths: no warning" "0 0" "$rc $(printf '%s\n' "$err" | grep -c warning)"

# The factors come from the chosen samples only, as normalize's from the
# tables it is given; a matrix from a pipe is read once, as any.
run_cmd "$S" --conditions=untreated,treated m.tsv sheet3.tsv raw3
run_cmd bash -c 'cat m.tsv | "$1" --conditions=untreated,treated --normalize - sheet3.tsv n3' pipe "$S"
expect_eq "--conditions, standard input: status" 0 "$rc"
expect_eq "--conditions: only the chosen samples" "untreated.tsv u1 untreated.tsv u2 treated.tsv t1 treated.tsv t2 " "$(tail -n +2 n3/size_factors.tsv | cut -f1,2 | tr '\t\n' '  ')"
same_as_normalize "--conditions, standard input" n3 ratio raw3 untreated.tsv treated.tsv
# More features than one pass of the selection takes.
awk 'BEGIN { srand(7); print "id\tu1\tu2\tt1\tt2"
  for (i = 1; i <= 70000; ++i) printf "f%d\t%d\t%d\t%d\t%d\n", i, int(rand() * 900) + 1, int(rand() * 1000), int(rand() * 1800) + 1, int(rand() * 2000) }' >many.tsv
run_cmd "$S" many.tsv fc_sheet.tsv many_raw
for method in ratio upperquartile; do
  run_cmd "$S" --normalize=$method many.tsv fc_sheet.tsv many_$method
  expect_eq "70000 features, $method: status" 0 "$rc"
  same_as_normalize "70000 features, $method" many_$method $method many_raw ctrl.tsv drug.tsv
done

# Faults: a message, the status, and no tables.
nfault() { # NAME STATUS MESSAGE ARGS...
  local name=$1 status=$2 message=$3
  shift 3
  rm -rf nf
  expect_status "$name" "$status" "$message" "$S" "$@" nf
  expect_eq "$name: no tables" "no" "$([ -e nf ] && echo yes || echo no)"
}
printf 'id\tu1\tu2\tt1\tt2\ng1\t0\t2\t3\t4\ng2\t1\t0\t3\t4\ng3\t1\t2\t0\t0\ng4\t0\t0\t0\t0\n' >zeros.tsv
nfault "ratio without a gene above 0 everywhere" 65 "split: zeros.tsv: no feature is above 0 in every chosen sample, so --normalize=ratio has nothing to use (try --normalize=upperquartile)" --normalize zeros.tsv fc_sheet.tsv
run_cmd "$S" --normalize=upperquartile zeros.tsv fc_sheet.tsv nz
expect_eq "upperquartile where ratio has no gene" 0 "$rc"
printf 'id\tu1\tu2\tt1\tt2\ng1\t1\t2\t0\t4\ng2\t1\t2\t0\t4\ng3\t1\t2\t0\t4\ng4\t1\t2\t0\t4\ng5\t1\t2\t5\t4\n' >lowq.tsv
nfault "upper quartile 0" 65 "split: lowq.tsv: sample t1 (column 4) has the upper quartile 0, so --normalize=upperquartile cannot scale it" --normalize=upperquartile lowq.tsv fc_sheet.tsv
printf 'id\tu1\tu2\tt1\tt2\ng1\t1\t2\t3\t0\ng2\t1\t2\t3\t0\n' >nosum.tsv
nfault "sum 0" 65 "split: nosum.tsv: sample t2 (column 5) has the sum 0, so --normalize=total cannot scale it" --normalize=total nosum.tsv fc_sheet.tsv
printf 'id\tu1\tu2\tt1\tt2\ng1\t0\t0\t0\t0\n' >allzero.tsv
nfault "every count 0" 65 "split: allzero.tsv: every feature is 0 in every chosen sample" --normalize=upperquartile allzero.tsv fc_sheet.tsv
# u1's factor is 2^-0.75: 3e38 / 0.59 is beyond single precision.
printf 'id\tu1\tu2\tt1\tt2\ng1\t3e38\t3e38\t3e38\t3e38\ng2\t1\t2\t2\t2\ng3\t1\t2\t2\t2\n' >big.tsv
nfault "normalised count too large" 65 "split: big.tsv: feature g1: count 3e38 of sample u1 divided by its size factor 0.594604 is too large for single precision" --normalize big.tsv fc_sheet.tsv
printf 'sample\tcondition\nu1\tsize_factors\nu2\tsize_factors\nt1\tdrug\nt2\tdrug\n' >sf_sheet.tsv
nfault "a condition named size_factors" 65 "split: sf_sheet.tsv:2: condition \"size_factors\" cannot name a table file: --normalize writes the factors to size_factors.tsv" --normalize m.tsv sf_sheet.tsv
run_cmd "$S" m.tsv sf_sheet.tsv sf
expect_eq "size_factors without --normalize: a table like any" "0 yes" "$rc $([ -f sf/size_factors.tsv ] && echo yes)"
nfault "unknown method" 64 "split: --normalize median: give ratio, upperquartile or total" --normalize=median m.tsv sheet.tsv
nfault "empty method" 64 "split: --normalize : give ratio, upperquartile or total" --normalize= m.tsv sheet.tsv
# The factors file in the way: the tables of an earlier run stay as they
# were, none renamed over, nothing partial left.
rm -rf sfblocked
cp -r raw sfblocked
mkdir sfblocked/size_factors.tsv
expect_status "factors file that cannot be created" 73 "split: cannot create sfblocked/size_factors.tsv: Is a directory" "$S" --normalize m.tsv sheet.tsv sfblocked
expect_eq "factors file that cannot be created: the earlier tables kept, nothing partial" "size_factors.tsv treated.tsv untreated.tsv same" \
  "$(ls -A sfblocked | tr '\n' ' ')$(cmp -s raw/treated.tsv sfblocked/treated.tsv && cmp -s raw/untreated.tsv sfblocked/untreated.tsv && echo same)"

# --- command line ---------------------------------------------------------------
run_cmd "$S" --help
expect_eq "--help" "0 Usage: $S [options] MATRIX SHEET DIR" "$rc $(printf '%s\n' "$out" | head -n1)"
run_cmd "$S" --version
expect_eq "--version" "0 $S $SUITE_VERSION" "$rc $out"
expect_status "no arguments" 64 "split: expected MATRIX SHEET DIR, got 0 arguments (see $S --help)" "$S"
expect_status "two arguments" 64 "split: expected MATRIX SHEET DIR, got 2 arguments (see $S --help)" "$S" m.tsv sheet.tsv
expect_status "unknown option" 64 "split: unknown option --normalise (see $S --help)" "$S" --normalise m.tsv sheet.tsv f
expect_status "bad separator" 64 "split: --sep ab: give tab, comma, semicolon or one character" "$S" --sep ab m.tsv sheet.tsv f
expect_status "bad layout" 64 "split: --layout htseq: give auto, plain or featurecounts" "$S" --layout htseq m.tsv sheet.tsv f
expect_status "both on standard input" 64 "split: MATRIX and SHEET cannot both be standard input" "$S" - - f
expect_status "empty DIR" 64 "split: DIR is empty" "$S" m.tsv sheet.tsv ''
run_cmd "$S" -- m.tsv sheet.tsv -odd
expect_eq "-- ends options; a DIR like an option is written with ./" "0 dranvel mirdle --output ./-odd/report.txt ./-odd/untreated.tsv ./-odd/treated.tsv" "$rc $out"

finish
