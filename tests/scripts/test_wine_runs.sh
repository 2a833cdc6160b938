#!/usr/bin/env bash
# How windows-build/check.sh drives Wine, with stand-ins for wine, wineboot
# and wineserver (first on PATH) that log their calls and run "python.exe"
# as the Linux python2.7, and for the launcher into the Wine root, without
# which the stand-ins refuse to run (every call goes through it, and the
# paths handed to Wine are bound into the root): the prefix is made once and kept while Wine is
# unchanged, one wineserver is kept for the run and ended at the end, a
# python.exe that does not start within the bound fails at once naming what
# it waited for, and suites sharing a python.exe each keep their results.
# Real Wine is not needed (nor used).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=checks.sh
. "$root/tests/scripts/checks.sh" wine-runs

mkdir -p "$work/bin" "$work/build/python-scripted/windows" "$work/interpreter" "$work/results/windows" "$work/suites"
touch "$work/interpreter/python.exe"
chmod +x "$work/interpreter/python.exe"
export FAKE_WINE_LOG="$work/calls.log"
cat > "$work/launcher" <<'EOF'
#!/usr/bin/env bash
# The launcher's stand-in: --check answers FAKE_WINE_ROOT_PROBLEM; a call
# is logged with the directories it binds, then run here.
if [ "$1" = --check ]; then
  [ -z "${FAKE_WINE_ROOT_PROBLEM:-}" ] || { echo "$FAKE_WINE_ROOT_PROBLEM"; exit 1; }
  exit 0
fi
echo "root $1 binds=${VOLUMES_WINE_BINDS:-}" >> "$FAKE_WINE_LOG"
FAKE_IN_ROOT=1 exec "$@"
EOF
in_root_only='[ "${FAKE_IN_ROOT:-}" = 1 ] || { echo "OUTSIDE THE ROOT: $(basename "$0") $*" >> "$FAKE_WINE_LOG"; exit 1; }'
cat > "$work/bin/wine" <<EOF
#!/usr/bin/env bash
$in_root_only
EOF
cat >> "$work/bin/wine" <<'EOF'
# Wine's stand-in: Z:\ paths become Unix ones again, python.exe is python2.7.
echo "wine $*" >> "$FAKE_WINE_LOG"
if [ "$1" = --version ]; then
  echo "${FAKE_WINE_VERSION:-wine-8.0}"
  exit 0
fi
program=$1
shift
sleep "${FAKE_WINE_START_DELAY:-0}"
unix() {
  case $1 in
    Z:*) local path=${1#Z:}; echo "${path//\\//}" ;;
    *) echo "$1" ;;
  esac
}
arguments=()
for argument in "$@"; do arguments+=("$(unix "$argument")"); done
PYTHONPATH=$(unix "$PYTHONPATH")
export PYTHONPATH
case $program in
  */python.exe) exec python2.7 "${arguments[@]}" ;;
  *) exec "$program" "${arguments[@]}" ;;
esac
EOF
cat > "$work/bin/wineboot" <<EOF
#!/usr/bin/env bash
$in_root_only
EOF
cat >> "$work/bin/wineboot" <<'EOF'
echo "wineboot $*" >> "$FAKE_WINE_LOG"
mkdir -p "$WINEPREFIX"
touch "$WINEPREFIX/system.reg"
EOF
cat > "$work/bin/wineserver" <<EOF
#!/usr/bin/env bash
$in_root_only
EOF
cat >> "$work/bin/wineserver" <<'EOF'
echo "wineserver $*" >> "$FAKE_WINE_LOG"
[ "$*" != -p ] || [ -z "${FAKE_WINESERVER_FAILS:-}" ] || exit 2
EOF
chmod +x "$work/bin/"* "$work/launcher"
export PATH="$work/bin:$PATH" VOLUMES_WINE_LAUNCHER="$work/launcher"
unset CI

check() {
  bash "$root/windows-build/check.sh" "$@" 2>&1
}
calls() {  # how many logged calls match PATTERN
  grep -c -- "$1" "$FAKE_WINE_LOG" || true
}

