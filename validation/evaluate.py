#!/usr/bin/env python3
"""The measures of a validation run, from the truth and each method's P-values.

evaluate.py check TRUTH PVALUES
    prints the type-I error at 0.05 and the AUC of one P-value file.
evaluate.py report RUN_DIR VALIDATION_DIR
    reads RUN_DIR (written by run.sh: designs.tsv, run.tsv, and per design
    truth.tsv, times.tsv and METHOD.tsv), writes VALIDATION_DIR/results.tsv,
    the tables between the results markers of VALIDATION_DIR/README.md and,
    when Python's cairo module is there, VALIDATION_DIR/roc.png and
    VALIDATION_DIR/type1.png.

A P-value file has a header and rows "feature<TAB>pvalue"; NA (no P-value)
counts as 1.  Features missing from it are left out of every measure.
"""

import math
import os
import sys

LEVELS = (0.05, 0.01)
FDRS = (0.05, 0.10)


def read_tsv(path):
    with open(path) as f:
        header = f.readline().rstrip("\n").split("\t")
        return [dict(zip(header, line.rstrip("\n").split("\t"))) for line in f]


def read_pvalues(path):
    out = {}
    for row in read_tsv(path):
        p = row["pvalue"]
        out[row["feature"]] = 1.0 if p in ("NA", "nan", "") else float(p)
    return out


def wilson(k, n, z=1.96):
    """95% Wilson score interval of a binomial share k / n."""
    if n == 0:
        return (float("nan"), float("nan"))
    p = k / n
    centre = (p + z * z / (2 * n)) / (1 + z * z / n)
    half = z * math.sqrt(p * (1 - p) / n + z * z / (4 * n * n)) / (1 + z * z / n)
    return (max(0.0, centre - half), min(1.0, centre + half))


def bh(pvalues):
    """Benjamini-Hochberg adjusted P-values, in the order given."""
    m = len(pvalues)
    order = sorted(range(m), key=lambda i: pvalues[i])
    adjusted = [1.0] * m
    running = 1.0
    for rank in range(m, 0, -1):
        i = order[rank - 1]
        running = min(running, pvalues[i] * m / rank)
        adjusted[i] = running
    return adjusted


def auc(pvalues, changed):
    """The probability that a changed feature has a smaller P-value than an
    unchanged one, ties counting one half (mid-ranks)."""
    order = sorted(range(len(pvalues)), key=lambda i: pvalues[i])
    rank_sum, i, n_pos = 0.0, 0, sum(changed)
    while i < len(order):
        j = i
        while j < len(order) and pvalues[order[j]] == pvalues[order[i]]:
            j += 1
        mid = (i + 1 + j) / 2  # ranks i+1 .. j
        rank_sum += mid * sum(changed[order[k]] for k in range(i, j))
        i = j
    n_neg = len(pvalues) - n_pos
    if n_pos == 0 or n_neg == 0:
        return float("nan")
    # Smaller P-value = better: a changed feature of rank r beats the
    # unchanged features ranked after it.
    u = n_pos * n_neg + n_pos * (n_pos + 1) / 2 - rank_sum
    return u / (n_pos * n_neg)


