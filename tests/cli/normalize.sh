# normalize as a whole program: factors, written tables, what mirdle reads
# back from them, compressed inputs, faults and their statuses.
. "$(dirname "$0")/lib.sh"
: "${NORMALIZE:?}" "${MIRDLE:?}" "${SUITE_VERSION:?}"
N=$NORMALIZE

# expect_near NAME EXPECTED ACTUAL [RELATIVE]: numbers agree
expect_near() {
  checks=$((checks + 1))
  if ! awk -v e="$2" -v a="$3" -v t="${4:-1e-12}" \
      'BEGIN { d = a - e; if (d < 0) d = -d; m = e < 0 ? -e : e; exit !(a != "" && d <= t * m) }'; then
    fail "$1: expected $2, got $3"
  fi
}

# factor FILE TABLE COLUMN: the factor of one row of a factors table
factor() {
  awk -F'\t' -v t="$2" -v c="$3" '$1 == t && $2 == c { print $3 }' "$1"
}

# tables PREFIX BASES C1 C2 C3 C4: PREFIX_a.tsv (with header) holds
# base * C1, base * C2, PREFIX_b.tsv (without) base * C3, base * C4.
# The row g2 has one zero, g5 only zeros.
tables() {
  local p=$1 bases=$2
  shift 2
  printf 'target_id\tc1\tc2\n' >"${p}_a.tsv"
  : >"${p}_b.tsv"
  local i=0 b
  for b in $bases; do
    i=$((i + 1))
    awk -v id="g$i" -v b="$b" -v c1="$1" -v c2="$2" -v c3="$3" -v c4="$4" -v zero=$((i == 2)) \
        -v a="${p}_a.tsv" -v bb="${p}_b.tsv" 'BEGIN {
      printf "%s\t%.10g\t%.10g\n", id, (zero ? 0 : b * c1), b * c2 >> a
      printf "%s\t%.10g\t%.10g\n", id, b * c3, b * c4 >> bb }'
  done
}

bases="10 40 1000 14 0 6 250 92"
tables deep "$bases" 0.5 1 1 2
tables flat "$bases" 1 1 1 1

# --- command line ---------------------------------------------------------
usage="Usage: $N [--method ratio|upperquartile|total] -o DIR TABLE..."
expect_status "no arguments" 64 "$usage" "$N"
run_cmd "$N" --help
expect_eq "--help: status" 0 "$rc"
expect_eq "--help: usage first" "$usage" "$(head -n 1 .out)"
expect_eq "--help: nothing on stderr" "" "$err"
expect_status "--version" 0 "" "$N" --version
expect_eq "--version: text" "$N $SUITE_VERSION" "$out"
expect_status "unknown option" 64 "normalize: unknown option -x (see $N --help)" \
  "$N" -x deep_a.tsv -o out
expect_status "unknown method" 64 "normalize: --method median: give ratio, upperquartile or total" \
  "$N" --method median deep_a.tsv -o out
expect_status "no directory" 64 "normalize: no output directory: give -o DIR (see $N --help)" "$N" deep_a.tsv
expect_status "-o last" 64 "normalize: -o needs a value" "$N" deep_a.tsv -o
expect_status "no table" 64 "normalize: no table given (see $N --help)" "$N" --output=out
mkdir -p sub && cp deep_a.tsv sub/
expect_status "same name twice" 64 \
  "normalize: deep_a.tsv and sub/deep_a.tsv would both be written to out/deep_a.tsv." \
  "$N" deep_a.tsv sub/deep_a.tsv -o out
expect_status "over an input" 64 "normalize: writing sub/deep_a.tsv would replace the table sub/deep_a.tsv." \
  "$N" deep_b.tsv sub/deep_a.tsv -o sub
expect_status "over the input itself" 64 "normalize: writing ./deep_a.tsv would replace the table deep_a.tsv." \
  "$N" deep_a.tsv -o .
cp deep_b.tsv size_factors.tsv
expect_status "over the factors" 64 "normalize: size_factors.tsv would be written over out/size_factors.tsv." \
  "$N" deep_a.tsv size_factors.tsv -o out
expect_eq "refusals create nothing" "" "$(ls -d out 2>/dev/null)"