# 0. Without a usable Wine root the Wine tests are a skip with the
# launcher's reason (a failure under CI).
status=0
out=$(FAKE_WINE_ROOT_PROBLEM="the Wine root /nowhere has not been built" check prefix "$work/build" "$work/interpreter") \
  || status=$?
[ "$status" = 77 ] || fail "no root: status $status"
expect "no root" "$out" "SKIPPED: the Wine root /nowhere has not been built"
status=0
out=$(CI=true FAKE_WINE_ROOT_PROBLEM="the Wine root /nowhere has not been built" check wine "$work/build") || status=$?
[ "$status" = 1 ] || fail "no root under CI: status $status"
expect "no root under CI" "$out" "FAILED: the Wine root /nowhere has not been built"

# 1. The prefix is made once, then kept; a server left from before is ended
# first, and one server is started and kept for the run.
out=$(check prefix "$work/build" "$work/interpreter") || fail "prefix: status $?: $out"
expect prefix "$out" 'ok: Wine prefix .*\(made; wine-8.0\); wineserver kept for the run'
[ "$(calls '^wineboot -i')" = 1 ] || fail "prefix: wineboot -i was not run once: $(cat "$FAKE_WINE_LOG")"
[ "$(calls '^wineserver -p$')" = 1 ] || fail "prefix: no wineserver -p: $(cat "$FAKE_WINE_LOG")"
grep -q 'python.exe -c import sys; sys.exit(0)' "$FAKE_WINE_LOG" || fail "prefix: python.exe was not started once"
[ -L "$work/build/wine-prefix/dosdevices/q:" ] || fail "prefix: the test drives were not made"
: > "$FAKE_WINE_LOG"
out=$(check prefix "$work/build" "$work/interpreter") || fail "prefix again: status $?: $out"
expect "prefix again" "$out" '\(kept from an earlier run;'
[ "$(calls '^wineboot')" = 0 ] || fail "prefix again: wineboot ran in the kept prefix"
[ "$(calls '^wineserver -k')" = 1 ] || fail "prefix again: the earlier server was not ended first"
# Another Wine makes it anew.
: > "$FAKE_WINE_LOG"
out=$(FAKE_WINE_VERSION=wine-9.0 check prefix "$work/build" "$work/interpreter") || fail "new wine: status $?"
expect "new wine" "$out" '\(made; wine-9.0\)'
[ "$(calls '^wineboot -i')" = 1 ] || fail "new wine: the prefix was not made anew"

# A server that cannot be kept is a failure, not a run without one.
status=0
out=$(FAKE_WINESERVER_FAILS=1 check prefix "$work/build" "$work/interpreter") || status=$?
[ "$status" = 1 ] || fail "server fails: status $status"
expect "server fails" "$out" 'FAILED: wineserver -p, the server the run keeps for .*, did not start \(status 2\)'

# 2. A python.exe that does not start within the bound fails at once.
started=$SECONDS
status=0
out=$(VOLUMES_WINE_START_SECONDS=2 FAKE_WINE_START_DELAY=60 check prefix "$work/build" "$work/interpreter") \
  || status=$?
[ "$status" = 1 ] || fail "hung start in prefix: status $status"
expect "hung start in prefix" "$out" "waited 2 s for python.exe -c 'import sys' to start and end under Wine"
[ $((SECONDS - started)) -lt 30 ] || fail "hung start in prefix: took $((SECONDS - started)) s"

cat > "$work/suites/test_a.py" <<'EOF'
import unittest
class T(unittest.TestCase):
  def testOk(self): pass
EOF
cat > "$work/suites/test_b.py" <<'EOF'
import unittest
class T(unittest.TestCase):
  def testFails(self): self.fail("wrong")
  def testOk(self): pass
EOF
started=$SECONDS
status=0
out=$(VOLUMES_WINE_START_SECONDS=2 FAKE_WINE_START_DELAY=60 \
      check suites "$work/build" "$work/interpreter" "$work/results/windows" "$work/suites/test_a.py" "$work/suites/test_b.py") \
  || status=$?
