# mirdle as a whole program: command line, table reading, report, failures.
. "$(dirname "$0")/lib.sh"
: "${MIRDLE:?}"
M=$MIRDLE

usage_text=$(printf 'Usage: %s [--output file.txt] [--near-exact]\\\n\tabundances1.tsv[.gz|.bz2|.xz] abundances2.tsv[.gz|.bz2|.xz] \\\n\t[abundances3.tsv[.gz|.bz2|.xz] ...]' "$M")

printf 'target_id\tr1\tr2\tr3\ng1\t5\t7\t9\ng2\t0\t0\t0\ng3\t1e3\t 7\t\n' >a.tsv
printf 'g1\t1\t2\t3\t4\ng2\t0\t0\t0\t0\ng3\t5\t6\t7\t8\n' >b.tsv
printf 'g1\t1\t2\t3\t4\ng2\t0\t0\t0\t0\ng3\t5\t6\t7\t8' >b_nonl.tsv
for z in gzip bzip2 xz; do $z -kc b.tsv >b.tsv.$( [ $z = gzip ] && echo gz || { [ $z = bzip2 ] && echo bz2 || echo xz; } ); done
for z in gzip bzip2 xz; do $z -kc a.tsv >a.tsv.$( [ $z = gzip ] && echo gz || { [ $z = bzip2 ] && echo bz2 || echo xz; } ); done

# --- command line -----------------------------------------------------------
expect_status "no args" 64 "$usage_text" "$M"
expect_status "one arg" 64 "$usage_text" "$M" a.tsv
expect_status "near-exact and one table" 65 "mirdle: Must have at least 2 conditions." "$M" --near-exact a.tsv
expect_status "only options" 65 "mirdle: Must have at least 2 conditions." "$M" --debug --near-exact
expect_status "--output last" 64 "mirdle: --output needs a value" "$M" --debug --output

# --help and --version answer on standard output, before any other check;
# the help names every option.
help_text=$("$M" --help)
for opt in --output --near-exact --threads --draws --rows --debug --help --version; do
  expect_eq "--help names $opt" 1 "$(printf '%s\n' "$help_text" | grep -c -- "^  $opt ")"
done
expect_help_and_version "$M" "$help_text" "--help" "--near-exact --help a.tsv b.tsv" "--help --bogus"

# Misspelt and unknown options are refused before anything is created or
# read.
for opt in -x --ouput --near-exct --output-file -h --debug=1 --near-exact=yes; do
  case $opt in
  *=*) why="${opt%%=*} takes no value" ;;
  *) why="unknown option $opt" ;;
  esac
  expect_status "unknown option $opt" 64 "mirdle: $why (see $M --help)" \
    "$M" --output created.txt "$opt" a.tsv b.tsv
  expect_eq "unknown option $opt: nothing on stdout" "" "$out"
  [ -e created.txt ] && fail "unknown option $opt: --output file created"
  rm -f created.txt
done
expect_status "unknown option alone" 64 "$usage_text" "$M" --bogus
expect_status "misspelt --output with its value" 64 "mirdle: unknown option --ouput (see $M --help)" \
  "$M" --ouput r.txt a.tsv b.tsv
[ -e r.txt ] && fail "misspelt --output: r.txt created"
for bad in "--draws=rows" "--draws=" "--rows=0-3" "--rows=3-2" "--rows=2" "--rows=1-x" "--rows=-4"; do
  run_cmd "$M" "$bad" a.tsv b.tsv
  expect_eq "$bad: status" 64 "$rc"
  expect_eq "$bad: message" "mirdle: ${bad%%=*}" "$(printf '%s\n' "$err" | head -n 1 | cut -d' ' -f1-2)"
