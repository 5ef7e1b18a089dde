#!/usr/bin/env bash
# Whole mirdle runs, production build against reference build (the plain
# counting kernels and the C library's random()), on generated tables and on
# the real RNA-seq tables: wall time, features per second, peak resident
# memory, and a byte-for-byte comparison of the two reports.  Wall time is
# what /usr/bin/time reports: run it on an otherwise idle machine.
#
#   bench/whole_runs.sh            everything (the reference build takes a while)
#   QUICK=1 bench/whole_runs.sh    smaller generated sets, for a smoke test
#
# WORK (default: <source>/build-whole) holds the two builds, the generated
# tables, the reports and results.md.  N (default 20000) is the number of
# features of the generated 2 x 4, 3 x 3 and 2 x 6 sets; N_SAMPLED (default
# N) that of the 2 x 10 --near-exact set, which the production build runs
# whole; REF_SUBSET_SAMPLED (default 1000) how many of its features both
# builds run for the comparison (the reference build needs about a third of
# a second per such feature, so 20,000 would keep it busy for hours).
# N_2X6 (default N) the number of features of the 2 x 6 set.  SETS (default
# all of them: "2x4 3x3 2x6 2x10 airway airway-norm pasilla scale before")
# limits the run to the sets named.
#
# The set "before" runs this tree's mirdle with 1 and 2 threads against the
# build of an earlier revision (BEFORE, default the one before the content-
# seeded shuffle and the pairs-of-pairs counting; built into $WORK/before)
# and, where Rscript with edgeR is installed, against edgeR's exact test
# (bench/edger.R): airway, pasilla, the generated 2 x 4 set and 1,000
# against 1,000 replicates x 2,000 features (N_MW), ROUNDS (default 3)
# rounds, the order of the programs alternating from one round to the next;
# per program the median wall time and peak memory, and the speed-up as the
# median of the per-round ratios.  airway-norm times the production mirdle on the
# airway tables divided by their size factors (dranvel normalize) against the
# raw ones, in ROUNDS (default 3) alternating pairs; with QUICK=1 on the
# first 2000 genes, one pair.
set -euo pipefail

SRC=$(cd "$(dirname "$0")/.." && pwd)
WORK=${WORK:-$SRC/build-whole}
DATA_DIR=${DATA_DIR:-$SRC/../shared/data}
QUICK=${QUICK:-0}
REF_SUBSET_SAMPLED=${REF_SUBSET_SAMPLED:-1000}
JOBS=${JOBS:-2}
SEED=20240611
SETS=${SETS:-2x4 3x3 2x6 2x10 airway airway-norm pasilla scale before}
BEFORE=${BEFORE:-dfdfdb3}

# want NAME: whether SETS names the set
want() {
    case " $SETS " in *" $1 "*) return 0 ;; esac
    return 1
}

mkdir -p "$WORK/tables" "$WORK/reports"
RESULTS=$WORK/results.md

build() {
    local dir=$1 ref=$2
    cmake -S "$SRC" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRANVEL_TESTS=OFF \
        -DDRANVEL_REFERENCE_KERNELS="$ref" >/dev/null
    cmake --build "$dir" -j"$JOBS" --target mirdle >/dev/null
}

echo "building production and reference mirdle in $WORK" >&2
build "$WORK/prod" OFF
build "$WORK/ref" ON
PROD=$WORK/prod/mirdle/mirdle
REF=$WORK/ref/mirdle/mirdle

# gen NAME FEATURES REPLICATES CONDITIONS: tables $WORK/tables/NAME_<c>.tsv
gen() {
    local name=$1 features=$2 reps=$3 conds=$4
    if [ ! -f "$WORK/tables/${name}_$conds.tsv" ]; then
        python3 "$SRC/bench/gen_tables.py" "$SEED" "$features" "$reps" \
            "$WORK/tables/${name}_" "$conds"
    fi
}

# subset NAME ROWS CONDITIONS: the header and the first ROWS features
subset() {
    local name=$1 rows=$2 conds=$3 c
    for c in $(seq 1 "$conds"); do
        head -n $((rows + 1)) "$WORK/tables/${name}_$c.tsv" >"$WORK/tables/${name}_sub${rows}_$c.tsv"
    done
}

# one BUILD LABEL FEATURES -- ARGS...: runs one mirdle, prints "wall rss"
one() {
    local bin=$1 label=$2
    shift 2
    /usr/bin/time -f '%e %M' -o "$WORK/reports/$label.time" \
        "$bin" "$@" >"$WORK/reports/$label.report" 2>"$WORK/reports/$label.err"
    cat "$WORK/reports/$label.time"
}

