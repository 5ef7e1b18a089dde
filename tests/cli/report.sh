# report as a whole program: the embedded data decodes and matches the
# analysis row for row, and the page works in headless Chromium, offline.
. "$(dirname "$0")/lib.sh"
A=${ANALYZE:-${BUILD_DIR:?}/analyze/analyze}
REPORT=${REPORT:-$BUILD_DIR/report/report}

# page_data HTML JSON: the data embedded in the page, inflated, into JSON.
page_data() {
  step python3 -c 'import base64, re, sys, zlib
text = open(sys.argv[1], encoding="utf-8").read()
blob = re.search(r"<script type=\"application/octet-stream\" id=\"data\">([^<]*)</script>", text).group(1)
open(sys.argv[2], "wb").write(zlib.decompress(base64.b64decode(blob)))' "$1" "$2"
}

step "$A" --threads 0 "$SRC_DIR/examples/counts.txt" "$SRC_DIR/examples/samples.csv" -o study
html=study/report.html

# The data inside, inflated, against the files of the analysis.
page_data "$html" study.json
run_cmd python3 - study.json study <<'PY'
import json, math, sys
D, d = json.load(open(sys.argv[1])), sys.argv[2]
def rows(path):
    lines = open(path).read().splitlines()
    return lines[0].split("\t"), [l.split("\t") for l in lines[1:]]
num = lambda s: None if s == "NA" else float(s)
head, res = rows(d + "/results.tsv")
order = {r[0]: i for i, r in enumerate(res)}
bad = []
if sorted(D["features"]) != sorted(order): bad.append("features")
for p in D["pairs"]:
    pc, qc = head.index("pvalue_" + p["name"]), head.index("padj_" + p["name"])
    for k, f in enumerate(D["features"]):
        r = res[order[f]]
        if p["pvalue"][k] != num(r[pc]) or p["padj"][k] != num(r[qc]):
            bad.append(f"{p['name']} {f}"); break
s = 0
for c in D["conditions"]:
    _, raw = rows(f"{d}/raw/{c}.tsv")
    _, norm = rows(f"{d}/{c}.tsv")
    for k in range(len(raw[0]) - 1):
        if [float(r[k + 1]) for r in raw] != D["raw"][s]: bad.append(f"raw {c} {k}")
        if [float(r[k + 1]) for r in norm] != [v / D["factors"][s] for v in D["raw"][s]]: bad.append(f"normalised {c} {k}")
        s += 1
print(len(D["features"]), s, len(D["pairs"]), " ".join(bad) or "all equal")
PY
expect_eq "embedded data: features, samples, pairs, every value equal" "0 1000 12 1 all equal" "$rc $out"

# The P-value floor of the examples' 6 against 6 design: the library's P-value
# for one condition all below the other, as pvalue-sim counts it.
run_cmd "${PVALUE_SIM:?}" --draws feature --fixed 1 2 3 4 5 6 1001 1002 1003 1004 1005 1006
account=$(printf '%s\n' "$out" | sed -n 's/^Pass 0: FCs sampled = [0-9]*  P-value = \([0-9]*\) \/ \([0-9]*\) = .*/\1 \2/p')
run_cmd python3 - study.json $account <<'PY'
import json, sys
f = json.load(open(sys.argv[1]))["pairs"][0]["floor"]
print(f["method"], f["used"], f["floor"] == int(sys.argv[2]) / int(sys.argv[3]))
PY
expect_eq "P-value floor, 6 against 6: pvalue-sim's count for the extreme counts" "0 near-exact, sampled 6 True" "$rc $out"

# 3 against 2 replicates: exhaustive counting over the first 2 of each.
{ head -n 4 "$SRC_DIR/examples/samples.csv"; grep '"treated[12]"' "$SRC_DIR/examples/samples.csv"; } >sub.csv
run_cmd "$A" --threads 0 "$SRC_DIR/examples/counts.txt" sub.csv -o sub
expect_eq "3 against 2: analysed" 0 "$rc"
run_cmd "$PVALUE_SIM" --fixed 1 2 1001 1002
account=$(printf '%s\n' "$out" | sed -n 's/^Pass 0: FCs sampled = [0-9]*  P-value = \([0-9]*\) \/ \([0-9]*\) = .*/\1 \2/p')
page_data sub/report.html sub.json
run_cmd python3 - sub.json $account <<'PY'
import json, sys
f = json.load(open(sys.argv[1]))["pairs"][0]["floor"]
print(f["method"], f["used"], f["floor"] == int(sys.argv[2]) / int(sys.argv[3]))
PY
expect_eq "P-value floor, 3 against 2: pvalue-sim's count for the extreme counts" "0 near-exact, exhaustive 2 True" "$rc $out"