def roc(pvalues, changed, points=200):
    """(false positive rate, true positive rate) at thresholds on the P-value."""
    order = sorted(range(len(pvalues)), key=lambda i: pvalues[i])
    n_pos = sum(changed)
    n_neg = len(pvalues) - n_pos
    out, tp, fp, step, drawn = [(0.0, 0.0)], 0, 0, max(1, len(order) // points), 0
    for k, i in enumerate(order):
        tp += changed[i]
        fp += 1 - changed[i]
        # A point where the P-values change, about every step features.
        end_of_ties = k + 1 == len(order) or pvalues[order[k + 1]] != pvalues[i]
        if end_of_ties and (k + 1 - drawn >= step or k + 1 == len(order)):
            out.append((fp / n_neg, tp / n_pos))
            drawn = k + 1
    return out


def measures(truth, pv):
    """The measures of one method on one design, as a dict."""
    rows = [t for t in truth if t["feature"] in pv]
    p = [pv[t["feature"]] for t in rows]
    changed = [int(t["changed"]) for t in rows]
    means = [float(t["base_mean"]) for t in rows]
    padj = bh(p)
    out = {"features": len(p), "unchanged": len(p) - sum(changed), "changed": sum(changed)}

    def block(idx, prefix):
        null = [p[i] for i in idx if not changed[i]]
        for level in LEVELS:
            k = sum(x <= level for x in null)
            lo, hi = wilson(k, len(null))
            out[f"{prefix}type1_{level}"] = k / len(null) if null else float("nan")
            out[f"{prefix}type1_{level}_lo"], out[f"{prefix}type1_{level}_hi"] = lo, hi
        out[f"{prefix}auc"] = auc([p[i] for i in idx], [changed[i] for i in idx])
        for fdr in FDRS:
            hits = [i for i in idx if padj[i] <= fdr]
            true = sum(changed[i] for i in hits)
            n_changed = sum(changed[i] for i in idx)
            out[f"{prefix}power_{fdr}"] = true / n_changed if n_changed else float("nan")
            out[f"{prefix}fdp_{fdr}"] = (len(hits) - true) / len(hits) if hits else 0.0
            out[f"{prefix}hits_{fdr}"] = len(hits)

    block(range(len(p)), "")
    # Thirds by the true base mean.
    by_mean = sorted(range(len(p)), key=lambda i: means[i])
    third = len(p) // 3
    for name, idx in (("low", by_mean[:third]), ("middle", by_mean[third:2 * third]),
                      ("high", by_mean[2 * third:])):
        block(idx, name + "_")
        out[f"{name}_mean_range"] = (means[idx[0]], means[idx[-1]])
    return out


def check(truth_path, pvalue_path):
    m = measures(read_tsv(truth_path), read_pvalues(pvalue_path))
    print(f"type1_0.05 {m['type1_0.05']:.4f}")
    print(f"auc {m['auc']:.4f}")


# --- the report -------------------------------------------------------------

METHOD_NAMES = {
    "mirdle": "mirdle",
    "mirdle_norm": "mirdle, normalised",
    "mirdle_near_exact": "mirdle --near-exact",
    "edger": "edgeR",
    "deseq2": "DESeq2",
}


def f3(x):
    return "-" if x != x else f"{x:.3f}"


def interval(m, key):
    return f"{f3(m[key])} ({f3(m[key + '_lo'])}-{f3(m[key + '_hi'])})"


def load_run(run_dir):
    designs = read_tsv(os.path.join(run_dir, "designs.tsv"))
    meta = {r["key"]: r["value"] for r in read_tsv(os.path.join(run_dir, "run.tsv"))}
    results = []
    for d in designs:
        ddir = os.path.join(run_dir, d["design"])
        truth = read_tsv(os.path.join(ddir, "truth.tsv"))
        times = {r["method"]: float(r["seconds"]) for r in read_tsv(os.path.join(ddir, "times.tsv"))}
        for method in METHOD_NAMES:
            path = os.path.join(ddir, method + ".tsv")
            if os.path.exists(path):
                pv = read_pvalues(path)
                results.append((d, method, measures(truth, pv), times.get(method),
                                roc_of(truth, pv)))
    return designs, meta, results


def roc_of(truth, pv):
    rows = [t for t in truth if t["feature"] in pv]
    return roc([pv[t["feature"]] for t in rows], [int(t["changed"]) for t in rows])


def markdown(designs, meta, results):
    lines = [f"Machine: {meta['machine']}.  Date: {meta['date']}.  Command: "
             f"`{meta['command']}` ({meta['mode']}; {meta['seconds']} s in all).  "
             f"Base means: {meta['means']}.  Seed: {meta['seed']}.", ""]
    lines += ["Designs:", "", "| design | replicates | condition 2 depth | outlier samples | features |",
              "|---|---|---|---|---|"]
    for d in designs:
        lines.append(f"| {d['design']} | {d['replicates']} | {d['depth']}x | {d['outliers']} per condition "
                     f"| {d['features']} |")
    lines += ["", "### Type-I error, AUC, power and false discoveries", "",
              "Type-I error: share of unchanged features with P <= 0.05 and <= 0.01, "
              "95% Wilson interval in brackets.  Power and FDP: share of changed features "
              "found and share of false ones among those found at Benjamini-Hochberg "
              "adjusted P <= 5% and 10% (over the features the method was run on).  "
              "Time: wall seconds of the method's command in this run.", "",
              "| design | method | features | P<=0.05 | P<=0.01 | AUC | power 5% | FDP 5% | "
              "power 10% | FDP 10% | time s |",
              "|---|---|---|---|---|---|---|---|---|---|---|"]
    for d, method, m, t, _ in results:
        lines.append(
            f"| {d['design']} | {METHOD_NAMES[method]} | {m['features']} | {interval(m, 'type1_0.05')} "
            f"| {interval(m, 'type1_0.01')} | {f3(m['auc'])} | {f3(m['power_0.05'])} "
            f"| {f3(m['fdp_0.05'])} | {f3(m['power_0.1'])} | {f3(m['fdp_0.1'])} "
            f"| {'-' if t is None else f'{t:.1f}'} |")
    lines += ["", "### By mean count", "",
              "The features of each design in thirds by their true base mean (low, middle, "
              "high).  Type-I error at 0.05, AUC, "
              "and power at BH 10% within each third (the adjustment over all features).", ""]
    first = results[0][2]
    ranges = ", ".join(f"{n} {first[n + '_mean_range'][0]:.4g}-{first[n + '_mean_range'][1]:.4g}"
                       for n in ("low", "middle", "high"))
    lines += [f"Base-mean ranges in {results[0][0]['design']}: {ranges}.", "",
              "| design | method | P<=0.05 low | middle | high | AUC low | middle | high | "
              "power 10% low | middle | high |",
              "|---|---|---|---|---|---|---|---|---|---|---|"]
    for d, method, m, _, _ in results:
        cells = [f3(m[f"{n}_{k}"]) for k in ("type1_0.05", "auc", "power_0.1")
                 for n in ("low", "middle", "high")]
        lines.append(f"| {d['design']} | {METHOD_NAMES[method]} | " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n"


def write_results_tsv(path, results):
    keys = [k for k in results[0][2] if not k.endswith("_mean_range")]
    with open(path, "w") as f:
        f.write("\t".join(["design", "method", "seconds"] + keys) + "\n")
        for d, method, m, t, _ in results:
            f.write("\t".join([d["design"], method, "NA" if t is None else f"{t:.2f}"]
                              + [f"{m[k]:.6g}" for k in keys]) + "\n")


COLOURS = {"mirdle": (0.85, 0.2, 0.1), "mirdle_norm": (0.95, 0.6, 0.1),
           "mirdle_near_exact": (0.6, 0.2, 0.6), "edger": (0.1, 0.4, 0.8),
           "deseq2": (0.2, 0.6, 0.3)}


def figures(out_dir, results):
    try:
        import cairo
    except ImportError:
        print("evaluate.py: no cairo module for Python (python3-cairo): figures left out",
              file=sys.stderr)
        return []
    written = []

    def text(ctx, x, y, s, size=11, centre=False):
        ctx.set_font_size(size)
        ctx.set_source_rgb(0, 0, 0)
        w = ctx.text_extents(s).width if centre else 0
        ctx.move_to(x - w / 2, y)
        ctx.show_text(s)

    def legend(ctx, x, y, methods, notes=None):
        for k, method in enumerate(methods):
            ctx.set_source_rgb(*COLOURS[method])
            ctx.rectangle(x, y + 14 * k - 8, 14, 4)
            ctx.fill()
            text(ctx, x + 18, y + 14 * k - 3, METHOD_NAMES[method] + (notes[k] if notes else ""), 10)

    # ROC: one panel per design.
    names = []
    for d, _, _, _, _ in results:
        if d["design"] not in names:
            names.append(d["design"])
    cols, size, pad = 4, 230, 40
    rows = (len(names) + cols - 1) // cols
    surface = cairo.ImageSurface(cairo.FORMAT_RGB24, cols * (size + pad) + pad, rows * (size + 2 * pad) + pad)
    ctx = cairo.Context(surface)
    ctx.set_source_rgb(1, 1, 1)
    ctx.paint()
    ctx.select_font_face("DejaVu Sans")
    for k, name in enumerate(names):
        x0 = pad + (k % cols) * (size + pad)
        y0 = pad + (k // cols) * (size + 2 * pad)
        ctx.set_source_rgb(0.6, 0.6, 0.6)
        ctx.set_line_width(1)
        ctx.rectangle(x0, y0, size, size)
        ctx.stroke()
        ctx.move_to(x0, y0 + size)
        ctx.line_to(x0 + size, y0)
        ctx.set_dash([3, 3])
        ctx.stroke()
        ctx.set_dash([])
        text(ctx, x0 + size / 2, y0 - 8, name, 12, centre=True)
        text(ctx, x0 + size / 2, y0 + size + 14, "false positive rate", 9, centre=True)
        ctx.save()
        ctx.translate(x0 - 6, y0 + size / 2)
        ctx.rotate(-math.pi / 2)
        text(ctx, 0, 0, "true positive rate", 9, centre=True)
        ctx.restore()
        methods, notes = [], []
        for d, method, m, _, curve in results:
            if d["design"] != name:
                continue
            methods.append(method)
            notes.append(f"  AUC {m['auc']:.3f}")
            ctx.set_source_rgb(*COLOURS[method])
            ctx.set_line_width(1.6)
            for j, (fx, ty) in enumerate(curve):
                (ctx.line_to if j else ctx.move_to)(x0 + fx * size, y0 + size - ty * size)
            ctx.stroke()
        legend(ctx, x0 + size * 0.22, y0 + size - 14 * len(methods) + 4, methods, notes)
    path = os.path.join(out_dir, "roc.png")
    surface.write_to_png(path)
    written.append(path)

    # Type-I error at 0.05 against replicates, equal libraries, no outliers.
    series = {}
    for d, method, m, _, _ in results:
        if d["depth"] == "1" and d["outliers"] == "0":
            series.setdefault(method, []).append((int(d["replicates"]), m))
    w, h, left, top = 560, 340, 60, 30
    surface = cairo.ImageSurface(cairo.FORMAT_RGB24, w + left + 170, h + top + 50)
    ctx = cairo.Context(surface)
    ctx.set_source_rgb(1, 1, 1)
    ctx.paint()
    ctx.select_font_face("DejaVu Sans")
    ymax = 0.1
    sx = lambda n: left + (n - 1) / 12 * w
    sy = lambda v: top + h - min(v, ymax) / ymax * h
    ctx.set_source_rgb(0.6, 0.6, 0.6)
    ctx.set_line_width(1)
    ctx.rectangle(left, top, w, h)
    ctx.stroke()
    for v in (0.0, 0.025, 0.05, 0.075, 0.1):
        text(ctx, left - 42, sy(v) + 4, f"{v:.3f}", 9)
    for n in (2, 3, 4, 6, 8, 12):
        text(ctx, sx(n), top + h + 14, str(n), 9, centre=True)
    text(ctx, left + w / 2, top + h + 32, "replicates per condition", 11, centre=True)
    text(ctx, left, top - 10, "share of unchanged features with P <= 0.05 (95% interval)", 11)
    ctx.set_source_rgb(0.3, 0.3, 0.3)
    ctx.set_dash([4, 3])
    ctx.move_to(left, sy(0.05))
    ctx.line_to(left + w, sy(0.05))
    ctx.stroke()
    ctx.set_dash([])
    shift = {m: (k - len(series) / 2) * 4 for k, m in enumerate(series)}
    for method, points in series.items():
        points.sort(key=lambda t: t[0])
        ctx.set_source_rgb(*COLOURS[method])
        ctx.set_line_width(1.6)
        for j, (n, m) in enumerate(points):
            (ctx.line_to if j else ctx.move_to)(sx(n) + shift[method], sy(m["type1_0.05"]))
        ctx.stroke()
        for n, m in points:
            x = sx(n) + shift[method]
            ctx.move_to(x, sy(m["type1_0.05_lo"]))
            ctx.line_to(x, sy(m["type1_0.05_hi"]))
            ctx.stroke()
            ctx.arc(x, sy(m["type1_0.05"]), 3, 0, 2 * math.pi)
            ctx.fill()
    legend(ctx, left + w + 14, top + 12, list(series))
    path = os.path.join(out_dir, "type1.png")
    surface.write_to_png(path)
    written.append(path)
    return written


def report(run_dir, out_dir):
    designs, meta, results = load_run(run_dir)
    write_results_tsv(os.path.join(out_dir, "results.tsv"), results)
    pictures = figures(out_dir, results)
    body = markdown(designs, meta, results)
    if pictures:
        body += "\n" + "\n".join(f"![{os.path.basename(p)}]({os.path.basename(p)})" for p in pictures) + "\n"
    readme = os.path.join(out_dir, "README.md")
    with open(readme) as f:
        text = f.read()
    begin, end = "<!-- results: written by run.sh -->\n", "<!-- end of results -->"
    head, rest = text.split(begin)
    tail = rest.split(end)[1]
    with open(readme, "w") as f:
        f.write(head + begin + body + end + tail)


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "check":
        check(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 4 and sys.argv[1] == "report":
        report(sys.argv[2], sys.argv[3])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
