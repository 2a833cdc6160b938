# Sourced by the set-up and build scripts. A step prints one line saying
# what it does and why, ended by how long it took; the output of the tools
# it runs is kept in a log and printed only when the step fails. With
# VOLUMES_VERBOSE=1 (or the scripts' -v) the tools' output goes to stderr as
# it comes instead.
#
#   step_prefix=setup
#   step "adding ... for ..." command args...

VOLUMES_VERBOSE=${VOLUMES_VERBOSE:-0}
export VOLUMES_VERBOSE
step_prefix=${step_prefix:-volumes}

# The options setup.sh and build.sh share: --test chooses the test profile
# (sets profile=test; main otherwise), -v shows the tools' output.
#   read_profile_options setup.sh "$@"
read_profile_options() {
  local name=$1 argument
  shift
  profile=main
  for argument in "$@"; do
    case $argument in
      --test) profile=test ;;
      -v|--verbose) VOLUMES_VERBOSE=1 ;;
      *) echo "usage: $name [--test] [-v]" >&2; exit 2 ;;
    esac
  done
}

# One line of progress on stderr (stdout is kept for what scripts print).
say() {
  echo "$step_prefix: $*" >&2
}

step() {
  local what=$1
  shift
  if [ "$VOLUMES_VERBOSE" = 1 ]; then
    say "$what"
    "$@" >&2
    return
  fi
  # The line is ended once the step is: with how long it took, or "failed"
  # and the tools' output.
  printf '%s: %s ... ' "$step_prefix" "$what" >&2
  local log status started=$SECONDS
  log=$(mktemp "${TMPDIR:-/tmp}/volumes-step.XXXXXX")
  if "$@" >"$log" 2>&1; then
    echo "done ($((SECONDS - started)) s)" >&2
    rm -f "$log"
    return 0
  else
    status=$?
  fi
  {
    echo "failed (status $status)"
    echo "---- output of: $*"
    cat "$log"
    echo "----"
  } >&2
  rm -f "$log"
  return "$status"
}
