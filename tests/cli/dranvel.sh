#!/bin/bash
# The dispatcher, checked against a tree built and installed into a temporary
# prefix (its manual pages name that prefix and the bug address).
. "$(dirname "$0")/lib.sh"
: "${SRC_DIR:?}" "${SUITE_VERSION:?}"
cmake=${CMAKE_COMMAND:-cmake}

prefix=$TEST_TMP/prefix

libexec=$prefix/libexec/dranvel
bug_url=https://bugs.example.org/dranvel-test
t=$TEST_TMP/scratch

rm -rf "$prefix" "$t" "$TEST_TMP/outside"
mkdir -p "$t" "$TEST_TMP/outside"

# The build under test installed under the prefix, and a dispatcher built the
# same way (sanitizers, warnings as errors) for that prefix and a bug address
# of the test's own.
install_into "$prefix" -DDRANVEL_BUG_URL="$bug_url"
forwarded=()
for var in CMAKE_BUILD_TYPE DRANVEL_SANITIZE DRANVEL_WERROR; do
    val=$(cache_value $var)
    [ -n "$val" ] && forwarded+=("-D$var=$val")
done

dranvel=$prefix/bin/dranvel
cc=$(cache_value CMAKE_C_COMPILER)
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}

note() { printf 'FAIL: %s\n' "$*" >&2; }

# run CMD... : standard streams and status of one run, in $run_dir (or
# here) with $stdin_file (or nothing) as standard input.
run() {
    (cd "${run_dir:-.}" && exec "$@") <"${stdin_file:-/dev/null}" >"$t/out" 2>"$t/err"
    rc=$?
}

same_bytes() { # TITLE WHAT EXPECTED ACTUAL_FILE
    printf '%s' "$3" >"$t/want"
    cmp -s "$t/want" "$4" && return 0
    note "$1: $2 differs (expected, then actual)"
    cat -A "$t/want" | head -40 >&2
    echo ---- >&2
    cat -A "$4" | head -40 >&2
    return 1
}

expect() { # TITLE STATUS STDOUT STDERR
    local good=1
    if [ "$rc" != "$2" ]; then
        note "$1: status $rc, expected $2"
        good=0
    fi
    same_bytes "$1" "standard output" "$3" "$t/out" || good=0
    same_bytes "$1" "standard error" "$4" "$t/err" || good=0
    checks=$((checks + 1))
    [ $good = 1 ] || failures=$((failures + 1))
}

stars=$(printf '%.0s*' $(seq 33))
printf -v banner '\n%s Note %s\n%s\n%s\n%s\n%s.\n%s\n\n' "$stars" "$stars" \
    'DRANVEL is beta-quality software.  Be sure to verify all results.' \
    '(This is not to imply that other DE tools should be trusted, either.)' \
    'Please contribute by reporting problems and offering suggestions at' \
    "$bug_url" "$stars******$stars"

# Expected standard error, in $want.
not_found() { # PROGRAM NAME [DIRECTORY]
    printf -v want '%s%s: No %s found in %s.\n' "$banner" "$1" "$2" "${3:-$libexec}"
}
cannot_run() { # PROGRAM ENTRY REASON
    printf -v want '%s%s: Could not run %s/%s: %s.\n' "$banner" "$1" "$libexec" "$2" "$3"
}
usage_for() { # PROGRAM LISTING [all]: the plain usage, or with "all" --help's
    local forms=''
    [ "${3:-}" = all ] && forms="       $1 --help"$'\n'"       $1 help subcommand"$'\n'
    printf -v want 'Usage: %s --version\n%s       %s subcommand [args]\n\nSubcommands:\n\n%s%s' \
        "$1" "$forms" "$1" "$2" \
        $'\nRun "dranvel subcommand" or "man dranvel-subcommand" for more details.\n\n'
}

# --- installed layout ----------------------------------------------------

if [ -x "$dranvel" ]; then checks=$((checks + 1)); else fail "no $dranvel"; fi
for page in dranvel.1 dranvel-mirdle.1 dranvel-normalize.1 pvalue-sim.1 dranvel-split.1 dranvel-table.1 dranvel-plot.1; do
    installed=$prefix/share/man/man1/$page
    if [ ! -f "$installed" ]; then
        fail "manual page $page not installed"
        continue
    fi
    LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
        man --warnings -E UTF-8 -l "$installed" >/dev/null 2>"$t/warn"
    if [ -s "$t/warn" ]; then
        fail "installed $page renders with warnings"
        cat "$t/warn" >&2
    else
        checks=$((checks + 1))
    fi
