#!/usr/bin/env bash
# Whole mirdle runs with --draws=run and --draws=feature, each on one and on
# two threads, in paired rounds: within a round the four variants run one
# after the other, in the reverse order every second round, so that all of
# them see the machine as it is at that moment.  Per variant the median wall
# time; per round the ratios feature-1 / run-1 (the cost of the stream of
# one's own) and feature-1 / feature-2 (what a second thread gains), with
# their medians and extremes (the median of two rounds is the lower); the CPU
# time, which other load on the machine disturbs less than the wall time;
# and whether the two thread counts gave the same
# report byte for byte.  The set "snakemake" times workflow/Snakefile at K
# pieces on 2 cores (one 2-thread mirdle per piece) against one 2-thread
# mirdle run over the same tables, also in alternating pairs.
#
#   bench/draws_runs.sh                     everything (about half an hour per round pair)
#   SETS="8x8 snakemake" bench/draws_runs.sh
#
# MIRDLE (default: a RelWithDebInfo build made in $WORK/prod) is the program
# timed; WORK (default <source>/build-draws) holds the tables, the reports
# and results.md.  ROUNDS (default 3); N6 (default 20000) features of the
# 6 x 6 set, N (default 2000) of the 8 x 8 and 12 x 12 --near-exact sets;
# K (default 3) pieces of the workflow; VARIANTS (default "run-1 run-2
# feature-1 feature-2") the variants timed, for instance "feature-1
# feature-2" for what a second thread gains alone.
set -euo pipefail

SRC=$(cd "$(dirname "$0")/.." && pwd)
WORK=${WORK:-$SRC/build-draws}
ROUNDS=${ROUNDS:-3}
SETS=${SETS:-6x6 8x8 12x12 snakemake}
N6=${N6:-20000}
N=${N:-2000}
K=${K:-3}
VARIANTS=${VARIANTS:-run-1 run-2 feature-1 feature-2}
SEED=20240611

mkdir -p "$WORK/tables" "$WORK/reports"
if [ -z "${MIRDLE:-}" ]; then
    cmake -S "$SRC" -B "$WORK/prod" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRANVEL_TESTS=OFF >/dev/null
    cmake --build "$WORK/prod" -j2 --target mirdle >/dev/null
    MIRDLE=$WORK/prod/mirdle/mirdle
fi
RESULTS=$WORK/results.md
T=$WORK/tables

want() {
    case " $SETS " in *" $1 "*) return 0 ;; esac
    return 1
}

# gen NAME FEATURES REPLICATES: two tables $T/NAME_1.tsv and $T/NAME_2.tsv
gen() {
    [ -f "$T/$1_2.tsv" ] || python3 "$SRC/bench/gen_tables.py" "$SEED" "$2" "$3" "$T/$1_" 2
}

# timed LABEL CMD...: runs CMD, its report in $WORK/reports/LABEL.report, its
# wall time in LABEL.time and its CPU time (user and system, all threads) in
# LABEL.cpu
timed() {
    local label=$1
    shift
    /usr/bin/time -f '%e %U %S' -o "$WORK/reports/$label.times" "$@" \
        >"$WORK/reports/$label.report" 2>"$WORK/reports/$label.err"
    cut -d' ' -f1 "$WORK/reports/$label.times" >"$WORK/reports/$label.time"
    awk '{ print $2 + $3 }' "$WORK/reports/$label.times" >"$WORK/reports/$label.cpu"
}

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# ratios A B ROUNDS LABEL: median, lowest and highest over the rounds of the
# wall time of A over that of B in the same round
ratios() {
    local a=$1 b=$2 label=$3 round
    for round in $(seq 1 "$ROUNDS"); do
        awk -v x="$(cat "$WORK/reports/$label.$a.$round.time")" \
            -v y="$(cat "$WORK/reports/$label.$b.$round.time")" 'BEGIN { printf "%.3f\n", x / y }'
    done | sort -g | awk '{ v[NR] = $1 } END { printf "%s (%s to %s)", v[int((NR + 1) / 2)], v[1], v[NR] }'
}

