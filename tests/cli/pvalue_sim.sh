# pvalue-sim as a whole program: both modes, the trace, bad command lines.
. "$(dirname "$0")/lib.sh"
: "${PVALUE_SIM:?}"
S=$PVALUE_SIM

usage_text=$(printf 'Usage:   %s count1-mean count2-mean max-deviation replicates iterations\n         %s --fixed c1-count c1-count ... c2-count c2-count...\nExample: %s 100 200 .2 3 5\nExample: %s --fixed 10 12 9 101 140 123' "$S" "$S" "$S" "$S")

for args in "" "1 2 3 4" "1 2 3 4 5 6" "--fixed 1" "--fixed 1 2 3" "1 --fixed 2 3 4" \
            "100 200 .2 3 0" "100 200 .2 3 -2" "100 200 .2 -1 5" "-5 200 .2 3 5" "100 -200 .2 3 5" \
            "100 200 0 3 5" "100 200 -.2 3 5" "100 200 abc 3 5" "100 200 nan 3 5" \
            "0 200 .2 3 5" "100 2 .2 3 5" "1 200 .4 3 5" "100 200 1e300 3 5" \
            "2000000000 200 1e10 3 5"; do
  # shellcheck disable=SC2086
  expect_status "usage for '$args'" 64 "$usage_text" "$S" $args
  expect_eq "usage for '$args': stdout" "" "$out"
done

# Options come first: anything beginning with "-" that is not an option is
# refused, while -5, -.2 or -inf are numbers as before; "--" and "-" are
# arguments, of a command line of the wrong shape here.
for opt in -x --fixd --fixed=1 -h --debug; do
  case $opt in
  *=*) why="${opt%%=*} takes no value" ;;
  *) why="unknown option $opt" ;;
  esac
  expect_status "unknown option $opt" 64 "pvalue-sim: $why (see $S --help)" "$S" "$opt" 1 2 3 4
  expect_eq "unknown option $opt: stdout" "" "$out"
done
for opt in -- -; do
  expect_status "$opt first" 64 "$usage_text" "$S" "$opt" 1 2 3 4
done
for args in "-5 200 .2 3 5" "-.5 200 .2 3 5" "-inf 200 .2 3 5"; do
  # shellcheck disable=SC2086
  expect_status "negative number first: '$args'" 64 "$usage_text" "$S" $args
done
run_cmd "$S" --fixed -3 4 5 6
expect_eq "--fixed with a negative count: status" 0 "$rc"
expect_eq "--fixed with a negative count: read" "-3.000000" "$(echo "$out" | head -1)"
help_text=$("$S" --help)
for opt in --fixed --draws --help --version; do
  expect_eq "--help names $opt" 1 "$(printf '%s\n' "$help_text" | grep -c -- "^  $opt ")"
done
expect_help_and_version "$S" "$help_text" "--help" "--help 1 2" "--help --bogus"

# A reader that goes away: killed by SIGPIPE (141 in the shell), or with
# SIGPIPE blocked status 141; no message either way.
ended_how how.txt "$S" 100 200 .2 3 20000 2>pipe.err | head -n 1 >/dev/null
expect_eq "reader gone: killed by SIGPIPE" "signal 13" "$(cat how.txt)"
expect_eq "reader gone: no message" "" "$(cat pipe.err)"
ended_how how.txt block "$S" 100 200 .2 3 20000 2>pipe.err | head -n 1 >/dev/null
expect_eq "reader gone, SIGPIPE blocked: status 141" "exit 141" "$(cat how.txt)"
expect_eq "reader gone, SIGPIPE blocked: no message" "" "$(cat pipe.err)"

# --fixed alone: two "Adjusted counts:" blocks with no pairs, both P-values 1.
run_cmd "$S" --fixed
expect_eq "--fixed alone: status" 0 "$rc"
expect_eq "--fixed alone: output" "$(printf 'Adjusted counts:\nAdjusted counts:\nExact P-value = 1.000  Mann-Whitney = 1.000')" "$out"