done
# --output=file, "--" before tables whose names begin with "-".
cp a.tsv ./-a.tsv
run_cmd "$M" --output=eq.txt a.tsv b.tsv
expect_eq "--output=file: status" 0 "$rc"
expect_eq "--output=file: report" 4 "$(wc -l <eq.txt)"
run_cmd "$M" --near-exact -- -a.tsv b.tsv
expect_eq "-- ends the options: status" 0 "$rc"
expect_eq "-- ends the options: report" "$(cat eq.txt)" "$out"
expect_status "a table name beginning with - needs --" 64 \
  "mirdle: unknown option -a.tsv (see $M --help)" "$M" -a.tsv b.tsv

# A lone "-" is a table read from standard input, once.
run_cmd "$M" - b.tsv <a.tsv
expect_eq "- as the first table: status" 0 "$rc"
expect_eq "- as the first table: report" "$(cat eq.txt)" "$out"
run_cmd "$M" b.tsv - <a.tsv
expect_eq "- as the second table: status" 0 "$rc"
expect_eq "- as the second table: rows" 4 "$(wc -l <.out)"
expect_status "- twice" 64 "mirdle: only one table can be read from standard input (-)" "$M" - a.tsv -
expect_status "- twice, read nothing" 64 "mirdle: only one table can be read from standard input (-)" \
  "$M" --output twice.txt - - </dev/null
[ -e twice.txt ] && fail "- twice: --output file created"
for opt in --near-exact --output; do
  expect_status "$opt after a table is a path" 66 \
    ": Could not open $opt for read: No such file or directory." "$M" a.tsv b.tsv "$opt"
done
expect_status "missing table" 66 ": Could not open nope.tsv for read: No such file or directory." \
  "$M" a.tsv nope.tsv
mkdir -p adir
expect_status "directory as table" 66 ": Could not open adir for read: Is a directory." "$M" a.tsv adir
expect_status "unwritable output" 73 \
  "mirdle: Could not open adir/x/y for write: No such file or directory." "$M" --output adir/x/y a.tsv b.tsv
expect_status "report onto a directory" 73 "mirdle: Could not open adir for write: Is a directory." \
  "$M" --output adir a.tsv b.tsv
# A run that fails before its first row leaves the file as it was, or none.
echo keep >keep.txt
expect_status "a missing table: --output kept" 66 ": Could not open nope.tsv for read: No such file or directory." \
  "$M" --output keep.txt nope.tsv b.tsv
expect_eq "a missing table: the file as it was" "keep" "$(cat keep.txt)"
printf 'g1\tx\t1\n' >bad_first.tsv
run_cmd "$M" --output new.txt a.tsv bad_first.tsv
expect_eq "a bad first row: no report, nothing beside it" "65 0" "$rc $(ls -A | grep -c 'new\.txt')"

# --- the report ---------------------------------------------------------------
header=$(printf '%-20s %6s%d %6s%d %5s%d %5s%d  FC 1-2 log2(FC) %5s' Feature MNC 1 MNC 2 SD/C 1 SD/C 2 P-val)
run_cmd "$M" a.tsv b.tsv
expect_eq "two tables: status" 0 "$rc"
expect_eq "header row" "$header" "$(sed -n 1p .out)"
expect_eq "row count" 4 "$(wc -l <.out)"
# g1: 5 7 9 -> mean 7, sd sqrt(8/3); 1 2 3 4 -> mean 2.5, sd sqrt(1.25); FC 10/21.
g1=$(sed -n 2p .out)
expect_eq "g1 columns" "$(printf '%-20s %7.1f %7.1f %6.1f %6.1f %7.2f %7.2f' g1 7 2.5 0.2333 0.4472 0.4762 -1.0704)" "${g1%  *}"
# g2: all zero: "*" fold changes, SD/C 0.0, P-value 1 (all counts become 1).
expect_eq "g2 row" "$(printf '%-20s %7.1f %7.1f %6.1f %6.1f %7s %7s  %7.5f' g2 0 0 0 0 '*' '*' 1)" "$(sed -n 3p .out)"
# g3: 1e3, " 7" and "" read as 1000, 7, 0.
expect_eq "g3 MNC" "335.7" "$(sed -n 4p .out | awk '{print $2}')"
expect_eq "unequal sizes: warned once, naming what is left out" \
  "mirdle: warning: conditions 1 and 2 differ in size (3 and 4 replicates): the near-exact P-value of 1-2 uses only the first 3 of each and leaves out column 5 of b.tsv" "$err"
