#!/usr/bin/env bash
# Sets up, builds, installs into ./out/prefix and compares the example tables
# through the installed entry command; then the analysis of the README, from
# the example count matrix to a table and plots.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/setup.sh
prefix="$top/out/prefix"
cmake -S . -B out/build -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DDRANVEL_TESTS=OFF
cmake --build out/build -j"$(nproc)"
cmake --install out/build >/dev/null
"$prefix/bin/dranvel" mirdle --output out/example-report.txt \
  examples/control.tsv examples/heat.tsv examples/drug.tsv examples/drug_heat.tsv
echo "Report: out/example-report.txt"
head -n 6 out/example-report.txt | cut -c1-120

export PATH="$prefix/bin:$PATH"
mirdle_command=$(dranvel split examples/counts.txt examples/samples.csv out/analysis)
eval "$mirdle_command"
dranvel table --tables out/analysis/untreated.tsv,out/analysis/treated.tsv \
  --sort treated_vs_untreated -o out/analysis/results.tsv out/analysis/report.txt
dranvel plot --tables out/analysis/untreated.tsv,out/analysis/treated.tsv \
  --label 10 out/analysis/report.txt -o out/analysis/plots.png
echo "Table: out/analysis/results.tsv"
head -n 4 out/analysis/results.tsv | cut -f 1,6-9
echo "Plots: out/analysis/plots.png"
