#!/bin/bash
# Resource bounds of mirdle: tables are streamed, so peak memory does not
# grow with the number of features.  Peak RSS (GNU time's %M) at 10^4 and
# 10^6 features of two conditions with two replicates must agree within a
# small margin.  Sanitizer builds are skipped: their shadow memory and
# quarantine make RSS meaningless.
set -u
. "$(dirname "$0")/lib.sh"
: "${MIRDLE:?}"

skip_if_sanitized "peak memory is not measured"
need_gnu_time

margin_kib=2048
make_table() { # FEATURES OFFSET
  awk -v n="$1" -v o="$2" 'BEGIN { for (i = 1; i <= n; i++) printf "ENSG%011d\t%d\t%d.5\n", i, (i * 7 + o) % 1000, (i * 13 + o) % 977 }'
}
peak_kib() { # TABLE1 TABLE2: peak RSS of one run into $peak, report discarded
  /usr/bin/time -f %M -o "$TEST_TMP/time.txt" timeout 600 "$MIRDLE" --output /dev/null "$1" "$2" 2>"$TEST_TMP/err.txt"
  rc=$?
  expect_eq "run on $1: status" 0 "$rc"
  peak=$(tail -n 1 "$TEST_TMP/time.txt")
}

make_table 10000 1 >small1.tsv
make_table 10000 2 >small2.tsv
make_table 1000000 1 >large1.tsv
make_table 1000000 2 >large2.tsv
peak_kib small1.tsv small2.tsv
small=$peak
peak_kib large1.tsv large2.tsv
large=$peak
echo "peak RSS: $small KiB at 10^4 features, $large KiB at 10^6 features"
checks=$((checks + 1))
if ! [ "$large" -le $((small + margin_kib)) ] 2>/dev/null; then
  fail "peak RSS grows with the features: $small KiB at 10^4, $large KiB at 10^6 (margin $margin_kib KiB)"
fi

# The same through gzip: the decompressor's buffers are fixed too.
gzip -c large1.tsv >large1.tsv.gz
gzip -c small1.tsv >small1.tsv.gz
peak_kib small1.tsv.gz small2.tsv
small_gz=$peak
peak_kib large1.tsv.gz large2.tsv
large_gz=$peak
echo "peak RSS, gzip: $small_gz KiB at 10^4 features, $large_gz KiB at 10^6 features"
checks=$((checks + 1))
if ! [ "$large_gz" -le $((small_gz + margin_kib)) ] 2>/dev/null; then
  fail "peak RSS grows with the features of a .gz table: $small_gz KiB, then $large_gz KiB"
fi
finish
