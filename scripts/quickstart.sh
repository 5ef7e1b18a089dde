#!/usr/bin/env bash
# Installs the packages that building and running need (not the test tools),
# builds, installs and compares the example tables through the installed
# entry command; then the analysis of the README, from the example count
# matrix to a table and plots.
#
#   ./scripts/quickstart.sh              installs into ./out/prefix
#   PREFIX=$HOME/.local ./scripts/quickstart.sh
#                                        installs there (sudo when the
#                                        directory is not writable)
#
# It ends by printing the lines that put the programs on PATH and their
# manual pages on MANPATH, or saying that both already point there.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/setup.sh
prefix=${PREFIX:-$top/out/prefix}
case $prefix in /*) ;; *) prefix=$top/$prefix ;; esac
cmake -S . -B out/build -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DDRANVEL_TESTS=OFF
cmake --build out/build -j"$(nproc)"
# The nearest existing directory of the prefix tells whether sudo is needed.
probe=$prefix
while [ ! -d "$probe" ]; do probe=$(dirname "$probe"); done
if [ -w "$probe" ] || [ "$(id -u)" -eq 0 ]; then sudo=; else sudo=sudo; fi
$sudo cmake --install out/build >/dev/null
"$prefix/bin/dranvel" mirdle --output out/example-report.txt \
  examples/control.tsv examples/heat.tsv examples/drug.tsv examples/drug_heat.tsv
echo "Report: out/example-report.txt"
head -n 6 out/example-report.txt | cut -c1-120

# The analysis of the README, in a subshell that finds the installed dranvel
# first, as the printed mirdle command expects.
(
  export PATH="$prefix/bin:$PATH"
  mirdle_command=$(dranvel split --normalize examples/counts.txt examples/samples.csv out/analysis)
  eval "$mirdle_command"
  dranvel table --tables out/analysis/untreated.tsv,out/analysis/treated.tsv \
    --sort treated_vs_untreated -o out/analysis/results.tsv out/analysis/report.txt
  dranvel plot --tables out/analysis/untreated.tsv,out/analysis/treated.tsv \
    --label 10 out/analysis/report.txt -o out/analysis/plots.png
  echo "Table: out/analysis/results.tsv"
  head -n 4 out/analysis/results.tsv | cut -f 1,6-9
  echo "Plots: out/analysis/plots.png"
)

bin=$prefix/bin
man=$prefix/share/man
on_path=no
case ":$PATH:" in *":$bin:"*) on_path=yes ;; esac
# man-db also finds the pages of a PATH entry's ../share/man by itself.
on_manpath=no
if command -v manpath >/dev/null && [ $on_path = yes ]; then
  case ":$(manpath 2>/dev/null):" in *":$man:"*) on_manpath=yes ;; esac
fi
case ":${MANPATH:-}:" in *":$man:"*) on_manpath=yes ;; esac
echo
if [ $on_path = yes ] && [ $on_manpath = yes ]; then
  echo "Installed in $prefix: dranvel is on PATH and its manual pages on MANPATH."
else
  echo "Installed in $prefix.  Run these two lines (and add them to ~/.bashrc to keep them):"
  echo
  echo "export PATH=\"$bin:\$PATH\""
  echo "export MANPATH=\"$man:\${MANPATH:-}\""
fi