# --- ratio: factors, tables, factor file -------------------------------------
run_cmd "$N" deep_a.tsv deep_b.tsv -o out
expect_eq "ratio: status" 0 "$rc"
# The libraries are base * 0.5, 1, 1, 2: factors exactly those (their
# geometric mean is 1), condition means sqrt(0.5) and sqrt(2).
expect_eq "ratio: warning" "normalize: warning: the size factors differ between conditions: geometric mean 1.41 for deep_b.tsv, 0.707 for deep_a.tsv (2.00 times, more than 1.5): the raw tables are not comparable." "$err"
expect_eq "factors on stdout as in the file" "$(cat out/size_factors.tsv)" "$out"
expect_eq "factors: header and rows" "table column
deep_a.tsv c1
deep_a.tsv c2
deep_b.tsv 1
deep_b.tsv 2" "$(cut -f1,2 out/size_factors.tsv | tr '\t' ' ')"
expect_near "factor a c1" 0.5 "$(factor out/size_factors.tsv deep_a.tsv c1)"
expect_near "factor a c2" 1 "$(factor out/size_factors.tsv deep_a.tsv c2)"
expect_near "factor b 1" 1 "$(factor out/size_factors.tsv deep_b.tsv 1)"
expect_near "factor b 2" 2 "$(factor out/size_factors.tsv deep_b.tsv 2)"
expect_eq "header kept" "$(head -n 1 deep_a.tsv)" "$(head -n 1 out/deep_a.tsv)"
expect_eq "no header added" "$(cut -f1 deep_b.tsv)" "$(cut -f1 out/deep_b.tsv)"
expect_eq "ids and row count" "$(cut -f1 deep_a.tsv)" "$(cut -f1 out/deep_a.tsv)"
expect_eq "nothing else in the directory" "deep_a.tsv deep_b.tsv size_factors.tsv" "$(ls out | tr '\n' ' ' | sed 's/ $//')"
# Every value is its base again; zeros stay 0.
i=0
for b in $bases; do
  i=$((i + 1))
  for v in $(awk -F'\t' -v id="g$i" '$1 == id { print $2, $3 }' out/deep_a.tsv out/deep_b.tsv); do
    [ $i = 2 ] && [ "$v" = 0 ] && continue
    expect_near "g$i normalised" "$b" "$v"
  done
done
expect_eq "zero row stays zero" "g5 0 0 g5 0 0" "$(grep -h '^g5' out/deep_a.tsv out/deep_b.tsv | tr '\t\n' '  ' | sed 's/ $//')"
expect_eq "one zero stays zero" 0 "$(awk -F'\t' '$1 == "g2" { print $2 }' out/deep_a.tsv)"

# What mirdle reads back is the equal-depth tables: raw, the deeper libraries
# shift every fold change.
run_cmd "$MIRDLE" flat_a.tsv flat_b.tsv
flat_report=$out
run_cmd "$MIRDLE" out/deep_a.tsv out/deep_b.tsv
expect_eq "mirdle on normalised tables: status" 0 "$rc"
expect_eq "mirdle reads the equal-depth tables back" "$flat_report" "$out"
run_cmd "$MIRDLE" deep_a.tsv deep_b.tsv
checks=$((checks + 1))
[ "$out" != "$flat_report" ] || fail "raw tables report like normalised ones"

# Balanced conditions give no warning; so does a spread of 1.2, while 1.6 warns.
tables even "$bases" 0.5 2 1 1
run_cmd "$N" even_a.tsv even_b.tsv -o even
expect_eq "balanced: status" 0 "$rc"
expect_eq "balanced: no warning" "" "$err"
tables near "$bases" 1 1 1.2 1.2
run_cmd "$N" near_a.tsv near_b.tsv -o near
expect_eq "1.2 times: no warning" "" "$err"
tables far "$bases" 1 1 1.6 1.6
run_cmd "$N" far_a.tsv far_b.tsv -o far
expect_eq "1.6 times: warned" "normalize: warning: the size factors differ between conditions: geometric mean 1.26 for far_b.tsv, 0.791 for far_a.tsv (1.60 times, more than 1.5): the raw tables are not comparable." "$err"

