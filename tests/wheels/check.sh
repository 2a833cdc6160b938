#!/usr/bin/env bash
# The wheels of scripts/wheels.sh, installed as a user installs them and
# used from there, never from the build tree:
#
#   check.sh build DIST BUILD              scripts/wheels.sh into DIST
#   check.sh python3 DIST                  the cp311 wheel and the standalone one
#                                          in a fresh venv of Debian's python3.11
#   check.sh python27 DIST TARBALL         the cp27mu wheel and the standalone one
#                                          installed --target by the pip bundled in
#                                          CPython 2.7.18's source (TARBALL)
#   check.sh win32 DIST TARBALL WINBUILD INTERPRETER
#                                          the same for the cp27m-win32 wheel, by the
#                                          project's Windows CPython 2.7 under Wine
#   check.sh beside-common DIST            the module's wheel beside another
#                                          distribution that owns `common`
#   check.sh without-python27 DIST         the Python 3 wheel built from the sdist
#                                          where no Python 2.7 can run
#   check.sh other-python3 DIST            the wheel `build` made for another Python 3
#                                          (the machine's own python3, or pyenv's),
#                                          installed in a venv of it
#
# The surface suites are the ones over the real system: tests/linux's
# test_real_volumes and test_volinfo on Linux, tests/windows's
# test_kernel32_volumes under Wine.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
mode=${1:?usage: check.sh build|python3|python27|win32|beside-common|without-python27 DIST ...}
dist=${2:?usage: check.sh MODE DIST ...}
shift 2
debian_python=/usr/bin/python3.11
work=$(mktemp -d)
chmod 755 "$work"  # the suites run some commands as an unprivileged user
trap 'rm -rf "$work"' EXIT
fail() { echo "FAILED: $*"; exit 1; }

version=$("$debian_python" -c 'import sys, tomllib; print(tomllib.load(open(sys.argv[1], "rb"))["project"]["version"])' \
          "$root/pyproject.toml")
wheel_of() {  # TAG: the module's wheel with that tag
  local wheel="$dist/windows_volumes-$version-$1.whl"
  [ -f "$wheel" ] || fail "no $wheel: run check.sh build first"
  echo "$wheel"
}
standalone="$dist/windows_volumes_standalone-$version-py2.py3-none-any.whl"

# The pip that CPython 2.7.18's source bundles, out of its tarball.
bundled_pip() {
  local tarball=$1 wheel
  tar -xzf "$tarball" -C "$work" --wildcards '*/Lib/ensurepip/_bundled/pip-*.whl'
  wheel=$(find "$work" -path '*/_bundled/pip-*.whl')
  [ -f "$wheel" ] || fail "no bundled pip in $tarball"
  echo "$wheel"
}

# Every .so a site directory holds has no search path but $ORIGIN.
runpath_is_origin() {
  local file paths status=0
  for file in "$1"/windows/*.so*; do
    paths=$(readelf -d "$file" | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]/\2/p')
    if [ -n "$paths" ] && [ "$paths" != '$ORIGIN' ]; then
      echo "$file searches $paths"
      status=1
    fi
  done
  return "$status"
}

# The provider library in SITE has its own SONAME and exports the KERNEL32
# calls of oslayer/kernel32.h and nothing else.
provider_exports_kernel32_only() {
  local library="$1/windows/libwindows_volumes_kernel32.so.1" exported expected
  [ -f "$library" ] || fail "no $library"
  readelf -d "$library" | grep -q 'Library soname: \[libwindows_volumes_kernel32.so.1\]' \
    || fail "$library has another SONAME"
  exported=$(nm -D --defined-only "$library" | awk '$2 ~ /^[TDBRW]$/ { print $3 }' | sort)
  expected=$(sed -n 's/^[A-Za-z]* WINAPI \([A-Za-z]*\)(.*/\1/p' "$root/oslayer/kernel32.h" | sort)
  [ "$exported" = "$expected" ] || fail "$library exports $(echo $exported), not the KERNEL32 calls $(echo $expected)"
  echo "provider: SONAME libwindows_volumes_kernel32.so.1, exports the $(echo "$expected" | wc -l) KERNEL32 calls only"
}

