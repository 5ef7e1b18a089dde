#!/usr/bin/env bash
# The whole study in one command against its steps by hand, and the page it
# writes opened in headless Chromium.
#
# - airway (4 against 4, 64,102 genes, its two tables joined into a count
#   matrix): `analyze` against split --normalize + mirdle --draws=feature +
#   table, in alternating pairs (ROUNDS, default 3), both on 2 threads;
#   report.html's size, and the seconds until the page is ready (the median
#   of three openings).
# - a generated study of 128 samples (4 conditions of 32) and 60,000
#   features: analyze's time, the page's size and the seconds until ready.
#
#   bench/report_runs.sh      (about five minutes)
#
# BUILD (default: a RelWithDebInfo build made in $WORK/prod) holds the
# programs; WORK (default <source>/build-report) the studies and results.md;
# DATA (default <source>/../shared/data) the airway tables.
set -euo pipefail

SRC=$(cd "$(dirname "$0")/.." && pwd)
WORK=${WORK:-$SRC/build-report}
ROUNDS=${ROUNDS:-3}
DATA=${DATA:-$SRC/../shared/data}
mkdir -p "$WORK"
if [ -z "${BUILD:-}" ]; then
    cmake -S "$SRC" -B "$WORK/prod" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRANVEL_TESTS=OFF >/dev/null
    cmake --build "$WORK/prod" -j2 >/dev/null
    BUILD=$WORK/prod
fi
RESULTS=$WORK/results.md

# seconds CMD...: the wall time of CMD, its output thrown away
seconds() {
    /usr/bin/time -f '%e' -o "$WORK/.time" "$@" >/dev/null 2>"$WORK/.err" || {
        cat "$WORK/.err" >&2
        exit 1
    }
    cat "$WORK/.time"
}
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# ready HTML: the median over three openings of the seconds until the page
# is ready
ready() {
    for _ in 1 2 3; do
        node "$SRC/tests/browser/report.mjs" "$1" | sed -n 's/^ready in \([0-9.]*\) s$/\1/p'
    done | median
}

{
    echo "# dranvel analyze and its page, $(date -u +%Y-%m-%dT%H:%MZ)"
    echo
    echo "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores;" \
        "load before the runs: $(cut -d' ' -f1-3 /proc/loadavg); $(chromium --version 2>/dev/null)"
} >"$RESULTS"

if [ -f "$DATA/airway/control.tsv.gz" ]; then
    a=$WORK/airway
    mkdir -p "$a"
    python3 - "$DATA/airway" "$a" <<'PY'
import gzip, sys
src, out = sys.argv[1], sys.argv[2]
tables = [gzip.open(f"{src}/{c}.tsv.gz", "rt").read().splitlines() for c in ("control", "treated")]
with open(out + "/counts.tsv", "w") as f:
    for left, right in zip(*tables):
        l, r = left.split("\t"), right.split("\t")
        assert l[0] == r[0]
        f.write("\t".join(["Geneid" if l[0] == "target_id" else l[0]] + l[1:] + r[1:]) + "\n")
head = [t[0].split("\t")[1:] for t in tables]
with open(out + "/samples.csv", "w") as f:
    f.write('"","condition"\n')
    for c, names in zip(("control", "treated"), head):
        for s in names:
            f.write(f'"{s}","{c}"\n')
PY
    for round in $(seq 1 "$ROUNDS"); do
        order=(analyze steps)
        [ $((round % 2)) = 0 ] && order=(steps analyze)
        for v in "${order[@]}"; do
            rm -rf "${a:?}/$([ "$v" = analyze ] && echo study || echo steps)"
            if [ "$v" = analyze ]; then
                seconds "$BUILD/analyze/analyze" --threads 2 "$a/counts.tsv" "$a/samples.csv" -o "$a/study" \
                    >"$a/analyze.$round"
            else
                t1=$(seconds "$BUILD/split/split" --normalize=ratio "$a/counts.tsv" "$a/samples.csv" "$a/steps")
                t2=$(seconds "$BUILD/mirdle/mirdle" --threads=2 --draws=feature --output "$a/steps/report.txt" \
                    "$a/steps/control.tsv" "$a/steps/treated.tsv")
                t3=$(seconds "$BUILD/table/table" --tables="$a/steps/control.tsv,$a/steps/treated.tsv" \
                    --sort=1-2 -o "$a/steps/results.tsv" "$a/steps/report.txt")
                awk -v a="$t1" -v b="$t2" -v c="$t3" 'BEGIN { printf "%.2f\n", a + b + c }' >"$a/steps.$round"
            fi
        done
        cmp -s "$a/study/report.txt" "$a/steps/report.txt" || echo "round $round: the reports differ" >&2
        cmp -s "$a/study/results.tsv" "$a/steps/results.tsv" || echo "round $round: the results differ" >&2
    done
    {
        echo
        echo "## airway, 64,102 genes, 4 against 4, $ROUNDS rounds"
        echo
        for round in $(seq 1 "$ROUNDS"); do
            awk -v r="$round" -v x="$(cat "$a/analyze.$round")" -v y="$(cat "$a/steps.$round")" \
                'BEGIN { printf "- round %s: analyze %.2f s, split + mirdle + table %.2f s, difference %.2f s\n", r, x, y, x - y }'
        done
        echo "- report.html: $(stat -c %s "$a/study/report.html") bytes; ready in $(ready "$a/study/report.html") s (median of 3)"
    } | tee -a "$RESULTS"
fi

b=$WORK/big
mkdir -p "$b"
[ -f "$b/counts.tsv" ] || python3 - "$b" <<'PY'
import math, random, sys
rng, d = random.Random(128), sys.argv[1]
conditions = ("a", "b", "c", "d")
samples = [f"{c}{i}" for c in conditions for i in range(1, 33)]
depth = [rng.uniform(0.6, 1.6) for _ in samples]
with open(d + "/counts.tsv", "w") as f:
    f.write("Geneid\t" + "\t".join(samples) + "\n")
    for g in range(1, 60001):
        mu = math.exp(rng.gauss(3.5, 2.0))
        shift = [rng.choice((-1, 1)) * rng.uniform(0.5, 2) if rng.random() < 0.05 else 0.0 for _ in conditions]
        f.write(f"gene{g:05d}\t" + "\t".join(
            str(round(rng.gammavariate(10, mu * 2 ** shift[k // 32] * depth[k] / 10))) for k in range(128)) + "\n")
with open(d + "/samples.csv", "w") as f:
    f.write('"","condition"\n')
    for s in samples:
        f.write(f'"{s}","{s.rstrip("0123456789")}"\n')
PY
rm -rf "$b/study"
t=$(seconds "$BUILD/analyze/analyze" --threads 2 "$b/counts.tsv" "$b/samples.csv" -o "$b/study")
{
    echo
    echo "## 128 samples (4 conditions of 32), 60,000 features, 6 pairs"
    echo
    echo "- analyze: $t s"
    echo "- report.html: $(stat -c %s "$b/study/report.html") bytes; ready in $(ready "$b/study/report.html") s (median of 3)"
} | tee -a "$RESULTS"
echo >&2
echo "results in $RESULTS" >&2