# A header naming fewer columns than there are: numbers for the rest, and an
# empty name is no name.
printf 'target_id\t\tB\n' >named.tsv
tail -n +2 deep_a.tsv | awk -F'\t' -v OFS='\t' '{ print $0, $3 }' >>named.tsv
run_cmd "$N" named.tsv -o named
expect_eq "short header: names" "named.tsv 1
named.tsv B
named.tsv 3" "$(tail -n +2 named/size_factors.tsv | cut -f1,2 | tr '\t' ' ')"
expect_eq "short header: copied as it is" "$(head -n 1 named.tsv)" "$(head -n 1 named/named.tsv)"

# One table alone is normalised across its own columns.
run_cmd "$N" deep_b.tsv -o single
expect_eq "one table: status" 0 "$rc"
expect_near "one table: factor 1" 0.70710678118654757 "$(factor single/size_factors.tsv deep_b.tsv 1)"

# --- compressed tables -----------------------------------------------------------
gzip -c deep_a.tsv >deep_a.tsv.gz
bzip2 -c deep_b.tsv >deep_b.tsv.bz2
xz -c deep_b.tsv >xz_b.tsv.xz
xz -c deep_a.tsv >xz_a.tsv.xz
run_cmd "$N" deep_a.tsv.gz deep_b.tsv.bz2 -o zout
expect_eq "gz + bz2: status" 0 "$rc"
for f in deep_a.tsv deep_b.tsv size_factors.tsv; do
  expect_eq "gz + bz2: $f as from plain tables" "$(cat out/$f)" "$(cat zout/$f)"
done
run_cmd "$N" xz_a.tsv.xz xz_b.tsv.xz -o xout
expect_eq "xz: status" 0 "$rc"
expect_eq "xz: names without suffix" "size_factors.tsv xz_a.tsv xz_b.tsv" "$(ls xout | tr '\n' ' ' | sed 's/ $//')"
expect_eq "xz: same values" "$(cut -f2- out/deep_b.tsv)" "$(cut -f2- xout/xz_b.tsv)"

# --- other methods ------------------------------------------------------------
# upperquartile over the 7 rows not all zero (h = 4.5, so halfway between
# the 5th and 6th smallest; g2's zero counts), over their geometric mean.
run_cmd "$N" --method upperquartile deep_a.tsv deep_b.tsv -o uq
expect_eq "upperquartile: status" 0 "$rc"
quartile() { # FILE FIELD
  awk -F'\t' -v f="$2" '$1 != "g5" && $1 != "target_id" { print $f }' "$1" | sort -g |
    awk '{ v[NR] = $1 } END { printf "%.17g", 0.5 * v[5] + 0.5 * v[6] }'
}
q1=$(quartile deep_a.tsv 2) q2=$(quartile deep_a.tsv 3) q3=$(quartile deep_b.tsv 2) q4=$(quartile deep_b.tsv 3)
# 0 3 5 7 46 125 500: halfway between 46 and 125.
expect_eq "upperquartile: a c1 quartile" 85.5 "$q1"
scaled() { # VALUE, then the four
  awk -v v="$1" -v a="$2" -v b="$3" -v c="$4" -v d="$5" \
    'BEGIN { printf "%.17g", v / exp((log(a) + log(b) + log(c) + log(d)) / 4) }'
}
expect_near "upperquartile: a c1" "$(scaled "$q1" "$q1" "$q2" "$q3" "$q4")" "$(factor uq/size_factors.tsv deep_a.tsv c1)"
expect_near "upperquartile: b 2" "$(scaled "$q4" "$q1" "$q2" "$q3" "$q4")" "$(factor uq/size_factors.tsv deep_b.tsv 2)"
run_cmd "$N" --method=total deep_a.tsv deep_b.tsv -o tot
expect_eq "total: status" 0 "$rc"
s1=$(awk -F'\t' 'NR > 1 { s += $2 } END { print s }' deep_a.tsv)
s2=$(awk -F'\t' 'NR > 1 { s += $3 } END { print s }' deep_a.tsv)
s3=$(awk -F'\t' '{ s += $2 } END { print s }' deep_b.tsv)
s4=$(awk -F'\t' '{ s += $3 } END { print s }' deep_b.tsv)
expect_near "total: a c1" "$(scaled "$s1" "$s1" "$s2" "$s3" "$s4")" "$(factor tot/size_factors.tsv deep_a.tsv c1)"
expect_near "total: b 2" "$(scaled "$s4" "$s1" "$s2" "$s3" "$s4")" "$(factor tot/size_factors.tsv deep_b.tsv 2)"

