#!/bin/bash
# Broken inputs of every kind, against the installed programs (install_into
# in lib.sh): each must end with its one message and status (or, where the
# input is merely unusual, a correct report), never a crash, a hang, a short
# report or status 0 after a failure.
set -u
: "${SRC_DIR:?}" "${BUILD_DIR:?}" "${TEST_TMP:?}"
. "$(dirname "$0")/lib.sh"

t=$TEST_TMP
root=$t/root
install_into "$root"
libexec=$root/libexec/dranvel
M=$libexec/mirdle
S=$root/bin/pvalue-sim
D=$root/bin/dranvel
for p in "$M" "$S" "$D"; do [ -x "$p" ] || { echo "not installed: $p" >&2; exit 1; }; done
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}

# Every run is bounded (run_cmd uses timeout): no input may make a program
# run forever.
bounded() { timeout -k 5 "${CMD_TIMEOUT:-300}" "$@"; }

# case_progress: as expect_status, for runs long enough to write progress
# dots in front of the message (one per hundred features).
case_progress() {
  local name=$1 status=$2 message=$3
  shift 3
  run_cmd "$@"
  err=${err#"${err%%[!.]*}"}
  expect_eq "$name: status" "$status" "$rc"
  expect_eq "$name: message" "$message" "$err"
}
# one_line NAME: standard error is exactly one line.
one_line() {
  expect_eq "$1: one line on standard error" 1 "$(wc -l <"$t/.err")"
}

# --- inputs ------------------------------------------------------------------
printf 'g1\t1\t2\ng2\t3\t4\ng3\t5\t6\n' >good.tsv
printf 'g1\t1\t2\ng2\t3\t4\n' >two.tsv
: >empty.tsv
printf '\n' >blank_line.tsv
printf 'g1\t1\x002\ng2\t3\t4\ng3\t5\t6\n' >nul_first.tsv
printf 'g1\t1\t2\ng2\t3\x004\ng3\t5\t6\n' >nul_row.tsv
printf 'g1\t1\t2\r\ng2\t3\t4\r\ng3\t5\t6\r\n' >crlf.tsv
printf 'g1\t1\r2\t2\ng2\t3\t4\ng3\t5\t6\n' >cr_inside.tsv
printf 'g1\t1\t2\ng2\t3\tabc\ng3\t5\t6\n' >letters.tsv
printf 'g1\t1\t2\ng2\t3\t4 \ng3\t5\t6\n' >trailing_blank.tsv
printf 'g1\t1\t2\ng2\t3\ng3\t5\t6\n' >short_row.tsv
printf 'g1\t1\t2\ng2\t3\t4\t9\ng3\t5\t6\n' >long_row.tsv
printf 'g1\ng2\ng3\n' >ids_only.tsv
printf 'g1\t1\t2\ngX\t3\t4\ng3\t5\t6\n' >renamed.tsv
printf 'G1\t1\t2\ng2\t3\t4\ng3\t5\t6\n' >case.tsv
printf 'g1\t1\t2\ng2\t3\t4\ng3\t5\t6' >no_final_newline.tsv
printf 'g1\t1\t2\ng2\t3\t4\ng3\t5\t6\n\n' >extra_blank.tsv
printf 'target_id\n' >header_only.tsv
printf 'g1 \t1\t2\ng2\t3\t4\ng3\t5\t6\n' >id_blank.tsv
mkdir -p a_directory locked
printf 'g1\t1\t2\n' >locked/inside.tsv
printf 'g1\t1\t2\n' >unreadable.tsv
chmod 000 unreadable.tsv
chmod 000 locked

# --- tables that cannot be opened ------------------------------------------------
expect_status "missing table" 66 ": Could not open missing.tsv for read: No such file or directory." \
  "$M" good.tsv missing.tsv
expect_status "missing compressed table" 66 ": Could not open missing.tsv.gz for read: No such file or directory." \
  "$M" good.tsv missing.tsv.gz
expect_status "a directory as table" 66 ": Could not open a_directory for read: Is a directory." \
  "$M" a_directory good.tsv
expect_status "a directory named .xz" 66 ": Could not open a_directory.xz for read: Is a directory." \
  bash -c 'mkdir -p a_directory.xz && exec "$0" good.tsv a_directory.xz' "$M"
if [ "$(id -u)" != 0 ]; then
  expect_status "unreadable table" 66 ": Could not open unreadable.tsv for read: Permission denied." \
    "$M" good.tsv unreadable.tsv
  expect_status "table in a directory without search permission" 66 \
    ": Could not open locked/inside.tsv for read: Permission denied." "$M" good.tsv locked/inside.tsv
else
  echo "note: running as root, which reads any file: unreadable-table cases skipped"
fi
chmod 755 locked
chmod 644 unreadable.tsv

# --- the rows of the failure table, in the order the checks run -----------------------
expect_status "empty table" 65 "mirdle: Error reading first feature." "$M" good.tsv empty.tsv
expect_eq "empty table: nothing reported" "" "$out"
expect_status "empty first table" 65 "mirdle: Error reading first feature." "$M" empty.tsv good.tsv
expect_status "NUL byte in the first row" 65 "mirdle: Error reading first feature." "$M" good.tsv nul_first.tsv
expect_status "NUL byte in a row of condition 1" 65 "mirdle: Expected newline on condition stream 1" \
  "$M" good.tsv nul_row.tsv
expect_eq "NUL byte: rows before it reported" 2 "$(wc -l <"$t/.out")"
expect_status "NUL byte in a row of condition 0" 65 "mirdle: Expected newline on condition stream 0" \
  "$M" nul_row.tsv good.tsv
expect_status "condition 1 ends first" 65 "mirdle: Found EOF first on condition 1, should be 0." \
  "$M" good.tsv two.tsv
expect_eq "condition 1 ends first: common rows reported" 3 "$(wc -l <"$t/.out")"
expect_status "condition 2 ends first" 65 "mirdle: Found EOF first on condition 2, should be 0." \
  "$M" good.tsv good.tsv two.tsv
expect_status "condition 0 ends first" 65 "mirdle: Expected EOF on condition 1 after EOF on condition 0." \
  "$M" two.tsv good.tsv
expect_status "only condition 2 longer" 65 "mirdle: Expected EOF on condition 2 after EOF on condition 0." \
  "$M" two.tsv two.tsv good.tsv
expect_status "a blank line after the last row" 65 \
  "mirdle: Expected EOF on condition 1 after EOF on condition 0." "$M" good.tsv extra_blank.tsv
expect_status "a blank line in condition 0" 65 "mirdle: Wrong number of abundances on condition 0 for : 0, expected 2" \
  "$M" extra_blank.tsv good.tsv
expect_status "ids out of sync" 65 "mirdle: Abundances files out of sync: g2 gX" "$M" good.tsv renamed.tsv
expect_status "ids differ in case" 65 "mirdle: Abundances files out of sync: g1 G1" "$M" good.tsv case.tsv
expect_status "id with a trailing blank" 65 "mirdle: Abundances files out of sync: g1 g1 " "$M" good.tsv id_blank.tsv
expect_status "letters" 65 "mirdle: Invalid abundance: abc" "$M" good.tsv letters.tsv
expect_status "trailing blank" 65 "mirdle: Invalid abundance: 4 " "$M" good.tsv trailing_blank.tsv
expect_status "fewer fields than the first row" 65 \
  "mirdle: Wrong number of abundances on condition 1 for g2: 1, expected 2" "$M" good.tsv short_row.tsv
expect_status "more fields than the first row" 65 \
  "mirdle: Wrong number of abundances on condition 0 for g2: 3, expected 2" "$M" long_row.tsv good.tsv
expect_status "rows with only the id" 65 "mirdle: No abundance columns on condition 1 (ids_only.tsv) for g1" \
  "$M" good.tsv ids_only.tsv
expect_status "a single blank line" 65 "mirdle: No abundance columns on condition 0 (blank_line.tsv) for " \
  "$M" blank_line.tsv blank_line.tsv
row13=$(printf 'g1'; for i in $(seq 13); do printf '\t%d' "$i"; done)
printf '%s\n' "$row13" >r13.tsv
expect_status "--near-exact beyond 12 replicates" 64 "Current limit for near-exact P-values is 12 replicates." \
  "$M" --near-exact r13.tsv r13.tsv

# CRLF line endings read like LF; a carriage return inside a field is still
# not a number: one line naming it, printed as it is.
expect_status "CRLF line endings" 0 "" "$M" crlf.tsv good.tsv
expect_eq "CRLF line endings: every row reported" 4 "$(wc -l <"$t/.out")"
expect_status "carriage return inside a field" 65 $'mirdle: Invalid abundance: 1\r2' "$M" good.tsv cr_inside.tsv
one_line "carriage return inside a field"
expect_eq "carriage return inside a field: nothing reported" 1 "$(wc -l <"$t/.out")"

# --- unusual but valid -------------------------------------------------------------------
expect_status "last row without newline" 0 "" "$M" good.tsv no_final_newline.tsv
expect_eq "last row without newline: every row reported" 4 "$(wc -l <"$t/.out")"
expect_status "header-only tables" 0 "" "$M" header_only.tsv header_only.tsv
# Lines of 10 MB: a long feature id, and a row of 2.1 million abundances
# against a condition of two replicates (the near-exact method refuses that
# many pairs with its own message and the neutral P-value).
long_id=$(head -c 10500000 /dev/zero | tr '\0' x)
printf '%s\t1\t2\ng2\t3\t4\n' "$long_id" >long_id.tsv
expect_status "10 MB feature id" 0 "" "$M" long_id.tsv long_id.tsv
expect_eq "10 MB feature id: rows" 3 "$(wc -l <"$t/.out")"
expect_eq "10 MB feature id: printed whole" 10500000 "$(sed -n 2p "$t/.out" | awk '{print length($1)}')"
awk 'BEGIN { printf "g1"; for (i = 0; i < 2100000; i++) printf "\t%d.25", i % 10; printf "\n" }' >wide.tsv
expect_eq "10 MB row: size" 1 "$([ "$(wc -c <wide.tsv)" -gt 10000000 ] && echo 1)"
printf 'g1\t5\t6\n' >narrow.tsv
expect_status "10 MB row" 0 "near_exact_pval(): Use mann_whitney_pval() for reps > 12." "$M" wide.tsv narrow.tsv
expect_eq "10 MB row: the row" "$(printf '%-20s %7.1f %7.1f' g1 4.8 5.5)" "$(sed -n 2p "$t/.out" | cut -c1-36)"
expect_eq "10 MB row: neutral P-value" "1.00000" "$(sed -n 2p "$t/.out" | awk '{print $NF}')"

# Memory exhausted while a line is read: an allocation failure (69), whether
# the line buffer or rep_counts runs out first.  The address-space limit
# means nothing under sanitizers, which reserve terabytes of shadow memory.
if [ "$(cache_value DRANVEL_SANITIZE)" != ON ]; then
  vlimit=40000
  expect_status "small run within the memory limit" 0 "" bash -c "ulimit -v $vlimit && exec \"\$0\" good.tsv good.tsv" "$M"
  run_cmd bash -c "ulimit -v $vlimit && exec \"\$0\" wide.tsv narrow.tsv" "$M"
  expect_eq "10 MB row beyond the memory limit: status" 69 "$rc"
  case $err in
  "mirdle: Could not read condition 0 (wide.tsv): Cannot allocate memory.") ;;
  "mirdle: Could not allocate rep_counts.") ;;
  *) fail "10 MB row beyond the memory limit: message: $err" ;;
  esac
  one_line "10 MB row beyond the memory limit"
