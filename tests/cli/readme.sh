#!/bin/bash
# Every command block of README.md, run as a new user would after the quick
# start: from a copy of the repository, with the programs of the build under
# test installed in out/prefix of that copy, and nothing of the suite on PATH
# or MANPATH until the README puts it there.
#
# Conventions in README.md:
# - A block fenced with ```sh is run, in order, all in one shell (an export in
#   one block holds for the next ones), from the top of the copy; a failing
#   command fails the test.
# - The line <!-- readme-test: skip --> right before a ```sh fence leaves that
#   block out: it needs root, the network, R, or is the quick start itself,
#   whose result this test stands in for.
# - The line <!-- readme-test: expect --> right before a ```text fence: every
#   line of that block must be a line of the output of the last block run
#   before it; <!-- readme-test: expect FILE --> checks the file instead (a
#   path in the copy).  Blocks fenced otherwise are not looked at.
set -u
: "${SRC_DIR:?}" "${BUILD_DIR:?}" "${TEST_TMP:?}"
. "$(dirname "$0")/lib.sh"

t=$TEST_TMP
clone=$t/clone

# The copy: the repository without build trees and history.
mkdir -p "$clone"
step tar -C "$SRC_DIR" --exclude=./out --exclude=./.git --exclude='./build*' -cf "$t/src.tar" .
step tar -C "$clone" -xf "$t/src.tar"

# The programs under test, laid out in out/prefix as the quick start installs
# them; the dispatcher built for that prefix finds its subcommands and pages.
install_into "$clone/out/prefix"

# The README as one script: each block's output in a file of its own, then
# the checks of the expected lines that follow it.
awk -v out="$t/blocks" '
  function q(s) { gsub(/\047/, "\047\\\047\047", s); return "\047" s "\047" }
  /^<!-- readme-test: [a-z]+( [^ ]+)? -->$/ { marker = $3; arg = ($4 == "-->") ? "" : $4; next }
  /^```/ && !inside {
    inside = 1; lang = substr($0, 4); start = NR
    kind = (lang == "sh" && marker != "skip") ? "run" : (lang == "text" && marker == "expect") ? "expect" : "none"
    if (kind == "run") { runs++; printf "block=%d; line=%d\n{\n", runs, NR }
    if (kind == "expect") { expects++; printf "expect_lines %d %s <<\047README_END\047\n", NR, q(arg == "" ? out "/" runs ".out" : arg) }
    marker = ""; next
  }
  /^```/ && inside {
    inside = 0
    if (kind == "run") printf "} >%s 2>%s\n", q(out "/" runs ".out"), q(out "/" runs ".err")
    if (kind == "expect") print "README_END"
    next
  }
  { if (!inside) marker = ""; else if (kind != "none") print }
  END { printf "runs=%d; expects=%d\n", runs, expects }
' "$SRC_DIR/README.md" >"$t/readme-script.sh"

cat >"$t/readme-run.sh" <<EOF
set -e
trap 'echo "FAIL: README block \$block (line \$line) failed with status \$?" >&2; cat "$t/blocks/\$block.err" >&2' ERR
expect_lines() { # LINE FILE, expected lines on standard input
  local missing
  missing=\$(grep -vxF -f "\$2" || true)
  if [ -n "\$missing" ]; then
    echo "FAIL: README line \$1: not in \$2:" >&2
    printf '%s\n' "\$missing" >&2
    exit 1
  fi
}
. "$t/readme-script.sh"
echo "runs=\$runs expects=\$expects"
EOF

# A PATH without anything of the suite, so that only the README's own lines
# can make dranvel reachable.
clean_path=
IFS=: read -ra dirs <<<"$PATH"
for d in "${dirs[@]}"; do
  [ -e "$d/dranvel" ] || [ -e "$d/pvalue-sim" ] || clean_path+=${clean_path:+:}$d
done
mkdir -p "$t/blocks"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
run_cmd env -u MANPATH PATH="$clean_path" bash -c 'cd "$1" && . "$2"' readme "$clone" "$t/readme-run.sh"
expect_eq "README blocks: status" 0 "$rc"
[ "$rc" = 0 ] || printf '%s\n' "$err" >&2
# The README must keep runnable blocks and checked output, or this test
# would pass on nothing.
counts=$(printf '%s\n' "$out" | tail -n 1)
case $counts in
runs=[1-9]*" expects="[1-9]*) ;;
*) fail "README: no runnable blocks or no checked output ($counts)" ;;
esac
# The floors of the P-value section come from examples/pvalue_floor.sh: a
# short search must find nothing below them, each P-value it reports must be
# pvalue-sim's count of extreme combinations, and the smallest P-value of the
# example pair is the one the README sorts to the top.
run_cmd env ROUNDS=1 PAIRS=300 MIRDLE="$clone/out/prefix/libexec/dranvel/mirdle" \
  PVALUE_SIM="$clone/out/prefix/bin/pvalue-sim" bash "$clone/examples/pvalue_floor.sh" \
  "$clone/examples/control.tsv" "$clone/examples/heat.tsv"
expect_eq "pvalue_floor.sh: status" 0 "$rc"
expect_eq "pvalue_floor.sh: a line per replicate count" 3 "$(grep -c '^  [234] replicates: ' <<<"$out")"
expect_eq "pvalue_floor.sh: P-value is the count" "" "$(awk '/ replicates: / {
    split($0, f, /[:=\/,]/); if (sprintf("%.5f", f[3] / f[4]) != sprintf("%.5f", f[2])) print }' <<<"$out")"
while IFS=: read -r k extreme all stated; do
  expect_eq "pvalue_floor.sh: nothing below the README's floor at $k replicates" "" \
    "$(awk -v k="$k" -v e="$extreme" -v n="$all" '$1 == k && $2 == "replicates:" && $3 + 0 < e / n - 5e-6' <<<"$out")"
  grep -qF "$stated" "$SRC_DIR/README.md" || fail "README does not state the floor $stated"
done <<'FLOORS'
2:8:66:8 / 66 = 0.121
3:88:4060:88 / 4,060 = 0.0217
4:1750:367290:1,750 / 367,290 = 0.0048
FLOORS
expect_eq "pvalue_floor.sh: the smallest P-value of the example pair" "0.02217" \
  "$(sed -n 's/^Smallest P-value of .*: \([0-9.]*\), reached by .*/\1/p' <<<"$out")"

# Nothing outside the repository: no command names ../ or an absolute path
# (the shared data sets are reached from their public sources).
expect_eq "README: no path outside the repository" "" \
  "$(grep -nE '\.\./|(^|[ =])/(work|home|tmp)/' "$SRC_DIR/README.md")"
finish