expect_eq "closing newline byte" "0a" "$(tail -c1 .err | od -An -tx1 | tr -d ' ')"

# Zero sums give printf's infinities; number words and hex floats are numbers.
printf 'z1\t0\t0\nz2\t1\t3\nz3\t0x1p3\tnan\nz4\tinf\t-2\n' >zl.tsv
printf 'z1\t2\t2\nz2\t0\t0\nz3\t1\t1\nz4\t1\t1\n' >zr.tsv
run_cmd "$M" zl.tsv zr.tsv
expect_eq "first sum zero" "$(printf ' %7.2f %7.2f' inf inf)" "$(sed -n 2p .out | cut -c51-66)"
expect_eq "second sum zero" "$(printf ' %7.2f %7.2f' 0 -inf)" "$(sed -n 3p .out | cut -c51-66)"
expect_eq "hex float and nan" "$(printf '%-20s %7.1f %7.1f' z3 nan 1)" "$(sed -n 4p .out | cut -c1-36)"
# Nothing compares with a NaN: no P-value, rather than the most extreme one.
expect_eq "a NaN count: P-value nan" "nan" "$(sed -n 4p .out | awk '{print $NF}')"
expect_eq "inf word" "$(printf '%-20s %7.1f %7.1f' z4 inf 1)" "$(sed -n 5p .out | cut -c1-36)"
# Also when the NaN reaches a pair through the zeros an earlier pair replaced
# (1-3), or hides behind the ones it set (2-3).
printf 'g\t0\t0\n' >nz1.tsv; printf 'g\tnan\t2\n' >nz2.tsv; printf 'g\t1\t2\n' >nz3.tsv
run_cmd "$M" nz1.tsv nz2.tsv nz3.tsv
expect_eq "a NaN carried to other pairs: every P-value nan" "nan nan nan" "$(sed -n 2p .out | awk '{print $(NF-6), $(NF-3), $NF}')"

# The pair's P-value uses the first condition's 3 replicates of both tables.
pv() { "$PVALUE_SIM" --fixed "$@" | awk '/^Pass 0:/ {split($0, a, "= "); split(a[3], b, " / "); printf "%.5f", b[1] / b[2]}'; }
expect_eq "g1 P-value from 3 pairs" "$(pv 5 7 9 1 2 3)" "${g1##*  }"
run_cmd "$M" b.tsv a.tsv
g1r=$(sed -n 2p .out)
expect_eq "longer first condition is cut to the second's count" "$(pv 1 2 3 5 7 9)" "${g1r##*  }"

# A header-less last line without newline is still a feature; compressed
# tables read the same, with and without header (rewind).
plain=$(cat .out)
for f in b_nonl.tsv b.tsv.gz b.tsv.bz2 b.tsv.xz; do
  run_cmd "$M" a.tsv "$f"
  expect_eq "$f: status" 0 "$rc"
  run_cmd "$M" "$f" a.tsv
  expect_eq "$f first: same report" "$plain" "$out"
done
for f in a.tsv.gz a.tsv.bz2 a.tsv.xz; do
  run_cmd "$M" b.tsv "$f"
  expect_eq "$f: header skipped" "$plain" "$out"
done
# A table on a pipe cannot be rewound; its first row is still reported.
run_cmd "$M" a.tsv /dev/stdin <b.tsv
expect_eq "pipe without header: rows" 4 "$(wc -l <.out)"

