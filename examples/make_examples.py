#!/usr/bin/env python3
"""Writes the example condition tables: 300 features, four conditions; and a
featureCounts matrix with its sample sheet for the README's whole analysis.

Replicate counts are chosen so that one run shows every P-value method:
control (3) and heat (5) pairs use exhaustive and sampled near-exact counting,
drug and drug_heat (8 each) use the Mann-Whitney approximation between them.
Counts are gamma-Poisson draws around a per-feature mean; about one feature in
ten responds to each treatment, and a few are zero everywhere.  Deterministic:
the same seed always gives the same tables.
"""
import math
import random

FEATURES = 300
CONDITIONS = [("control", 3, 1.0), ("heat", 5, 1.0), ("drug", 8, 1.0), ("drug_heat", 8, 1.0)]

rng = random.Random(20261209)


def poisson(lam, gen):
    # Knuth for small means, normal approximation for large ones.
    if lam < 30:
        limit, k, p = math.exp(-lam), 0, 1.0
        while True:
            p *= gen.random()
            if p <= limit:
                return k
            k += 1
    return max(0, int(round(gen.gauss(lam, math.sqrt(lam)))))


def count(mean, dispersion=0.1, gen=rng):
    shape = 1.0 / dispersion
    return poisson(gen.gammavariate(shape, mean / shape), gen)


features = []
for i in range(FEATURES):
    base = 0.0 if i % 37 == 5 else math.exp(rng.uniform(math.log(2), math.log(5000)))
    effect = {name: 1.0 for name, _, _ in CONDITIONS}
    for name in ("heat", "drug", "drug_heat"):
        if rng.random() < 0.1:
            effect[name] = rng.choice([0.25, 0.5, 2.0, 4.0])
    features.append((f"gene{i + 1:04d}", base, effect))

for name, reps, _ in CONDITIONS:
    with open(f"{name}.tsv", "w", newline="\n") as out:
        out.write("target_id\t" + "\t".join(f"{name}_{r + 1}" for r in range(reps)) + "\n")
        for fid, base, effect in features:
            values = [str(count(base * effect[name])) if base > 0 else "0" for _ in range(reps)]
            out.write(fid + "\t" + "\t".join(values) + "\n")

# The matrix: 1000 genes, six untreated and six treated samples, in the
# layout featureCounts writes (a comment line, then Geneid, Chr, Start, End,
# Strand, Length and one column per alignment file, treated first).  About
# one gene in six changes two- to sixfold, a few are zero everywhere and a
# few are expressed only after treatment.  The sheet lists the samples,
# untreated first, the way R's write.csv writes a DESeq2 colData table.
# The libraries differ in depth, the treated ones sequenced about twice as
# deep, as is common: the analysis must normalise them first.
# Its own generator, so the tables above do not change.
GENES = 1000
SAMPLES = [("untreated", 6), ("treated", 6)]
DEPTHS = {"untreated": [0.8, 1.1, 0.9, 1.2, 1.0, 0.7], "treated": [1.6, 2.1, 1.4, 1.9, 1.7, 2.3]}
mrng = random.Random(20261210)
genes = []
for i in range(GENES):
    chrom = mrng.choice(["chr2L", "chr2R", "chr3L", "chr3R", "chrX"])
    start = mrng.randrange(1000, 20000000)
    exons = []
    for _ in range(mrng.choice([1, 1, 2, 3])):
        length = mrng.randrange(80, 1500)
        exons.append((start, start + length - 1))
        start += length + mrng.randrange(50, 5000)
    strand = mrng.choice("+-")
    base = math.exp(mrng.uniform(math.log(1), math.log(8000)))
    effect, untreated_base = 1.0, base
    roll = mrng.random()
    if roll < 0.02:
        base = untreated_base = 0.0
    elif roll < 0.03:
        untreated_base = 0.0
    elif roll < 0.11:
        effect = mrng.uniform(2.0, 6.0)
    elif roll < 0.19:
        effect = 1.0 / mrng.uniform(2.0, 6.0)
    genes.append((f"gene{i + 1:05d}", chrom, exons, strand, untreated_base, base * effect))

columns = [(c, r) for c, n in reversed(SAMPLES) for r in range(1, n + 1)]
with open("counts.txt", "w", newline="\n") as out:
    out.write('# Program:featureCounts v2.0.3; Command:"featureCounts" "-a" "genes.gtf" '
              '"-o" "counts.txt" ' + " ".join(f'"bam/{c}{r}.bam"' for c, r in columns) + "\n")
    out.write("Geneid\tChr\tStart\tEnd\tStrand\tLength\t"
              + "\t".join(f"bam/{c}{r}.bam" for c, r in columns) + "\n")
    for gid, chrom, exons, strand, untreated_mean, treated_mean in genes:
        values = []
        for c, r in columns:
            mean = (untreated_mean if c == "untreated" else treated_mean) * DEPTHS[c][r - 1]
            values.append(str(count(mean, gen=mrng)) if mean > 0 else "0")
        out.write("\t".join([gid, ";".join([chrom] * len(exons)),
                             ";".join(str(a) for a, _ in exons),
                             ";".join(str(b) for _, b in exons),
                             ";".join([strand] * len(exons)),
                             str(sum(b - a + 1 for a, b in exons))] + values) + "\n")
with open("samples.csv", "w", newline="\n") as out:
    out.write('"","condition","type"\n')
    for c, n in SAMPLES:
        for r in range(1, n + 1):
            out.write(f'"{c}{r}","{c}","{"paired-end" if r % 2 else "single-end"}"\n')