# paired LABEL FEATURES ARGS...: the four variants on ARGS, ROUNDS rounds
paired() {
    local label=$1 features=$2
    shift 2
    local variants round v order
    read -r -a variants <<<"$VARIANTS"
    for round in $(seq 1 "$ROUNDS"); do
        order=("${variants[@]}")
        if [ $((round % 2)) = 0 ]; then
            order=()
            for v in "${variants[@]}"; do order=("$v" "${order[@]}"); done
        fi
        for v in "${order[@]}"; do
            timed "$label.$v.$round" "$MIRDLE" --draws="${v%-*}" --threads "${v#*-}" "$@" >/dev/null
        done
    done
    # has VARIANT: whether VARIANT was timed
    has() { case " ${variants[*]} " in *" $1 "*) return 0 ;; esac; return 1; }
    local same_run=identical same_feature=identical
    cmp -s "$WORK/reports/$label.run-1.1.report" "$WORK/reports/$label.run-2.1.report" || same_run=DIFFERENT
    cmp -s "$WORK/reports/$label.feature-1.1.report" "$WORK/reports/$label.feature-2.1.report" ||
        same_feature=DIFFERENT
    {
        echo
        echo "### $label, $features features, $ROUNDS rounds"
        echo
        echo "| variant | median wall s | features/s | median CPU s |"
        echo "|---|---|---|---|"
        for v in "${variants[@]}"; do
            local m c
            m=$(for round in $(seq 1 "$ROUNDS"); do cat "$WORK/reports/$label.$v.$round.time"; done | median)
            c=$(for round in $(seq 1 "$ROUNDS"); do cat "$WORK/reports/$label.$v.$round.cpu"; done | median)
            awk -v v="$v" -v m="$m" -v f="$features" -v c="$c" \
                'BEGIN { printf "| %s | %.2f | %.0f | %.2f |\n", v, m, f / m, c }'
        done
        echo
        if has run-1 && has feature-1; then echo "- feature-1 / run-1: $(ratios feature-1 run-1 "$label")"; fi
        if has run-1 && has run-2; then
            echo "- run-1 / run-2: $(ratios run-1 run-2 "$label")"
            echo "- reports: run-1 and run-2 $same_run"
        fi
        if has feature-1 && has feature-2; then
            echo "- feature-1 / feature-2: $(ratios feature-1 feature-2 "$label")"
            echo "- reports: feature-1 and feature-2 $same_feature"
        fi
    } | tee -a "$RESULTS"
}

{
    echo "# --draws=run and --draws=feature, $(date -u +%Y-%m-%dT%H:%MZ)"
    echo
    echo "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores;" \
        "load before the runs: $(cut -d' ' -f1-3 /proc/loadavg)"
    echo
    echo "Every 30 s during the runs, the load: see load.log"
} >"$RESULTS"
cat "$RESULTS"
while sleep 30; do echo "$(date -u +%H:%M:%S) $(cut -d' ' -f1-3 /proc/loadavg)"; done >"$WORK/load.log" &
load_logger=$!
trap 'kill $load_logger' EXIT

if want 6x6; then
    gen "g6x6_$N6" "$N6" 6
    paired "6x6" "$N6" "$T/g6x6_${N6}_1.tsv" "$T/g6x6_${N6}_2.tsv"
fi
if want 8x8; then
    gen "g8x8_$N" "$N" 8
    paired "8x8 --near-exact" "$N" --near-exact "$T/g8x8_${N}_1.tsv" "$T/g8x8_${N}_2.tsv"
fi
if want 12x12; then
    gen "g12x12_$N" "$N" 12
    paired "12x12 --near-exact" "$N" --near-exact "$T/g12x12_${N}_1.tsv" "$T/g12x12_${N}_2.tsv"
fi

# The workflow from given tables to the gathered report, against one run.
if want snakemake; then
    gen "g6x6_$N6" "$N6" 6
    tables=("$T/g6x6_${N6}_1.tsv" "$T/g6x6_${N6}_2.tsv")
    for round in $(seq 1 "$ROUNDS"); do
        order=(mirdle snakemake)
        [ $((round % 2)) = 0 ] && order=(snakemake mirdle)
        for v in "${order[@]}"; do
            if [ "$v" = mirdle ]; then
                timed "workflow.mirdle.$round" "$MIRDLE" --draws=feature --threads 2 "${tables[@]}" >/dev/null
            else
                rm -rf "$WORK/workflow"
                timed "workflow.snakemake.$round" snakemake workflow/report.txt --cores 2 \
                    --set-scatter rows="$K" \
                    --snakefile "$SRC/workflow/Snakefile" --configfile "$SRC/config/config.yaml" \
                    --directory "$WORK" \
                    --config "tables=[\"${tables[0]}\",\"${tables[1]}\"]" outdir=workflow \
                    mirdle="$MIRDLE" threads=2 >/dev/null
                cmp -s "$WORK/workflow/report.txt" "$WORK/reports/workflow.mirdle.1.report" ||
                    [ ! -s "$WORK/reports/workflow.mirdle.1.report" ] ||
                    echo "workflow round $round: the report is not the single run's" >&2
            fi
        done
    done
    {
        echo
        echo "### snakemake, K = $K on 2 cores, against one mirdle --threads 2 ($N6 features, 6 x 6), $ROUNDS rounds"
        echo
        for v in mirdle snakemake; do
            m=$(for round in $(seq 1 "$ROUNDS"); do cat "$WORK/reports/workflow.$v.$round.time"; done | median)
            echo "- $v: median wall $m s"
        done
        echo "- snakemake / mirdle: $(ratios snakemake mirdle workflow)"
    } | tee -a "$RESULTS"
fi

echo >&2
echo "results in $RESULTS" >&2
