#!/usr/bin/env bash
# Installs everything the build, the tests and the volinfo command need, from
# Debian's archives. Idempotent: a second run changes nothing. Needs root
# only when something is missing.
set -euo pipefail

export DEBIAN_FRONTEND=noninteractive

need_root() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup.sh: must run as root (it adds an apt source and installs Debian packages)" >&2
    exit 1
  fi
}

# The Debian archive this machine already installs from, as its own apt
# configuration names it (a local mirror or a proxy included): the bullseye
# sources below must come from the same place.
# shellcheck disable=SC1091
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
archive=$(apt-get indextargets --no-release-info --format '$(TARGET_OF) $(RELEASE) $(COMPONENT) $(REPO_URI)' \
            | awk -v release="$codename" '$1 == "deb" && $2 == release && $3 == "main" { print $4; exit }')
if [ -z "$archive" ]; then
  echo "setup.sh: no apt source of this machine serves $codename main; cannot tell which archive to use" >&2
  exit 1
fi
archive=${archive%/}

# CPython 2.7 is not in bookworm; bullseye's main archive has 2.7.18. The pin
# keeps every package that bookworm also has on bookworm.
BULLSEYE_LIST=/etc/apt/sources.list.d/volumes-bullseye.list
BULLSEYE_PIN=/etc/apt/preferences.d/volumes-bullseye.pref
changed=0
want_list="deb $archive bullseye main"
if [ ! -f "$BULLSEYE_LIST" ] || [ "$(cat "$BULLSEYE_LIST")" != "$want_list" ]; then
  need_root
  echo "$want_list" > "$BULLSEYE_LIST"
  changed=1
fi
want_pin='Package: *
Pin: release n=bullseye
Pin-Priority: 100'
if [ ! -f "$BULLSEYE_PIN" ] || [ "$(cat "$BULLSEYE_PIN")" != "$want_pin" ]; then
  need_root
  echo "$want_pin" > "$BULLSEYE_PIN"
  changed=1
fi

# The Windows build takes CPython 2.7.18's headers and its Windows
# PC/pyconfig.h from the orig tarball of bullseye's python2.7 source
# package (and memcheck takes CPython's valgrind suppressions from it); the
# tarball itself is kept for building the Windows interpreter. The pin
# above covers this source too.
BULLSEYE_SRC_LIST=/etc/apt/sources.list.d/volumes-bullseye-src.list
want_src_list="deb-src $archive bullseye main"
if [ ! -f "$BULLSEYE_SRC_LIST" ] || [ "$(cat "$BULLSEYE_SRC_LIST")" != "$want_src_list" ]; then
  need_root
  echo "$want_src_list" > "$BULLSEYE_SRC_LIST"
  changed=1
fi
WINDOWS_PYTHON_SOURCE=/usr/local/share/volumes-windows/Python-2.7.18
WINDOWS_PYTHON_TARBALL=/usr/local/share/volumes-windows/python2.7_2.7.18.orig.tar.gz

# Wine runs the Windows build's 32-bit test program: wine32 is an i386
# package.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  need_root
  dpkg --add-architecture i386
  changed=1
fi

PACKAGES=(
  # interpreter, headers and the debug interpreter (from bullseye)
  python2.7 python2.7-dev libpython2.7-dev python2.7-dbg libpython2.7-dbg
  # build
  g++ cmake make pkg-config
  # the Linux provider: mount table and device probing
  libmount-dev libblkid-dev libudev-dev
  # end-to-end tests on real volumes
  util-linux mount e2fsprogs exfatprogs exfat-fuse dosfstools fusefat fuse3 libfuse3-dev btrfs-progs
  # C++ unit tests
  libgtest-dev
  # reliability checks: sanitizers and libFuzzer (clang), memcheck
  clang libclang-rt-14-dev valgrind
  # the Windows build: mingw-w64 for 32-bit Windows, patch for the Windows
  # interpreter's sources, and Wine to run its tests
  g++-mingw-w64-i686-posix binutils-mingw-w64-i686 patch wine wine32:i386
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -eq 0 ] && [ "$changed" = 0 ] && [ -f "$WINDOWS_PYTHON_SOURCE/PC/pyconfig.h" ] \
   && [ -f "$WINDOWS_PYTHON_SOURCE/Misc/valgrind-python.supp" ] && [ -f "$WINDOWS_PYTHON_TARBALL" ]; then
  bash "$(dirname "${BASH_SOURCE[0]}")/setup-i386.sh" "$archive"
  echo "setup: ok (everything installed)"
  exit 0
fi
need_root

if [ "${#missing[@]}" -gt 0 ]; then
  if [ "$changed" = 1 ] || ! apt-cache policy python2.7 2>/dev/null | grep -q bullseye; then
    apt-get update -qq
  fi
  apt-get install -y -qq --no-install-recommends "${missing[@]}" || {
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
  }
fi

if [ ! -f "$WINDOWS_PYTHON_SOURCE/PC/pyconfig.h" ] || [ ! -f "$WINDOWS_PYTHON_SOURCE/Include/Python.h" ] \
   || [ ! -f "$WINDOWS_PYTHON_SOURCE/Misc/valgrind-python.supp" ] || [ ! -f "$WINDOWS_PYTHON_TARBALL" ]; then
  if [ "$changed" = 1 ] && [ "${#missing[@]}" -eq 0 ]; then
    apt-get update -qq
  fi
  download=$(mktemp -d)
  chown _apt "$download" 2>/dev/null || true  # apt downloads as _apt where it can
  (cd "$download" && apt-get source --download-only -qq python2.7 >/dev/null) || {
    apt-get update -qq  # the source index may not be there yet
    (cd "$download" && apt-get source --download-only -qq python2.7 >/dev/null)
  }
  tarball="$download/python2.7_2.7.18.orig.tar.gz"
  [ -f "$tarball" ] || { echo "setup.sh: python2.7 source did not give $tarball" >&2; exit 1; }
  rm -rf "$WINDOWS_PYTHON_SOURCE"
  mkdir -p "$(dirname "$WINDOWS_PYTHON_SOURCE")"
  tar -xzf "$tarball" -C "$(dirname "$WINDOWS_PYTHON_SOURCE")" \
      Python-2.7.18/Include Python-2.7.18/PC/pyconfig.h Python-2.7.18/Misc/valgrind-python.supp
  mv "$tarball" "$WINDOWS_PYTHON_TARBALL"
  rm -rf "$download"
fi

bash "$(dirname "${BASH_SOURCE[0]}")/setup-i386.sh" "$archive"

/usr/bin/python2.7 -c 'import sys; assert sys.version_info[:3] == (2, 7, 18), sys.version'
echo "setup: ok ($(/usr/bin/python2.7 -V 2>&1))"
