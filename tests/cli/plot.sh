# plot as a whole program: pictures measured pixel by pixel, options, failures.
. "$(dirname "$0")/lib.sh"
P=$PLOT
pixels() { python3 "$SRC_DIR/tests/cli/plot_pixels.py" "$@"; }
# The colours of plot.h: plain markers are half transparent, so in a PNG
# they are counted over whatever grey lies beneath (white, a grid line).
plain=110,115,125@0.4
plain_svg=110,115,125
up=215,35,35
down=30,95,200
guide=0,130,110
count_of() { awk -v k="$1" -v c="$2" '$1 == "colour" && $2 == k && $3 == c {print $4}' "$3"; }

# Six drawn features far enough apart that no two markers touch: three with
# P below 0.05 (f1 and f6 up, f7 down), two with an infinite log2 fold
# change, and one all-zero.
{
  header2
  row2 f1 10 20 0.1 0.2 2 1 0.01
  row2 f2 100 50 0.1 0.1 0.5 -1 0.5
  row2 f3 1000 1000 0.1 0.1 1 0 0.9
  row2 f4 0 5 0 0.3 inf inf 0.2
  row2 f5 0 0 0 0 '*' '*' 1
  row2 f6 50 400 0.2 0.2 8 3 0.001
  row2 f7 5 0 0.3 0 0 -inf 0.03
} >small.txt
area=$((5 * 5))

# --- PNG: size, markers per colour inside each plotting area, edges -------------
run_cmd "$P" small.txt -o both.png --width 600 --height 300
expect_eq "both: status" 0 "$rc"
expect_eq "both: summary" \
  "plot: both.png: MA and volcano plot of c2 vs c1: 6 features drawn, 3 with P < 0.05, 1 all-zero left out, 2 with infinite log2 FC at the edge" "$err"
pixels png both.png $plain $up $down >both.m
expect_eq "both: size" "size 600 300" "$(sed -n 1p both.m)"
expect_eq "both: two plotting areas" 2 "$(grep -c '^frame' both.m)"
# f7, the one down, has an infinite log2 FC: a triangle, smaller than a square.
tri=$(count_of 0 $down both.m)
checks=$((checks + 1))
[ "$tri" -gt 0 ] && [ "$tri" -lt $area ] || fail "infinite log2 FC: a triangle of $tri pixels"
for k in 0 1; do
  expect_eq "panel $k: plain pixels: two squares and a triangle" $((2 * area + tri)) "$(count_of $k $plain both.m)"
  expect_eq "panel $k: up pixels: two squares" $((2 * area)) "$(count_of $k $up both.m)"
  expect_eq "panel $k: down pixels: a triangle" $tri "$(count_of $k $down both.m)"
done
expect_eq "outside the plotting areas only the legends' squares" "outside $plain $((2 * area))
outside $up $((2 * area))
outside $down $((2 * area))" "$(grep '^outside' both.m)"
# f4 (inf, P 0.2) is plain, f7 (-inf, P 0.03) down.  MA: log2 FC up and
# down, so f4 touches the top edge and f7 the bottom one; volcano: log2 FC
# across, f4 at the right edge and f7 at the left.  Two pixels in from the
# frame line.
read -r _ _ l0 t0 r0 b0 <<<"$(grep '^frame 0' both.m)"
read -r _ _ l1 t1 r1 b1 <<<"$(grep '^frame 1' both.m)"
read -r _ _ _ _ _ plain_top _ _ <<<"$(grep "^colour 0 $plain" both.m)"
read -r _ _ _ _ _ _ _ down_bottom <<<"$(grep "^colour 0 $down" both.m)"
expect_eq "MA: +inf at the top edge" $((t0 + 2)) "$plain_top"
expect_eq "MA: -inf at the bottom edge" $((b0 - 2)) "$down_bottom"
read -r _ _ _ _ _ _ plain_right _ <<<"$(grep "^colour 1 $plain" both.m)"
read -r _ _ _ _ down_left _ _ _ <<<"$(grep "^colour 1 $down" both.m)"
expect_eq "volcano: +inf at the right edge" $((r1 - 2)) "$plain_right"
expect_eq "volcano: -inf at the left edge" $((l1 + 2)) "$down_left"

