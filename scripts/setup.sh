#!/usr/bin/env bash
# Installs the Debian packages the suite needs, if missing.
#
#   scripts/setup.sh          what building, installing and running need
#                             (scripts/quickstart.sh)
#   scripts/setup.sh --test   that and what the tests, the fuzz targets and
#                             the benchmarks need (scripts/test.sh, CI)
set -euo pipefail

build=(
  g++ cmake make
  zlib1g-dev libbz2-dev liblzma-dev
  pkg-config
  man-db
  libcairo2-dev fonts-dejavu-core   # plot: cairo, and a font for its labels
  nlohmann-json3-dev libeigen3-dev  # analyze and report: JSON, PCA
)
testing=(
  libgtest-dev googletest
  gzip bzip2 xz-utils          # compressed fixtures
  groff-base mandoc            # manual page checks
  clang libclang-rt-14-dev     # fuzz targets
  valgrind time
  libbenchmark-dev             # -DDRANVEL_BENCH=ON
  python3                      # pictures decoded, tables read back, examples made
  snakemake                    # workflow/Snakefile
  chromium                     # report's page in a browser (tests/browser)
)
# Node.js and npm drive the browser tests; a machine may have them from
# elsewhere than Debian (npm bundled with its nodejs), which Debian's npm
# package would conflict with: Debian's are installed only when none is.
node_tools=(nodejs npm)

packages=("${build[@]}")
case ${1:-} in
"") ;;
--test) packages+=("${testing[@]}") ;;
*)
  echo "Usage: $0 [--test]" >&2
  exit 64
  ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${1:-}" = --test ] && ! { command -v node && command -v npm; } >/dev/null 2>&1; then
  missing+=("${node_tools[@]}")
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then sudo=sudo; else sudo=; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The browser tests' npm packages, as package-lock.json pins them.
if [ "${1:-}" = --test ]; then
  (cd "$(dirname "$0")/../tests/browser" && npm ci --no-audit --no-fund --loglevel=error)
fi