# The Linux surface suites and volinfo, run by PYTHON with SITE's packages.
linux_surface() {
  local python=$1 site=$2 volinfo=("${@:3}") out
  for suite in test_real_volumes test_volinfo; do
    if ! PYTHONPATH="$site:$root/tests/linux" VOLUMES_SOURCE_DIR="$root" \
         "$python" -B "$root/tests/linux/$suite.py" -v >"$work/$suite.log" 2>&1; then
      cat "$work/$suite.log"
      fail "$suite failed over the installed wheel"
    fi
    echo "$suite: $(grep -E '^Ran ' "$work/$suite.log"), $(tail -n 1 "$work/$suite.log")"
  done
  out=$(PYTHONPATH="$site" "${volinfo[@]}" --json) || fail "volinfo --json failed"
  echo "$out" | "$debian_python" -c 'import json, sys; records = json.load(sys.stdin); assert records and all("uuid_source" in r for r in records), records' \
    || fail "volinfo --json gave no volume table"
  [ "$(PYTHONPATH="$site" "${volinfo[@]}" --version)" = "volinfo $version" ] \
    || fail "volinfo --version does not say $version"
  echo "volinfo --json: $(echo "$out" | grep -c '"volume_id"') volumes; --version: $version"
}

# A CPython 3 other than 3.11, with its headers, for a wheel of its own: the
# machine's own python3 where it is another version, else the newest of
# pyenv's; nothing where there is none.
other_python3() {
  local candidates=() candidate version
  candidates+=("$(command -v python3 || true)")
  if command -v pyenv >/dev/null; then
    for version in $(pyenv versions --bare 2>/dev/null | sort -rV); do
      candidates+=("$(pyenv root)/versions/$version/bin/python3")
    done
  fi
  for candidate in "${candidates[@]}"; do
    [ -x "$candidate" ] || continue
    "$candidate" -c 'import os, sys, sysconfig
sys.exit(not (sys.version_info[0] == 3 and sys.version_info[:2] != (3, 11)
              and sys.implementation.name == "cpython"
              and os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))))' \
      2>/dev/null || continue
    "$candidate" -c 'import sys; print(sys.executable)'
    return
  done
}