run_cmd "$P" --kind ma small.txt -o ma.png
pixels png ma.png $plain $up $down >ma.m
expect_eq "ma: default size of one plot" "size 640 560" "$(sed -n 1p ma.m)"
expect_eq "ma: one plotting area" 1 "$(grep -c '^frame' ma.m)"
expect_eq "ma: markers" "$((2 * area + tri)) $((2 * area)) $tri" \
  "$(awk '$1 == "colour" {printf "%s%s", sep, $4; sep = " "}' ma.m)"
expect_eq "ma: summary" "plot: ma.png: MA plot of c2 vs c1: 6 features drawn, 3 with P < 0.05, 1 all-zero left out, 2 with infinite log2 FC at the edge" "$err"

# --dpi scales the picture, its markers included.
run_cmd "$P" small.txt -o dpi.png --width 600 --height 300 --dpi 144
pixels png dpi.png $up >dpi.m
expect_eq "dpi 144: twice as many pixels a side" "size 1200 600" "$(sed -n 1p dpi.m)"
expect_eq "dpi 144: squares of 10 pixels" $((2 * 4 * area)) "$(count_of 0 $up dpi.m)"

# The pair turned round: the fold changes inverted, so f7 (-inf) is up and
# at the right edge of the volcano plot, f4 (inf) at the left, f1 and f6 down.
run_cmd "$P" small.txt -o rev.png --width 600 --height 300 --pair 2-1
expect_eq "reversed: summary" \
  "plot: rev.png: MA and volcano plot of c1 vs c2: 6 features drawn, 3 with P < 0.05, 1 all-zero left out, 2 with infinite log2 FC at the edge" "$err"
pixels png rev.png $plain $up $down >rev.m
expect_eq "reversed: markers" "$((2 * area + tri)) $tri $((2 * area))" \
  "$(awk '$1 == "colour" && $2 == 1 {printf "%s%s", sep, $4; sep = " "}' rev.m)"
read -r _ _ _ _ plain_left _ _ _ <<<"$(grep "^colour 1 $plain" rev.m)"
read -r _ _ _ _ _ _ up_right _ <<<"$(grep "^colour 1 $up" rev.m)"
expect_eq "reversed: f4 left, f7 right" "$((l1 + 2)) $((r1 - 2))" "$plain_left $up_right"

# --threshold moves f4 (P 0.2) into the up colour; f2 (P 0.5) is not below 0.5.
run_cmd "$P" --kind volcano --threshold 0.5 small.txt -o v.png --height 300
pixels png v.png $plain $up $down >v.m
expect_eq "threshold 0.5: markers" "$((2 * area)) $((2 * area + tri)) $tri" \
  "$(awk '$1 == "colour" {printf "%s%s", sep, $4; sep = " "}' v.m)"
expect_eq "threshold 0.5: default width of one plot" "size 640 300" "$(sed -n 1p v.m)"

# --adjusted: over the pair's 6 P-values of features not all zero, 0.001,
# 0.01 and 0.03 become 0.006, 0.03 and 0.06, so f7 is no longer marked.
run_cmd "$P" --kind volcano --adjusted small.txt -o adj.png --height 300
pixels png adj.png $plain $up $down >adj.m
expect_eq "adjusted: markers" "$((2 * area + 2 * tri)) $((2 * area)) 0" \
  "$(awk '$1 == "colour" {printf "%s%s", sep, $4; sep = " "}' adj.m)"
expect_eq "adjusted: summary" "plot: adj.png: volcano plot of c2 vs c1: 6 features drawn, 2 with adjusted P < 0.05, 1 all-zero left out, 2 with infinite log2 FC at the edge" "$err"

# --fc-line: two lines, as far from log2 FC 0 on either side, twice as far
# for a fold change of 4 as for 2 (to the pixel).
for x in 2 4; do
  run_cmd "$P" small.txt -o fc$x.png --fc-line $x
  pixels png fc$x.png $guide >fc$x.m
  read -r _ _ _ _ _ ma_low _ ma_high <<<"$(grep "^colour 0" fc$x.m)"
  read -r _ _ _ _ v_left _ v_right _ <<<"$(grep "^colour 1" fc$x.m)"
  eval "ma$x=$(((ma_high - ma_low) / 2)) v$x=$(((v_right - v_left) / 2))"
  eval "ma_mid$x=$(((ma_high + ma_low) / 2)) v_mid$x=$(((v_right + v_left) / 2))"