row() {
    local label=$1 features=$2 which=$3 wall=$4 rss=$5 same=$6
    awk -v l="$label" -v f="$features" -v w="$which" -v t="$wall" -v r="$rss" -v s="$same" \
        'BEGIN { printf "| %s | %s | %s | %.2f | %.0f | %.1f | %s |\n", l, f, w, t, (t > 0 ? f / t : 0), r / 1024, s }' |
        tee -a "$RESULTS"
}

# compare LABEL FEATURES ARGS...: both builds on the same arguments (with
# REUSE_REF=1, a reference run already in $WORK/reports is not repeated: the
# reference build does not change when the production kernels do)
compare() {
    local label=$1 features=$2
    shift 2
    local p r same ratio
    p=$(one "$PROD" "$label.prod" "$@")
    if [ "${REUSE_REF:-0}" = 1 ] && [ -s "$WORK/reports/$label.ref.time" ]; then
        r=$(cat "$WORK/reports/$label.ref.time")
    else
        r=$(one "$REF" "$label.ref" "$@")
    fi
    if cmp -s "$WORK/reports/$label.prod.report" "$WORK/reports/$label.ref.report"; then
        same=identical
    else
        same=DIFFERENT
    fi
    row "$label" "$features" production ${p% *} ${p#* } "$same"
    row "$label" "$features" reference ${r% *} ${r#* } "$same"
    ratio=$(awk -v a="${r% *}" -v b="${p% *}" 'BEGIN { printf "%.1f", (b > 0 ? a / b : 0) }')
    echo "|  |  | speed-up | ${ratio}x |  |  |  |" | tee -a "$RESULTS"
}

# only LABEL FEATURES ARGS...: the production build alone
only() {
    local label=$1 features=$2
    shift 2
    local p
    p=$(one "$PROD" "$label.prod" "$@")
    row "$label" "$features" production ${p% *} ${p#* } "-"
}

{
    echo "# Whole runs, $(date -u +%Y-%m-%dT%H:%MZ)"
    echo
    echo "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores;" \
        "load before the runs: $(cut -d' ' -f1-3 /proc/loadavg)"
    echo
    echo "| set | features | build | wall s | features/s | peak RSS MiB | reports |"
    echo "|---|---|---|---|---|---|---|"
} >"$RESULTS"
cat "$RESULTS"

N=${N:-20000}
[ "$QUICK" = 1 ] && N=2000
N_2X6=${N_2X6:-$N}
N_SAMPLED=${N_SAMPLED:-$N}
T=$WORK/tables

if want 2x4; then
    gen g2x4 $N 4 2
    compare "2x4" $N "$T/g2x4_1.tsv" "$T/g2x4_2.tsv"
fi
if want 3x3; then
    gen g3x3 $N 3 3
    compare "3x3" $N "$T/g3x3_1.tsv" "$T/g3x3_2.tsv" "$T/g3x3_3.tsv"
fi
if want 2x6; then
    gen g2x6 $N 6 2
    if [ "$N_2X6" = "$N" ]; then
        compare "2x6" $N "$T/g2x6_1.tsv" "$T/g2x6_2.tsv"
    else
        subset g2x6 "$N_2X6" 2
        compare "2x6 (first $N_2X6)" "$N_2X6" "$T/g2x6_sub${N_2X6}_1.tsv" "$T/g2x6_sub${N_2X6}_2.tsv"
    fi
fi
if want 2x10; then
    gen g2x10 $N 10 2
    subset g2x10 "$N_SAMPLED" 2
    only "2x10 --near-exact (first $N_SAMPLED)" "$N_SAMPLED" --near-exact \
        "$T/g2x10_sub${N_SAMPLED}_1.tsv" "$T/g2x10_sub${N_SAMPLED}_2.tsv"
    SUB=$REF_SUBSET_SAMPLED
    [ "$QUICK" = 1 ] && SUB=100
    subset g2x10 "$SUB" 2
    compare "2x10 --near-exact (first $SUB)" "$SUB" --near-exact "$T/g2x10_sub${SUB}_1.tsv" \
        "$T/g2x10_sub${SUB}_2.tsv"
fi

if want airway; then
    compare "airway 4 v 4" 64102 "$DATA_DIR/airway/control.tsv.gz" "$DATA_DIR/airway/treated.tsv.gz"
fi
if want pasilla; then
    compare "pasilla 4 v 3" 14599 "$DATA_DIR/pasilla/untreated.tsv.gz" "$DATA_DIR/pasilla/treated.tsv.gz"
fi

# Normalised tables hold fractions where the raw ones hold whole counts:
# both through the same production mirdle, raw and normalised in turn (the
# order alternating between rounds), and the ratio of the pair's wall times.
if want airway-norm; then
    if [ ! -f "$DATA_DIR/airway/control.tsv.gz" ] || [ ! -f "$DATA_DIR/airway/treated.tsv.gz" ]; then
        echo "airway-norm: no airway tables in $DATA_DIR, skipped" >&2
    else
        cmake --build "$WORK/prod" -j"$JOBS" --target normalize >/dev/null
        raw=("$DATA_DIR/airway/control.tsv.gz" "$DATA_DIR/airway/treated.tsv.gz")
        features=64102
        rounds=${ROUNDS:-3}
        if [ "$QUICK" = 1 ]; then
            features=2000
            rounds=1
            for c in control treated; do
                # awk reads to the end: head would leave gzip a broken pipe.
                gzip -dc "$DATA_DIR/airway/$c.tsv.gz" | awk -v n=$((features + 1)) 'NR <= n' \
                    >"$T/airway_first_$c.tsv"
            done
            raw=("$T/airway_first_control.tsv" "$T/airway_first_treated.tsv")
        fi
        rm -rf "$T/airway_norm"
        "$WORK/prod/normalize/normalize" -o "$T/airway_norm" "${raw[@]}" \
            >"$WORK/reports/airway-norm.factors" 2>"$WORK/reports/airway-norm.normalize.err"
        normalised=()
        for p in "${raw[@]}"; do
            name=$(basename "$p")
            normalised+=("$T/airway_norm/${name%.gz}")
        done
        ratios=()
        for round in $(seq 1 "$rounds"); do
            if [ $((round % 2)) = 1 ]; then
                r=$(one "$PROD" "airway-norm.raw.$round" "${raw[@]}")
                n=$(one "$PROD" "airway-norm.normalised.$round" "${normalised[@]}")
            else
                n=$(one "$PROD" "airway-norm.normalised.$round" "${normalised[@]}")
                r=$(one "$PROD" "airway-norm.raw.$round" "${raw[@]}")
            fi
            row "airway 4 v 4 raw, round $round" "$features" production ${r% *} ${r#* } "-"
            row "airway 4 v 4 normalised, round $round" "$features" production ${n% *} ${n#* } "-"
            ratios+=("$(awk -v a="${n% *}" -v b="${r% *}" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')")
        done
        median=$(printf '%s\n' "${ratios[@]}" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
        echo "|  |  | normalised / raw, median of $rounds | ${median}x |  |  |  |" | tee -a "$RESULTS"
    fi
fi

# Growth with the number of features: 2 x 2 (near-exact, 66 combinations per
# feature), so that parsing and formatting carry a visible share of the cost.
if want scale; then
    for n in 10000 100000 1000000; do
        [ "$QUICK" = 1 ] && [ $n -gt 100000 ] && continue
        gen "s$n" $n 2 2
        compare "2x2 scale $n" $n "$T/s${n}_1.tsv" "$T/s${n}_2.tsv"
    done
fi

# paired LABEL FEATURES TABLES...: this tree's mirdle on 1 and 2 threads, the
# earlier build and edgeR, in turn, ROUNDS times; the rows of whole numbers
# with 2 to 4 replicates compared between the two builds.
paired() {
    local label=$1 features=$2
    shift 2
    local rounds=${ROUNDS:-3} round v
    local -a variants=(after-1 after-2 before)
    [ -n "$EDGER" ] && variants+=(edger)
    for round in $(seq 1 "$rounds"); do
        local -a order=("${variants[@]}")
        if [ $((round % 2)) = 0 ]; then
            order=()
            for ((v = ${#variants[@]} - 1; v >= 0; --v)); do order+=("${variants[v]}"); done
        fi
        for v in "${order[@]}"; do
            case $v in
            after-1) one "$PROD" "$label.after-1.$round" --threads 1 "$@" >/dev/null ;;
            after-2) one "$PROD" "$label.after-2.$round" --threads 2 "$@" >/dev/null ;;
            before) one "$BEFORE_BIN" "$label.before.$round" "$@" >/dev/null ;;
            edger)
                /usr/bin/time -f '%e %M' -o "$WORK/reports/$label.edger.$round.time" \
                    Rscript "$SRC/bench/edger.R" "$@" "$WORK/reports/$label.edger.tsv" \
                    >/dev/null 2>"$WORK/reports/$label.edger.err"
                ;;
            esac
        done
    done
    local r1="$WORK/reports/$label.after-1.1.report"
    local same_threads=identical
    cmp -s "$r1" "$WORK/reports/$label.after-2.1.report" || same_threads=DIFFERENT
    local whole
    whole=$(same_whole_rows "$r1" "$WORK/reports/$label.before.1.report" "$@")
    for v in "${variants[@]}"; do
        local walls rss median_wall median_rss ratio
        walls=$(for round in $(seq 1 "$rounds"); do cut -d' ' -f1 "$WORK/reports/$label.$v.$round.time"; done)
        rss=$(for round in $(seq 1 "$rounds"); do cut -d' ' -f2 "$WORK/reports/$label.$v.$round.time"; done)
        median_wall=$(printf '%s\n' $walls | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
        median_rss=$(printf '%s\n' $rss | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
        ratio=$(for round in $(seq 1 "$rounds"); do
            awk -v a="$(cut -d' ' -f1 "$WORK/reports/$label.$v.$round.time")" \
                -v b="$(cut -d' ' -f1 "$WORK/reports/$label.after-1.$round.time")" \
                'BEGIN { printf "%.2f\n", (b > 0 ? a / b : 0) }'
        done | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
        awk -v l="$label" -v f="$features" -v w="$v" -v t="$median_wall" -v r="$median_rss" \
            -v x="$ratio" -v s="threads $same_threads; whole-number rows $whole" \
            'BEGIN { printf "| %s | %s | %s | %.2f | %.0f | %.1f | %sx of after-1; %s |\n", l, f, w, t, (t > 0 ? f / t : 0), r / 1024, x, s }' |
            tee -a "$RESULTS"
    done
}

# same_whole_rows REPORT_A REPORT_B TABLE1 TABLE2: how the two reports
# compare on the rows whose counts are all whole numbers without a zero (the
# P-values there never depended on the order of the pair list).
same_whole_rows() {
    local a=$1 b=$2 t1=$3 t2=$4
    paste <(zcat -f "$t1") <(zcat -f "$t2") | awk -v a="$a" -v b="$b" '
        BEGIN { FS = "\t" }
        NR == 1 && $1 == "target_id" { header = 1; next }
        {
            whole = 1
            for (i = 2; i <= NF; ++i)
                if ($i != $1 && ($i !~ /^[0-9]+$/ || $i + 0 == 0))
                    whole = 0
            keep[NR - header] = whole
        }
        END {
            getline x < a; getline y < b
            n = 0; differ = 0
            while ((getline x < a) > 0 && (getline y < b) > 0) {
                ++row
                if (!keep[row]) continue
                ++n
                if (x != y) ++differ
            }
            printf "%s of %d differ", differ, n
        }'
}

if want before; then
    if [ ! -x "$WORK/before/build/mirdle/mirdle" ]; then
        echo "building mirdle of $BEFORE in $WORK/before" >&2
        rm -rf "$WORK/before"
        mkdir -p "$WORK/before/src"
        git -C "$SRC" archive "$BEFORE" | tar -x -C "$WORK/before/src"
        cmake -S "$WORK/before/src" -B "$WORK/before/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DDRANVEL_TESTS=OFF >/dev/null
        cmake --build "$WORK/before/build" -j"$JOBS" --target mirdle >/dev/null
    fi
    BEFORE_BIN=$WORK/before/build/mirdle/mirdle
    EDGER=
    if command -v Rscript >/dev/null && Rscript -e 'suppressMessages(library(edgeR))' 2>/dev/null; then
        EDGER=yes
    fi
    {
        echo
        echo "Against $BEFORE and edgeR: wall s and peak memory are medians of ${ROUNDS:-3} rounds"
        echo
        echo "| set | features | program | wall s | features/s | peak RSS MiB | notes |"
        echo "|---|---|---|---|---|---|---|"
    } | tee -a "$RESULTS"
    if [ -f "$DATA_DIR/airway/control.tsv.gz" ]; then
        for c in control treated; do zcat "$DATA_DIR/airway/$c.tsv.gz" >"$T/airway_$c.tsv"; done
        paired "airway 4 v 4" 64102 "$T/airway_control.tsv" "$T/airway_treated.tsv"
    fi
    if [ -f "$DATA_DIR/pasilla/untreated.tsv.gz" ]; then
        for c in untreated treated; do zcat "$DATA_DIR/pasilla/$c.tsv.gz" >"$T/pasilla_$c.tsv"; done
        paired "pasilla 4 v 3" 14599 "$T/pasilla_untreated.tsv" "$T/pasilla_treated.tsv"
    fi
    gen g2x4 $N 4 2
    paired "2x4" $N "$T/g2x4_1.tsv" "$T/g2x4_2.tsv"
    N_MW=${N_MW:-2000}
    [ "$QUICK" = 1 ] && N_MW=200
    gen "mw$N_MW" "$N_MW" 1000 2
    EDGER_WAS=$EDGER
    EDGER=
    paired "1000 v 1000 Mann-Whitney" "$N_MW" "$T/mw${N_MW}_1.tsv" "$T/mw${N_MW}_2.tsv"
    EDGER=$EDGER_WAS
fi

echo >&2
echo "results in $RESULTS" >&2