fi

# --- damaged compressed tables -------------------------------------------------------------
awk 'BEGIN { for (i = 1; i <= 20000; i++) printf "g%d\t%d\t%d\n", i, i % 97, i % 89 }' >big.tsv
gzip -c big.tsv >big.tsv.gz
bzip2 -c big.tsv >big.tsv.bz2
xz -c big.tsv >big.tsv.xz
flip() { # FILE OFFSET COPY: the copy with one bit of the byte at OFFSET flipped
  local byte
  cp "$1" "$3"
  byte=$(od -An -tu1 -j "$2" -N1 "$1" | tr -d ' ')
  # shellcheck disable=SC2059
  printf "$(printf '\\%03o' $((byte ^ 16)))" | dd of="$3" bs=1 seek="$2" conv=notrunc status=none
}
for ext in gz bz2 xz; do
  size=$(wc -c <big.tsv.$ext)
  head -c $((size / 2)) big.tsv.$ext >cut.tsv.$ext
  head -c $((size - 4)) big.tsv.$ext >tail_cut.tsv.$ext
  # The last bytes of each format hold a check or its framing.
  flip big.tsv.$ext $((size - 6)) flipped.tsv.$ext
  printf '' >zero.tsv.$ext
  for f in cut.tsv.$ext tail_cut.tsv.$ext flipped.tsv.$ext zero.tsv.$ext; do
    case_progress "$f as condition 1" 74 "mirdle: Could not read condition 1 ($f): Input/output error." \
      "$M" big.tsv "$f"
    case_progress "$f as condition 0" 74 "mirdle: Could not read condition 0 ($f): Input/output error." \
      "$M" "$f" big.tsv
  done
  # A bit flipped amid the data may yield wrong text before the damage is
  # found: a data message or the read error, always one line.
  flip big.tsv.$ext $((size / 2)) mid_flipped.tsv.$ext
  run_cmd "$M" big.tsv mid_flipped.tsv.$ext
  err=${err#"${err%%[!.]*}"}
  case "$rc:$err" in
  "74:mirdle: Could not read condition 1 (mid_flipped.tsv.$ext): Input/output error.") ;;
  65:mirdle:*) ;;
  *) fail "mid_flipped.tsv.$ext: status $rc, message: $err" ;;
  esac
  one_line "mid_flipped.tsv.$ext"
  # No row is reported twice, none beyond what was decoded.
  case_progress "cut.tsv.$ext: no stale rows" 74 "mirdle: Could not read condition 1 (cut.tsv.$ext): Input/output error." \
    "$M" big.tsv cut.tsv.$ext
  expect_eq "cut.tsv.$ext: rows distinct and in order" "" \
    "$(awk 'NR > 1 { n = substr($1, 2) + 0; if (n != NR - 1) { print NR; exit } }' "$t/.out")"
  case_progress "whole big.tsv.$ext" 0 "" "$M" big.tsv big.tsv.$ext