# Four counts are fixed mode with two counts per condition.
run_cmd "$S" --fixed 1 2 3 4
expect_eq "fixed 1 2 / 3 4: counts printed" "$(printf '1.000000\n2.000000\n3.000000\n4.000000')" "$(echo "$out" | head -4)"
expect_eq "fixed 1 2 / 3 4: adjusted twice" 2 "$(echo "$out" | grep -c '^Adjusted counts:$')"
expect_eq "fixed 1 2 / 3 4: observed" "Observed: FC = 2.333  1 / Observed FC = 0.429" "$(echo "$out" | grep '^Observed')"
expect_eq "fixed 1 2 / 3 4: pass" "Pass 0: FCs sampled = 66  P-value = 12 / 66 = 0.182" "$(echo "$out" | grep '^Pass')"
expect_eq "fixed 1 2 / 3 4: result" "Exact P-value = 0.182  Mann-Whitney = 1.000" "$(echo "$out" | tail -1)"
expect_eq "fixed 1 2 / 3 4: twelve records" 12 "$(echo "$out" | grep -c -E '^ ?[0-9]+ +[0-9]+, +[0-9]+   FC = ')"

# Exact ties count whichever condition comes first, though the traced fold
# change differs in its last bit.
run_cmd "$S" --fixed 23 25 14 8
expect_eq "swapped 14 8 / 23 25" "Pass 0: FCs sampled = 66  P-value = 12 / 66 = 0.182" "$(echo "$out" | grep '^Pass')"
for counts in "4454 5175 6518 2 2 2" "2 2 2 4454 5175 6518"; do
    run_cmd "$S" --fixed $counts
    expect_eq "three pairs, $counts" "Pass 0: FCs sampled = 4060  P-value = 110 / 4060 = 0.027" \
        "$(echo "$out" | grep '^Pass')"
done
run_cmd "$S" --fixed 10 12 9 11 20 25 22 30
expect_eq "four pairs" "FCs > 2.310 = 1237      FCs < 0.433 = 1237 " "$(echo "$out" | grep '^FCs')"

# All of condition 1 zero, some of condition 2: the second adjustment replaces
# condition 2's zeros from condition 1's new sum.
run_cmd "$S" --fixed 0 0 6 0
expect_eq "double adjustment" "$(printf 'Adjusted counts:\n0.003000 6.000000\n0.003000 0.000000\nAdjusted counts:\n0.003000 6.000000\n0.003000 0.000003')" \
  "$(echo "$out" | sed -n '5,10p')"

# One replicate per condition: neutral 1.000 without a second adjustment.
run_cmd "$S" --fixed 3 5
expect_eq "one pair: status" 0 "$rc"
expect_eq "one pair: result" "Exact P-value = 1.000  Mann-Whitney = 1.000" "$(echo "$out" | tail -1)"
expect_eq "one pair: adjusted once" 1 "$(echo "$out" | grep -c '^Adjusted counts:$')"

# Thirteen replicates: refusal on stderr, Mann-Whitney on the adjusted counts.
args=$(seq 1 13; seq 14 26)
# shellcheck disable=SC2086
run_cmd "$S" --fixed $args
expect_eq "13 pairs: refusal" "near_exact_pval(): Use mann_whitney_pval() for reps > 12." "$err"
expect_eq "13 pairs: result" "Exact P-value = 1.000  Mann-Whitney = 0.000" "$(echo "$out" | tail -1)"

# Random mode: the range line, five tables, counts within their ranges.
run_cmd "$S" 100 200 .2 3 5
expect_eq "random: status" 0 "$rc"
expect_eq "random: range line" "count1 = 100 +/- to up to 20%, count2 = 200 +/- up to 20%" "$(echo "$out" | sed -n 2p)"
expect_eq "random: five tables" 5 "$(echo "$out" | grep -c '^Cond1 Cond2 FC      1/FC$')"
expect_eq "random: counts in range" 0 \
  "$(echo "$out" | awk '/^Cond1/ {t = 1; n = 0; next} t && n < 3 && NF == 2 {n++; if ($1 < 80 || $1 > 119 || $2 < 160 || $2 > 239 || $1 != int($1)) bad++} END {print bad + 0}')"
