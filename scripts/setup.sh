#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, if missing.
set -euo pipefail

packages=(
  g++ cmake make pkg-config
  zlib1g-dev libbz2-dev liblzma-dev
  libgtest-dev googletest libbenchmark-dev
  gzip bzip2 xz-utils
  man-db groff-base mandoc
  clang libclang-rt-14-dev
  valgrind time
  libcairo2-dev fonts-dejavu-core python3
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then sudo=sudo; else sudo=; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