done
expect_eq "fc lines about the same middle" "$ma_mid2 $v_mid2" "$ma_mid4 $v_mid4"
checks=$((checks + 1))
for d in $((ma4 - 2 * ma2)) $((v4 - 2 * v2)); do
  [ "$d" -ge -1 ] && [ "$d" -le 1 ] || fail "fc lines: log2 4 at $ma4 and $v4, log2 2 at $ma2 and $v2"
done

# Labels put dark grey text into the plotting area.
run_cmd "$P" --kind volcano small.txt -o l0.png --height 300
run_cmd "$P" --kind volcano --label 3 small.txt -o l3.png --height 300
ink0=$(pixels png l0.png | awk '$1 == "ink" {print $3}')
ink3=$(pixels png l3.png | awk '$1 == "ink" {print $3}')
checks=$((checks + 1))
[ "$ink3" -gt $((ink0 + 30)) ] || fail "labels add no ink: $ink0 then $ink3"

# An id that is not UTF-8 is still labelled.
{ header2; row2 "$(printf 'caf\351')" 1 2 0 0 2 1 0.01; row2 g2 3 3 0 0 1 0 0.5; } >latin1.txt
run_cmd "$P" --kind volcano --height 300 latin1.txt -o latin0.png
run_cmd "$P" --kind volcano --height 300 --label 1 latin1.txt -o latin1.png
expect_eq "a Latin-1 id as a label: status" "0" "$rc"
ink0=$(pixels png latin0.png | awk '$1 == "ink" {print $3}')
ink1=$(pixels png latin1.png | awk '$1 == "ink" {print $3}')
checks=$((checks + 1))
[ "$ink1" -gt $((ink0 + 30)) ] || fail "a Latin-1 id as a label: no label drawn ($ink0 then $ink1)"

# --- SVG and PDF ------------------------------------------------------------
run_cmd "$P" small.txt -o both.svg
expect_eq "svg: status" 0 "$rc"
# Plain markers one path each, up and down markers one path per plot; each
# plot's legend adds one square of every colour.
expect_eq "svg: markers, well-formed" "paths $plain_svg 8 8
paths $up 4 6
paths $down 4 4
images 0" "$(pixels svg both.svg $plain_svg $up $down 2>&1)"
expect_eq "svg: size" 'width="1200pt" height="560pt"' "$(grep -o 'width="[0-9]*pt" height="[0-9]*pt"' both.svg)"
run_cmd "$P" small.txt -o upper.SVG --kind volcano --width 500 --height 400
expect_eq "svg by a capital ending" "paths $plain_svg 4 4
paths $up 2 3
paths $down 2 2
images 0" "$(pixels svg upper.SVG $plain_svg $up $down 2>&1)"
# Beyond a thousand plain markers a plot holds them as one image.
awk 'BEGIN { printf "%-20s %6s1 %6s2 %5s1 %5s2  FC 1-2 log2(FC) %5s\n", "Feature", "MNC", "MNC", "SD/C", "SD/C", "P-val"
  for (i = 1; i <= 1500; i++)
    printf "%-20s %7.1f %7.1f %6.1f %6.1f %7.2f %7.2f  %7.5f\n", "g" i, i, i + 1 + i % 7, 0.1, 0.1, 1, log(1 + (1 + i % 7) / i) / log(2), i <= 10 ? 0.01 : 0.5 }' >dense.txt
run_cmd "$P" dense.txt -o dense.svg
expect_eq "svg: dense plain markers in an image" "paths $plain_svg 2 2
paths $up 4 22
images 2" "$(pixels svg dense.svg $plain_svg $up)"
run_cmd "$P" small.txt -o both.pdf
expect_eq "pdf: status" 0 "$rc"
expect_eq "pdf: header" "%PDF-" "$(head -c 5 both.pdf)"
expect_eq "pdf: one page" 1 "$(grep -a -c '/Type /Page\b' both.pdf)"
expect_eq "pdf: complete" "%%EOF" "$(tail -c 6 both.pdf | tr -d '\n')"

