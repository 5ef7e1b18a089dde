#!/usr/bin/env python3
"""Writes the example condition tables: 300 features, four conditions.

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


def poisson(lam):
    # Knuth for small means, normal approximation for large ones.
    if lam < 30:
        limit, k, p = math.exp(-lam), 0, 1.0
        while True:
            p *= rng.random()
            if p <= limit:
                return k
            k += 1
    return max(0, int(round(rng.gauss(lam, math.sqrt(lam)))))


def count(mean, dispersion=0.1):
    shape = 1.0 / dispersion
    return poisson(rng.gammavariate(shape, mean / shape))


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