done
# The installed page names the directory and address its build was given.
LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$prefix/share/man/man1/dranvel.1" 2>/dev/null >"$t/page"
built_libexec=$(cache_value CMAKE_INSTALL_PREFIX)/libexec/dranvel
built_url=$(cache_value DRANVEL_BUG_URL)
if grep -qF "$built_libexec" "$t/page" && grep -qF "$built_url" "$t/page"; then
    checks=$((checks + 1))
else
    fail "installed dranvel.1 does not name $built_libexec and $built_url"
fi
[ -x "$libexec/mirdle" ] || fail "mirdle is not installed in $libexec"
[ -x "$prefix/bin/pvalue-sim" ] || fail "pvalue-sim is not installed in $prefix/bin"

# --- version -------------------------------------------------------------

run "$dranvel" --version
expect "--version by full path" 0 "$dranvel $SUITE_VERSION"$'\n' ""

run env PATH="$prefix/bin:$PATH" dranvel --version
expect "--version through PATH" 0 "dranvel $SUITE_VERSION"$'\n' ""

run_dir=$prefix run bin/dranvel --version
expect "--version by relative path" 0 "bin/dranvel $SUITE_VERSION"$'\n' ""

"$dranvel" --version >/dev/full 2>"$t/err"
rc=$?
: >"$t/out"
expect "--version on a full disk" 74 "" "$dranvel: Could not write the version: No space left on device."$'\n'

run "$dranvel" --version extra
not_found "$dranvel" --version
expect "--version with another argument" 64 "" "$want"

run "$dranvel" --versionx
not_found "$dranvel" --versionx
expect "near miss of --version" 64 "" "$want"

# --- banner ---------------------------------------------------------------