done
printf 'not compressed at all\n' >plain.tsv.gz
case_progress "plain text named .gz" 74 "mirdle: Could not read condition 1 (plain.tsv.gz): Input/output error." \
  "$M" good.tsv plain.tsv.gz

# --- writing the report ----------------------------------------------------------------------
expect_status "/dev/full as --output" 74 "mirdle: Could not write the report: No space left on device." \
  "$M" --output /dev/full good.tsv good.tsv
run_cmd bash -c 'exec "$0" good.tsv good.tsv >&-' "$M"
expect_eq "standard output closed: status" 74 "$rc"
expect_eq "standard output closed: message" "mirdle: Could not write the report: Bad file descriptor." "$err"
run_cmd bash -c 'exec "$0" --output r.txt good.tsv good.tsv >&-' "$M"
expect_eq "standard output closed, report to a file: status" 0 "$rc"
expect_eq "standard output closed, report to a file: rows" 4 "$(wc -l <r.txt)"
bounded "$M" big.tsv big.tsv 2>"$t/pipe.err" | head -c 100 >/dev/null
expect_eq "reader gone: status" 141 "${PIPESTATUS[0]}"
expect_eq "reader gone: no message" "" "$(tr -d . <"$t/pipe.err")"

# --- many tables ----------------------------------------------------------------------------
tables=()
for i in $(seq 1 129); do
  printf 'g1\t%d\t%d\ng2\t%d\t%d\n' "$i" $((i + 1)) $((i * 2)) $((i * 3)) >many_$i.tsv
  tables+=(many_$i.tsv)