case "$mode" in
  build)
    build=${1:?usage: check.sh build DIST BUILD}
    other=$(other_python3)
    mkdir -p "$dist"
    echo "$other" > "$dist/other-python3.txt"
    if [ -n "$other" ]; then
      echo "another Python 3 for a wheel of its own: $other"
    else
      echo "no Python 3 but 3.11 here: the wheels are for 3.11 alone"
    fi
    VOLUMES_WHEEL_PYTHONS=$other VOLUMES_BUILD_DIR=$build bash "$root/scripts/wheels.sh" "$dist"
    ;;

  other-python3)
    python=$(cat "$dist/other-python3.txt" 2>/dev/null || true)
    if [ -z "$python" ]; then
      echo "no CPython 3 other than 3.11 with its headers on this machine"
      exit 77
    fi
    tag=$("$python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
    wheel=$(wheel_of "$tag-$tag-linux_x86_64")
    "$python" -m venv "$work/venv"
    "$work/venv/bin/python" -m pip install --quiet --no-index --find-links "$dist" "$wheel" \
      "windows-volumes-standalone==$version"
    site=$("$work/venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
    runpath_is_origin "$site" || fail "a build path is searched"
    # The real-volume suite; volinfo's runs some commands as an unprivileged
    # user, who may not reach an interpreter kept under a private home.
    PYTHONPATH="$site:$root/tests/linux" "$work/venv/bin/python" -B "$root/tests/linux/test_real_volumes.py" \
      >"$work/suite.log" 2>&1 || { cat "$work/suite.log"; fail "test_real_volumes under $python"; }
    "$work/venv/bin/volinfo" --json | "$debian_python" -c 'import json, sys; assert json.load(sys.stdin)' \
      || fail "volinfo --json under $python"
    echo "$(basename "$wheel"): built by $python, installed, test_real_volumes and volinfo --json pass"
    ;;

  python3)
    wheel=$(wheel_of cp311-cp311-linux_x86_64)
    "$debian_python" -m venv "$work/venv"
    python="$work/venv/bin/python"
    "$python" -m pip install --quiet --no-index "$wheel"
    site=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
    # Without the collaborators the import says which is missing and how
    # to get it.
    message=$(cd "$work" && "$python" -c 'import windows.volumes' 2>&1) && fail "imported without common"
    echo "$message" | grep -q "needs the module common.utils" || fail "import without common: $message"
    echo "$message" | grep -q "windows-volumes\[standalone\]" || fail "import without common: $message"
    "$python" -m pip install --quiet --no-index --find-links "$dist" "windows-volumes[standalone]==$version"
    "$python" -m pip check || fail "pip check"
    runpath_is_origin "$site" || fail "a build path is searched"
    provider_exports_kernel32_only "$site"
    (cd "$work" && "$python" -c 'import inspect, windows.volumes as v; print("IsFAT%s" % inspect.signature(v.IsFAT))')
    cat > "$work/caller.py" <<'EOF'
import os
from typing import List

import windows.volumes as volumes

def Label(path: str) -> str:
    label, serial, _, _, filesystem = volumes.GetVolumeInformation(path)
    return "%s %d %s" % (label, serial + 0, filesystem.lower())

def IsFat(path: str) -> bool:
    fd = os.open(path, os.O_RDONLY)
    return volumes.IsFAT(os.fstat(fd).st_dev, fd)

names: List[str] = volumes._ListVolumeNames()
volume_id: str = volumes.FindVolumeID(os.stat("/"))
EOF
    mypy --python-executable "$python" --strict --no-error-summary "$work/caller.py" || fail "mypy refused a caller"
    cat > "$work/wrong.py" <<'EOF'
import windows.volumes as volumes
serial: str = volumes.GetVolumeInformation("/")[1]
EOF
    if mypy --python-executable "$python" --no-error-summary "$work/wrong.py" >/dev/null; then
      fail "mypy let a str be taken for the serial number: the stubs describe nothing"
    fi
    echo "mypy: the stubs type a caller, and refuse a wrong one"
    linux_surface "$python" "$site" "$work/venv/bin/volinfo"
    (cd "$work" && "$python" -m volinfo --version) | grep -qx "volinfo $version" || fail "python -m volinfo"
    "$python" -m pip uninstall --quiet --yes windows-volumes windows-volumes-standalone
    left=$(cd "$site" && find windows common platforms volinfo.py windows_volumes* -print 2>/dev/null || true)
    [ -z "$left" ] || fail "uninstalling left: $left"
    echo "uninstalled: nothing left behind"
    ;;

  python27)
    tarball=${1:?usage: check.sh python27 DIST TARBALL}
    pip=$(bundled_pip "$tarball") || exit 1
    site="$work/site"
    python2.7 "$pip/pip" install --quiet --no-index --target "$site" \
      "$(wheel_of cp27-cp27mu-linux_x86_64)" "$standalone" || fail "pip install --target"
    runpath_is_origin "$site" || fail "a build path is searched"
    linux_surface python2.7 "$site" python2.7 -B "$site/volinfo.py"
    ;;

  win32)
    tarball=${1:?usage: check.sh win32 DIST TARBALL WINBUILD INTERPRETER}
    windows_build=${2:?usage: check.sh win32 DIST TARBALL WINBUILD INTERPRETER}
    interpreter=${3:?usage: check.sh win32 DIST TARBALL WINBUILD INTERPRETER}
    pip=$(bundled_pip "$tarball") || exit 1
    check=(env "VOLUMES_WINE_LAUNCHER=bash $root/scripts/wine-run.sh" bash "$root/windows-build/check.sh")
    tree=wheel-win32
    # pip runs in an empty tree of its own (check.sh runs python.exe in one).
    rm -rf "${windows_build:?}/$tree" "$windows_build/$tree-pip"
    mkdir -p "$windows_build/$tree-pip/windows"
    # pip runs from its own wheel: a zip on sys.path, as `python pip.whl/pip`.
    cat > "$work/run_pip.py" <<'EOF'
