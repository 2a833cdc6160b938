# shellcheck shell=bash
# Sourced by setup.sh (after steps.sh): reads the archives' package lists
# and installs packages, telling an archive's fault from ours.
#
# An archive's mirror that is part-way through a sync serves, for minutes
# and sometimes hours, a list that does not match its Release file ("File
# has unexpected size ... Mirror sync in progress?"). apt-get update then
# exits 100 although every other list was read. That is a warning here: the
# install goes on as long as apt can still solve it. When it cannot, the
# lists are read again a bounded number of times, spaced out; when it still
# cannot, the packages the caller named optional are left out if the fault
# is in an i386 list and the rest installs, and otherwise set-up stops. Either
# way one message says which archive's list failed and what to do.
#
#   read_package_lists REASON [again]
#                                    apt-get update, as a step, once a run
#   install_missing WHY              installs "${missing[@]}"; may leave out
#                                    those of "${optional_packages[@]}"
#                                    (sets left_out; "$optional_purpose"
#                                    says what goes without them)
#
# Nothing is removed or downgraded to make an install possible.
#
# VOLUMES_APT_TRIES (3) reads of the lists in all, the waits between them
# VOLUMES_APT_RETRY_SECONDS (30) and then twice that: 90 s of waiting.

apt_tries=${VOLUMES_APT_TRIES:-3}
apt_retry_seconds=${VOLUMES_APT_RETRY_SECONDS:-30}
# What an install runs; a test makes it a simulation.
apt_install=(apt-get install -y)

package_lists_read=0
failed_lists=""   # "URL  reason" of each list the last read could not download
warned_lists=""
left_out=()

# The "URL  reason" lines of the lists that apt-get update's output (stdin)
# says failed to download (apt says "E:" or "W:", by the kind of failure).
apt_failed_downloads() {
  sed -n 's/^[EW]: Failed to fetch //p'
}

# The errors of apt-get update's output (stdin) other than failed
# downloads: a source that is not signed, a malformed line and the like.
apt_other_errors() {
  grep '^E: ' | grep -v -e '^E: Failed to fetch ' -e '^E: Some index files failed to download' || true
}

# apt-get update, succeeding when every list was read or only some failed
# to download (they are in failed_lists); any other error fails it.
update_package_lists() {
  local output status=0
  output=$(apt-get update 2>&1) || status=$?
  printf '%s\n' "$output"
  failed_lists=$(apt_failed_downloads <<<"$output")
  package_lists_read=1
  if [ -n "$(apt_other_errors <<<"$output")" ]; then
    return 1
  fi
  [ "$status" = 0 ] || [ -n "$failed_lists" ]
}

# Once a run, or again with a second argument "again".
read_package_lists() {
  [ "$package_lists_read" = 1 ] && [ "${2:-}" != again ] && return 0
  step "reading the package lists of the archives ($1)" update_package_lists || exit 1
  if [ -n "$failed_lists" ] && [ "$failed_lists" != "$warned_lists" ]; then
    warned_lists=$failed_lists
    say "warning: $(grep -c . <<<"$failed_lists") package list(s) could not be downloaded, going on with the others: $(describe_failed_lists | paste -sd ';' | sed 's/;/; /g')"
  fi
}

# The archive (URI and suite) of a list's URL, and the list within it:
# "http://host/debian-security bookworm-security: main/binary-i386/Packages.xz".
describe_list_url() {
  local url=$1
  case "$url" in
    */dists/*)
      local base=${url%%/dists/*} rest=${url#*/dists/}
      echo "$base ${rest%%/*}: ${rest#*/}"
      ;;
    *) echo "$url" ;;
  esac
}

# One line per failed list: its archive, the list, apt's reason.
describe_failed_lists() {
  local url reason
  while read -r url reason; do
    [ -n "$url" ] && echo "$(describe_list_url "$url") ($reason)"
  done <<<"$failed_lists"
}

