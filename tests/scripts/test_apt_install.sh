#!/usr/bin/env bash
# The set-up's install decisions (scripts/apt-install.sh) against archives
# made here: apt runs with a configuration of its own in a temporary
# directory (its sources, lists, preferences and a dpkg status of its own),
# over flat file: archives, one of which has an i386 list whose Release
# entry does not match it, as a mirror mid-sync serves it. Installs are
# simulated (apt-get install -s); nothing of the machine's apt state is read
# or changed. No network.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=checks.sh
. "$root/tests/scripts/checks.sh" apt-test

# A package stanza: NAME VERSION ARCH MULTI-ARCH [DEPENDS]
stanza() {
  printf 'Package: %s\nVersion: %s\nArchitecture: %s\nMulti-Arch: %s\nMaintainer: nobody <nobody@localhost>\n' "$1" "$2" "$3" "$4"
  printf 'Filename: pool/%s_%s_%s.deb\nSize: 100\nSHA256: %064d\nDescription: test package\n' "$1" "$2" "$3" 0
  [ -z "${5:-}" ] || printf 'Depends: %s\n' "$5"
  echo
}

# An archive DIR with suite SUITE, its lists from the files already in
# DIR/dists/SUITE/main/binary-*/Packages.
release() {
  local dists="$1/dists/$2" f
  {
    printf 'Suite: %s\nCodename: %s\nDate: Thu, 01 Jan 2026 00:00:00 UTC\n' "$2" "$2"
    printf 'Architectures: amd64 i386\nComponents: main\nSHA256:\n'
    for f in "$dists"/main/binary-*/Packages; do
      printf ' %s %s %s\n' "$(sha256sum "$f" | cut -d' ' -f1)" "$(stat -c %s "$f")" "${f#"$dists"/}"
    done
  } > "$dists/Release"
}

mkdir -p "$work"/{base,security}/dists/{sim,sim-security}/main/binary-{amd64,i386}
# The release archive: libz at 1.0-1 for both architectures, an amd64 tool
# that needs it, and an i386 program (Wine's part, in set-up) that needs
# libz:i386.
{ stanza libz 1.0-1 amd64 same; stanza tool 2.0 amd64 no libz; } > "$work/base/dists/sim/main/binary-amd64/Packages"
{ stanza libz 1.0-1 i386 same; stanza winelike 8.0 i386 foreign libz; } > "$work/base/dists/sim/main/binary-i386/Packages"
release "$work/base" sim
# The security archive: libz 1.0-1+sec1 for both; its i386 list's size in
# Release is not the file's ("File has unexpected size" on a mirror).
stanza libz 1.0-1+sec1 amd64 same > "$work/security/dists/sim-security/main/binary-amd64/Packages"
stanza libz 1.0-1+sec1 i386 same > "$work/security/dists/sim-security/main/binary-i386/Packages"
release "$work/security" sim-security
sed -i '/binary-i386/ s/ [0-9]* main/ 99999 main/' "$work/security/dists/sim-security/Release"

# A world of apt's own: STATUS_VERSION is the installed amd64 libz; SOURCES
# names the archives (base, security, or base without trusting it unsigned).
make_world() {
  local world="$work/world-$1" installed=$2 source
  shift 2
  rm -rf "$world"
  mkdir -p "$world"/{parts,sources.list.d,preferences.d,lists/partial,cache/archives/partial,log}
  cat > "$world/apt.conf" <<CONF
Dir::Etc::Parts "$world/parts";
Dir::Etc::main "$world/none.conf";
Dir::Etc::sourcelist "$world/sources.list";
Dir::Etc::sourceparts "$world/sources.list.d";
Dir::Etc::preferences "$world/preferences";
Dir::Etc::preferencesparts "$world/preferences.d";
Dir::State::lists "$world/lists";
Dir::State::status "$world/status";
Dir::Cache "$world/cache";
Dir::Log "$world/log";
APT::Architecture "amd64";
APT::Architectures { "amd64"; "i386"; };
Acquire::Languages "none";
APT::Sandbox::User "$(id -un)";
CONF
  printf 'Package: libz\nStatus: install ok installed\nVersion: %s\nArchitecture: amd64\nMulti-Arch: same\nMaintainer: nobody <nobody@localhost>\nDescription: test package\n\n' \
    "$installed" > "$world/status"
  for source in "$@"; do
    case $source in
      base) echo "deb [trusted=yes] file:$work/base sim main" ;;
      security) echo "deb [trusted=yes] file:$work/security sim-security main" ;;
      unsigned) echo "deb file:$work/base sim main" ;;
    esac
  done > "$world/sources.list"
  echo "$world/apt.conf"
}