[ "$status" = 1 ] || fail "hung start of suites: status $status"
expect "hung start of suites" "$out" \
  "python.exe did not start under Wine within 2 s: waited for it to mark its first suite started in $work/results/windows/test_a.txt"
[ $((SECONDS - started)) -lt 30 ] || fail "hung start of suites: took $((SECONDS - started)) s"
for suite in test_a test_b; do
  [ "$(cat "$work/results/windows/$suite.txt")" = status=waiting ] || fail "hung start: $suite is not left waiting"
done

# 3. Suites in one python.exe: each keeps its results and its line.
status=0
out=$(check suites "$work/build" "$work/interpreter" "$work/results/windows" "$work/suites/test_a.py" "$work/suites/test_b.py") \
  || status=$?
[ "$status" = 1 ] || fail "suites: status $status (test_b fails)"
expect suites "$out" 'python.exe started under Wine in [0-9]+\.[0-9]+ s' \
  'ok +test_a\.py: run=1 failures=0' 'FAILED test_b\.py: run=2 failures=1'
[ "$(cat "$work/results/windows/test_a.txt")" = "run=1 failures=0 errors=0 skipped=0" ] || fail "suites: test_a's results"
[ "$(cat "$work/results/windows/test_b.txt")" = "run=2 failures=1 errors=0 skipped=0" ] || fail "suites: test_b's results"
[ "$(grep -c 'python.exe' "$FAKE_WINE_LOG")" -ge 1 ] || fail "suites: python.exe was not started"
[ -z "$(find "$work/build" -maxdepth 1 -name 'python-run.*')" ] || fail "suites: a run's log was left behind"
# The start was recorded for the summary (the hung one was not: it never started).
if ! grep -qE '^[0-9]+ test_a$' "$work/results/wine-starts.txt" || [ "$(wc -l < "$work/results/wine-starts.txt")" != 1 ]; then
  fail "suites: the start was not recorded once: $(cat "$work/results/wine-starts.txt" 2>&1)"
fi
summary=$(python2.7 "$root/tests/suite_counts.py" "$work/results")
expect summary "$summary" 'python.exe under Wine: 1 start\(s\), the slowest [0-9]+\.[0-9] s \(before test_a\)' \
  'Windows, python.exe \(Wine\) +3 +1 +0 +0 +2 +0'


# The Wine test program's output and status come through its log file.
mkdir -p "$work/build/wine"
printf '#!/bin/sh\necho "volume calls over $1"\nexit 3\n' > "$work/build/wine/volume_calls_test.exe"
chmod +x "$work/build/wine/volume_calls_test.exe"
status=0
out=$(check wine "$work/build") || status=$?
[ "$status" = 3 ] || fail "wine program: status $status, not the program's 3"
expect "wine program" "$out" "^volume calls over $work/build/python-kernel32/windows\$"

# Every Wine call went through the launcher, and the interpreter, the
# build and the results were bound for the runs that were handed them.
if grep -q 'OUTSIDE THE ROOT' "$FAKE_WINE_LOG"; then
  fail "Wine was called outside the root: $(grep 'OUTSIDE THE ROOT' "$FAKE_WINE_LOG")"
fi
grep -q "^root wine binds=.*$work/build.*$work/interpreter.*$work/results/windows" "$FAKE_WINE_LOG" \
  || fail "the suites' paths were not bound into the root: $(grep '^root wine' "$FAKE_WINE_LOG")"

# 4. The end of the run ends the kept server and waits for it.
: > "$FAKE_WINE_LOG"
out=$(check stop "$work/build") || fail "stop: status $?: $out"
if [ "$(calls '^wineserver -k')" != 1 ] || [ "$(calls '^wineserver -w')" != 1 ]; then
  fail "stop: the server was not ended and waited for: $(cat "$FAKE_WINE_LOG")"
fi

finish "check.sh's Wine runs, with stand-ins for Wine"