done
expect_status "129 tables" 64 "mirdle: too many conditions: 129 (at most 128)" "$M" "${tables[@]}"
expect_status "128 tables" 0 "" "$M" "${tables[@]:0:128}"
expect_eq "128 tables: columns of a row" $((1 + 128 + 128 + 3 * 128 * 127 / 2)) \
  "$(sed -n 2p "$t/.out" | wc -w)"
expect_eq "128 tables: header columns" $((1 + 128 + 128 + 4 * 128 * 127 / 2)) \
  "$(sed -n 1p "$t/.out" | wc -w)"

# --- a million features, the last one out of step -----------------------------------------
awk 'BEGIN { for (i = 1; i <= 1000000; i++) printf "g%d\t%d\t%d\n", i, i % 7, i % 5 }' >million.tsv
awk 'BEGIN { for (i = 1; i < 1000000; i++) printf "g%d\t%d\t%d\n", i, i % 3, i % 11; printf "gX\t1\t2\n" }' >million_x.tsv
expect_status "10^6 features, last id differs" 65 \
  "$(printf '%.0s.' $(seq 9999))mirdle: Abundances files out of sync: g1000000 gX" \
  "$M" million.tsv million_x.tsv
expect_eq "10^6 features: rows before the fault" 1000000 "$(wc -l <"$t/.out")"
expect_eq "10^6 features: last row reported" g999999 "$(tail -n 1 "$t/.out" | awk '{print $1}')"