# CR LF tables read like LF tables: a pair of CR LF tables, a file that mixes
# both line ends, a CR LF header, a last line ending in CR without newline,
# and a compressed CR LF table.  A carriage return elsewhere is still not
# part of a number.
sed 's/$/\r/' a.tsv >a_crlf.tsv
sed 's/$/\r/' b.tsv >b_crlf.tsv
awk 'NR % 2 {printf "%s\r\n", $0; next} {print}' b.tsv >b_mixed.tsv
printf 'g1\t1\t2\t3\t4\r\ng2\t0\t0\t0\t0\ng3\t5\t6\t7\t8\r' >b_cr_end.tsv
gzip -c b_crlf.tsv >b_crlf.tsv.gz
run_cmd "$M" b.tsv a.tsv
lf_report=$out
for pair in "b_crlf.tsv a_crlf.tsv" "b_mixed.tsv a_crlf.tsv" "b_cr_end.tsv a.tsv" "b_crlf.tsv.gz a_crlf.tsv"; do
  # shellcheck disable=SC2086
  run_cmd "$M" $pair
  expect_eq "CR LF: $pair: status" 0 "$rc"
  expect_eq "CR LF: $pair: same report as LF" "$lf_report" "$out"
done
printf 'target_id\r\ng1\t1\t2\r\n' >hdr_only_field.tsv
printf 'g1\t3\t4\n' >g1.tsv
run_cmd "$M" hdr_only_field.tsv g1.tsv
expect_eq "CR LF header alone on its line: skipped" 2 "$(wc -l <.out)"
printf 'g1\t1\r\t2\n' >cr_inside.tsv
expect_status "CR before a tab" 65 $'mirdle: Invalid abundance: 1\r' "$M" g1.tsv cr_inside.tsv
printf 'g1\t1\t2\r\r\n' >cr_twice.tsv
expect_status "two CRs before the newline" 65 $'mirdle: Invalid abundance: 2\r' "$M" g1.tsv cr_twice.tsv

# --output: report to the file, nothing on stdout; repeated: the last wins.
run_cmd "$M" --output r1.txt --output r2.txt b.tsv a.tsv
expect_eq "--output: stdout empty" "" "$out"
expect_eq "--output: earlier file empty" 0 "$(wc -c <r1.txt)"
expect_eq "--output: report" "$plain" "$(cat r2.txt)"

# --- failures in the lock-step read -------------------------------------------
: >empty.tsv
printf 'g1\t1\t2\n' >one.tsv
printf 'g1\t1\t2\ng2\t3\t4\n' >two.tsv
printf 'g1\t1\t2\ng2\t3\t4\ng3\t5\t6\n' >three.tsv
printf 'g1\t1\t2\ngX\t3\t4\n' >twoX.tsv
expect_status "empty table" 65 "mirdle: Error reading first feature." "$M" two.tsv empty.tsv
expect_status "second shorter" 65 "mirdle: Found EOF first on condition 1, should be 0." "$M" two.tsv one.tsv
expect_eq "second shorter: common rows reported" 2 "$(wc -l <.out)"
expect_status "first shorter" 65 "mirdle: Expected EOF on condition 1 after EOF on condition 0." "$M" one.tsv two.tsv
expect_status "third longer" 65 "mirdle: Expected EOF on condition 2 after EOF on condition 0." "$M" two.tsv two.tsv three.tsv
expect_status "ids out of sync" 65 "mirdle: Abundances files out of sync: g2 gX" "$M" two.tsv twoX.tsv
printf 'g1\t1\t2\ng2\t3\tabc\n' >bad.tsv
expect_status "invalid abundance" 65 "mirdle: Invalid abundance: abc" "$M" two.tsv bad.tsv
printf 'g1\t1\t2\ng2\t3\t7 \n' >blank.tsv
expect_status "trailing blank" 65 "mirdle: Invalid abundance: 7 " "$M" two.tsv blank.tsv
printf 'g1\t1\t2\ng2\t3\n' >short.tsv
expect_status "field count differs" 65 "mirdle: Wrong number of abundances on condition 1 for g2: 1, expected 2" "$M" two.tsv short.tsv
printf 'g1\ng2\n' >ids.tsv
expect_status "no replicates" 65 "mirdle: No abundance columns on condition 1 (ids.tsv) for g1" "$M" two.tsv ids.tsv
printf 'g1\t1\t2\ng2\t3\x004\n' >nul.tsv
expect_status "NUL byte in a field" 65 "mirdle: Expected newline on condition stream 1" "$M" two.tsv nul.tsv
printf 'target_id\tx\n' >hdr1.tsv
cp hdr1.tsv hdr2.tsv
run_cmd "$M" hdr1.tsv hdr2.tsv
expect_eq "header-only tables: status" 0 "$rc"
expect_eq "header-only tables: just the header" 1 "$(wc -l <.out)"