# --- more rows than one pass keeps: radix passes ----------------------------------
awk 'BEGIN { x = 12345; for (i = 1; i <= 70000; i++) {
    x = (x * 16807) % 2147483647; a = x % 500
    x = (x * 16807) % 2147483647; b = x % 700
    x = (x * 16807) % 2147483647; c = x % 900
    x = (x * 16807) % 2147483647; d = x % 1100
    printf "r%d\t%d\t%d\n", i, a, b > "big_a.tsv"; printf "r%d\t%d\t%d\n", i, c, d > "big_b.tsv" } }'
run_cmd "$N" big_a.tsv big_b.tsv -o big
expect_eq "70,000 rows: status" 0 "$rc"
paste big_a.tsv big_b.tsv | awk -F'\t' '$2 > 0 && $3 > 0 && $5 > 0 && $6 > 0 {
    g = (log($2) + log($3) + log($5) + log($6)) / 4
    printf "%.17g\t%.17g\t%.17g\t%.17g\n", log($2) - g, log($3) - g, log($5) - g, log($6) - g }' >big_ratios
usable=$(wc -l <big_ratios)
expect_eq "more usable rows than one buffer holds" 1 "$((usable > 65536))"
col=0
for name in "big_a.tsv 1" "big_a.tsv 2" "big_b.tsv 1" "big_b.tsv 2"; do
  col=$((col + 1))
  expected=$(cut -f$col big_ratios | sort -g | awk -v n="$usable" \
    '{ v[NR] = $1 } END { printf "%.17g", exp((v[int((n + 1) / 2)] + v[int(n / 2) + 1]) / 2) }')
  expect_near "70,000 rows: factor of $name" "$expected" "$(factor big/size_factors.tsv $name)" 1e-13
done

# --- faults -------------------------------------------------------------------
printf 'g1\t5\t10\ng2\t1\t2\ng3\t7\t9\n' >t.tsv
printf 'g1\t5\t10\ngX\t1\t2\ng3\t7\t9\n' >sync.tsv
printf 'g1\t5\t10\ng2\t1\t2\t3\ng3\t7\t9\n' >fields.tsv
printf 'g1\t5\t10\ng2\t1\tabc\ng3\t7\t9\n' >invalid.tsv
printf 'g1\t5\t10\ng2\t1\t-2\ng3\t7\t9\n' >negative.tsv
printf 'g1\t5\t10\ng2\tinf\t2\ng3\t7\t9\n' >infinite.tsv
printf 'g1\t5\t10\ng2\t1\t2\n' >short.tsv
printf 'g1\t5\t10\ng2\t1\t2\ng3\t7\t9\ng4\t1\t1\n' >long.tsv
printf 'g1\t5\t10\ng2\t1\0\t2\ng3\t7\t9\n' >nul.tsv
printf 'g1\ng2\ng3\n' >ids.tsv
printf 'target_id\tc1\n' >header_only.tsv
: >empty.tsv
printf 'g1\t0\t1\ng2\t3\t0\ng3\t0\t0\n' >zeros.tsv
printf 'g1\t0\t1\ng2\t0\t4\ng3\t0\t2\ng4\t1\t1\ng5\t0\t5\n' >lowq.tsv
gzip -c long.tsv | head -c 40 >cut.tsv.gz
printf 'not xz at all\n' >fake.tsv.xz
mkdir -p adir

case_() { # NAME STATUS MESSAGE ARGS...: one run into a fresh directory
  local name=$1 status=$2 message=$3
  shift 3
  rm -rf fault
  expect_status "$name" "$status" "$message" "$N" "$@" -o fault
  expect_eq "$name: nothing written" "" "$(ls -A fault 2>/dev/null)"
}
case_ "ids out of sync" 65 "normalize: sync.tsv:2: id gX, but t.tsv:2 has g2." t.tsv sync.tsv
case_ "field count" 65 "normalize: fields.tsv:2: 3 abundances, expected 2 as on line 1." t.tsv fields.tsv
case_ "invalid abundance" 65 "normalize: invalid.tsv:2: invalid abundance 'abc'." t.tsv invalid.tsv
case_ "negative abundance" 65 "normalize: negative.tsv:2: negative abundance '-2'." t.tsv negative.tsv
case_ "infinite abundance" 65 "normalize: infinite.tsv:2: abundance 'inf' is not a finite single-precision number." \
  infinite.tsv t.tsv