# 8 against 8 (two columns of each condition repeated): Mann-Whitney, whose
# floor is the normal approximation's two-sided P-value for U = 0.
mkdir mw
run_cmd python3 - "$SRC_DIR/examples/counts.txt" mw <<'PY'
import sys
out = []
for l in open(sys.argv[1]).read().splitlines():
    f = l.split("\t")
    if not l.startswith("#"):
        f += ["bam/treated7.bam", "bam/treated8.bam", "bam/untreated7.bam", "bam/untreated8.bam"] if f[0] == "Geneid" else [f[6], f[7], f[12], f[13]]
    out.append("\t".join(f))
open(sys.argv[2] + "/counts.txt", "w").write("\n".join(out) + "\n")
open(sys.argv[2] + "/s.csv", "w").write("\n".join(['"","condition"'] + [f'"{c}{i}","{c}"' for c in ("untreated", "treated") for i in range(1, 9)]) + "\n")
PY
run_cmd "$A" --threads 0 mw/counts.txt mw/s.csv -o mw/study
expect_eq "8 against 8: analysed" 0 "$rc"
page_data mw/study/report.html mw.json
run_cmd python3 - mw.json <<'PY'
import json, math, sys
f = json.load(open(sys.argv[1]))["pairs"][0]["floor"]
z = 8 * 8 / 2 / math.sqrt(8 * 8 * 17 / 12)
print(f["method"], abs(f["floor"] / math.erfc(z / math.sqrt(2)) - 1) < 1e-12)
PY
expect_eq "P-value floor, 8 against 8: Mann-Whitney's for U = 0" "0 Mann-Whitney U (normal approximation) True" "$rc $out"

# expectations DIR SHEET SEARCH OUT: what the page of the analysis in DIR must
# show, from the same files; SEARCH is a word some ids hold.
expectations() {
  python3 - "$@" <<'PY' || fail "writing the expectations of $1"
import json, math, sys
d, sheet_path, word, out = sys.argv[1:5]
def rows(path):
    lines = open(path).read().splitlines()
    return lines[0].split("\t"), [l.split("\t") for l in lines[1:]]
def js(v):  # a number as JavaScript's String() writes it
    f = float(v)
    return str(int(f)) if f.is_integer() and abs(f) < 1e21 else repr(f)
head, res = rows(d + "/results.tsv")
fc, pv = head.index("fc_treated_vs_untreated"), head.index("pvalue_treated_vs_untreated")
found = [r[0] for r in res if word in r[0]]
counts = {}
for f in found:
    counts[f] = []
    for c in ("untreated", "treated"):
        h, raw = rows(f"{d}/raw/{c}.tsv")
        _, norm = rows(f"{d}/{c}.tsv")
        r = next(i for i, x in enumerate(raw) if x[0] == f)
        for k in range(1, len(h)):
            counts[f].append([h[k], c, js(raw[r][k]), js(norm[r][k])])
# The volcano's points, [log2 FC, -log10 P, id], the infinite ones at the edge;
# the feature of the largest mean, alone at the right of the MA plot.
lf = head.index("log2fc_treated_vs_untreated")
drawn = [r for r in res if r[lf] != "NA" and r[pv] != "NA"]
edge = max(abs(float(r[lf])) for r in drawn if math.isfinite(float(r[lf]))) + 0.5
volcano = [[float(r[lf]) if math.isfinite(float(r[lf])) else math.copysign(edge, float(r[lf])),
            -math.log10(float(r[pv])), r[0]] for r in drawn]
mu, mt = head.index("mean_untreated"), head.index("mean_treated")
ma_far = max(drawn, key=lambda r: float(r[mu]) + float(r[mt]))[0]
# The sample sheet's "type" column, sample by sample, for the PCA's colours.
import csv
with open(sheet_path, newline="") as f:
    sheet = list(csv.reader(f))
sheet_type = {r[0]: r[sheet[0].index("type")] for r in sheet[1:]}
json.dump({"points": [sum(1 for r in res if r[fc] != "NA" and r[pv] != "NA")], "samples": len(sheet) - 1,
           "search": word, "found": found, "counts": counts,
           "pvalue": {r[0]: float(r[pv]) for r in res if r[pv] != "NA"},
           "sdc": {r[0]: [float(r[head.index("sd_over_mean_" + c)]) for c in ("untreated", "treated")] for r in res},
           "volcano": volcano, "ma_far": ma_far, "type": sheet_type},
          open(out, "w"))
PY
}
expectations study "$SRC_DIR/examples/samples.csv" gene0083 expected.json

