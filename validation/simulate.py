#!/usr/bin/env python3
"""Writes two condition tables of negative-binomial counts with known truth.

simulate.py [options] OUT_DIR

writes OUT_DIR/c1.tsv and OUT_DIR/c2.tsv (a target_id header, one row per
feature, one whole-number count per replicate) and OUT_DIR/truth.tsv
(feature, base mean, 1 if changed, the true log2 fold change of condition 2
over condition 1).

Per feature: a base mean mu (drawn from the row means of --means TABLE, the
rows with a mean above zero, or else exp(N(4, 2^2))), a dispersion
0.1 + 1/mu, and for a share --changed of the features a log2 fold change L
with |L| uniform on [0.5, 2.5] and a random sign, applied to condition 2
(mu * 2^L).  Each count of sample j is negative binomial with mean
s_j * mu_c and that dispersion (a Poisson of a gamma), s_j its library
factor: 1, or --depth for every sample of condition 2.  --outliers K makes
the last K replicates of each condition outlier samples: every mean of such
a sample is multiplied by exp(N(0, 1)) of its own.  The same options and
--seed always give the same files.
"""

import argparse
import gzip
import math
import os
import random


def poisson(rng, lam):
    """A Poisson draw: multiplication of uniforms for small means, and the
    transformed rejection with squeeze of Hoermann (1993) for large ones."""
    if lam <= 0.0:
        return 0
    if lam < 10.0:
        limit, k, p = math.exp(-lam), 0, rng.random()
        while p > limit:
            k += 1
            p *= rng.random()
        return k
    slam, loglam = math.sqrt(lam), math.log(lam)
    b = 0.931 + 2.53 * slam
    a = -0.059 + 0.02483 * b
    inv_alpha = 1.1239 + 1.1328 / (b - 3.4)
    v_r = 0.9277 - 3.6224 / (b - 2)
    while True:
        u = rng.random() - 0.5
        v = rng.random()
        us = 0.5 - abs(u)
        k = math.floor((2 * a / us + b) * u + lam + 0.43)
        if us >= 0.07 and v <= v_r:
            return k
        if k < 0 or (us < 0.013 and v > us):
            continue
        if (math.log(v) + math.log(inv_alpha) - math.log(a / (us * us) + b)
                <= -lam + k * loglam - math.lgamma(k + 1)):
            return k


def negative_binomial(rng, mean, dispersion):
    shape = 1.0 / dispersion
    return poisson(rng, rng.gammavariate(shape, mean / shape))


def table_means(path):
    opener = gzip.open if path.endswith(".gz") else open
    means = []
    with opener(path, "rt") as f:
        for line in f:
            fields = line.rstrip("\n").split("\t")
            try:
                values = [float(x) for x in fields[1:]]
            except ValueError:
                continue  # the header
            mean = sum(values) / len(values) if values else 0.0
            if mean > 0:
                means.append(mean)
    return means


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("out_dir")
    p.add_argument("--features", type=int, default=10000)
    p.add_argument("--replicates", type=int, default=3)
    p.add_argument("--changed", type=float, default=0.1)
    p.add_argument("--depth", type=float, default=1.0,
                   help="library factor of every sample of condition 2")
    p.add_argument("--outliers", type=int, default=0)
    p.add_argument("--means", help="a table whose row means are the base means")
    p.add_argument("--seed", type=int, default=1)
    args = p.parse_args()

    rng = random.Random(args.seed)
    pool = table_means(args.means) if args.means else None
    n = args.replicates
    os.makedirs(args.out_dir, exist_ok=True)
    names = [os.path.join(args.out_dir, f) for f in ("c1.tsv", "c2.tsv", "truth.tsv")]
    with open(names[0], "w") as c1, open(names[1], "w") as c2, open(names[2], "w") as truth:
        c1.write("target_id" + "".join(f"\tc1_{r + 1}" for r in range(n)) + "\n")
        c2.write("target_id" + "".join(f"\tc2_{r + 1}" for r in range(n)) + "\n")
        truth.write("feature\tbase_mean\tchanged\tlog2fc\n")
        for i in range(args.features):
            mu = rng.choice(pool) if pool else math.exp(rng.gauss(4.0, 2.0))
            dispersion = 0.1 + 1.0 / mu
            changed = rng.random() < args.changed
            lfc = rng.choice((-1, 1)) * rng.uniform(0.5, 2.5) if changed else 0.0
            name = f"f{i + 1:06d}"
            for out, mean, depth in ((c1, mu, 1.0), (c2, mu * 2 ** lfc, args.depth)):
                counts = []
                for r in range(n):
                    m = mean * depth
                    if r >= n - args.outliers:
                        m *= math.exp(rng.gauss(0.0, 1.0))
                    counts.append(str(negative_binomial(rng, m, dispersion)))
                out.write(name + "\t" + "\t".join(counts) + "\n")
            truth.write(f"{name}\t{mu:.6g}\t{int(changed)}\t{lfc:.6g}\n")


if __name__ == "__main__":
    main()
