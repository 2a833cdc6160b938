#!/usr/bin/env bash
# Builds the project's distributions into DIST_DIR (dist/ by default):
#
#   windows-volumes-V.tar.gz                         the sdist (pyproject.toml)
#   windows_volumes-V-cp311-cp311-linux_x86_64.whl   from that sdist, offline, by
#                                                    Debian's python3.11
#   windows_volumes-V-cpXY-cpXY-linux_x86_64.whl     the same for each other Python 3
#                                                    of VOLUMES_WHEEL_PYTHONS (by default
#                                                    the machine's own python3, where it
#                                                    is another version than 3.11)
#   windows_volumes-V-cp27-cp27mu-linux_x86_64.whl   packed from the CMake install of
#                                                    the build tree's 2.7 modules
#   windows_volumes-V-cp27-cp27m-win32.whl           packed from the cross-built .pyd
#                                                    files (windows-build/build.sh)
#   windows_volumes_standalone-V(.tar.gz, -py2.py3-none-any.whl)
#                                                    the reference collaborators and
#                                                    volinfo (packaging/standalone)
#
#   wheels.sh [DIST_DIR]
#
# Needs what `scripts/setup.sh --test` installs and the build tree
# ($VOLUMES_BUILD_DIR, or build/) that `scripts/build.sh --test` makes; the
# Windows modules are built (or found current) in its windows-build/.
# Python 3 wheels are built with the backend of Debian's packages
# (scikit-build-core from bookworm-backports), also for an interpreter that
# is not Debian's: nothing is downloaded.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dist=$(realpath -m "${1:-$root/dist}")
build=$(realpath -m "${VOLUMES_BUILD_DIR:-$root/build}")
debian_python=/usr/bin/python3.11
say() { echo "wheels: $*" >&2; }
fail() { say "$*"; exit 1; }

[ -x "$debian_python" ] && "$debian_python" -c 'import scikit_build_core, build, wheel' 2>/dev/null \
  || fail "the build backend is missing: run scripts/setup.sh --test as root"
[ -f "$build/CMakeCache.txt" ] || fail "no build tree in $build: run scripts/build.sh --test first"
version=$("$debian_python" -c 'import sys, tomllib; print(tomllib.load(open(sys.argv[1], "rb"))["project"]["version"])' \
          "$root/pyproject.toml")
mkdir -p "$dist"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The backend for an interpreter without Debian's packages: only the pure
# Python packages it needs, taken from Debian's, on that interpreter's path.
backend="$work/backend"
mkdir -p "$backend"
for package in scikit_build_core packaging pathspec pyproject_metadata; do
  ln -s "/usr/lib/python3/dist-packages/$package" "$backend/$package"
done

# The sdist is made from the project's own files (those git tracks or would
# track), copied: the backend would otherwise walk the build trees too.
say "the sdist of windows-volumes $version"
source_copy="$work/source"
mkdir -p "$source_copy"
(cd "$root" && git ls-files -z --cached --others --exclude-standard \
   | xargs -0 -I{} sh -c '[ ! -e "$1" ] || cp --parents -P "$1" "$2"' _ {} "$source_copy")
rm -f "$dist"/windows-volumes-"$version".tar.gz "$dist"/windows_volumes-"$version".tar.gz
"$debian_python" -m build --no-isolation --sdist --outdir "$dist" "$source_copy" >"$work/sdist.log" 2>&1 \
  || { cat "$work/sdist.log" >&2; fail "the sdist failed"; }
sdist=$(ls "$dist"/windows[-_]volumes-"$version".tar.gz)

# A wheel of the sdist for one Python 3 interpreter, built offline.
python3_wheel() {
  local python=$1 log
  log="$work/wheel-$(basename "$python").log"
  say "the wheel for $("$python" -c 'import sys; print("%s (Python %d.%d.%d)" % ((sys.executable,) + sys.version_info[:3]))')"
  PYTHONPATH=$([ "$python" = "$debian_python" ] || echo "$backend") \
    "$python" -m pip wheel --no-build-isolation --no-deps --no-index --no-cache-dir \
      --wheel-dir "$dist" "$sdist" >"$log" 2>&1 \
    || { cat "$log" >&2; fail "the wheel for $python failed"; }
}
python3_wheel "$debian_python"