# in_browser NAME HTML EXPECTED SHOTS: the page's checks in headless Chromium,
# its screenshots in SHOTS.
browser_dir=$SRC_DIR/tests/browser
have_browser() {
  [ -d "$browser_dir/node_modules/puppeteer-core" ] && command -v node >/dev/null && [ -x "${CHROMIUM:-/usr/bin/chromium}" ]
}
in_browser() {
  mkdir -p "$4"
  run_cmd node "$browser_dir/report.mjs" "$2" "$3" "$4"
  printf '%s\n' "$out" "$err"
  expect_eq "browser, $1: every check passed" 0 "$rc"
  checks=$((checks + $(printf '%s\n' "$out" | grep -c '^ok')))
  expect_eq "browser, $1: screenshots and the saved plot" "chart-volcano-0.png feature.png pair.png qc.png report.png" \
    "$(ls "$4" | grep png | paste -sd ' ')"
}
if have_browser; then
  in_browser examples "$html" expected.json shots
else
  fail "the browser test needs node, chromium and tests/browser/node_modules (scripts/setup.sh --test)"
fi

# The PCA and the sample distances do not depend on where rows stand: 800
# features of one variance (cyclic shifts of one profile, raw counts), 500 of
# them chosen, the matrix read in one order and in the reverse.
mkdir order
run_cmd python3 - order <<'PY'
import sys
d, profile = sys.argv[1], [0, 1, 2, 3, 5, 8, 13, 21]
samples = [f"{c}{i}" for c in ("untreated", "treated") for i in range(1, 5)]
rows = [f"f{k:03d}\t" + "\t".join(str(profile[(j + k) % 8]) for j in range(8)) for k in range(800)]
for name, body in (("forward", rows), ("reverse", rows[::-1])):
    open(f"{d}/{name}.tsv", "w").write("Geneid\t" + "\t".join(samples) + "\n" + "\n".join(body) + "\n")
open(d + "/s.csv", "w").write('"","condition"\n' + "".join(f'"{s}","{s[:-1]}"\n' for s in samples))
PY
for o in forward reverse; do
  step "$A" --threads 0 --normalize=none order/$o.tsv order/s.csv -o order/$o
  page_data order/$o/report.html order/$o.json
done
run_cmd python3 - order/forward.json order/reverse.json <<'PY'
import json, sys
a, b = json.load(open(sys.argv[1])), json.load(open(sys.argv[2]))
print(a["pca"]["features"], a["pca"] == b["pca"], a["distances"] == b["distances"], a["cluster_order"] == b["cluster_order"])
PY
expect_eq "rows reversed: the same PCA, distances and clustering" "0 500 True True True" "$rc $out"

# Failures: one message, the suite's status, no file left.
mkdir empty
expect_status "no analysis" 66 "report: cannot open empty/analysis.json: No such file or directory" "$REPORT" empty
expect_eq "no analysis: no page" "" "$(ls -A empty)"
expect_status "no DIR" 64 "report: expected one DIR, got 0 arguments (see $REPORT --help)" "$REPORT"

# An airway-sized study, 64,102 features of 4 against 4 generated, in the
# browser as the examples: every point drawn, the search, the counts shown,
# the brush and the saves at that size.
skip_if_sanitized "the airway-sized page is checked in the plain build"
mkdir big
run_cmd python3 - big <<'PY'
import math, random, sys
rng, d = random.Random(20261211), sys.argv[1]
samples = [f"{c}{i}" for c in ("untreated", "treated") for i in range(1, 5)]
depth = [rng.uniform(0.7, 1.4) for _ in samples]
with open(d + "/counts.tsv", "w") as f:
    f.write("Geneid\t" + "\t".join(samples) + "\n")
    for g in range(1, 64103):
        mu = math.exp(rng.gauss(3.5, 2.0))
        lfc = rng.choice((-1, 1)) * rng.uniform(1, 3) if rng.random() < 0.05 else 0.0
        row = [round(rng.gammavariate(10, mu * (2 ** lfc if k >= 4 else 1) * depth[k] / 10)) for k in range(8)]
        f.write(f"gene{g:05d}\t" + "\t".join(map(str, row)) + "\n")
with open(d + "/samples.csv", "w") as f:
    f.write('"","condition","type"\n')
    for k, s in enumerate(samples):
        f.write(f'"{s}","{s.rstrip("1234")}","{("paired-end", "single-end")[k % 2]}"\n')
PY
expect_eq "64,102 features generated" 0 "$rc"
run_cmd "$A" --threads 0 big/counts.tsv big/samples.csv -o big/study
expect_eq "64,102 features: analysed" 0 "$rc"
expectations big/study big/samples.csv gene0083 big/expected.json
if have_browser; then
  in_browser "64,102 features" big/study/report.html big/expected.json big/shots
  echo "64,102 features: report.html of $(stat -c %s big/study/report.html) bytes"
fi

finish
