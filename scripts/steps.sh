# Sourced by the set-up and build scripts. A step prints one line saying
# what it does and why; the output of the tools it runs is kept in a log and
# printed only when the step fails. With VOLUMES_VERBOSE=1 (or the scripts'
# -v) the tools' output goes to stderr as it comes instead.
#
#   step_prefix=setup
#   step "adding ... for ..." command args...

VOLUMES_VERBOSE=${VOLUMES_VERBOSE:-0}
export VOLUMES_VERBOSE
step_prefix=${step_prefix:-volumes}

# One line of progress on stderr (stdout is kept for what scripts print).
say() {
  echo "$step_prefix: $*" >&2
}

step() {
  local what=$1
  shift
  say "$what"
  if [ "$VOLUMES_VERBOSE" = 1 ]; then
    "$@" >&2
    return
  fi
  local log status
  log=$(mktemp "${TMPDIR:-/tmp}/volumes-step.XXXXXX")
  "$@" >"$log" 2>&1 && { rm -f "$log"; return 0; }
  status=$?
  {
    echo "$step_prefix: failed (status $status): $what"
    echo "---- output of: $*"
    cat "$log"
    echo "----"
  } >&2
  rm -f "$log"
  return "$status"
}
