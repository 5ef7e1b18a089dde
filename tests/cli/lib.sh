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
