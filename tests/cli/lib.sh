# Helpers shared by the whole-program tests (sourced, not run).
set -u
: "${TEST_TMP:=$(mktemp -d)}"
rm -rf "$TEST_TMP"
mkdir -p "$TEST_TMP"
cd "$TEST_TMP"
failures=0
checks=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# expect_eq NAME EXPECTED ACTUAL
expect_eq() {
  checks=$((checks + 1))
  if [ "$2" != "$3" ]; then
    fail "$1"
    printf '  expected: %q\n  actual:   %q\n' "$2" "$3" >&2
  fi
}

# run_cmd CMD...: runs it, leaving stdout in $out, stderr in $err, status in $rc.
# No command may run forever: a hang ends as status 124.
run_cmd() {
  timeout "${CMD_TIMEOUT:-300}" "$@" >"$TEST_TMP/.out" 2>"$TEST_TMP/.err"
  rc=$?
  out=$(cat "$TEST_TMP/.out")
  err=$(cat "$TEST_TMP/.err")
}

# expect_status NAME STATUS STDERR CMD...: exact status and standard error.
expect_status() {
  local name=$1 status=$2 message=$3
  shift 3
  run_cmd "$@"
  expect_eq "$name: status" "$status" "$rc"
  expect_eq "$name: message" "$message" "$err"
}

# expect_help_and_version PROG USAGE ARGS...: each ARGS (split at blanks),
# which holds --help, prints exactly USAGE on standard output with status 0
# and nothing on standard error; --version prints PROG and the suite's version.
expect_help_and_version() {
  local prog=$1 usage=$2 args
  shift 2
  for args in "$@"; do
    # shellcheck disable=SC2086
    expect_status "$args" 0 "" "$prog" $args
    expect_eq "$args: usage on stdout" "$usage" "$out"
  done
  expect_status "--version" 0 "" "$prog" --version
  expect_eq "--version: name and version" "$prog ${SUITE_VERSION:?}" "$out"
}

# cache_value VAR: VAR's value in the CMake cache of the build under test.
cache_value() {
  sed -n "s/^$1:[A-Z]*=//p" "${BUILD_DIR:?}/CMakeCache.txt" 2>/dev/null
}

# skip_if_sanitized REASON: in a sanitizer build, says why and ends the test.
skip_if_sanitized() {
  if [ -n "${BUILD_DIR:-}" ] && [ "$(cache_value DRANVEL_SANITIZE)" = ON ]; then
    echo "sanitizer build: $1"
    finish
  fi
}

# need_gnu_time: GNU time (/usr/bin/time, its %M for the peak RSS) is
# installed, or the test fails here.
need_gnu_time() {
  if [ ! -x /usr/bin/time ]; then
    echo "GNU time (/usr/bin/time) is missing: install the time package" >&2
    exit 1
  fi
}

# step CMD...: one set-up command; if it fails, the test ends with its output.
step() {
  if ! "$@" >"$TEST_TMP/step.log" 2>&1; then
    printf 'setup failed: %s\n' "$*" >&2
    cat "$TEST_TMP/step.log" >&2
    exit 1
  fi
}

# install_into ROOT [CMAKE_ARGS...]: the build under test installed by cmake --install (through
# a staging DESTDIR), its prefix's tree moved to ROOT, so the programs are
# exactly the files an install lays out.  The installed dispatcher looks for
# subcommands under the real prefix, so one built for ROOT (a small target,
# with the build type, sanitizers and warnings of the build under test) takes
# its place; CMAKE_ARGS go to that build.
install_into() {
  local root=$1 cmake=${CMAKE_COMMAND:-cmake} stage=$TEST_TMP/stage var val
  shift
  local forwarded=("$@")
  step env DESTDIR="$stage" "$cmake" --install "${BUILD_DIR:?}"
  mkdir -p "$(dirname "$root")"
  step mv "$stage$(cache_value CMAKE_INSTALL_PREFIX)" "$root"
  for var in CMAKE_BUILD_TYPE DRANVEL_SANITIZE DRANVEL_WERROR; do
    val=$(cache_value $var)
    if [ -n "$val" ]; then forwarded+=("-D$var=$val"); fi
  done
  step "$cmake" -S "${SRC_DIR:?}" -B "$TEST_TMP/build-dranvel" -DCMAKE_INSTALL_PREFIX="$root" \
    -DDRANVEL_TESTS=OFF "${forwarded[@]}"
  step "$cmake" --build "$TEST_TMP/build-dranvel" -j2 --target dranvel
  step cp "$TEST_TMP/build-dranvel/dranvel/dranvel" "$root/bin/dranvel"
}

finish() {
  echo "$checks checks, $failures failed"
  [ "$failures" -eq 0 ]
  exit $?
}

# ended_how FILE [block] CMD...: runs CMD (its standard streams as given) and
# writes to FILE how it ended, "signal N" or "exit N"; with "block", SIGPIPE
# is blocked in CMD.
ended_how() {
  local file=$1
  shift
  local block=0
  if [ "$1" = block ]; then block=1; shift; fi
  perl -e '
    use POSIX;
    my ($file, $block) = (shift, shift);
    sigprocmask(SIG_BLOCK, POSIX::SigSet->new(SIGPIPE)) if $block;
    my $pid = fork // die "fork: $!";
    if ($pid == 0) { exec @ARGV; exit 127 }
    waitpid($pid, 0);
    open(my $out, ">", $file) or die "$file: $!";
    print $out WIFSIGNALED($?) ? "signal " . WTERMSIG($?) : "exit " . WEXITSTATUS($?);
  ' "$file" "$block" "$@"
}