# Runs the set-up's install of MISSING in WORLD, as setup.sh does, with
# the install simulated; prints its output and, last, "status=N".
run_install() {
  local config=$1 missing_list=$2
  (
    export APT_CONFIG=$config VOLUMES_APT_RETRY_SECONDS=0 VOLUMES_APT_TRIES=3 VOLUMES_VERBOSE=0
    step_prefix=setup
    . "$root/scripts/steps.sh"
    . "$root/scripts/apt-install.sh"
    apt_install=(apt-get install -s)
    read -ra missing <<<"$missing_list"
    status=0
    ( read_package_lists "a source was added"
      install_missing "for the tests" ) || status=$?
    echo "status=$status"
  ) 2>&1
}



# 1. A list fails but what is missing can still be installed (the machine
# has the release archive's libz): a warning, then the install, at once.
out=$(run_install "$(make_world installable 1.0-1 base security)" "tool winelike:i386")
expect installable "$out" \
  'warning: 1 package list\(s\) could not be downloaded.*sim-security: main/binary-i386/Packages' \
  'installing 2 packages for the tests: tool winelike:i386 \.\.\. done' '^status=0$'
refuse installable "$out" 'reading the lists again' 'archive.s, not this machine'

# 2. The i386 twin of the installed libz is only in the list that fails:
# the lists are read three times, then set-up stops, naming the archive and
# the list, and installs nothing. (apt could "solve" it by removing the
# amd64 libz for the older i386 one: that is refused.)
out=$(run_install "$(make_world must-stop 1.0-1+sec1 base security)" "tool winelike:i386")
expect must-stop "$out" \
  'reading the lists again in 0 s \(read 3 of 3\)' \
  "file:$work/security sim-security: main/binary-i386/Packages" \
  "The fault is the archive's" 'Nothing was installed' '^status=1$'
refuse must-stop "$out" 'reading the lists again in 0 s \(read 4' 'installing [0-9]+ packages' 'Remv libz '
[ "$(grep -c 'reading the package lists of the archives' <<<"$out")" = 3 ] \
  || fail "must-stop: the lists were not read exactly 3 times:"$'\n'"$out"

# 3. Every list is read and a package is missing for another reason: the
# install fails with apt's own words, and no archive is blamed.
out=$(run_install "$(make_world not-archive 1.0-1 base)" "tool no-such-package")
expect not-archive "$out" 'installing 2 packages .* failed' 'Unable to locate package no-such-package' '^status=1$'
refuse not-archive "$out" "archive's" 'warning:' 'reading the lists again'

# 4. An archive whose Release is not signed is refused, not a list that
# failed to download: reading the lists stops.
out=$(run_install "$(make_world no-release 1.0-1 unsigned)" "tool")
expect no-release "$out" 'reading the package lists of the archives .* failed' '^status=1$'
refuse no-release "$out" 'installing' 'warning:'

# 5. The index targets are asked of apt once, then kept while nothing of
# apt's configuration is newer; a changed source is asked again.
targets_of() {  # WORLD: read_index_targets' answer there, then how often apt was asked
  (
    export APT_CONFIG=$1/apt.conf PATH="$work/counting:$PATH"
    step_prefix=setup
    . "$root/scripts/steps.sh"
    . "$root/scripts/apt-install.sh"
    index_targets_cache="$work/index-cache/targets"
    apt_configuration=("$1/apt.conf" "$1/sources.list" "$1/sources.list.d" "$1/parts")
    read_index_targets
    echo "asked=$(wc -l < "$work/apt-asked")"
  )
}
mkdir -p "$work/counting"
cat > "$work/counting/apt-get" <<COUNTING
#!/usr/bin/env bash
echo "\$*" >> "$work/apt-asked"
exec /usr/bin/apt-get "\$@"
COUNTING
chmod +x "$work/counting/apt-get"
: > "$work/apt-asked"
make_world cached 1.0-1 base > /dev/null
world="$work/world-cached"
out=$(targets_of "$world")
expect cached-first "$out" "^deb sim main file:$work/base/? $world/sources.list:1\$" '^asked=1$'
if [ "$(id -u)" -eq 0 ]; then
  out=$(targets_of "$world")
  expect cached-kept "$out" "^deb sim main file:$work/base/? $world/sources.list:1\$" '^asked=1$'
  # A source added later: apt is asked again, and names it.
  sleep 0.01
  echo "deb [trusted=yes] file:$work/security sim-security main" > "$world/sources.list.d/added.list"
  out=$(targets_of "$world")
  expect cached-changed "$out" "^deb sim-security main file:$work/security/? $world/sources.list.d/added.list:1\$" \
    '^asked=2$'
fi

finish "5 set-up install cases"