case_ "second table shorter" 65 "normalize: short.tsv ended after 2 rows, but t.tsv:3 has row g3." t.tsv short.tsv
case_ "second table longer" 65 "normalize: long.tsv:4: row g4 beyond the end of t.tsv (3 rows)." t.tsv long.tsv
case_ "NUL byte" 65 "normalize: nul.tsv:2: NUL byte in the line." t.tsv nul.tsv
case_ "ids only" 65 "normalize: ids.tsv:1: no abundance after the id." ids.tsv
case_ "empty table" 65 "normalize: empty.tsv: empty table." t.tsv empty.tsv
case_ "headers only" 65 "normalize: the tables hold no data rows." header_only.tsv
case_ "no usable gene" 65 "normalize: no gene is above 0 in every sample of every table, so the ratio method has nothing to use (try --method upperquartile)." \
  zeros.tsv t.tsv
case_ "upper quartile 0" 65 "normalize: column 1 of lowq.tsv has the upper quartile 0." --method upperquartile lowq.tsv
printf 'g1\t0\t0\ng2\t0\t0\n' >allzero.tsv
case_ "all zero" 65 "normalize: every gene is 0 in every sample." --method upperquartile allzero.tsv
printf 'g1\t0\t1\ng2\t0\t3\ng3\t0\t2\n' >zero_column.tsv
case_ "sum 0" 65 "normalize: column 1 of zero_column.tsv has the sum 0." --method total t.tsv zero_column.tsv
# Rows (1, 0.25) and (2, 0.5) make the factors 2 and 0.5: 3e38 / 0.5 is beyond
# single precision, which mirdle would read as infinity.
printf 'g1\t1\t0.25\ng2\t2\t0.5\ng3\t3e38\t3e38\n' >huge.tsv
case_ "normalised value too large" 65 \
  "normalize: huge.tsv:3: 3e38 divided by its size factor 0.5 is too large for single precision." huge.tsv
case_ "missing table" 66 "normalize: cannot open nope.tsv: No such file or directory." t.tsv nope.tsv
case_ "directory as table" 66 "normalize: cannot open adir: Is a directory." t.tsv adir
case_ "truncated gzip" 74 "normalize: cannot read cut.tsv.gz: Input/output error." long.tsv cut.tsv.gz
case_ "not xz" 74 "normalize: cannot read fake.tsv.xz: Input/output error." fake.tsv.xz

expect_status "directory is a file" 73 "normalize: cannot create directory t.tsv/x: Not a directory" \
  "$N" long.tsv -o t.tsv/x
if [ "$(id -u)" != 0 ]; then
  mkdir -p locked && chmod 555 locked
  expect_status "unwritable directory" 73 "normalize: cannot create locked/t.tsv: Permission denied." \
    "$N" t.tsv -o locked
  chmod 755 locked
fi
expect_full_disk "factors to a full device" 74 "normalize: cannot write standard output: No space left on device" "$N" t.tsv -o full

# A table that changes between passes (a pipe fed twice) is noticed, and
# nothing is left behind.
mkfifo fifo
printf 'g1\t5\t10\ng2\t1\t2\ng3\t7\t10\n' >t_changed.tsv
{ cat t.tsv >fifo; sleep 1; cat t_changed.tsv >fifo; } &
feeder=$!
rm -rf fault
expect_status "table changed between passes" 74 "normalize: a table changed while it was being read." \
  "$N" t.tsv fifo -o fault
expect_eq "changed: nothing left, not even the directory it made" "no" "$([ -e fault ] && echo yes || echo no)"
mkdir -p kept/size_factors.tsv
echo earlier >kept/t.tsv
run_cmd "$N" t.tsv -o kept
expect_eq "the factors' name taken by a directory: the earlier table kept" "73 earlier" "$rc $(cat kept/t.tsv)"
kill "$feeder" 2>/dev/null
wait "$feeder" 2>/dev/null

finish
