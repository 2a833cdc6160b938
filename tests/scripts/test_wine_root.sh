#!/usr/bin/env bash
# How scripts/wine-root.sh builds and keeps the Wine root, with stand-ins
# for debootstrap, unshare and the launcher into the root (first on PATH,
# or VOLUMES_WINE_LAUNCHER) that log their calls: a root is built once and
# kept while its inputs are the same, built anew when they change, never
# looks complete after an interrupted build, and an archive's failure says
# which list failed and whose fault it is. Real Wine is not needed.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=checks.sh
. "$root/tests/scripts/checks.sh" wine-root

mkdir -p "$work/bin"
export FAKE_LOG="$work/calls.log"
cat > "$work/bin/unshare" <<'STAND_IN'
#!/usr/bin/env bash
# Runs the command after "--", in this namespace.
while [ "$1" != -- ]; do shift; done
shift
exec "$@"
STAND_IN
cat > "$work/bin/debootstrap" <<'STAND_IN'
#!/usr/bin/env bash
target=${*: -2:1}
echo "debootstrap $*" >> "$FAKE_LOG"
if [ -n "${FAKE_DEBOOTSTRAP_ERROR:-}" ]; then
  echo "I: Retrieving InRelease"
  echo "$FAKE_DEBOOTSTRAP_ERROR"
  exit 1
fi
mkdir -p "$target/etc/apt" "$target/var/lib/apt/lists"
touch "$target/var/lib/apt/lists/some_Packages"
[ -z "${FAKE_DEBOOTSTRAP_STALLS:-}" ] || { touch "$work/stalled"; sleep 60; }
echo "I: Base system installed successfully."
STAND_IN
sed -i "s|\$work|$work|" "$work/bin/debootstrap"
cat > "$work/launcher" <<'STAND_IN'
#!/usr/bin/env bash
[ "$1" = --building ] || { echo "launcher: not --building: $*" >> "$FAKE_LOG"; exit 2; }
shift
echo "in $VOLUMES_WINE_ROOT: $*" >> "$FAKE_LOG"
case "$*" in
  "apt-get update")
    if [ -n "${FAKE_LIST_FAILS:-}" ]; then
      echo "W: Failed to fetch $FAKE_LIST_FAILS  File has unexpected size (100 != 200). Mirror sync in progress? [IP: 10.0.0.1 80]"
      echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
      exit 100
    fi ;;
  "apt-get install"*) mkdir -p "$VOLUMES_WINE_ROOT/usr/lib/wine"; touch "$VOLUMES_WINE_ROOT/usr/lib/wine/wine"; chmod +x "$VOLUMES_WINE_ROOT/usr/lib/wine/wine" ;;
esac
exit 0
STAND_IN
chmod +x "$work/bin/"* "$work/launcher"
export PATH="$work/bin:$PATH" VOLUMES_WINE_LAUNCHER="$work/launcher" VOLUMES_WINE_ROOT="$work/cache/wine-root"
wine_root=$VOLUMES_WINE_ROOT

build() {
  bash "$root/scripts/wine-root.sh" http://archive.invalid/debian bookworm 2>&1
}
calls() {  # how many logged calls match PATTERN
  grep -c -- "$1" "$FAKE_LOG" || true
}

# 1. Built once: the root is complete, its lists and caches gone, and only
# the root's own apt was asked (the i386 architecture is added in it).
out=$(build) || fail "first build: status $?: $out"
expect "first build" "$out" 'making a minimal Debian bookworm .* \(debootstrap, from http://archive.invalid/debian\) \.\.\. done' \
  'installing wine wine32:i386 wine64 inside the root \.\.\. done' 'the Wine root is ready: .*, built in [0-9]+ s'
[ -f "$wine_root/.volumes-wine-root" ] && [ -f "$wine_root/usr/lib/wine/wine" ] || fail "first build: the root is not complete"
[ "$(cat "$wine_root/etc/apt/sources.list")" = "deb http://archive.invalid/debian bookworm main" ] \
  || fail "first build: the root's sources: $(cat "$wine_root/etc/apt/sources.list")"
