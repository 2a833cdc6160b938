#!/usr/bin/env bash
# scripts/wine-run.sh against the real Wine root: a command runs inside the
# root with the caller's environment and working directory, in the caller's
# own process (so a timeout's signal reaches it), sees the paths bound for
# it, and none of the mounts made for it is seen outside, by this process
# or by the provider's real-mount tests. Needs the root and root
# privileges: a skip without them, a failure under CI.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
launcher=(bash "$root/scripts/wine-run.sh")
unavailable() {
  if [ "${CI:-}" = true ]; then echo "FAILED: $*"; exit 1; fi
  echo "SKIPPED: $*"
  exit 77
}
[ "$(id -u)" = 0 ] || unavailable "needs root (a mount namespace and binds)"
problem=$("${launcher[@]}" --check) || unavailable "$problem"

# shellcheck source=checks.sh
. "$root/tests/scripts/checks.sh" wine-launcher
# Outside /tmp, which is bound anyway.
bound=$(mktemp -d "/var/tmp/volumes-wine-bound.XXXXXX")
trap 'rm -rf "$work" "$bound"' EXIT
wine_root=$(sed -n 's/^wine_root=\${VOLUMES_WINE_ROOT:-\(.*\)}$/\1/p' "$root/scripts/wine-root-place.sh")
wine_root=${VOLUMES_WINE_ROOT:-$wine_root}

# The environment, the working directory (with a blank and a quote in its
# name) and the process pass through.
odd="$work/a dir's name"
mkdir -p "$odd"
out=$(cd "$odd" && VOLUMES_PROBE='x y=z' bash -c 'echo "$$"; exec "$@"' - "${launcher[@]}" \
        sh -c 'echo "$$"; printf "%s|%s\n" "$VOLUMES_PROBE" "$PWD"; test -f /etc/debian_version && test -x /usr/lib/wine/wine && echo in-root')
pids=$(sed -n 1,2p <<<"$out" | sort -u | wc -l)
[ "$pids" = 1 ] || fail "the command is not run in the caller's process: $out"
[ "$(sed -n 3p <<<"$out")" = "x y=z|$odd" ] || fail "environment or working directory not passed: $out"
[ "$(sed -n 4p <<<"$out")" = in-root ] || fail "the command did not run in the root: $out"

# A directory named in VOLUMES_WINE_BINDS is there at its own path, and
# what is written inside lands outside.
VOLUMES_WINE_BINDS="$bound" "${launcher[@]}" sh -c "echo written > '$bound/file'" \
  || fail "a bound directory cannot be written"
[ "$(cat "$bound/file" 2>/dev/null)" = written ] || fail "the write inside did not land in $bound"

# While the command runs, its mounts are its own.
fifo="$work/ready"
mkfifo "$fifo"
VOLUMES_WINE_BINDS="$bound" "${launcher[@]}" sh -c "grep -c ' $bound ' /proc/self/mountinfo > '$work/inside'; echo > '$fifo'; exec sleep 30" &
running=$!
read -r _ < "$fifo"
[ "$(cat "$work/inside")" = 1 ] || fail "inside, $bound is not mounted once: $(cat "$work/inside")"
if grep -q -e " $wine_root" -e " $bound " /proc/self/mountinfo /proc/1/mountinfo; then
  fail "a mount made for Wine is seen outside: $(grep " $wine_root" /proc/self/mountinfo | head -3)"
fi
kill "$running"
wait "$running" 2>/dev/null || true

# The root's 32-bit Wine loader runs (natively or through qemu).
version=$(WINEDEBUG=-all "${launcher[@]}" wine --version 2>&1) || fail "wine --version in the root: $version"

finish "wine-run.sh runs $version inside $wine_root, in the caller's process, with its own mounts"
