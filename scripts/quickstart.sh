#!/usr/bin/env bash
# Sets up, builds, installs into ./out/prefix and compares the example tables
# through the installed entry command.
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