run "$dranvel" no-such-subcommand
not_found "$dranvel" no-such-subcommand
expect "not found" 64 "" "$want"
head -c ${#banner} "$t/err" >"$t/banner"
lines=$(wc -l <"$t/banner")
line2=$(sed -n 2p "$t/banner")
if [ "$lines" = 8 ] && [ ${#line2} = 72 ] && [ "$(tail -c 2 "$t/banner" | od -An -c | tr -d ' ')" = '\n\n' ]; then
    checks=$((checks + 1))
else
    fail "banner has $lines lines, a second line of ${#line2} characters"
fi

run env PATH="$prefix/bin:$PATH" dranvel no-such-subcommand
not_found dranvel no-such-subcommand
expect "not found through PATH" 64 "" "$want"

# --- the subcommand directory ---------------------------------------------

cat >"$t/argv-dump.c" <<'EOF'
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    char cwd[4096], line[256];
    for (int i = 0; i < argc; i++)
        printf("argv[%d]=%s\n", i, argv[i]);
    printf("cwd=%s\n", getcwd(cwd, sizeof cwd) ? cwd : "?");
    const char *probe = getenv("DRANVEL_PROBE");
    printf("probe=%s\n", probe ? probe : "(unset)");
    if (fgets(line, sizeof line, stdin))
        printf("stdin=%s", line);
    fputs("argv-dump on stderr\n", stderr);
    return 3;
}
EOF
mkdir -p "$libexec"
step "${cc:-cc}" -o "$libexec/argv-dump" "$t/argv-dump.c"

printf '#!/bin/sh\nexit "$1"\n' >"$libexec/exit-with"
printf '#!/bin/sh\necho ran\n' >"$libexec/noexec"
printf '\001\002\003garbage\377\n' >"$libexec/garbage"
printf '#!/nonexistent/interpreter\n' >"$libexec/no-interp"
chmod 755 "$libexec/exit-with" "$libexec/garbage" "$libexec/no-interp"
chmod 644 "$libexec/noexec"
mkdir -p "$libexec/subdir"
printf '#!/bin/sh\ntouch "%s"\n' "$TEST_TMP/outside/ran-inner" >"$libexec/subdir/inner"
chmod 755 "$libexec/subdir/inner"
ln -sfn "$libexec/nothing-here" "$libexec/dangling"
printf '#!/bin/sh\ntouch "%s"\n' "$TEST_TMP/outside/ran-evil" >"$TEST_TMP/outside/evil"
chmod 755 "$TEST_TMP/outside/evil"

shown=(awk x-awk xawk awk. a.AWK argv-dump exit-with noexec garbage no-interp subdir dangling)
hidden=(.hidden .awk x.awk a.awkward foo.awk.sh ..two-dots)
for name in awk x-awk xawk awk. a.AWK "${hidden[@]}"; do
    printf '#!/bin/sh\n' >"$libexec/$name"
    chmod 755 "$libexec/$name"
done
[ -x "$libexec/mirdle" ] && shown+=(mirdle)

# Directory order, as readdir yields it, with the hidden names left out.
listing=$(cd "$libexec" && ls -U -a -1 | grep -v '^\.' | grep -vF .awk)$'\n'
run "$dranvel"
usage_for "$dranvel" "$listing"
expect "usage" 64 "" "$want"
for name in "${shown[@]}"; do
    grep -qxF -- "$name" "$t/err" || fail "usage does not list $name"
done
for name in "${hidden[@]}"; do
    grep -qxF -- "$name" "$t/err" && fail "usage lists $name"
done

run env PATH="$prefix/bin:$PATH" dranvel
usage_for dranvel "$listing"
expect "usage through PATH" 64 "" "$want"

# --help (also followed by anything) and "help" alone: on standard output,
# status 0, no banner, the same text but for the list: sorted by name, and
# every subcommand of the suite with its purpose.
declare -A purpose=(
    [analyze]="the whole study of a count matrix, to tables, plots and report.html"
    [report]="one self-contained HTML report of an analysis"
    [mirdle]="compare condition tables: means, fold changes, P-values"
    [normalize]="divide condition tables by per-sample size factors"
    [plot]="draw the MA and the volcano plot of a mirdle report"
    [split]="split a count matrix into one mirdle table per condition"
    [table]="write a mirdle report as a table with adjusted P-values"
)
help_listing=
while read -r name; do
    if [ -n "${purpose[$name]:-}" ]; then
        printf -v line '  %-10s %s\n' "$name" "${purpose[$name]}"
    else
        printf -v line '  %s\n' "$name"
    fi
    help_listing+=$line
done < <(printf '%s' "$listing" | LC_ALL=C sort)
for name in "${!purpose[@]}"; do
    grep -qF "  $name " <<<"$help_listing" || fail "$name is not installed for --help to list"
done
# The installed dranvel(1) gives each the same purpose.
for name in "${!purpose[@]}"; do
    given=$(sed -n "/^ *$name — dranvel-$name(1)\$/{n;s/^ *//;p}" "$t/page")
    [ "$given" = "${purpose[$name]}." ] || fail "dranvel.1 gives $name the purpose \"$given\""
done
for args in "--help" "--help mirdle" "help"; do
    # shellcheck disable=SC2086
    run "$dranvel" $args
    usage_for "$dranvel" "$help_listing" all
    expect "$args" 0 "$want" ""
done
"$dranvel" --help >/dev/full 2>"$t/err"
rc=$?
: >"$t/out"
expect "--help on a full disk" 74 "" "$dranvel: Could not write the usage text: No space left on device."$'\n'

# "help name": the manual page of an installed subcommand, through man; no
# banner.  The page installed beside the dispatcher is found without MANPATH.
if [ -x "$libexec/mirdle" ] && command -v man >/dev/null; then
    run env -u MANPATH MANWIDTH=80 "$dranvel" help mirdle
    if [ "$rc" = 0 ] && grep -q 'dranvel-mirdle - compare per-feature abundances' "$t/out" && [ ! -s "$t/err" ]; then
        checks=$((checks + 1))
    else
        fail "help mirdle: status $rc, $(head -c 300 "$t/err")"
    fi
fi
run "$dranvel" help no-such-subcommand
printf -v want '%s: No no-such-subcommand found in %s.\n' "$dranvel" "$libexec"
expect "help for a subcommand that is not installed" 64 "" "$want"
run "$dranvel" help ''
printf -v want '%s: No  found in %s.\n' "$dranvel" "$libexec"
expect "help for an empty name" 64 "" "$want"
run "$dranvel" help ../../bin/dranvel
printf -v want '%s: No ../../bin/dranvel found in %s.\n' "$dranvel" "$libexec"
expect "help for a name with a slash" 64 "" "$want"
# An installed subcommand without a page: man's own message and status.
if command -v man >/dev/null; then
    run env MANPATH="$prefix/share/man" "$dranvel" help argv-dump
    if [ "$rc" = 16 ] && grep -q 'dranvel-argv-dump' "$t/err"; then
        checks=$((checks + 1))
    else
        fail "help without a page: status $rc, $(cat "$t/err")"
    fi
fi
run env PATH=/nonexistent "$dranvel" help argv-dump
printf -v want '%s: Could not run man to show dranvel-argv-dump: No such file or directory.\n' "$dranvel"
expect "help without man" 127 "" "$want"

mv "$libexec" "$libexec.away"
run "$dranvel"
usage_for "$dranvel" ""
expect "usage without the directory" 64 "" "$want"
mv "$libexec.away" "$libexec"

if [ "$(id -u)" != 0 ]; then
    chmod 000 "$libexec"
    run "$dranvel"
    chmod 755 "$libexec"
    usage_for "$dranvel" ""
    expect "usage with an unreadable directory" 64 "" "$want"
fi

# --- hand-over ------------------------------------------------------------

mkdir -p "$t/work"
work=$(cd "$t/work" && pwd -P)
printf 'piped line\n' >"$t/stdin"
run_dir=$work stdin_file=$t/stdin run env DRANVEL_PROBE='a b' \
    "$dranvel" argv-dump one 'two words' '' --version
expect "hand-over passes arguments, environment, directory and stdin" 3 \
    "argv[0]=argv-dump
argv[1]=one
argv[2]=two words
argv[3]=
argv[4]=--version
cwd=$work
probe=a b
stdin=piped line
" "${banner}argv-dump on stderr"$'\n'

run_dir=$work run env -u DRANVEL_PROBE "$dranvel" argv-dump
expect "single argument starts the subcommand alone" 3 \
    "argv[0]=argv-dump
cwd=$work
probe=(unset)
" "${banner}argv-dump on stderr"$'\n'

for status in 0 1 42 255; do
    run "$dranvel" exit-with $status
    expect "exit status $status propagates" $status "" "$banner"
done

if command -v strace >/dev/null; then
    ASAN_OPTIONS=detect_leaks=0 strace -f -o "$t/trace" -e trace=write,execve \
        "$dranvel" argv-dump >/dev/null 2>&1 </dev/null
    # Only the dispatcher's writes: those after its start, before the hand-over.
    writes=$(awk -v start="execve(\"$dranvel\"" -v end="execve(\"$libexec/argv-dump\"" '
        index($0, start) { on = 1 }
        on && index($0, end) { exit }
        on && /write\(2, / { n++ }
        END { print n + 0 }' "$t/trace")
    if [ "$writes" = 1 ] && grep -q "write(2, .*) = ${#banner}\$" "$t/trace"; then
        checks=$((checks + 1))
    else
        fail "banner not written in one piece before the hand-over"
        cat "$t/trace" >&2
    fi
fi

# --- names that must not be found -----------------------------------------

run "$dranvel" dangling
not_found "$dranvel" dangling
expect "dangling entry" 64 "" "$want"

for name in ./argv-dump argv-dump/ subdir/inner ../dranvel/argv-dump \
    ../../bin/dranvel ../../../outside/evil /bin/true "$TEST_TMP/outside/evil"; do
    run "$dranvel" "$name"
    not_found "$dranvel" "$name"
    expect "name with a slash: $name" 64 "" "$want"
done
[ -e "$TEST_TMP/outside/ran-inner" ] && fail "subdir/inner was run"
[ -e "$TEST_TMP/outside/ran-evil" ] && fail "a program outside the directory was run"

long=$(printf '%.0sa' $(seq 1100))
run "$dranvel" "$long"
not_found "$dranvel" "$long"
expect "name of 1100 characters" 64 "" "$want"

# --- entries that exist but cannot run ------------------------------------

run "$dranvel" subdir
cannot_run "$dranvel" subdir 'Permission denied'
expect "directory entry" 126 "" "$want"
run "$dranvel" noexec
cannot_run "$dranvel" noexec 'Permission denied'
expect "file without execute permission" 126 "" "$want"
run "$dranvel" garbage
cannot_run "$dranvel" garbage 'Exec format error'
expect "executable garbage" 126 "" "$want"
run "$dranvel" no-interp
cannot_run "$dranvel" no-interp 'No such file or directory'
expect "missing interpreter" 126 "" "$want"
run "$dranvel" ..
cannot_run "$dranvel" .. 'Permission denied'
expect "parent directory entry" 126 "" "$want"
run env PATH="$prefix/bin:$PATH" dranvel subdir
cannot_run dranvel subdir 'Permission denied'
expect "cannot run, through PATH" 126 "" "$want"

# --- mirdle, once it is installed -----------------------------------------

if [ -x "$libexec/mirdle" ]; then
    run "$dranvel" mirdle
    mirdle_usage=$'Usage: mirdle [--output file.txt] [--near-exact]\\\n\tabundances1.tsv[.gz|.bz2|.xz] abundances2.tsv[.gz|.bz2|.xz] \\\n\t[abundances3.tsv[.gz|.bz2|.xz] ...]\n'
    expect "dranvel mirdle without tables: the usage with its argument zero" 64 "" "$banner$mirdle_usage"
    run "$dranvel" mirdle --version
    expect "dranvel mirdle --version" 0 "dranvel mirdle $SUITE_VERSION"$'\n' "$banner"
fi
if [ -x "$libexec/normalize" ]; then
    run "$dranvel" normalize
    expect "dranvel normalize without tables" 64 "" "$banner"$'Usage: dranvel normalize [--method ratio|upperquartile|total] -o DIR TABLE...\n'
fi

# --- split, table and plot, started through the dispatcher -----------------

# Started so, a subcommand calls itself by the command its user typed.
for name in split table plot normalize; do
    if [ -x "$libexec/$name" ]; then
        run "$dranvel" $name --version
        expect "dranvel $name --version" 0 "dranvel $name $SUITE_VERSION"$'\n' "$banner"
        run "$dranvel" $name --no-such-option
        expect "dranvel $name: a misspelt option" 64 "" "$banner""dranvel $name: unknown option --no-such-option (see dranvel $name --help)"$'\n'
        run "$dranvel" $name --help
        [ "$(printf '%s\n' "$(cat "$t/out")" | head -n1 | cut -d' ' -f1-3)" = "Usage: dranvel $name" ] ||
            fail "dranvel $name --help: $(head -n1 "$t/out")"
    else
        fail "$name is not installed in $libexec"
    fi
done

# --- the path buffer's limit ----------------------------------------------
# A second build whose subcommand directory is long enough that a name of
# legal length reaches the 1024-byte limit of the path buffer.

long_prefix=$TEST_TMP/long
while [ $((${#long_prefix} + 16 + 201)) -le 1000 ]; do
    long_prefix+=/$(printf '%.0sd' $(seq 200))
done
long_libexec=$long_prefix/libexec/dranvel
step "$cmake" -S "$SRC_DIR" -B "$TEST_TMP/build-long" -DCMAKE_INSTALL_PREFIX="$long_prefix" \
    -DDRANVEL_TESTS=OFF -DDRANVEL_BUG_URL="$bug_url" "${forwarded[@]}"
step "$cmake" --build "$TEST_TMP/build-long" -j2 --target dranvel
long_dranvel=$(find "$TEST_TMP/build-long" -type f -name dranvel -perm -u+x | head -n 1)
rm -rf "$TEST_TMP/long"
mkdir -p "$long_libexec"

# "dir/fits" is exactly 1023 characters, "dir/fitsx" one more.
fits=$(printf '%.0sf' $(seq $((1022 - ${#long_libexec}))))
for name in "$fits" "${fits}x"; do
    printf '#!/bin/sh\necho "ran %s"\n' "${#name}" >"$long_libexec/$name"
    chmod 755 "$long_libexec/$name"
done

run "$long_dranvel" "$fits"
expect "path of 1023 characters" 0 "ran ${#fits}"$'\n' "$banner"
run "$long_dranvel" "${fits}x"
not_found "$long_dranvel" "${fits}x" "$long_libexec"
expect "path of 1024 characters" 64 "" "$want"
rm -rf "$TEST_TMP/long"

finish
