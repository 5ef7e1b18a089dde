#!/usr/bin/env bash
# The validation study: simulated tables of known truth, mirdle on them raw
# and normalised, edgeR and DESeq2 on the same tables when R has them, and
# the measures and figures written into validation/README.md.
#
#   validation/run.sh [--quick] [--means TABLE|--means none] [--seed N]
#                     [--build DIR] [--run-dir DIR]
#
# --quick: 2,000 features a design instead of 10,000 (a few minutes on two
# cores).  --means: the table whose row means are the base means (default
# ../shared/data/pasilla/untreated.tsv.gz when it is there; "none": the
# built-in log-normal).  --build: a build tree of the suite (default
# out/validation, configured and built when it has no mirdle).  --run-dir:
# where the tables and P-values go (default out/validation-run).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
command="validation/run.sh${*:+ $*}"
mode=full features=10000 seed=1 build=out/validation run_dir=out/validation-run
means=../shared/data/pasilla/untreated.tsv.gz
[ -r "$means" ] || means=none
while [ $# -gt 0 ]; do
  case $1 in
  --quick) mode=quick features=2000 ;;
  --means) means=$2; shift ;;
  --seed) seed=$2; shift ;;
  --build) build=$2; shift ;;
  --run-dir) run_dir=$2; shift ;;
  *) echo "usage: validation/run.sh [--quick] [--means TABLE|none] [--seed N] [--build DIR] [--run-dir DIR]" >&2; exit 64 ;;
  esac
  shift
done
# Features a near-exact run at 8 and at 12 replicates takes (the first rows
# of the design): sampling 8 or 12 replicates costs about 0.01-0.02 and
# 0.08-0.16 s a feature on a loaded two-core machine.
if [ $mode = quick ]; then near8=300 near12=150; else near8=10000 near12=2000; fi

python=/usr/bin/python3 # Debian's, which has the cairo module for the figures
[ -x $python ] || python=python3
if [ ! -x "$build/mirdle/mirdle" ] || [ ! -x "$build/normalize/normalize" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j2 --target mirdle normalize >/dev/null
fi
mirdle=$build/mirdle/mirdle normalize=$build/normalize/normalize
peers=yes
if ! Rscript -e 'suppressMessages({library(edgeR); library(DESeq2)})' >/dev/null 2>&1; then
  echo "run.sh: R with edgeR and DESeq2 not found: the peers are left out" >&2
  peers=no
fi
means_arg=() means_text="exp(N(4, 2^2)), built in"
if [ "$means" != none ]; then
  means_arg=(--means "$means") means_text="row means of $(basename "$means") (rows above zero)"
fi

rm -rf "$run_dir"
mkdir -p "$run_dir"
began=$(date +%s.%N)

# since START: wall seconds from START (date +%s.%N) to now.
since() { awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN { printf "%.3f", b - a }'; }

# timed DIR METHOD CMD...: runs CMD, its output and errors into DIR/METHOD.log,
# and adds its wall seconds to DIR/times.tsv.
timed() {
  local dir=$1 method=$2 start
  shift 2
  start=$(date +%s.%N)
  if ! "$@" >"$dir/$method.log" 2>&1; then
    echo "run.sh: $method failed in $dir:" >&2
    cat "$dir/$method.log" >&2
    exit 1
  fi
  printf '%s\t%s\n' "$method" "$(since "$start")" >>"$dir/times.tsv"
}

# pvalues REPORT OUT: a mirdle report's feature ids and P-values.
pvalues() { awk 'BEGIN { print "feature\tpvalue" } NR > 1 { print $1 "\t" $NF }' "$1" >"$2"; }

mirdle_on() { # DIR METHOD TABLE1 TABLE2 [OPTIONS]
  local dir=$1 method=$2 a=$3 b=$4
  shift 4
  timed "$dir" "$method" "$mirdle" "$@" --output "$dir/$method.txt" "$a" "$b"
  pvalues "$dir/$method.txt" "$dir/$method.tsv"
}

printf 'design\treplicates\tdepth\toutliers\tfeatures\n' >"$run_dir/designs.tsv"
index=0
while read -r design reps depth outliers; do
  index=$((index + 1))
  dir=$run_dir/$design
  echo "run.sh: $design ($reps replicates, condition 2 depth ${depth}x, $outliers outlier samples)" >&2
  $python validation/simulate.py --features $features --replicates "$reps" --depth "$depth" \
    --outliers "$outliers" --seed $((seed * 100 + index)) "${means_arg[@]}" "$dir"
  printf '%s\t%s\t%s\t%s\t%s\n' "$design" "$reps" "$depth" "$outliers" $features >>"$run_dir/designs.tsv"
  printf 'method\tseconds\n' >"$dir/times.tsv"
  mirdle_on "$dir" mirdle "$dir/c1.tsv" "$dir/c2.tsv"
  timed "$dir" normalize "$normalize" -o "$dir/norm" "$dir/c1.tsv" "$dir/c2.tsv"
  mirdle_on "$dir" mirdle_norm "$dir/norm/c1.tsv" "$dir/norm/c2.tsv"
  case $design in n8 | n12)
    keep=$near8
    [ "$reps" = 12 ] && keep=$near12
    head -n $((keep + 1)) "$dir/c1.tsv" >"$dir/first1.tsv"
    head -n $((keep + 1)) "$dir/c2.tsv" >"$dir/first2.tsv"
    mirdle_on "$dir" mirdle_near_exact "$dir/first1.tsv" "$dir/first2.tsv" --near-exact
    ;;
  esac
  if [ $peers = yes ]; then
    for peer in edger deseq2; do
      timed "$dir" $peer Rscript validation/peers.R $peer "$dir/c1.tsv" "$dir/c2.tsv" "$dir/$peer.tsv"
    done
  fi
done <<'EOF'
n2 2 1 0
n3 3 1 0
n4 4 1 0
n6 6 1 0
n8 8 1 0
n12 12 1 0
n4_deep 4 2 0
n8_deep 8 2 0
n6_outliers 6 1 1
EOF

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
{
  printf 'key\tvalue\n'
  printf 'machine\t%s, %s cores, %s\n' "$cpu" "$(nproc)" "$(. /etc/os-release && echo "$PRETTY_NAME")"
  printf 'date\t%s\n' "$(date -u '+%Y-%m-%d %H:%M UTC')"
  printf 'command\t%s\n' "$command"
  printf 'mode\t%s, %s features a design; --near-exact on the first %s (8) and %s (12); peers %s\n' \
    $mode $features $near8 $near12 "$([ $peers = yes ] && echo run || echo "not run (no R)")"
  printf 'means\t%s\n' "$means_text"
  printf 'seed\t%s\n' "$seed"
  printf 'seconds\t%.0f\n' "$(since "$began")"
} >"$run_dir/run.tsv"
$python validation/evaluate.py report "$run_dir" validation
echo "run.sh: validation/README.md, results.tsv and the figures written from $run_dir" >&2