# Two-condition reports written in mirdle's layout, for the readers of reports.
header2() { printf '%-20s %6s%d %6s%d %5s%d %5s%d  FC 1-2 log2(FC) %5s\n' Feature MNC 1 MNC 2 SD/C 1 SD/C 2 P-val; }
row2() { # id mean1 mean2 sdc1 sdc2 fc log2fc p; fc "*" for an all-zero pair
  if [ "$6" = '*' ]; then
    printf '%-20s %7.1f %7.1f %6.1f %6.1f %7s %7s  %7.5f\n' "$1" "$2" "$3" "$4" "$5" '*' '*' "$8"
  else
    printf '%-20s %7.1f %7.1f %6.1f %6.1f %7.2f %7.2f  %7.5f\n' "$@"
  fi
}
# The same for three conditions.
header3() {
  printf '%-20s' Feature
  for c in 1 2 3; do printf ' %6s%d' MNC $c; done
  for c in 1 2 3; do printf ' %5s%d' SD/C $c; done
  for p in 1-2 1-3 2-3; do printf '  FC %s log2(FC) %5s' $p P-val; done
  printf '\n'
}
row3() { # id, 3 means, 3 SD/C, then per pair fc log2fc p
  printf '%-20s %7.1f %7.1f %7.1f %6.1f %6.1f %6.1f' "$1" "$2" "$3" "$4" "$5" "$6" "$7"
  shift 7
  while [ $# -gt 0 ]; do printf ' %7.2f %7.2f  %7.5f' "$1" "$2" "$3"; shift 3; done
  printf '\n'
}

# expect_quiet_when_reader_goes NAME DROP CMD...: a reader that goes away
# ends CMD as it ends cat: killed by SIGPIPE, also when the parent ignored the
# signal, and with status 141 when it was blocked; standard error holds
# nothing but the characters of DROP (mirdle's progress dots).  CMD's output
# must outlast a pipe's buffer.
expect_quiet_when_reader_goes() {
  local name=$1 drop=$2 how=$TEST_TMP/.how errs=$TEST_TMP/.pipe.err
  shift 2
  ended_how "$how" "$@" 2>"$errs" | head -n 1 >/dev/null
  expect_eq "$name: reader gone: killed by SIGPIPE, no message" "signal 13 " "$(cat "$how") $(tr -d "$drop" <"$errs")"
  ended_how "$how" bash -c 'trap "" PIPE; exec "${@:2}" 2>"$1"' - "$errs" "$@" | head -c 10 >/dev/null
  expect_eq "$name: reader gone, SIGPIPE ignored by the parent" "signal 13 " "$(cat "$how") $(tr -d "$drop" <"$errs")"
  ended_how "$how" block "$@" 2>"$errs" | head -c 10 >/dev/null
  expect_eq "$name: reader gone, SIGPIPE blocked: status 141, no message" "exit 141 " "$(cat "$how") $(tr -d "$drop" <"$errs")"
}

# expect_full_disk NAME STATUS MESSAGE CMD...: CMD with standard output on
# /dev/full ends with STATUS and exactly MESSAGE on standard error.
expect_full_disk() {
  local name=$1 status=$2 message=$3
  shift 3
  [ -w /dev/full ] || return 0
  expect_status "$name" "$status" "$message" bash -c 'exec "$@" >/dev/full' - "$@"
}

# random_table FILE ROWS REPS SEED [zero=Z] [divide="K/D ..."] [levels=L] [header=1]:
# a condition table from awk's seeded generator (the same on every run):
# whole numbers of L magnitudes (default 4: below 1, 10, 100, 1000), a zero in
# about one value of Z (default none), every K-th row divided by D for each
# K/D, and with header=1 a target_id header naming s1, s2, ...
random_table() {
  local file=$1 rows=$2 reps=$3 seed=$4 zero=0 divide='' levels=4 header=0 arg
  shift 4
  for arg in "$@"; do
    case $arg in
    zero=*) zero=${arg#zero=} ;;
    divide=*) divide=${arg#divide=} ;;
    levels=*) levels=${arg#levels=} ;;
    header=*) header=${arg#header=} ;;
    *) echo "random_table: $arg?" >&2; return 1 ;;
    esac
  done
  awk -v rows="$rows" -v reps="$reps" -v seed="$seed" -v zero="$zero" -v divide="$divide" \
    -v levels="$levels" -v header="$header" 'BEGIN {
    srand(seed)
    n = split(divide, d, " ")
    if (header) {
      printf "target_id"
      for (r = 1; r <= reps; ++r) printf "\ts%d", r
      printf "\n"
    }
    for (i = 1; i <= rows; ++i) {
      printf "g%05d", i
      level = int(rand() * levels)
      for (r = 1; r <= reps; ++r) {
        v = int(rand() * 10 ^ level)
        if (zero > 0 && int(rand() * zero) == 0) v = 0
        for (k = 1; k <= n; ++k) {
          split(d[k], kd, "/")
          if (i % kd[1] == 0) v = v / kd[2]
        }
        printf "\t%s", v
      }
      printf "\n"
    }
  }' >"$file"
}

# have_data SET: the real tables of SET (pasilla, airway) are at hand under
# DATA_DIR; otherwise says that what needs them is skipped, and fails.
have_data() {
  if [ -n "${DATA_DIR:-}" ] && [ -d "$DATA_DIR/$1" ]; then return 0; fi
  echo "skipped: ${DATA_DIR:-DATA_DIR}/$1 not present"
  return 1
}