# Read errors: a truncated or corrupt compressed table ends with status 74.
seq 1 5000 | awk '{printf "g%d\t%d\t%d\n", $1, $1, $1 + 1}' >big.tsv
gzip -kc big.tsv >big.tsv.gz
head -c 3000 big.tsv.gz >trunc.tsv.gz
run_cmd "$M" big.tsv trunc.tsv.gz
expect_eq "truncated gz: status" 74 "$rc"
case "$err" in *"mirdle: Could not read condition 1 (trunc.tsv.gz)"*) ;; *) fail "truncated gz message: $err" ;; esac
run_cmd "$M" trunc.tsv.gz big.tsv
expect_eq "truncated gz as condition 0: status" 74 "$rc"

# Write errors.  A reader that goes away ends the run quietly, as it ends cat
# or grep: killed by SIGPIPE (status 141 in the shell), nothing on standard
# error but the progress dots written before.  Also when the parent ignored
# SIGPIPE, and when it blocked it (then the failed write ends the run with
# status 141).  Any other failed write gives its own reason and status 74.
only_dots() { [ -z "$(tr -d . <"$1")" ]; }
ended_how how.txt "$M" big.tsv big.tsv 2>pipe.err | head -n 1 >/dev/null
expect_eq "reader gone: killed by SIGPIPE" "signal 13" "$(cat how.txt)"
only_dots pipe.err || fail "reader gone: standard error: $(cat pipe.err)"
"$M" big.tsv big.tsv 2>pipe.err | head -n 1 >/dev/null
expect_eq "reader gone: status in the shell" 141 "${PIPESTATUS[0]}"
ended_how how.txt bash -c 'trap "" PIPE; exec "$0" big.tsv big.tsv 2>pipe.err' "$M" | head -c 10 >/dev/null
expect_eq "reader gone, SIGPIPE ignored by the parent: killed by SIGPIPE" "signal 13" "$(cat how.txt)"
only_dots pipe.err || fail "reader gone, SIGPIPE ignored: standard error: $(cat pipe.err)"
ended_how how.txt block "$M" big.tsv big.tsv 2>pipe.err | head -c 10 >/dev/null
expect_eq "reader gone, SIGPIPE blocked: status 141" "exit 141" "$(cat how.txt)"
only_dots pipe.err || fail "reader gone, SIGPIPE blocked: standard error: $(cat pipe.err)"
mkfifo report.fifo
head -c 100 report.fifo >/dev/null &
timeout 60 "$M" --output report.fifo big.tsv big.tsv 2>fifo.err
expect_eq "--output FIFO whose reader goes away: status" 141 "$?"
only_dots fifo.err || fail "--output FIFO: standard error: $(cat fifo.err)"
wait

