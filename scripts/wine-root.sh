#!/usr/bin/env bash
# Builds the project's Wine root (scripts/wine-root-place.sh): a minimal
# Debian system of the host's release, from the archive the host installs
# from (main only), with the i386 architecture added inside it and Wine
# (wine, wine32:i386, wine64) installed there. The host gets nothing but
# debootstrap; its dpkg architectures and lists are not touched.
#
#   wine-root.sh ARCHIVE_URI RELEASE    (called by setup.sh --test, as root)
#
# Built once and kept while its inputs (the release, the packages) are the
# same; built anew when they change. The build goes to a directory beside
# the root and is renamed into place once complete, its stamp written last,
# so an interrupted build never looks complete and the next run starts it
# again. Concurrent set-ups wait for one build. Everything the build mounts
# (debootstrap's /proc, apt's) is in a mount namespace of its own.
#
# When an archive fails (unreachable, or a list that does not match its
# Release file), the build stops and says which archive and list, and that
# the fault is the archive's.
set -euo pipefail
archive=${1:?usage: wine-root.sh ARCHIVE_URI RELEASE}
release=${2:?usage: wine-root.sh ARCHIVE_URI RELEASE}
scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
step_prefix=setup
# shellcheck source=steps.sh
. "$scripts/steps.sh"
# shellcheck source=apt-install.sh
. "$scripts/apt-install.sh"
# shellcheck source=wine-root-place.sh
. "$scripts/wine-root-place.sh"

WINE_ROOT_PACKAGES=(wine wine32:i386 wine64)
# What the root is made of: when this changes, it is built anew.
want="release=$release foreign=i386 packages=${WINE_ROOT_PACKAGES[*]}"

complete() {
  [ -f "$wine_root_stamp" ] && [ "$(cat "$wine_root_stamp")" = "$want" ]
}
complete && exit 0
[ "$(id -u)" -eq 0 ] || { echo "wine-root.sh: must run as root (it builds $wine_root)" >&2; exit 1; }

mkdir -p "$(dirname "$wine_root")"
exec 9>"$wine_root.lock"
if ! flock -n 9; then
  say "waiting for another set-up's build of the Wine root $wine_root"
  flock 9
fi
complete && exit 0

partial="$wine_root.partial"
# The launcher, into the root being built (VOLUMES_WINE_LAUNCHER replaces it,
# as for check.sh).
read -ra launcher <<<"${VOLUMES_WINE_LAUNCHER:-bash $scripts/wine-run.sh}"
launcher=(env VOLUMES_WINE_ROOT="$partial" "${launcher[@]}" --building)
export DEBIAN_FRONTEND=noninteractive

# The one line that says why the root could not be built; the step's own
# output (above it) has the tools' words.
cannot_build() {
  rm -rf --one-file-system "$partial"
  say "the Wine root cannot be built, so the Windows suites cannot run: $*"
  exit 1
}

problem=$(private_namespace_problem)
[ -z "$problem" ] || cannot_build "$problem"

# Mounts live only in build namespaces that ended with their processes;
# --one-file-system keeps rm from following anything else mounted there.
rm -rf --one-file-system "$partial"
mkdir -p "$partial"
started=$SECONDS

debootstrap_log=$(mktemp "${TMPDIR:-/tmp}/volumes-debootstrap.XXXXXX")
bootstrap() {
  unshare --mount --propagation private -- \
    debootstrap --variant=minbase --components=main --keyring=/usr/share/keyrings/debian-archive-keyring.gpg "$release" "$partial" "$archive" 2>&1 | tee "$debootstrap_log"
  return "${PIPESTATUS[0]}"
}
if ! step "making a minimal Debian $release in $partial for Wine (debootstrap, from $archive)" bootstrap; then
  # debootstrap says "E: Failed getting release file URL", "E: Couldn't
  # download packages: ...", "W: Couldn't download package P (...)".
  reason=$(grep -m1 -E '^E: ' "$debootstrap_log" || true)
  rm -f "$debootstrap_log"
  case "$reason" in
    *"Failed getting release file"* | *"Couldn't download"* | *"Invalid Release"* | *"Release signed"* | *"checksum"*)
      cannot_build "debootstrap could not download from the archive $archive $release (${reason#E: }); the fault is the archive's (or the network's), not this machine's: run scripts/setup.sh --test again later" ;;
    *) cannot_build "debootstrap failed (${reason:-see its output above})" ;;
  esac
fi
rm -f "$debootstrap_log"

# The archive the root reads is the one it was made from, main only: no
# security or updates archive, whose lists and versions need not agree.
echo "deb $archive $release main" > "$partial/etc/apt/sources.list"
step "adding the i386 architecture inside the root, for wine32" \
  "${launcher[@]}" dpkg --add-architecture i386
apt_update=("${launcher[@]}" apt-get update)
step "reading the root's package lists (amd64 and i386)" update_package_lists \
  || cannot_build "apt-get update failed inside the root (see above)"
if [ -n "$failed_lists" ]; then
  cannot_build "a package list of the archive could not be downloaded: $(describe_failed_lists | paste -sd ';' | sed 's/;/; /g'); the fault is the archive's (or the network's; \"Mirror sync in progress?\" means a mirror part-way through a sync), not this machine's: run scripts/setup.sh --test again later"
fi
step "installing ${WINE_ROOT_PACKAGES[*]} inside the root" \
  "${launcher[@]}" apt-get install -y --no-install-recommends "${WINE_ROOT_PACKAGES[@]}" \
  || cannot_build "apt-get could not install ${WINE_ROOT_PACKAGES[*]} inside the root (see above)"

finish() {
  "${launcher[@]}" apt-get clean
  rm -rf "$partial"/var/lib/apt/lists/*
  echo "$want" > "$partial/${wine_root_stamp##*/}"
  # An older root (other inputs) is moved aside first, then removed: a
  # rename is what makes the new one appear whole.
  if [ -e "$wine_root" ]; then
    rm -rf --one-file-system "$wine_root.old"
    mv "$wine_root" "$wine_root.old"
  fi
  mv "$partial" "$wine_root"
  rm -rf --one-file-system "$wine_root.old"
}
step "removing apt's caches and lists from the root, and putting it in place at $wine_root" finish
say "the Wine root is ready: $wine_root, $(du -sh "$wine_root" | cut -f1), built in $((SECONDS - started)) s"
