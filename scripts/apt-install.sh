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
# cannot, set-up stops, and one message says which archive's list failed and
# what to do.
#
#   read_index_targets               every index apt's sources name: what
#                                    it is of, release, component, URI and
#                                    the entry naming it, one a line
#   read_package_lists REASON [again]
#                                    apt-get update, as a step, once a run
#   install_missing WHY              installs "${missing[@]}"
#   update_package_lists             "${apt_update[@]}" (apt-get update, or
#                                    that inside another root): sets
#                                    failed_lists; describe_failed_lists
#                                    tells them
#
# Nothing is removed or downgraded to make an install possible.
#
# VOLUMES_APT_TRIES (3) reads of the lists in all, the waits between them
# VOLUMES_APT_RETRY_SECONDS (30) and then twice that: 90 s of waiting.

apt_tries=${VOLUMES_APT_TRIES:-3}
apt_retry_seconds=${VOLUMES_APT_RETRY_SECONDS:-30}
# What an install runs; a test makes it a simulation.
apt_install=(apt-get install -y)
apt_update=(apt-get update)

# Asking apt for its index targets costs seconds of CPU where apt keeps no
# cache of its lists (a container's docker-clean), so the answer is kept in
# index_targets_cache while nothing under the apt_configuration paths (the
# sources, apt's configuration) is newer than the moment it was asked.
index_targets_cache=/var/cache/volumes-setup/apt-index-targets
apt_configuration=(/etc/apt)
# shellcheck disable=SC2016 # apt's own $(FIELD) format, not the shell's
index_targets_format='$(TARGET_OF) $(RELEASE) $(COMPONENT) $(REPO_URI) $(SOURCESENTRY)'
read_index_targets() {
  local cache=$index_targets_cache asked targets
  if [ -f "$cache" ] && [ "$(head -n 1 "$cache")" = "$index_targets_format" ] \
     && [ -z "$(find "${apt_configuration[@]}" -newer "$cache" -print -quit 2>/dev/null)" ]; then
    tail -n +2 "$cache"
    return
  fi
  asked=$(date +%s.%N)
  targets=$(apt-get indextargets --no-release-info --format "$index_targets_format")
  if [ "$(id -u)" -eq 0 ] && mkdir -p "$(dirname "$cache")"; then
    printf '%s\n%s\n' "$index_targets_format" "$targets" > "$cache.partial"
    touch -d "@$asked" "$cache.partial"
    mv "$cache.partial" "$cache"
  fi
  printf '%s\n' "$targets"
}

package_lists_read=0
failed_lists=""   # "URL  reason" of each list the last read could not download
warned_lists=""

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
  output=$("${apt_update[@]}" 2>&1) || status=$?
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

# Whether apt can solve installing the given packages, without removing or
# downgrading anything. apt's output goes to stdout.
can_install() {
  apt-get install -s --no-install-recommends --no-remove "$@" 2>&1
}

# The message when packages cannot be installed because an archive's list
# could not be read.
explain_archive_fault() {
  say "a package list of an archive could not be downloaded (lists read $list_reads time(s), over $list_wait s):"
  describe_failed_lists | sed 's/^/    /' >&2
  say "The fault is the archive's (or the network's), not this machine's or this project's; apt's reason is above. \"Mirror sync in progress?\" means a mirror part-way through a sync, serving a list that does not match its Release file, usually for minutes, sometimes for hours."
  say "Nothing was installed. Run this again in an hour or so; if it still fails then, the archive (or the mirror this machine uses) is worth a report."
}

list_reads=0
list_wait=0

install_missing() {
  local why=$1 wait=$apt_retry_seconds solved=0
  [ "$package_lists_read" = 1 ] && list_reads=1
  # Solved first without installing, so that an archive's fault is told
  # from any other before anything changes.
  can_install "${missing[@]}" >/dev/null && solved=1
  if [ "$solved" = 0 ] && [ "$package_lists_read" = 0 ]; then
    # An index older than the archive names versions it no longer has.
    read_package_lists "the lists at hand cannot solve the install"
    list_reads=1
    can_install "${missing[@]}" >/dev/null && solved=1
  fi
  while [ "$solved" = 0 ] && [ -n "$failed_lists" ] && [ "$list_reads" -lt "$apt_tries" ]; do
    say "the install cannot be solved while a list is missing: reading the lists again in $wait s (read $((list_reads + 1)) of $apt_tries)"
    sleep "$wait"
    list_wait=$((list_wait + wait))
    wait=$((wait * 2))
    read_package_lists "again, for the list that failed" again
    list_reads=$((list_reads + 1))
    can_install "${missing[@]}" >/dev/null && solved=1
  done
  if [ "$solved" = 0 ] && [ -n "$failed_lists" ]; then
    explain_archive_fault
    exit 1
  fi
  # Solved, or not an archive's fault: then the install fails with apt's
  # own reasons.
  if ! step "installing ${#missing[@]} packages $why: ${missing[*]}" \
         "${apt_install[@]}" --no-install-recommends --no-remove "${missing[@]}"; then
    # A package file an older index names may be gone from the archive.
    [ "$package_lists_read" = 1 ] && exit 1
    read_package_lists "retrying with fresh lists" again
    step "installing ${#missing[@]} packages $why (again)" \
      "${apt_install[@]}" --no-install-recommends --no-remove "${missing[@]}" || exit 1
  fi
}