# --- pvalue-sim output ---------------------------------------------------------------------
run_cmd bash -c 'exec "$0" --fixed 10 12 9 101 140 123 >&-' "$S"
expect_eq "pvalue-sim, standard output closed: status" 74 "$rc"
expect_eq "pvalue-sim, standard output closed: message" \
  "pvalue-sim: cannot write standard output: Bad file descriptor" "$err"
expect_full_disk "pvalue-sim: output to /dev/full" 74 "pvalue-sim: cannot write standard output: No space left on device" \
  "$S" --fixed 10 12 9 101 140 123

# --- the dispatcher -----------------------------------------------------------------------
printf '#!/bin/sh\necho never\n' >"$libexec/not-executable"
chmod 644 "$libexec/not-executable"
mkdir -p "$libexec/a-directory"
stars=$(printf '%.0s*' $(seq 33))
banner=$(bounded "$D" no-such 2>&1 >/dev/null | head -n 8)
expect_eq "dranvel: banner first" "$stars Note $stars" "$(printf '%s\n' "$banner" | sed -n 2p)"
expect_status "dranvel: not found" 64 "$banner"$'\n\n'"$D: No no-such found in $libexec." "$D" no-such
expect_status "dranvel: a name with a slash" 64 "$banner"$'\n\n'"$D: No ../bin/dranvel found in $libexec." \
  "$D" ../bin/dranvel
long=$(printf '%.0sn' $(seq 1100))
expect_status "dranvel: a name too long for the path" 64 "$banner"$'\n\n'"$D: No $long found in $libexec." "$D" "$long"
expect_status "dranvel: entry without execute permission" 126 \
  "$banner"$'\n\n'"$D: Could not run $libexec/not-executable: Permission denied." "$D" not-executable
expect_status "dranvel: directory entry" 126 \
  "$banner"$'\n\n'"$D: Could not run $libexec/a-directory: Permission denied." "$D" a-directory
expect_status "dranvel mirdle: a failing table" 66 \
  "$banner"$'\n\n'": Could not open missing.tsv for read: No such file or directory." \
  "$D" mirdle good.tsv missing.tsv
expect_status "dranvel mirdle: bad data" 65 "$banner"$'\n\n'"mirdle: Invalid abundance: abc" \
  "$D" mirdle good.tsv letters.tsv
rm -rf "$libexec/not-executable" "$libexec/a-directory"

finish