run_cmd "$S" 10 10 .25 4 1
expect_eq "random: half-integer counts" 0 \
  "$(echo "$out" | sed -n '/^Cond1/,/^Adjusted/p' | sed -n '2,5p' | awk '{if ($1 < 7 || $1 > 12) bad++} END {print bad + 0}')"
expect_eq "random: trace uses exact values" 1 \
  "$(echo "$out" | sed -n '/^Adjusted/,/^Observed/p' | grep -c -E '^(7|8|9|10|11)\.500000 (7|8|9|10|11)\.500000$' | awk '{print ($1 == 4) ? 1 : 0}')"
run_cmd "$S" 100 200 .2 0 2
expect_eq "random: no replicates" "$(printf '\ncount1 = 100 +/- to up to 20%%, count2 = 200 +/- up to 20%%\nCond1 Cond2 FC      1/FC\nCond1 Cond2 FC      1/FC\nAdjusted counts:\nExact P-value = 1.000  Mann-Whitney = 1.000')" "$out"
run_cmd "$S" 100 200 .2 13 1
expect_eq "random: 13 replicates refused" "near_exact_pval(): Use mann_whitney_pval() for reps > 12." "$err"

# Five or more pairs: five passes and the span line.
run_cmd "$S" --fixed 3 6 9 12 15 8 11 14 17 20
expect_eq "five pairs: passes" 5 "$(echo "$out" | grep -c '^Pass ')"
expect_eq "five pairs: possible FCs" "90 choose 5 = 43949268 possible FCs from 5 pairs." "$(echo "$out" | grep 'possible FCs')"
expect_eq "five pairs: one span line" 1 "$(echo "$out" | grep -c '^P-value span = ')"
# A sampled pass counts the observed combination once more in both.
expect_eq "five pairs: (extreme + 1) / (sampled + 1)" 5 \
    "$(echo "$out" | awk '/^Pass / { if ($11 == $6 + 1 && $9 >= 1) n++ } END { print n + 0 }')"

# Output that cannot be written is a failure.
"$S" --fixed 1 2 3 4 >/dev/full 2>full.err
expect_eq "/dev/full: status" 74 "$?"
# --draws=feature traces one row of mirdle --draws=feature alone: its first
# pass is that row's P-value, whatever came before it; the later passes
# continue the row's own stream, and the conditions swapped give the same
# passes.
if [ -n "${MIRDLE:-}" ]; then
  printf 'g1\t0\t12\t9\t11\t13\t8\n' >s6a.tsv
  printf 'g1\t20\t25\t0\t30\t31\t27\n' >s6b.tsv
  run_cmd "$MIRDLE" --draws=feature s6a.tsv s6b.tsv
  row_p=$(printf '%s\n' "$out" | tail -n 1 | awk '{ print $NF }')
  run_cmd "$S" --draws=feature --fixed 0 12 9 11 13 8 20 25 0 30 31 27
  expect_eq "--draws=feature: status" 0 "$rc"
  passes=$(printf '%s\n' "$out" | grep '^Pass ')
  expect_eq "--draws=feature: first pass is mirdle's row" "$row_p" \
    "$(printf '%s\n' "$passes" | head -n 1 | awk '{ printf "%.5f", $9 / $11 }')"
  run_cmd "$S" --draws feature --fixed 20 25 0 30 31 27 0 12 9 11 13 8
  expect_eq "--draws=feature: conditions swapped, same passes" "$passes" "$(printf '%s\n' "$out" | grep '^Pass ')"
  run_cmd "$S" --fixed 0 12 9 11 13 8 20 25 0 30 31 27
  [ "$passes" != "$(printf '%s\n' "$out" | grep '^Pass ')" ] || fail "--draws=run gave the passes of --draws=feature"
fi
expect_status "--draws with a bad mode" 64 "pvalue-sim: --draws rows: give run or feature" "$S" --draws=rows --fixed 1 2

finish
