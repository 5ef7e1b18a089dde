#!/usr/bin/env bash
# The smallest P-value that mirdle's exhaustive near-exact method can give at
# 2, 3 and 4 replicates per condition, searched for with mirdle itself.
#
#   examples/pvalue_floor.sh [TABLE1 TABLE2]
#
# For each replicate count K, a first round of random count pairs (cleanly
# separated conditions, overlapping ones, zeros, ties) is compared by mirdle
# in one run; each further round compares small changes to the best pairs so
# far.  The result is the smallest P-value found, with its counts and
# pvalue-sim's account of it (extreme combinations over all combinations).
# Deterministic: the same seed gives the same figures.
#
# With two tables, it also reports the smallest P-value of that comparison
# and how many features reach it (for instance the pasilla or airway tables,
# see README.md).
#
# Programs: dranvel and pvalue-sim on PATH, or MIRDLE and PVALUE_SIM naming
# them.  ROUNDS (default 8) and PAIRS (candidate pairs per round, 4000) trade
# time for thoroughness; SEED (default 1) picks the random sequence.
set -euo pipefail

if [ -n "${MIRDLE:-}" ]; then mirdle=("$MIRDLE"); else mirdle=(dranvel mirdle); fi
pvalue_sim=${PVALUE_SIM:-pvalue-sim}
rounds=${ROUNDS:-8}
pairs=${PAIRS:-4000}
seed=${SEED:-1}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# ranked TABLE1 TABLE2: mirdle's report as "P-value id" lines, smallest
# P-value first, in $work/ranked.
ranked() {
  "${mirdle[@]}" --output "$work/report" "$1" "$2" 2>"$work/err" ||
    { cat "$work/err" >&2; exit 1; }
  awk 'NR > 1 { print $NF, $1 }' "$work/report" | sort -g -k1,1 -o "$work/ranked"
}

# candidates K SEED BEST_FILE: writes a.tsv and b.tsv.  With BEST_FILE empty,
# random pairs of several shapes; else (lines "id counts1... counts2...")
# those pairs and variations of them: one or two counts moved by up to a
# fifth.
candidates() {
  awk -v k="$1" -v seed="$2" -v n="$pairs" -v a="$work/a.tsv" -v b="$work/b.tsv" '
    function whole(x) { return x < 0 ? 0 : int(x + 0.5) }
    function put(id,   i, la, lb) {
      la = id; lb = id
      for (i = 1; i <= k; i++) { la = la "\t" c1[i]; lb = lb "\t" c2[i] }
      print la > a; print lb > b
    }
    BEGIN { srand(seed) }
    NF > 0 { best[++nbest] = $0 }
    END {
      # The best pairs so far stay among the candidates.
      for (m = 1; m <= nbest; m++) {
        split(best[m], f, " ")
        for (i = 1; i <= k; i++) { c1[i] = f[1 + i]; c2[i] = f[1 + k + i] }
        put("b" m)
      }
      for (m = 0; m < n; m++) {
        if (nbest == 0) {
          shape = m % 4
          for (i = 1; i <= k; i++) {
            if (shape == 0) { c1[i] = whole(1 + rand() * 1000); c2[i] = whole(1e6 + rand() * 9e6) }
            if (shape == 1) { c1[i] = whole(100 + rand() * 100); c2[i] = whole(150 + rand() * 250) }
            if (shape == 2) { c1[i] = 0; c2[i] = whole(1 + rand() * 1000) }
            if (shape == 3) { c1[i] = whole(10 + rand() * 3); c2[i] = whole(40 + rand() * 20) }
          }
        } else {
          split(best[1 + m % nbest], f, " ")
          for (i = 1; i <= k; i++) { c1[i] = f[1 + i]; c2[i] = f[1 + k + i] }
          for (moves = 1 + int(rand() * 2); moves > 0; moves--) {
            j = 1 + int(rand() * 2 * k)
            if (j <= k) c1[j] = whole(c1[j] * (0.8 + rand() * 0.4) + (rand() < 0.5 ? -1 : 1))
            else c2[j - k] = whole(c2[j - k] * (0.8 + rand() * 0.4) + (rand() < 0.5 ? -1 : 1))
          }
        }
        put("c" m)
      }
    }' "${3:-/dev/null}"
}

# counts_of ID: the counts of a candidate, condition 1's then condition 2's.
counts_of() {
  paste <(grep -P "^$1\t" "$work/a.tsv" | cut -f2-) <(grep -P "^$1\t" "$work/b.tsv" | cut -f2-) |
    tr '\t' ' '
}

echo "Smallest near-exact P-value found (exhaustive method, $rounds rounds of $pairs pairs):"
for k in 2 3 4; do
  : >"$work/best"
  for round in $(seq 0 "$rounds"); do
    candidates "$k" "$seed$k$round" "$work/best"
    ranked "$work/a.tsv" "$work/b.tsv"
    head -n 20 "$work/ranked" >"$work/top"
    while read -r _ id; do echo "$id $(counts_of "$id")"; done <"$work/top" >"$work/best"
  done
  read -r p id <"$work/top"
  counts=$(counts_of "$id")
  # shellcheck disable=SC2086
  account=$("$pvalue_sim" --fixed $counts | sed -n 's/^Pass 0: FCs sampled = [0-9]*  P-value = \([0-9]* \/ [0-9]*\) = .*/\1/p')
  printf '  %d replicates: %s = %s, for the counts %s against %s\n' "$k" "$p" "$account" \
    "$(echo "$counts" | cut -d' ' -f1-"$k")" "$(echo "$counts" | cut -d' ' -f$((k + 1))-)"
done

if [ $# -eq 2 ]; then
  ranked "$1" "$2"
  read -r p _ <"$work/ranked"
  n=$(awk -v p="$p" '$1 == p' "$work/ranked" | wc -l)
  below=$(awk '$1 < 0.05' "$work/ranked" | wc -l)
  printf 'Smallest P-value of %s against %s: %s, reached by %d features; %d features below 0.05.\n' \
    "$1" "$2" "$p" "$n" "$below"
fi