[ -z "$(ls "$wine_root/var/lib/apt/lists")" ] || fail "first build: the lists were left in the root"
grep -q "^in $wine_root.partial: dpkg --add-architecture i386$" "$FAKE_LOG" || fail "first build: no i386 inside: $(cat "$FAKE_LOG")"
[ ! -e "$wine_root.partial" ] || fail "first build: the partial build was left"

# 2. Kept while its inputs are the same: nothing runs, nothing is said.
: > "$FAKE_LOG"
out=$(build) || fail "kept: status $?"
[ -z "$out" ] || fail "kept: said: $out"
[ ! -s "$FAKE_LOG" ] || fail "kept: ran: $(cat "$FAKE_LOG")"

# 3. Built anew when an input changed (a root of another release).
echo "release=bullseye foreign=i386 packages=wine wine32:i386" > "$wine_root/.volumes-wine-root"
touch "$wine_root/left-from-the-old-root"
out=$(build) || fail "changed: status $?: $out"
[ "$(calls '^debootstrap')" = 1 ] || fail "changed: not built anew"
[ ! -e "$wine_root/left-from-the-old-root" ] || fail "changed: the old root was kept"
grep -q '^release=bookworm ' "$wine_root/.volumes-wine-root" || fail "changed: the stamp is the old one"

# 4. An interrupted build never looks complete, and the next one starts over.
rm -rf "$wine_root"
: > "$FAKE_LOG"
FAKE_DEBOOTSTRAP_STALLS=1 setsid bash "$root/scripts/wine-root.sh" http://archive.invalid/debian bookworm \
  >/dev/null 2>&1 &
builder=$!
for _ in $(seq 100); do [ -e "$work/stalled" ] && break; sleep 0.1; done
kill -- "-$builder" 2>/dev/null || true
wait "$builder" 2>/dev/null || true
[ -e "$work/stalled" ] || fail "interrupted: the build never reached debootstrap"
problem=$(bash "$root/scripts/wine-run.sh" --check) && fail "interrupted: the root looks complete"
[ -n "$problem" ] || fail "interrupted: --check gave no reason"
out=$(build) || fail "after the interruption: status $?: $out"
[ -f "$wine_root/.volumes-wine-root" ] || fail "after the interruption: no complete root"
bash "$root/scripts/wine-run.sh" --check >/dev/null || fail "after the interruption: --check refuses the root"

# 5. An archive that fails stops the build with the list and whose fault it is.
rm -rf "$wine_root"
status=0
out=$(FAKE_DEBOOTSTRAP_ERROR="E: Failed getting release file http://archive.invalid/debian/dists/bookworm/Release" build) \
  || status=$?
[ "$status" = 1 ] || fail "unreachable: status $status"
expect unreachable "$(tail -n 1 <<<"$out")" \
  "the Wine root cannot be built, so the Windows suites cannot run: debootstrap could not download from the archive http://archive.invalid/debian bookworm \(Failed getting release file http://archive.invalid/debian/dists/bookworm/Release\); the fault is the archive's"
[ ! -e "$wine_root" ] && [ ! -e "$wine_root.partial" ] || fail "unreachable: a root or its partial build was left"
status=0
out=$(FAKE_LIST_FAILS=http://archive.invalid/debian/dists/bookworm/main/binary-i386/Packages.xz build) || status=$?
[ "$status" = 1 ] || fail "list fails: status $status"
expect "list fails" "$(tail -n 1 <<<"$out")" \
  "a package list of the archive could not be downloaded: http://archive.invalid/debian bookworm: main/binary-i386/Packages.xz \(File has unexpected size .*Mirror sync in progress.*\); the fault is the archive's"
[ ! -e "$wine_root" ] || fail "list fails: a root was put in place"

finish "wine-root.sh builds, keeps and rebuilds the root, with stand-ins for debootstrap and the launcher"
