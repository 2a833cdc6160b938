# shellcheck shell=bash
# Sourced by the script tests: a work directory removed at exit, and the
# checks, which count failures and let the script go on to report them all.
#
#   . "$root/tests/scripts/checks.sh" NAME   work=a new directory for NAME
#   fail MESSAGE                            a failed check
#   expect NAME OUTPUT PATTERN...           each grep -E pattern must match
#   refuse NAME OUTPUT PATTERN...           no grep -E pattern may match
#   finish SUMMARY                          exits 1 after a failure, else
#                                           prints "ok: SUMMARY"
work=$(mktemp -d "${TMPDIR:-/tmp}/volumes-${1:?checks.sh NAME}.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

expect() {
  local name=$1 output=$2 pattern
  shift 2
  for pattern in "$@"; do
    grep -qE -- "$pattern" <<<"$output" || fail "$name: no line matches /$pattern/ in:"$'\n'"$output"
  done
}

refuse() {
  local name=$1 output=$2 pattern
  shift 2
  for pattern in "$@"; do
    if grep -qE -- "$pattern" <<<"$output"; then
      fail "$name: a line matches /$pattern/ in:"$'\n'"$output"
    fi
  done
}

finish() {
  if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed"
    exit 1
  fi
  echo "ok: $*"
}