failed_i386_list() {
  grep -q '/binary-i386/' <<<"$failed_lists"
}

# Whether apt can solve installing the given packages, without removing or
# downgrading anything. apt's output goes to stdout.
can_install() {
  apt-get install -s --no-install-recommends --no-remove "$@" 2>&1
}

# For each multi-arch package apt's output (stdin) names whose i386 twin
# cannot be had at the version of its installed amd64 copy (nor at a newer
# version both architectures are offered at), one line:
# "NAME:i386 at VERSION, the installed NAME's (the lists offer: V, V)".
missing_i386_twins() {
  local names=() installed_versions offers name installed i386_versions amd64_versions version found
  # Names as apt's resolver writes them ("libpcre2-8-0:i386 : Depends: ..."),
  # and those it would have had to remove (listed, indented, after "REMOVED:").
  mapfile -t names < <( { grep -o '[a-z0-9][a-z0-9+.-]*:i386' <<<"$1" | sed 's/:i386$//'
                          sed -n '/will be REMOVED:/,/^[^ ]/ s/^  //p' <<<"$1" | tr ' ' '\n' | sed 's/:amd64$//'
                        } | grep . | sort -u)
  [ "${#names[@]}" -gt 0 ] || return 0
  # apt is asked once for all (each call reads its whole cache): "NAME
  # INSTALLED" of the amd64 copies, "NAME ARCH VERSION" of what the lists offer.
  installed_versions=$(apt-cache policy "${names[@]/%/:amd64}" 2>/dev/null \
    | awk '/^[^ ]/ { name = $1; sub(/:$/, "", name); sub(/:amd64$/, "", name) }
           /^  Installed: / { print name, $2 }')
  offers=$(apt-cache madison "${names[@]/%/:i386}" "${names[@]/%/:amd64}" 2>/dev/null \
    | awk -F'|' '{ gsub(/ /, "", $1); gsub(/ /, "", $2); arch = "amd64"
                   if ($1 ~ /:i386$/) { arch = "i386"; sub(/:i386$/, "", $1) }
                   sub(/:amd64$/, "", $1); print $1, arch, $2 }')
  while read -r name installed; do
    if [ -z "$name" ] || [ "$installed" = "(none)" ]; then
      continue
    fi
    i386_versions=$(awk -v name="$name" '$1 == name && $2 == "i386" { print $3 }' <<<"$offers")
    amd64_versions=$(echo "$installed"; awk -v name="$name" '$1 == name && $2 == "amd64" { print $3 }' <<<"$offers")
    found=""
    for version in $i386_versions; do
      if dpkg --compare-versions "$version" ge "$installed" && grep -qxF -- "$version" <<<"$amd64_versions"; then
        found=$version
        break
      fi
    done
    [ -z "$found" ] || continue
    echo "$name:i386 at $installed, the installed $name's (the lists offer: $(paste -sd, <<<"${i386_versions:-none}" | sed 's/,/, /g'))"
  done <<<"$installed_versions"
}

# The message when packages cannot be installed because an archive's list
# could not be read. $1: apt's output; $2: "stop" or "go on".
explain_archive_fault() {
  local twins
  twins=$(missing_i386_twins "$1")
  say "a package list of an archive could not be downloaded (lists read $list_reads time(s), over $list_wait s):"
  describe_failed_lists | sed 's/^/    /' >&2
  say "The fault is the archive's (or the network's), not this machine's or this project's; apt's reason is above. \"Mirror sync in progress?\" means a mirror part-way through a sync, serving a list that does not match its Release file, usually for minutes, sometimes for hours."
  if [ -n "$twins" ]; then
    say "Without that list these cannot be had at the version this machine has installed (nothing is downgraded):"
    sed 's/^/    /' <<<"$twins" >&2
  fi
  if failed_i386_list; then
    say "The main profile (scripts/setup.sh, scripts/volinfo.sh) reads no i386 list and is not affected."
  fi
  if [ "$2" = "go on" ]; then
    say "Going on without ${left_out[*]}${optional_purpose:+: $optional_purpose}. Run this again in an hour or so to add them."
  else
    say "Nothing was installed. Run this again in an hour or so; if it still fails then, the archive (or the mirror this machine uses) is worth a report."
  fi
}

# Splits "${missing[@]}" into rest (not optional) and left_out (optional).
split_optional() {
  local p o optional
  rest=() left_out=()
  for p in "${missing[@]}"; do
    optional=0
    for o in "${optional_packages[@]}"; do
      [ "$p" = "$o" ] && optional=1
    done
    if [ "$optional" = 1 ]; then left_out+=("$p"); else rest+=("$p"); fi
  done
}

# Whether what is missing is only what an earlier set-up left out, and
# that set-up (NOTE's time) tried less than SECONDS ago: then it is not tried
# again yet, and says so. Scripts that run inside the tests (sanitize.sh,
# memcheck.sh, fuzz.sh) call set-up too, several at once: they must neither
# wait for the archive again nor contend for apt's lock. Sets rest, left_out.
#   tried_recently NOTE SECONDS
tried_recently() {
  local note=$1 seconds=$2 age
  rest=()
  split_optional
  [ "${#missing[@]}" -gt 0 ] && [ "${#rest[@]}" = 0 ] || return 1
  age=$(( $(date +%s) - $(stat -c %Y "$note") ))
  [ "$age" -lt "$seconds" ] || return 1
  say "still without ${left_out[*]}: a set-up $((age / 60)) min ago could not install them ($note); set-up tries again in $(( (seconds - age + 59) / 60 )) min"
}

list_reads=0
list_wait=0

install_missing() {
  local why=$1 wait=$apt_retry_seconds output solved=0 rest=()
  left_out=()
  [ "$package_lists_read" = 1 ] && list_reads=1
  # Solved first without installing, so that an archive's fault is told
  # from any other before anything changes.
  output=$(can_install "${missing[@]}") && solved=1
  if [ "$solved" = 0 ] && [ "$package_lists_read" = 0 ]; then
    # An index older than the archive names versions it no longer has.
    read_package_lists "the lists at hand cannot solve the install"
    list_reads=1
    output=$(can_install "${missing[@]}") && solved=1
  fi
  while [ "$solved" = 0 ] && [ -n "$failed_lists" ] && [ "$list_reads" -lt "$apt_tries" ]; do
    say "the install cannot be solved while a list is missing: reading the lists again in $wait s (read $((list_reads + 1)) of $apt_tries)"
    sleep "$wait"
    list_wait=$((list_wait + wait))
    wait=$((wait * 2))
    read_package_lists "again, for the list that failed" again
    list_reads=$((list_reads + 1))
    output=$(can_install "${missing[@]}") && solved=1
  done
  if [ "$solved" = 0 ] && [ -n "$failed_lists" ]; then
    # Still missing: what needs an i386 list is left out when that is where
    # the fault is and the rest can be installed.
    split_optional
    if failed_i386_list && [ "${#left_out[@]}" -gt 0 ] && can_install "${rest[@]}" >/dev/null; then
      explain_archive_fault "$output" "go on"
      missing=("${rest[@]}")
    else
      left_out=()
      explain_archive_fault "$output" "stop"
      exit 1
    fi
  fi
  # Solved, or not an archive's fault: then the install fails with apt's
  # own reasons.
  [ "${#missing[@]}" -gt 0 ] || return 0
  if ! step "installing ${#missing[@]} packages $why: ${missing[*]}" \
         "${apt_install[@]}" --no-install-recommends --no-remove "${missing[@]}"; then
    # A package file an older index names may be gone from the archive.
    [ "$package_lists_read" = 1 ] && exit 1
    read_package_lists "retrying with fresh lists" again
    step "installing ${#missing[@]} packages $why (again)" \
      "${apt_install[@]}" --no-install-recommends --no-remove "${missing[@]}" || exit 1
  fi
}
