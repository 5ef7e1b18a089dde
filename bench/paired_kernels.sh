#!/usr/bin/env bash
# Two builds of bench_kernels, run in turn on the same benchmarks, so that the
# drift of a shared machine falls on both alike: per benchmark the median
# time of each over the rounds and their ratio (after / before).
#
#   bench/paired_kernels.sh BEFORE_BINARY AFTER_BINARY [ROUNDS] [FILTER]
#
# ROUNDS defaults to 3 (the order alternates between rounds); FILTER, a
# --benchmark_filter regular expression, to the production kernels.
set -euo pipefail
before=$1 after=$2 rounds=${3:-3}
filter=${4:-'count_extreme_fcs_.*/(scalar|avx2|avx512)$'}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
run() {  # run BINARY TAG ROUND
  "$1" --benchmark_filter="$filter" --benchmark_min_time=0.2 --benchmark_format=csv \
    2>/dev/null | awk -F, -v tag="$2" 'NR > 1 && $1 !~ /^name/ { gsub(/"/, "", $1); print tag, $1, $3 }' \
    >>"$work/times"
}
for ((r = 0; r < rounds; ++r)); do
  if ((r % 2 == 0)); then run "$before" before; run "$after" after
  else run "$after" after; run "$before" before; fi
done
# Median per benchmark and build, then the ratio.
sort -k2,2 -k1,1 -k3,3g "$work/times" | awk '
  function flush() {
    if (name == "") return
    mb = median(b, nb); ma = median(a, na)
    printf "%-40s %12.1f %12.1f %7.3f\n", name, mb, ma, ma / mb
  }
  function median(v, n) { return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2 }
  BEGIN { printf "%-40s %12s %12s %7s\n", "benchmark (us per call)", "before", "after", "ratio" }
  $2 != name { flush(); name = $2; nb = na = 0 }
  $1 == "before" { b[++nb] = $3 }
  $1 == "after" { a[++na] = $3 }
  END { flush() }'
