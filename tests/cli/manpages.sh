#!/bin/bash
# Every manual page, as the build configures it for installation, renders
# without a warning, names itself and the suite's version, and documents every
# exit status its program can end with.
. "$(dirname "$0")/lib.sh"
: "${BUILD_DIR:?}" "${SUITE_VERSION:?}"

declare -A statuses=(
    [dranvel.1]="0 64 74 126 127"
    [dranvel-mirdle.1]="0 64 65 66 69 70 73 74 141"
    [dranvel-normalize.1]="0 64 65 66 69 73 74"
    [pvalue-sim.1]="0 64 69 70 74 141"
    [dranvel-split.1]="0 64 65 66 69 73 74"
    [dranvel-table.1]="0 64 65 66 69 73 74"
    [dranvel-plot.1]="0 64 65 66 69 70 73 74"
    [dranvel-analyze.1]="0 64 65 66 69 70 73 74 127"
    [dranvel-report.1]="0 64 65 66 69 73 74"
)

tmp=$TEST_TMP

for page in "${!statuses[@]}"; do
    file=$BUILD_DIR/man/$page
    if [ ! -f "$file" ]; then
        fail "$page is missing"
        continue
    fi
    good=1

    LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
        man --warnings -E UTF-8 -l "$file" >"$tmp/text" 2>"$tmp/warn"
    rc=$?
    if [ $rc != 0 ] || [ -s "$tmp/warn" ]; then
        fail "$page: man reports (status $rc):"
        cat "$tmp/warn" >&2
        good=0
    fi

    if command -v mandoc >/dev/null; then
        mandoc -T lint -W warning "$file" >"$tmp/lint" 2>&1
        rc=$?
        if [ $rc != 0 ] || [ -s "$tmp/lint" ]; then
            fail "$page: mandoc reports (status $rc):"
            cat "$tmp/lint" >&2
            good=0
        fi
    fi

    # The NAME line must parse for whatis and apropos, under the page's name.
    name=$(lexgrog "$file" 2>/dev/null | sed -n 's/^[^:]*: "\([^ ]*\) - .*"$/\1/p')
    if [ "$name" != "${page%.1}" ]; then
        fail "$page: NAME section gives \"$name\""
        good=0
    fi

    if ! sed -n 1p "$file" | grep -qF " \"dranvel $SUITE_VERSION\" "; then
        fail "$page: the title line does not name dranvel $SUITE_VERSION"
        good=0
    fi

    # Each status must be an item of the EXIT STATUS section itself.
    awk '/^EXIT STATUS$/ { inside = 1; next } /^[A-Z]/ { inside = 0 } inside' \
        "$tmp/text" >"$tmp/exit"
    for status in ${statuses[$page]}; do
        if ! grep -Eq "^ {7}$status( |\$)" "$tmp/exit"; then
            fail "$page: exit status $status is not documented"
            good=0
        fi
    done

    [ $good = 1 ] && checks=$((checks + 1))
done

# dranvel(1) leads to every other page of the suite.
LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$BUILD_DIR/man/dranvel.1" >"$tmp/dranvel" 2>/dev/null
for page in "${!statuses[@]}"; do
    [ "$page" = dranvel.1 ] && continue
    if grep -qF "${page%.1}(1)" "$tmp/dranvel"; then
        checks=$((checks + 1))
    else
        fail "dranvel.1 does not name ${page%.1}(1)"
    fi
done

finish
