# Resource bounds of normalize: peak memory does not grow with the number of
# rows (the selection keeps a bounded number of candidates per sample).  Peak
# RSS at 10^4 and 10^6 rows of two tables of two samples must agree within
# the candidate buffers' bound.  Sanitizer builds are skipped: their shadow
# memory makes RSS meaningless.
. "$(dirname "$0")/lib.sh"
: "${NORMALIZE:?}"

skip_if_sanitized "peak memory is not measured"
need_gnu_time

# Per sample at most a 2^16-bucket histogram and 2^16 candidates, 512 KiB
# each: 4 MiB for four samples, whatever the rows.
margin_kib=6144
make_table() { # ROWS SEED
  awk -v n="$1" -v x="$2" 'BEGIN { for (i = 1; i <= n; i++) {
    x = (x * 16807) % 2147483647; a = x % 1000 + 1
    x = (x * 16807) % 2147483647
    printf "ENSG%011d\t%d\t%d.5\n", i, a, x % 977 } }'
}
peak_kib() { # NAME TABLE1 TABLE2 METHOD
  /usr/bin/time -f %M -o time.txt timeout 600 "$NORMALIZE" --method "$4" "$2" "$3" -o "$1" \
    >/dev/null 2>err.txt
  rc=$?
  expect_eq "run on $2: status" 0 "$rc"
  peak=$(tail -n 1 time.txt)
}

make_table 10000 1 >small1.tsv
make_table 10000 2 >small2.tsv
make_table 1000000 1 >large1.tsv
make_table 1000000 2 >large2.tsv
for method in ratio upperquartile; do
  peak_kib small small1.tsv small2.tsv $method
  small=$peak
  peak_kib large large1.tsv large2.tsv $method
  large=$peak
  echo "$method: peak RSS $small KiB at 10^4 rows, $large KiB at 10^6 rows"
  checks=$((checks + 1))
  if ! [ "$large" -le $((small + margin_kib)) ] 2>/dev/null; then
    fail "$method: peak RSS grows with the rows: $small KiB at 10^4, $large KiB at 10^6"
  fi
done
finish
