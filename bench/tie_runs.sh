#!/usr/bin/env bash
# Whole mirdle runs of several builds (of other revisions, say) in paired
# rounds: every round runs each build once on the same tables, the order
# rotating from round to round so that the load of a shared host falls on
# all of them alike.  Prints every wall time, the median per build, the
# median over the rounds of (first build's time / this build's time) and of
# (SAME_AS's time / this build's time), each with the lowest and highest
# round, and whether each build's report is byte for byte that of SAME_AS.
#
#   bench/tie_runs.sh LABEL=PATH/TO/mirdle [LABEL=PATH/TO/mirdle ...]
#
# ROUNDS (default 5) rounds per set.  SETS (default "airway pasilla gen
# frac"): the real tables in DATA_DIR (default <source>/../shared/data, read
# decompressed once), a generated 2 x 4 set (gen_tables.py: whole counts,
# many zeros) and the same set with every count scaled by a factor of its
# own (fractions, the zeros kept for the adjustment).  WORK (default
# <source>/out/tie_runs) holds the tables and reports.  SAME_AS (default the
# second label) is the build the others' reports are compared with.
set -euo pipefail

SRC=$(cd "$(dirname "$0")/.." && pwd)
DATA_DIR=${DATA_DIR:-$SRC/../shared/data}
WORK=${WORK:-$SRC/out/tie_runs}
ROUNDS=${ROUNDS:-5}
SETS=${SETS:-airway pasilla gen frac}
[ $# -ge 1 ] || { sed -n '2,18p' "$0" >&2; exit 64; }

labels=() bins=()
for a in "$@"; do
    labels+=("${a%%=*}")
    bins+=("${a#*=}")
done
SAME_AS=${SAME_AS:-${labels[1]:-${labels[0]}}}
mkdir -p "$WORK/tables" "$WORK/reports"

tables_of() {
    local t=$WORK/tables
    case $1 in
    airway)
        for c in control treated; do
            [ -f "$t/airway_$c.tsv" ] || zcat "$DATA_DIR/airway/$c.tsv.gz" >"$t/airway_$c.tsv"
        done
        echo "$t/airway_control.tsv $t/airway_treated.tsv" ;;
    pasilla)
        for c in untreated treated; do
            [ -f "$t/pasilla_$c.tsv" ] || zcat "$DATA_DIR/pasilla/$c.tsv.gz" >"$t/pasilla_$c.tsv"
        done
        echo "$t/pasilla_untreated.tsv $t/pasilla_treated.tsv" ;;
    gen)
        [ -f "$t/gen_2.tsv" ] || python3 "$SRC/bench/gen_tables.py" 7 20000 4 "$t/gen_" 2
        echo "$t/gen_1.tsv $t/gen_2.tsv" ;;
    frac)
        tables_of gen >/dev/null
        for c in 1 2; do
            [ -f "$t/frac_$c.tsv" ] || awk -v seed="$c" 'BEGIN { FS = OFS = "\t"; srand(seed) }
                NR == 1 { print; next }
                { for (i = 2; i <= NF; ++i) if ($i != 0) $i = sprintf("%.17g", $i * (0.3 + 2 * rand())); print }' \
                "$t/gen_$c.tsv" >"$t/frac_$c.tsv"
        done
        echo "$t/frac_1.tsv $t/frac_2.tsv" ;;
    *) echo "unknown set $1" >&2; exit 64 ;;
    esac
}

echo "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores"
n=${#labels[@]}
for set in $SETS; do
    read -r -a files <<<"$(tables_of "$set")"
    echo "== $set: $ROUNDS rounds, load before: $(cut -d' ' -f1-3 /proc/loadavg)"
    declare -A wall=()
    for round in $(seq 1 "$ROUNDS"); do
        line="round $round:"
        for k in $(seq 0 $((n - 1))); do
            i=$(((k + round - 1) % n))
            out=$WORK/reports/$set.${labels[$i]}
            /usr/bin/time -f '%e' -o "$out.time" "${bins[$i]}" --output "$out.report" "${files[@]}" 2>/dev/null
            wall[$i,$round]=$(cat "$out.time")
            line+=" ${labels[$i]} ${wall[$i,$round]}"
        done
        echo "$line"
    done
    echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
    base=0
    for i in $(seq 0 $((n - 1))); do
        [ "${labels[$i]}" = "$SAME_AS" ] && base=$i
    done
    for i in $(seq 0 $((n - 1))); do
        times="" ratios="" same_ratios=""
        for round in $(seq 1 "$ROUNDS"); do
            times+=" ${wall[$i,$round]}"
            ratios+=" $(awk -v a="${wall[0,$round]}" -v b="${wall[$i,$round]}" 'BEGIN { printf "%.4f", a / b }')"
            same_ratios+=" $(awk -v a="${wall[$base,$round]}" -v b="${wall[$i,$round]}" 'BEGIN { printf "%.4f", a / b }')"
        done
        if cmp -s "$WORK/reports/$set.${labels[$i]}.report" "$WORK/reports/$set.$SAME_AS.report"; then
            same="report identical to $SAME_AS's"
        else
            same="report differs from $SAME_AS's"
        fi
        echo "$times" "$ratios" "$same_ratios" | awk -v l="${labels[$i]}" -v first="${labels[0]}" -v base="$SAME_AS" -v r="$ROUNDS" -v same="$same" '
            function median(a, n,   i, j, t) {
                for (i = 2; i <= n; ++i) for (j = i; j > 1 && a[j - 1] > a[j]; --j) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
                return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
            }
            { for (i = 1; i <= r; ++i) { t[i] = $i; q[i] = $(r + i); b[i] = $(2 * r + i) }
              m = median(t, r); mq = median(q, r); mb = median(b, r)
              printf "%-10s median %.2f s   %s/%s %.2fx [%.2fx, %.2fx]   %s/%s %.2fx [%.2fx, %.2fx]   %s\n",
                     l, m, first, l, mq, q[1], q[r], base, l, mb, b[1], b[r], same }'
    done
    unset wall
done