# --- pairs and names ------------------------------------------------------------
{
  header3
  row3 a 10 20 40 0 0 0   2 1 0.01   4 2 0.02   2 1 0.5
  row3 b 10 10 10 0 0 0   1 0 0.9    1 0 0.01   1 0 0.03
} >three.txt
run_cmd "$P" --names ctl,heat,drug --pair drug_vs_heat three.txt -o p23.svg
expect_eq "pair by names: summary" "plot: p23.svg: MA and volcano plot of drug vs heat: 2 features drawn, 1 with P < 0.05" "$err"
expect_eq "pair 2-3: b down, a plain" "paths $up 2 2
paths $down 4 4" "$(pixels svg p23.svg $up $down | grep -v images)"
run_cmd "$P" --names ctl,heat,drug --pair 1-3 three.txt -o p13.svg
expect_eq "pair 1-3: a up, b down" "paths $up 4 4
paths $down 4 4" "$(pixels svg p13.svg $up $down | grep -v images)"
# With --tables the fold changes are those of the tables' means: b, 10
# against 10 in the report, is 10 against 12 in the tables, so up as well.
mkdir -p x y
printf 'target_id\tr1\tr2\na\t10\t10\nb\t10\t10\n' >x/ctl.tsv
printf 'target_id\tr1\tr2\na\t20\t20\nb\t10\t10\n' | gzip >y/heat.tsv.gz
printf 'target_id\tr1\na\t40\nb\t12\n' >drug.txt
run_cmd "$P" --tables x/ctl.tsv,y/heat.tsv.gz,drug.txt --pair 1-3 three.txt -o t13.svg
expect_eq "pair 1-3 with table names" "plot: t13.svg: MA and volcano plot of drug vs ctl: 2 features drawn, 2 with P < 0.05" "$err"
expect_eq "pair 1-3 from the tables: a and b up" "paths $up 4 6
paths $down 2 2" "$(pixels svg t13.svg $up $down | grep -v images)"
expect_status "tables that are not there" 66 "plot: --tables: cannot open nope.tsv: No such file or directory" \
  "$P" --tables x/ctl.tsv,nope.tsv,drug.txt three.txt -o t.svg
expect_status "--min-count without tables" 64 "plot: --min-count needs --tables: the sums come from the tables" \
  "$P" --min-count 5 three.txt -o t.svg
run_cmd "$P" - -o stdin.svg <three.txt
expect_eq "report on standard input: default pair 1-2" "plot: stdin.svg: MA and volcano plot of c2 vs c1: 2 features drawn, 1 with P < 0.05" "$err"

# With the real mirdle: every drawn feature is one marker in each plot,
# up or down those with P below 0.05 by the sign of their log2 FC.
"$MIRDLE" --output ex.txt "$SRC_DIR/examples/control.tsv" "$SRC_DIR/examples/heat.tsv" 2>/dev/null
run_cmd "$P" ex.txt -o ex.svg --label 5
drawn=$(awk 'NR > 1 && $6 != "*"' ex.txt | wc -l)
low=$(awk 'NR > 1 && $6 != "*" && $8 < 0.05' ex.txt | wc -l)
ups=$(awk 'NR > 1 && $6 != "*" && $8 < 0.05 && $7 > 0' ex.txt | wc -l)
expect_eq "example: markers" "paths $plain_svg $((2 * (drawn - low) + 2)) $((2 * (drawn - low) + 2))
paths $up 4 $((2 * ups + 2))
paths $down 4 $((2 * (low - ups) + 2))" "$(pixels svg ex.svg $plain_svg $up $down | grep -v images)"
# airway's 33,469 drawn features of 64,102 in a vector picture of a few
# hundred kilobytes: the grey ones as images, the others one path a colour.
if [ -d "$DATA_DIR/airway" ]; then
  "$MIRDLE" --threads 2 --output airway.txt "$DATA_DIR/airway/control.tsv.gz" "$DATA_DIR/airway/treated.tsv.gz" 2>/dev/null
  run_cmd "$P" airway.txt -o airway.svg --label 10
  ups=$(awk 'NR > 1 && $6 != "*" && $8 < 0.05 && $7 > 0' airway.txt | wc -l)
  expect_eq "airway: up markers, images" "paths $up 4 $((2 * ups + 2))
images 2" "$(pixels svg airway.svg $up)"
  checks=$((checks + 1))
  [ "$(wc -c <airway.svg)" -lt 2000000 ] || fail "airway.svg: $(wc -c <airway.svg) bytes"
else
  echo "skipped: $DATA_DIR/airway not present"
fi
gzip -c ex.txt >ex.txt.gz
run_cmd "$P" ex.txt -o ex.png
run_cmd "$P" ex.txt.gz -o exgz.png
expect_eq "compressed report: same picture" "0 same" "$rc $(cmp -s ex.png exgz.png && echo same)"