# A feature id longer than the stream's buffer makes the row's first write
# fail; the second sum is zero, so log2(0) then sets errno before the row is
# done: only the errno taken at the failing write names the reason.
long_id=$(head -c 5000 /dev/zero | tr '\0' x)
{ printf '%s\t3\t4\n' "$long_id"; seq 1 300 | awk '{printf "g%d\t%d\t%d\n", $1, $1, $1 + 1}'; } >left.tsv
{ printf '%s\t0\t0\n' "$long_id"; seq 1 300 | awk '{printf "g%d\t%d\t%d\n", $1, ($1 % 2) * 3, 0}'; } >zeros.tsv
full="mirdle: Could not write the report: No space left on device."
run_cmd "$M" --output /dev/full two.tsv two.tsv
expect_eq "/dev/full: status" 74 "$rc"
expect_eq "/dev/full: message" "$full" "$err"
run_cmd "$M" --output /dev/full left.tsv zeros.tsv
expect_eq "/dev/full, log2(0) rows: status" 74 "$rc"
expect_eq "/dev/full, log2(0) rows: message" "$full" "${err#"${err%%[!.]*}"}"
run_cmd bash -c 'exec "$0" left.tsv zeros.tsv >/dev/full' "$M"
expect_eq "stdout on /dev/full, log2(0) rows: status" 74 "$rc"
expect_eq "stdout on /dev/full, log2(0) rows: message" "$full" "${err#"${err%%[!.]*}"}"
# The trace of --debug shares standard output with the report.
run_cmd bash -c 'exec "$0" --debug left.tsv zeros.tsv >/dev/full' "$M"
expect_eq "stdout on /dev/full with the trace: status" 74 "$rc"
expect_eq "stdout on /dev/full with the trace: message" "$full" "${err#"${err%%[!.]*}"}"

# More than 128 tables; 128 are accepted.
set -- ; for i in $(seq 1 129); do set -- "$@" two.tsv; done
expect_status "129 tables" 64 "mirdle: too many conditions: 129 (at most 128)" "$M" "$@"
shift
run_cmd "$M" "$@"
expect_eq "128 tables: status" 0 "$rc"
expect_eq "128 tables: pair columns" $((1 + 128 + 128 + 3 * 128 * 127 / 2)) "$(sed -n 2p .out | wc -w)"

# --- P-value method per pair ----------------------------------------------------
row() { awk -v id="$1" -v n="$2" 'BEGIN{printf "%s", id; for (i = 1; i <= n; i++) printf "\t%d", i * 3 + length(id); printf "\n"}'; }
row g 13 >r13.tsv; row g 12 >r12.tsv; row g 5 >r5.tsv; row g 8 >r8.tsv; row h 8 >r8h.tsv; row g 1 >r1.tsv
expect_status "near-exact beyond 12" 64 "Current limit for near-exact P-values is 12 replicates." "$M" --near-exact r13.tsv r12.tsv
expect_eq "near-exact beyond 12: row cut after the fold change" "$(printf '%-20s' g)" "$(sed -n 2p .out | cut -c1-20)"
run_cmd "$M" r13.tsv r5.tsv
expect_eq "13 against 5: library message" "near_exact_pval(): Use mann_whitney_pval() for reps > 12." "$(head -1 .err)"
expect_eq "13 against 5: neutral P-value" "1.00000" "$(sed -n 2p .out | awk '{print $NF}')"
run_cmd "$M" r1.tsv r5.tsv
expect_eq "one replicate: neutral P-value" "1.00000" "$(sed -n 2p .out | awk '{print $NF}')"
printf 'g\t1\t2\t3\t4\t5\t6\t7\t8\n' >m1.tsv
printf 'g\t9\t10\t11\t12\t13\t14\t15\t16\n' >m2.tsv
run_cmd "$M" m1.tsv m2.tsv
expect_eq "8 against 8: Mann-Whitney" "0.00078" "$(sed -n 2p .out | awk '{print $NF}')"
run_cmd "$M" --debug m1.tsv m2.tsv
expect_eq "Mann-Whitney writes no trace" 2 "$(wc -l <.out)"

# --debug: the trace sits inside the row, after the fold change, before the P-value.
run_cmd "$M" --debug two.tsv two.tsv
second=$(sed -n 2p .out)
expect_eq "debug: row starts with the id and columns" "g1" "$(echo "$second" | awk '{print $1}')"
case "$second" in *" 0.00Adjusted counts:") ;; *) fail "debug: trace does not follow the fold change: $second" ;; esac
case "$out" in *"P-value span = 0.000"$'\n\n'"  1.00000"$'\n'"g2"*) ;; *) fail "debug: P-value does not follow the trace" ;; esac