import sys
sys.path.insert(0, sys.argv.pop(1))
from pip._internal import main
sys.exit(main())
EOF
    "${check[@]}" python "$windows_build" "$interpreter" "$tree-pip" -B "$work/run_pip.py" "$pip" \
      install --no-index --target "$windows_build/$tree" \
      "$(wheel_of cp27-cp27m-win32)" "$standalone" || fail "pip install --target under Wine"
    [ -f "$windows_build/$tree/windows/volumes.pyd" ] || fail "the wheel installed no volumes.pyd"
    VOLUMES_WINDOWS_TREE=$tree "${check[@]}" kernel32 "$windows_build" "$interpreter" \
      -B "$root/tests/windows/test_kernel32_volumes.py" -v || fail "the KERNEL32 suite over the installed wheel"
    # volinfo from the installed standalone wheel (the table only: looking
    # up paths needs Linux).
    volinfo() {
      "${check[@]}" python "$windows_build" "$interpreter" "$tree" -B "$windows_build/$tree/volinfo.py" "$@" \
        | tr -d '\r'
    }
    volinfo --version | grep -qx "volinfo $version" || fail "volinfo --version under Wine"
    volinfo --json > "$work/volumes.json" || fail "volinfo --json under Wine"
    "$debian_python" -c 'import json, sys; records = json.load(open(sys.argv[1])); assert any(r["mountpoint"] == "C:\\" for r in records), records' \
      "$work/volumes.json" || fail "volinfo --json under Wine: no C:\\ in $(cat "$work/volumes.json")"
    echo "volinfo --json under Wine: $(grep -c '"volume_id"' "$work/volumes.json") volumes; --version: $version"
    echo "win32: installed by pip under Wine, the KERNEL32 suite passed over it"
    ;;

  beside-common)
    # A distribution of someone else's that owns the top-level `common`.
    other="$work/other/common_utils-1.0"
    mkdir -p "$other/common" "$other/common_utils-1.0.dist-info"
    echo '"""Someone else'"'"'s common package."""' > "$other/common/__init__.py"
    echo 'def Helper(): return "theirs"' > "$other/common/utils.py"
    printf 'Metadata-Version: 2.1\nName: common-utils\nVersion: 1.0\n' > "$other/common_utils-1.0.dist-info/METADATA"
    printf 'Wheel-Version: 1.0\nGenerator: check.sh\nRoot-Is-Purelib: true\nTag: py3-none-any\n' \
      > "$other/common_utils-1.0.dist-info/WHEEL"
    "$debian_python" -m wheel pack --dest-dir "$work" "$other" >/dev/null
    "$debian_python" -m venv "$work/venv"
    python="$work/venv/bin/python"
    site=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
    before=$(cd "$site" && find . | sort)
    "$python" -m pip install --quiet --no-index "$work"/common_utils-1.0-py3-none-any.whl
    "$python" -m pip install --quiet --no-index "$(wheel_of cp311-cp311-linux_x86_64)"
    "$python" -m pip check || fail "pip check"
    # Each distribution's files are still the ones it installed.
    "$python" - <<'EOF' || fail "a distribution's files were overwritten"
import base64, hashlib, sys
from importlib import metadata
for name in ("common-utils", "windows-volumes"):
    for path in metadata.files(name):
        if path.hash is None:
            continue
        digest = hashlib.new(path.hash.mode, path.locate().read_bytes()).digest()
        if base64.urlsafe_b64encode(digest).rstrip(b"=").decode() != path.hash.value:
            sys.exit("%s: %s is not the file it installed" % (name, path))
print("both distributions' files are their own")
EOF
    [ "$(cd "$work" && "$python" -c 'import common.utils; print(common.utils.Helper())')" = theirs ] \
      || fail "common is not the other distribution's"
    "$python" -m pip uninstall --quiet --yes windows-volumes common-utils
    after=$(cd "$site" && find . | sort)
    [ "$before" = "$after" ] || fail "uninstalling left: $(comm -13 <(echo "$before") <(echo "$after"))"
    echo "uninstalled both: the environment is as it was"
    ;;

  without-python27)
    # In a mount namespace of its own, every python2 on this machine is a
    # program that fails; the Python 3 wheel must not need one.
    sdist=$(ls "$dist"/windows[-_]volumes-"$version".tar.gz) || fail "no sdist: run check.sh build first"
    cat > "$work/no-python2" <<'EOF'
#!/bin/sh
echo "python2 is not on this machine" >&2
exit 127
EOF
    chmod +x "$work/no-python2"
    unshare --mount --propagation private bash -c '
      set -e
      for python in /usr/bin/python2*; do mount --bind "$1" "$python"; done
      ! python2.7 -c pass 2>/dev/null
      /usr/bin/python3.11 -m pip wheel --quiet --no-build-isolation --no-deps --no-index --no-cache-dir \
        --wheel-dir "$2" "$3"' _ "$work/no-python2" "$work/wheels" "$sdist" || fail "the wheel needs Python 2.7"
    ls "$work/wheels"/windows_volumes-"$version"-cp311-*.whl >/dev/null || fail "no wheel was built"
    echo "built from the sdist, offline, where python2.7 cannot run"
    ;;

  *)
    echo "usage: check.sh build|python3|python27|win32|beside-common|without-python27 DIST ..." >&2
    exit 2
    ;;
esac