# --- command line and failures ----------------------------------------------------
run_cmd "$P" --help
expect_eq "--help: status" 0 "$rc"
expect_eq "--help: usage on stdout" "Usage: $P [options] REPORT -o FILE" "$(printf '%s\n' "$out" | head -n1)"
expect_eq "--help: nothing on stderr" "" "$err"
run_cmd "$P" --version
expect_eq "--version" "0 $P $SUITE_VERSION" "$rc $out"
expect_status "no -o" 64 "plot: no picture named; give -o FILE.png, .svg or .pdf" "$P" small.txt
expect_status "no report" 64 "plot: expected one REPORT, got 0 arguments (see $P --help)" "$P" -o x.png
expect_status "two reports" 64 "plot: expected one REPORT, got 2 arguments (see $P --help)" "$P" small.txt small.txt -o x.png
expect_status "unknown ending" 64 "plot: -o x.jpg: the name must end in .png, .svg or .pdf" "$P" small.txt -o x.jpg
expect_status "unknown option" 64 "plot: unknown option --colour (see $P --help)" "$P" --colour red small.txt -o x.png
expect_status "-o without value" 64 "plot: -o needs a value" "$P" small.txt -o
expect_status "bad kind" 64 "plot: --kind scatter: give ma, volcano or both" "$P" --kind scatter small.txt -o x.png
expect_status "bad threshold" 64 "plot: --threshold 2: must be from 0 to 1" "$P" --threshold 2 small.txt -o x.png
expect_status "threshold word" 64 "plot: --threshold abc: not a number" "$P" --threshold abc small.txt -o x.png
expect_status "label word" 64 "plot: --label -1: not a whole number" "$P" --label -1 small.txt -o x.png
expect_status "too narrow" 64 "plot: --width 100: must be from 240 to 8000" "$P" --width 100 small.txt -o x.png
expect_status "too narrow for two" 64 "plot: --width 400: two plots need at least 480" "$P" --width 400 small.txt -o x.png
expect_status "no such pair" 64 "plot: --pair 1-3: no such pair; pairs are a-b with 1 <= a, b <= 2, a != b" "$P" --pair 1-3 small.txt -o x.png
expect_status "names count" 64 "plot: --names gives 3 names, the report has 2 conditions" "$P" --names a,b,c small.txt -o x.png
expect_status "missing report" 66 "plot: cannot open nope.txt: No such file or directory" "$P" nope.txt -o x.png
printf 'target_id\ta\tb\ng1\t1\t2\n' >table.tsv
expect_status "a table is not a report" 65 \
  "plot: table.tsv:1: not a mirdle report: the first line is not its header (Feature, MNC1, MNC2, ...)" "$P" table.tsv -o x.png
{ header2; row2 g1 1 2 0 0 2 1 0.5; echo 'g2 broken'; } >broken.txt
expect_status "broken row" 65 "plot: broken.txt:3: not a mirdle report row: fewer values than the header names" "$P" broken.txt -o x.png
expect_eq "nothing left after a failure" "no" "$([ -e x.png ] && echo yes || echo no)"
expect_status "cannot create" 73 "plot: cannot create no/dir/x.png: No such file or directory" "$P" small.txt -o no/dir/x.png
# A picture is written whole or not at all: a write that fails (a file size
# limit, its signal ignored) leaves the file there before as it was, and no
# temporary beside it.
cp ma.png kept.png
(trap '' XFSZ; ulimit -f 1; "$P" small.txt -o kept.png >/dev/null 2>xfsz.err)
expect_eq "failed write: status and message" "74 plot: cannot write kept.png: File too large" "$? $(cat xfsz.err)"
expect_eq "failed write: the old picture kept" "same" "$(cmp -s ma.png kept.png && echo same)"
expect_eq "failed write: no temporary left" "" "$(ls -A | grep '^\.kept' || true)"
ln -sf kept.png link.png
run_cmd "$P" small.txt -o link.png --kind volcano
expect_eq "a symbolic link stays, its target replaced" "0 kept.png changed" \
  "$rc $(readlink link.png) $(cmp -s ma.png kept.png || echo changed)"
if [ -w /dev/full ]; then
  ln -sf /dev/full full.png
  expect_status "write error" 74 "plot: cannot write full.png: No space left on device" "$P" small.txt -o full.png
fi

finish
