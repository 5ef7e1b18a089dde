# analyze as a whole program: the study of a count matrix in one command,
# equal to its steps run by hand, and nothing left behind when a step fails.
. "$(dirname "$0")/lib.sh"
A=${ANALYZE:-${BUILD_DIR:?}/analyze/analyze}

# 3 against 3 samples of the example matrix, 300 genes: exhaustive and quick.
head -n 302 "$SRC_DIR/examples/counts.txt" >counts.txt
printf 'sample,condition,batch\nuntreated1,ctl,a\nuntreated2,ctl,b\nuntreated3,ctl,a\ntreated1,drug,b\ntreated2,drug,a\ntreated3,drug,b\n' >sheet.csv

run_cmd "$A" --threads 2 counts.txt sheet.csv -o study
expect_eq "analyze: status" 0 "$rc"
expect_eq "analyze: the steps on standard error" \
  "analyze: split: 2 conditions (ctl, drug), normalised by ratio|analyze: split: raw counts in raw/ for the report|analyze: mirdle: report.txt|analyze: table: results.tsv|analyze: plot: plots_drug_vs_ctl.png|analyze: report: report.html|analyze: done: study" \
  "$(printf '%s\n' "$err" | grep -v ': warning: ' | sed 's/ ([0-9.]* s)$//' | paste -sd '|')"
expect_eq "analyze: the files" \
  "analysis.json ctl.tsv drug.tsv logs plots_drug_vs_ctl.png raw report.html report.txt results.tsv sample_sheet.txt size_factors.tsv" \
  "$(ls study | paste -sd ' ')"
expect_eq "analyze: no work directory left" "" "$(ls -A | grep '^\.study' || true)"

# The same by hand: split, mirdle, table give the same bytes.
step "$SPLIT" --normalize counts.txt sheet.csv hand
step "$SPLIT" counts.txt sheet.csv hand/raw
step "$MIRDLE" --draws=feature --output hand/report.txt hand/ctl.tsv hand/drug.tsv
step "$TABLE" --tables hand/ctl.tsv,hand/drug.tsv --sort 1-2 -o hand/results.tsv hand/report.txt
for f in ctl.tsv drug.tsv raw/drug.tsv size_factors.tsv report.txt results.tsv; do
  checks=$((checks + 1))
  cmp -s "study/$f" "hand/$f" || fail "analyze: $f differs from the step run by hand"
done
expect_eq "analyze: provenance names the inputs by SHA-256" \
  "$(sha256sum counts.txt | cut -d' ' -f1) $(sha256sum sheet.csv | cut -d' ' -f1) condition" \
  "$(python3 -c 'import json,sys; j=json.load(open("study/analysis.json")); print(*[i["sha256"] for i in j["inputs"]], j["condition_column"])')"

run_cmd "$A" --normalize=none counts.txt sheet.csv -o plain
expect_eq "--normalize=none: raw tables, no factors" "0 no no" \
  "$rc $([ -e plain/raw ] && echo yes || echo no) $([ -e plain/size_factors.tsv ] && echo yes || echo no)"
checks=$((checks + 1))
cmp -s plain/drug.tsv hand/raw/drug.tsv || fail "--normalize=none: the tables are not the raw ones"

# Failures: one message naming the step and the file, the step's status,
# and no directory that looks complete.
printf 'sample,condition\nuntreated1,ctl\nnobody,drug\n' >bad.csv
run_cmd "$A" counts.txt bad.csv -o failed
expect_eq "a bad sheet: status, one message from split" "65 1 analyze: split: " \
  "$rc $(printf '%s\n' "$err" | grep -vc warning) $(printf '%s\n' "$err" | grep -v warning | grep -o '^analyze: split: ')"
expect_eq "a bad sheet: nothing left" "" "$(ls -A | grep -E '^(failed|\.failed)' || true)"

mkdir full && touch full/keep
expect_status "DIR not empty" 73 "analyze: full exists and is not empty" "$A" counts.txt sheet.csv -o full
expect_status "no DIR" 64 "analyze: -o DIR is required (see $A --help)" "$A" counts.txt sheet.csv

# A step that fails after others succeeded, through DRANVEL_LIBEXEC: its
# message under its name, its status, the work removed.
mkdir libexec
for p in split table plot report; do ln -s "$(dirname "$A")/../$p/$p" libexec/$p; done
printf '#!/bin/sh\necho "dranvel mirdle: cannot write $4: No space left on device" >&2\nexit 74\n' >libexec/mirdle
chmod +x libexec/mirdle
DRANVEL_LIBEXEC=$PWD/libexec run_cmd "$A" counts.txt sheet.csv -o late
expect_eq "mirdle fails: status and message" \
  "74 analyze: mirdle: cannot write late/report.txt: No space left on device" \
  "$rc $(printf '%s\n' "$err" | grep mirdle)"
expect_eq "mirdle fails: nothing left" "" "$(ls -A | grep -E '^(late|\.late)' || true)"

# Interrupted: the work goes, and the run ends by the signal.
printf '#!/bin/sh\nsleep 30\n' >libexec/mirdle
DRANVEL_LIBEXEC=$PWD/libexec "$A" counts.txt sheet.csv -o stopped 2>/dev/null &
pid=$!
for _ in $(seq 50); do [ -e "$(ls -d .stopped.* 2>/dev/null | head -n1)/ctl.tsv" ] && break; sleep 0.1; done
kill -TERM $pid
wait $pid
expect_eq "SIGTERM: ended by it, nothing left" "143 " "$? $(ls -A | grep -E '^(stopped|\.stopped)' || true)"

finish
