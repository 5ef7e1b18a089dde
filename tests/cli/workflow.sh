# The Snakemake workflow (workflow/Snakefile, config/config.yaml): lint-clean;
# a local run cutting the example study into K = 1, 3 and 7 pieces gives the
# report of one mirdle --draws=feature run over the whole tables split from
# it, and the table and plot of that report (P-values adjusted over all
# features, not per piece); a dry run with the SLURM profile plans every
# piece as a cluster job.
. "$(dirname "$0")/lib.sh"
: "${SRC_DIR:?}" "${MIRDLE:?}" "${SPLIT:?}" "${TABLE:?}" "${PLOT:?}"
skip_if_sanitized "the workflow only runs programs that the other tests run under the sanitizers"
if ! command -v snakemake >/dev/null; then
  echo "snakemake is missing: scripts/setup.sh --test installs it" >&2
  exit 1
fi
E=$SRC_DIR/examples

# sm OUTDIR ARGS...: the workflow on the example study with the build's
# programs, its outputs under OUTDIR.
sm() {
  local outdir=$1
  shift
  run_cmd snakemake --snakefile "$SRC_DIR/workflow/Snakefile" \
    --configfile "$SRC_DIR/config/config.yaml" \
    --config counts="$E/counts.txt" samples="$E/samples.csv" outdir="$outdir" \
    split="$SPLIT" mirdle="$MIRDLE" table="$TABLE" plot_command="$PLOT" "$@"
}

sm lint --lint
expect_eq "lint: status" 0 "$rc"
expect_eq "lint: no lints" "" "$(printf '%s\n' "$out$err" | grep 'Lints for')"

# The single run the pieces must reproduce.
step "$SPLIT" --normalize --conditions untreated,treated --condition-column condition \
  "$E/counts.txt" "$E/samples.csv" whole
step "$MIRDLE" --draws=feature --output whole.txt whole/untreated.tsv whole/treated.tsv
step "$TABLE" --tables whole/untreated.tsv,whole/treated.tsv -o whole.tsv whole.txt
step "$PLOT" --pair 1-2 --tables whole/untreated.tsv,whole/treated.tsv -o whole.png whole.txt

for k in 1 3 7; do
  sm "k$k" --cores 2 --set-scatter rows=$k
  expect_eq "K = $k: status" 0 "$rc"
  expect_eq "K = $k: pieces" "$k" "$(ls "k$k/pieces" | wc -l)"
  checks=$((checks + 1))
  cmp -s whole.txt "k$k/report.txt" || fail "K = $k: the gathered report is not the single run's"
  checks=$((checks + 1))
  cmp -s whole.tsv "k$k/table.tsv" || fail "K = $k: the table is not the single run's"
done
checks=$((checks + 1))
cmp -s whole.png k3/plot.png || fail "K = 3: the plot is not the single run's"

# Cluster mode, planned only: every piece a job of its own.
sm cluster -n --profile "$SRC_DIR/workflow/profiles/slurm" --set-scatter rows=5
expect_eq "cluster dry run: status" 0 "$rc"
checks=$((checks + 1))
printf '%s\n' "$out$err" | grep -q 'resources: .*partition=main, runtime=60' ||
  fail "cluster dry run: the profile's resources are not the jobs'"
expect_eq "cluster dry run: five pieces" "mirdle 5" \
  "$(printf '%s\n' "$out$err" | awk '$1 == "mirdle" && $2 ~ /^[0-9]+$/ { print $1, $2; exit }')"

finish
