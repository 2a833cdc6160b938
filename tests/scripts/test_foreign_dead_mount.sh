#!/usr/bin/env bash
# The provider's tests over the host's real mounts, with a FUSE mount whose
# server has died on the table (as another process may leave one behind):
# they leave that mount out, say so, and check all the others. They run in
# a mount namespace of their own, so the host's table never sees the mount.
#
#   test_foreign_dead_mount.sh SYSTEM_TESTS DEADFS
set -euo pipefail
if [ "${1:-}" = --inside ]; then
  inside=1
  shift
else
  inside=0
fi
tests=${1:?usage: test_foreign_dead_mount.sh SYSTEM_TESTS DEADFS}
deadfs=${2:?usage: test_foreign_dead_mount.sh SYSTEM_TESTS DEADFS}

if [ "$inside" = 0 ]; then
  skip() { echo "SKIPPED: $*"; exit 77; }
  [ "$(id -u)" = 0 ] || skip "needs root to mount"
  [ -e /dev/fuse ] || skip "needs FUSE (/dev/fuse is missing)"
  unshare -m --propagation private true 2>/dev/null \
    || skip "needs a private mount namespace (unshare -m failed: / is no mount point in a chroot)"
  exec unshare -m --propagation private bash "${BASH_SOURCE[0]}" --inside "$tests" "$deadfs"
fi

target=$(mktemp -d "${TMPDIR:-/tmp}/volumes-dead-mount.XXXXXX")
server=""
cleanup() {
  [ -z "$server" ] || kill -9 "$server" 2>/dev/null || true
  umount -l "$target" 2>/dev/null || true
  rmdir "$target" 2>/dev/null || true
}
trap cleanup EXIT
"$deadfs" -f -s "$target" &
server=$!
for _ in $(seq 100); do
  grep -q " $target " /proc/self/mountinfo && break
  sleep 0.1
done
grep -q " $target " /proc/self/mountinfo || { echo "FAILED: $deadfs did not mount $target"; exit 1; }
kill -9 "$server"
wait "$server" 2>/dev/null || true
server=""
if stat "$target" >/dev/null 2>&1; then
  echo "FAILED: the mount at $target still answers after its server died"
  exit 1
fi

status=0
output=$(timeout 240 "$tests" --gtest_filter='RealMounts.*:VolumeInformation.*' 2>&1) || status=$?
echo "$output"
[ "$status" = 0 ] || { echo "FAILED: the tests failed (status $status) with a dead mount on the table"; exit 1; }
grep -qF "[ LEFT OUT ] $target (" <<<"$output" \
  || { echo "FAILED: the tests did not name the dead mount $target as left out"; exit 1; }
echo "ok: the real-mount tests pass with a dead FUSE mount on the table, and name it"