# Other Python 3 interpreters: by default the machine's own python3 where it
# is another version (one of the same version makes the same wheel).
if [ -z "${VOLUMES_WHEEL_PYTHONS+set}" ]; then
  VOLUMES_WHEEL_PYTHONS=""
  own=$(command -v python3 || true)
  if [ -n "$own" ] && [ "$("$own" -c 'import sys; print(sys.version_info[:2] != (3, 11))' 2>/dev/null)" = True ]; then
    VOLUMES_WHEEL_PYTHONS=$own
  fi
fi
for python in $VOLUMES_WHEEL_PYTHONS; do
  python3_wheel "$python"
done

# A wheel packed from a directory holding the package: the metadata is the
# one the backend wrote from pyproject.toml (the cp311 wheel's), with the
# tag of this build.
metadata="$work/metadata"
"$debian_python" -m zipfile -e "$dist/windows_volumes-$version-cp311-cp311-linux_x86_64.whl" "$metadata"
pack_wheel() {
  local tag=$1 stage=$2 info
  info="$stage/windows_volumes-$version.dist-info"
  mkdir -p "$info/licenses"
  cp "$metadata/windows_volumes-$version.dist-info/METADATA" "$info/"
  cp "$root/LICENSE" "$info/licenses/"
  printf 'Wheel-Version: 1.0\nGenerator: scripts/wheels.sh\nRoot-Is-Purelib: false\nTag: %s\n' \
    "$tag" > "$info/WHEEL"
  rm -f "$dist/windows_volumes-$version-$tag.whl"
  "$debian_python" -m wheel pack --dest-dir "$dist" "$stage" >&2
}

say "the wheel for Debian's python2.7 (the CMake install of its modules)"
stage="$work/cp27mu/windows_volumes-$version"
cmake --build "$build" --target tree-linux -j"$(nproc)" >"$work/tree-linux.log" 2>&1 \
  || { cat "$work/tree-linux.log" >&2; fail "building the 2.7 modules failed"; }
cmake --install "$build" --component python27-linux --prefix "$stage" >&2
pack_wheel cp27-cp27mu-linux_x86_64 "$stage"

say "the wheel for the 32-bit Windows CPython 2.7 (the cross-built modules)"
windows_build=$(bash "$root/windows-build/build.sh" "$build/windows-build" 2>"$work/windows.log") \
  || { cat "$work/windows.log" >&2; fail "the Windows build failed"; }
stage="$work/win32/windows_volumes-$version"
mkdir -p "$stage/windows"
cp "$windows_build/python-kernel32/windows/volumes.pyd" "$windows_build/python-kernel32/windows/winwrap.pyd" \
   "$root/windows/__init__.py" "$root/windows/volumes.pyi" "$root/windows/winwrap.pyi" \
   "$root/windows/py.typed" "$stage/windows/"
pack_wheel cp27-cp27m-win32 "$stage"

say "windows-volumes-standalone $version (the reference collaborators and volinfo)"
stage="$work/standalone"
mkdir -p "$stage"
sed "s/@VERSION@/$version/g" "$root/packaging/standalone/pyproject.toml" > "$stage/pyproject.toml"
cp "$root/packaging/standalone/setup.cfg" "$root/packaging/standalone/README.md" "$root/LICENSE" "$stage/"
(cd "$root" && find common platforms -name '*.py' -print0 | xargs -0 cp --parents -t "$stage")
cp "$root/tools/volinfo.py" "$stage/"
rm -f "$dist"/windows_volumes_standalone-"$version"*
"$debian_python" -m build --no-isolation --outdir "$dist" "$stage" >"$work/standalone.log" 2>&1 \
  || { cat "$work/standalone.log" >&2; fail "windows-volumes-standalone failed"; }

say "done:"
(cd "$dist" && ls -1 ./*"$version"* | sed 's|^\./|  |') >&2
