#!/usr/bin/env python3
"""Writes synthetic abundance tables for mirdle's whole-run benchmarks.

gen_tables.py SEED FEATURES REPLICATES OUT_PREFIX CONDITIONS

writes OUT_PREFIX1.tsv ... OUT_PREFIXn.tsv (n = CONDITIONS), each with a
target_id header and FEATURES rows of REPLICATES whole-number counts.  Counts
are gamma-Poisson (negative binomial) around a per-feature mean drawn from a
log-normal, so that there are low-count features with zeros as well as highly
expressed ones; about one feature in ten differs between conditions.  The
same arguments always give the same files (Python's random with a fixed seed).
"""

import math
import random
import sys


def poisson(rng, lam):
    if lam <= 0.0:
        return 0
    if lam < 30.0:
        # Knuth: multiply uniforms until the product drops below e^-lam.
        limit, k, p = math.exp(-lam), 0, rng.random()
        while p > limit:
            k += 1
            p *= rng.random()
        return k
    return max(0, int(round(rng.normalvariate(lam, math.sqrt(lam)))))


def main():
    seed, features, reps, prefix, conditions = (int(sys.argv[1]), int(sys.argv[2]),
                                                int(sys.argv[3]), sys.argv[4], int(sys.argv[5]))
    rng = random.Random(seed)
    dispersion = 0.1
    shape = 1.0 / dispersion
    outs = [open(f"{prefix}{c + 1}.tsv", "w") for c in range(conditions)]
    for c, out in enumerate(outs):
        out.write("target_id" + "".join(f"\tc{c + 1}r{r + 1}" for r in range(reps)) + "\n")
    for i in range(features):
        mean = math.exp(rng.gauss(3.0, 2.0))
        fold = [1.0] * conditions
        if rng.random() < 0.1:
            fold = [math.exp(rng.gauss(0.0, 1.0)) for _ in range(conditions)]
        name = f"feature{i:07d}"
        for c, out in enumerate(outs):
            row = []
            for _ in range(reps):
                lam = rng.gammavariate(shape, mean * fold[c] / shape)
                row.append(str(poisson(rng, lam)))
            out.write(name + "\t" + "\t".join(row) + "\n")
    for out in outs:
        out.close()


if __name__ == "__main__":
    main()
