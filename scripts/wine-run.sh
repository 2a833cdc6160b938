#!/usr/bin/env bash
# Runs a command (wine, wineserver, wineboot, wine64, any program) inside
# the project's Wine root (scripts/wine-root-place.sh), in a mount namespace
# of its own, so that no mount made for it is seen outside:
#
#   wine-run.sh COMMAND [ARGS...]   runs it with this environment and
#                                   working directory
#   wine-run.sh --building COMMAND  the same in a root still being built
#   wine-run.sh --check             exits 0 when the root is complete, else
#                                   prints why not in one line and exits 1
#
# Bound at the same paths inside the root: /proc, /dev and /sys (with what
# is mounted below them: pts, shm, binfmt_misc), /tmp (where wineserver
# keeps its socket, so that every call of a run reaches the one server),
# the working directory, this project's tree, and each directory of
# VOLUMES_WINE_BINDS (separated by ':'). The command is exec'd, not run as a
# child: its process is this one, so a timeout's signal reaches it.
set -euo pipefail
project=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=wine-root-place.sh
. "$project/scripts/wine-root-place.sh"

usage() {
  echo "usage: wine-run.sh COMMAND [ARGS...] | --check" >&2
  exit 2
}

root_problem() {
  if [ ! -d "$wine_root" ]; then
    echo "the Wine root $wine_root has not been built (scripts/setup.sh --test builds it)"
  elif [ ! -f "$wine_root_stamp" ]; then
    echo "the Wine root $wine_root is incomplete (an interrupted build; scripts/setup.sh --test builds it anew)"
  elif [ ! -x "$wine_root/usr/lib/wine/wine" ]; then
    echo "the Wine root $wine_root has no 32-bit Wine loader /usr/lib/wine/wine (scripts/setup.sh --test builds it anew)"
  elif [ "$(id -u)" -eq 0 ]; then
    private_namespace_problem
  fi
}

# The directories to bind, shortest first, each once: what an earlier one
# already holds is left to it (/tmp holds a build tree under /tmp).
bind_list() {
  local candidates=() held=() path seen
  mapfile -t candidates < <(
    { printf '%s\n' /tmp "$project" "$PWD"; tr ':' '\n' <<<"${VOLUMES_WINE_BINDS:-}"; } \
      | while IFS= read -r path; do
          if [ -n "$path" ] && [ -d "$path" ]; then realpath -e -- "$path"; fi
        done \
      | awk '{ print length($0) "\t" $0 }' | sort -n -s -k1,1 | cut -f2-)
  for path in "${candidates[@]}"; do
    case "$path" in /|/proc|/proc/*|/dev|/dev/*|/sys|/sys/*) continue ;; esac
    for seen in "${held[@]}"; do
      case "$path/" in "$seen"/*) continue 2 ;; esac
    done
    held+=("$path")
  done
  printf '%s\n' "${held[@]}"
}

enter() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "wine-run.sh: must run as root (it makes a mount namespace and binds paths into the Wine root)" >&2
    exit 1
  fi
  exec unshare --mount --propagation private -- bash "${BASH_SOURCE[0]}" --inside "$@"
}

case "${1:-}" in
  "") usage ;;
  --check)
    problem=$(root_problem)
    [ -z "$problem" ] || { echo "$problem"; exit 1; }
    exit 0
    ;;
  --inside)
    # In the new mount namespace, whose mounts are private: nothing below
    # reaches the namespace the caller was in.
    shift
    for system in proc dev sys; do
      mount --rbind "/$system" "$wine_root/$system"
    done
    while IFS= read -r path; do
      mkdir -p -- "$wine_root$path"
      mount --bind -- "$path" "$wine_root$path"
    done < <(bind_list)
    exec chroot "$wine_root" /usr/bin/env -C "$PWD" -- "$@"
    ;;
  --building)
    # The root's own build, which runs apt inside a root not yet complete.
    shift
    [ "$#" -gt 0 ] || usage
    enter "$@"
    ;;
  *)
    problem=$(root_problem)
    [ -z "$problem" ] || { echo "wine-run.sh: $problem" >&2; exit 1; }
    enter "$@"
    ;;
esac
