#!/usr/bin/env bash
# Installs the packages that building and running need (not the test tools),
# builds, installs and compares the example tables through the installed
# entry command.
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
