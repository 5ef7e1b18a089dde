#!/usr/bin/env bash
# Two builds of bench_kernels, run in turn benchmark by benchmark, so that the
# drift of a shared machine falls on both alike: per benchmark the median
# time of each over the rounds and their ratio (after / before), then the
# geometric mean of the ratios.
#
#   bench/paired_kernels.sh BEFORE_BINARY AFTER_BINARY [ROUNDS] [FILTER]
#
# ROUNDS defaults to 3 (which build goes first alternates); FILTER, a
# --benchmark_filter regular expression, to the production kernels.
set -euo pipefail
before=$1 after=$2 rounds=${3:-3}
filter=${4:-'count_extreme_fcs_.*/(scalar|avx2|avx512)$'}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
run() {  # run BINARY TAG NAME
  # One short round of the binary's own summary, which follows the table.
  "$1" --paired_rounds=1 --paired_seconds=0 --benchmark_filter="^$3\$" \
    --benchmark_min_time=0.2 --benchmark_format=csv 2>/dev/null |
    awk -F, -v tag="$2" -v name="$3" '{ gsub(/"/, "", $1) } $1 == name { print tag, $1, $3 }' \
    >>"$work/times"
}
# The counting members' names (the binary's own listing runs its summary too).
for p in 2 3 4 5 6 7 8 9 10 11 12; do
  for list in counts ties equal; do
    for isa in scalar avx2 avx512; do echo "count_extreme_fcs_$p/$list/$isa"; done
  done
done | grep -E -- "$filter" >"$work/names" || true
while read -r name; do
  for ((r = 0; r < rounds; ++r)); do
    if ((r % 2 == 0)); then run "$before" before "$name"; run "$after" after "$name"
    else run "$after" after "$name"; run "$before" before "$name"; fi
  done
done <"$work/names"
sort -k2,2 -k1,1 -k3,3g "$work/times" | awk '
  function median(v, n) { return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2 }
  function flush() {
    if (name == "" || !nb || !na) return
    mb = median(b, nb); ma = median(a, na)
    printf "%-40s %12.3f %12.3f %7.3f\n", name, mb, ma, ma / mb
    logs += log(ma / mb); count++
  }
  BEGIN { printf "%-40s %12s %12s %7s\n", "benchmark (us per call)", "before", "after", "ratio" }
  $2 != name { flush(); name = $2; nb = na = 0 }
  $1 == "before" { b[++nb] = $3 }
  $1 == "after" { a[++na] = $3 }
  END { flush(); if (count) printf "geometric mean of %d ratios: %.3f\n", count, exp(logs / count) }'