# --- progress marks -------------------------------------------------------------
seq 1 250 | awk '{printf "g%d\t1\t2\n", $1}' >f250.tsv
seq 1 99 | awk '{printf "g%d\t1\t2\n", $1}' >f99.tsv
run_cmd "$M" f250.tsv f250.tsv
expect_eq "250 features, redirected: two dots and a newline" "2e2e0a" "$(od -An -tx1 .err | tr -d ' \n')"
run_cmd "$M" f99.tsv f99.tsv
expect_eq "99 features: only the newline" "0a" "$(od -An -tx1 .err | tr -d ' \n')"
if command -v script >/dev/null; then
  script -qc "$M --output tty.txt f250.tsv f250.tsv 2>tty.err" /dev/null >/dev/null
  expect_eq "250 features on a terminal" "$(printf '100\r200\r' | od -An -tx1 | tr -d ' \n')" "$(od -An -tx1 tty.err | tr -d ' \n')"
fi

# --- examples and a real table ------------------------------------------------------
run_cmd "$M" "$SRC_DIR"/examples/control.tsv "$SRC_DIR"/examples/heat.tsv \
  "$SRC_DIR"/examples/drug.tsv "$SRC_DIR"/examples/drug_heat.tsv
expect_eq "examples: status" 0 "$rc"
expect_eq "examples: rows" 301 "$(wc -l <.out)"
expect_eq "examples: every row has the header's columns" 1 \
  "$(awk 'NR > 1 {print NF}' .out | sort -u | wc -l)"
if [ -d "$DATA_DIR/pasilla" ]; then
  run_cmd "$M" "$DATA_DIR/pasilla/untreated.tsv.gz" "$DATA_DIR/pasilla/treated.tsv.gz"
  expect_eq "pasilla: status" 0 "$rc"
  expect_eq "pasilla: one row per gene" 14600 "$(wc -l <.out)"
  expect_eq "pasilla: P-values within [0, 1]" 0 \
    "$(awk 'NR > 1 && ($NF < 0 || $NF > 1)' .out | wc -l)"
fi
# --draws=feature pins the stream that dranvel-mirdle(1) documents (seed from
# the content hash of the pair list, glibc's TYPE_3 generator): these
# P-values were computed once by the implementation of that text and must
# come out of every later version, on any machine and any thread count.
printf 'g1\t10\t12\t9\t11\t13\ng2\t0\t3\t0.5\t7\t2\n' >p5a.tsv
printf 'g1\t20\t25\t22\t30\t31\ng2\t4\t0\t9\t1.25\t6\n' >p5b.tsv
printf 'g1\t5\t8\t13\t21\t34\t55\t89\n' >p7a.tsv
printf 'g1\t90\t60\t40\t25\t15\t9\t6\n' >p7b.tsv
printf 'g1\t101\t98\t120\t87\t110\t95\t99\t103\t115\t90\t108\t100\n' >p12a.tsv
printf 'g1\t112\t121\t103\t132\t99\t117\t120\t109\t128\t114\t106\t119\n' >p12b.tsv
pinned() { # NAME "P-VALUES" ARGS...
  local name=$1 want=$2
  shift 2
  run_cmd "$M" --draws=feature --threads 2 "$@"
  expect_eq "$name: status" 0 "$rc"
  expect_eq "$name: the documented stream's P-values" "$want" "$(printf '%s\n' "$out" | tail -n +2 | awk '{ print $NF }' | paste -sd' ')"
}
pinned "5 against 5" "0.00157 0.46580" p5a.tsv p5b.tsv
pinned "7 against 7" "0.85841" p7a.tsv p7b.tsv
pinned "12 against 12" "0.00774" --near-exact p12a.tsv p12b.tsv
pinned "12 against 12, swapped" "0.00774" --near-exact p12b.tsv p12a.tsv

finish
