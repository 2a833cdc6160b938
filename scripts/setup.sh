#!/usr/bin/env bash
# Installs from Debian's archives what this project needs, in two profiles:
#
#   setup.sh [-v]           what building and running the module needs
#                           (scripts/volinfo.sh): Python 2.7 and its headers,
#                           g++, CMake, libmount, libblkid, libudev
#   setup.sh --test [-v]    that, and everything the tests, benchmarks and
#                           reliability checks need (the debug interpreter,
#                           GoogleTest, file system tools, FUSE, clang,
#                           valgrind, mingw-w64, CPython's source), and
#                           the Wine root (scripts/wine-root.sh)
#
# Idempotent: a second run changes nothing. Needs root only when something
# is missing. Prints one line per step; the tools' output only when a step
# fails, or always with -v or VOLUMES_VERBOSE=1.
set -euo pipefail

scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
step_prefix=setup
# shellcheck source=steps.sh
. "$scripts/steps.sh"
# shellcheck source=apt-install.sh
. "$scripts/apt-install.sh"
read_profile_options setup.sh "$@"

export DEBIAN_FRONTEND=noninteractive

need_root() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup.sh: must run as root (it adds apt sources and installs Debian packages)" >&2
    exit 1
  fi
}

MAIN_PACKAGES=(
  # the interpreter and its headers (from bullseye)
  python2.7 libpython2.7-dev
  # build
  g++ cmake make pkg-config
  # the Linux provider: mount table, device probing, the udev database
  libmount-dev libblkid-dev libudev-dev
)
TEST_PACKAGES=(
  # the debug interpreter (from bullseye): reference counts, memcheck
  python2.7-dbg libpython2.7-dbg
  # the same modules for Python 3 (bookworm): release and debug interpreters
  python3.11-dev python3.11-dbg
  # end-to-end tests on real volumes
  util-linux mount e2fsprogs exfatprogs exfat-fuse dosfstools fusefat fuse3 libfuse3-dev btrfs-progs
  # C++ unit tests
  libgtest-dev
  # reliability checks: sanitizers and libFuzzer (clang), memcheck and callgrind
  clang libclang-rt-14-dev valgrind
  # the Windows build: mingw-w64 for 32-bit Windows, patch for the Windows
  # interpreter's sources, and debootstrap for the root that Wine runs in
  # (scripts/wine-root.sh: Wine is not installed on this machine itself)
  g++-mingw-w64-i686-posix binutils-mingw-w64-i686 patch debootstrap
  # the 64-bit Windows CPython 3.11 (windows-build/interpreter311): mingw-w64
  # for x86_64, whose libucrt.a is the C runtime of the official builds
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  # the wheels (scripts/wheels.sh) and their checks: the PEP 517 front end,
  # wheel's `pack`, setuptools for the pure-Python distribution, venv and pip
  # to install them, mypy for the type stubs; scikit-build-core, the
  # backend, is below (from backports)
  python3-build python3-wheel python3-setuptools python3-venv python3-pip mypy
)
# From this release's backports, named with it (apt takes nothing else from
# there): scikit-build-core, which bookworm itself does not have.
BACKPORTS_PACKAGES=(python3-scikit-build-core)
packages=("${MAIN_PACKAGES[@]}")
[ "$profile" = test ] && packages+=("${TEST_PACKAGES[@]}" "${BACKPORTS_PACKAGES[@]}")

# The Debian archive this machine already installs from, as its own apt
# configuration names it (deb822 .sources or sources.list, a local mirror or
# a proxy included): the bullseye sources below must come from the same place.
# shellcheck disable=SC1091
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
# Every index apt's sources name (read_index_targets, in apt-install.sh).
index_targets=$(read_index_targets)
archive=$(awk -v release="$codename" '$1 == "deb" && $2 == release && $3 == "main" { print $4; exit }' \
            <<< "$index_targets")
if [ -z "$archive" ]; then
  echo "setup.sh: no apt source of this machine serves Debian ${codename:-(unknown release)} main" \
       "(looked in /etc/apt/sources.list and /etc/apt/sources.list.d/, both .list and .sources);" \
       "add the Debian archive you install from, then run this again" >&2
  exit 1
fi
archive=${archive%/}

# True when FILE does not hold exactly CONTENT.
differs() {
  [ ! -f "$1" ] || [ "$(cat "$1")" != "$2" ]
}

sources_changed=0
# Makes apt source FILE hold exactly LINE, saying WHY, where it does not yet.
want_source() {
  local file=$1 line=$2 why=$3
  differs "$file" "$line" || return 0
  need_root
  say "$why"
  echo "$line" > "$file"
  sources_changed=1
}
# CPython 2.7 is not in bookworm; bullseye's main archive has 2.7.18. The pin
# keeps every package that bookworm also has on bookworm.
BULLSEYE_LIST=/etc/apt/sources.list.d/volumes-bullseye.list
BULLSEYE_PIN=/etc/apt/preferences.d/volumes-bullseye.pref
want_list="deb $archive bullseye main"
want_pin='Package: *
Pin: release n=bullseye
Pin-Priority: 100'
if differs "$BULLSEYE_LIST" "$want_list" || differs "$BULLSEYE_PIN" "$want_pin"; then
  need_root
  say "adding Debian bullseye ($archive), pinned below bookworm, for Python 2.7"
  echo "$want_list" > "$BULLSEYE_LIST"
  echo "$want_pin" > "$BULLSEYE_PIN"
  sources_changed=1
fi

WINDOWS_PYTHON_SOURCE=/usr/local/share/volumes-windows/Python-2.7.18
WINDOWS_PYTHON_TARBALL=/usr/local/share/volumes-windows/python2.7_2.7.18.orig.tar.gz
if [ "$profile" = test ]; then
  # The Windows build takes CPython 2.7.18's headers and its Windows
  # PC/pyconfig.h from the orig tarball of bullseye's python2.7 source
  # package (and memcheck takes CPython's valgrind suppressions from it); the
  # tarball itself is kept for building the Windows interpreter. The pin
  # above covers this source too.
  want_source /etc/apt/sources.list.d/volumes-bullseye-src.list "deb-src $archive bullseye main" \
    "adding Debian bullseye's source packages, for CPython 2.7.18's source (Windows build, valgrind suppressions)"
fi

# The option a one-line source for ARCHIVE and RELEASE must carry so that
# apt accepts it beside the entry this machine already has for them: apt
# refuses two entries of one archive and release whose Signed-By differ
# ("Conflicting values set for option Signed-By"). The value is the one of
# the entry apt itself reports serving them (deb822 .sources or one-line
# .list), so it is "[signed-by=...] " where that entry names a keyring, and
# nothing where it names none.
signed_by_option() {
  local release=$1 entry file line value
  entry=$(awk -v release="$release" '$1 == "deb" && $2 == release && $3 == "main" { print $5; exit }' \
            <<< "$index_targets")
  file=${entry%:*}
  line=${entry##*:}
  case "$file" in
    *.sources)
      # The stanza starting at that line; a key written into the stanza
      # itself (a field of several lines) has no one-line spelling.
      value=$(awk -v first="$line" '
        NR < first { next }
        /^[ \t]*$/ { exit }
        tolower($0) ~ /^signed-by:/ { sub(/^[^:]*:[ \t]*/, ""); found = 1; print; next }
        found && /^[ \t]/ { print "(embedded key)"; exit }
        { found = 0 }' "$file")
      ;;
    *)
      value=$(sed -n "${line}p" "$file" | sed -n 's/^[^[]*\[\([^]]*\)\].*/\1/p' | tr ' ' '\n' \
                | sed -n 's/^signed-by=//Ip')
      ;;
  esac
  case "$value" in
    "") ;;
    *"(embedded key)"*)
      echo "setup.sh: the apt source of Debian $release main ($entry) holds its key in the entry itself;" \
           "a one-line source for its source packages cannot name the same key: put the key in a file" \
           "and name it with Signed-By, then run this again" >&2
      return 1
      ;;
    *) echo "[signed-by=$value] " ;;
  esac
}

WINDOWS_PYTHON3_DIR=/usr/local/share/volumes-windows
# The orig tarballs of this release's source packages that the 64-bit
# Windows CPython 3.11.2 is built from (windows-build/interpreter311).
WINDOWS_PYTHON3_TARBALLS=(python3.11_3.11.2.orig.tar.gz zlib_1.2.13.dfsg.orig.tar.bz2 libffi_3.4.4.orig.tar.gz)
if [ "$profile" = test ]; then
  # CPython 3.11.2 (the version of this release's own python3.11, which
  # freezes its modules), zlib and libffi come from this release's source
  # packages.
  want_source "/etc/apt/sources.list.d/volumes-$codename-src.list" \
    "deb-src $(signed_by_option "$codename")$archive $codename main" \
    "adding Debian $codename's source packages, for the Windows CPython 3.11's sources"
  # Backports are pinned by the archive itself (NotAutomatic): a package
  # comes from there only when named with the release (BACKPORTS_PACKAGES).
  want_source "/etc/apt/sources.list.d/volumes-$codename-backports.list" \
    "deb $(signed_by_option "$codename")$archive $codename-backports main" \
    "adding Debian $codename-backports ($archive), for scikit-build-core (the wheels' build backend)"
fi

# One dpkg-query for all of them (one each costs seconds in all).
installed=" $(dpkg-query -W -f='${Package} ${Status}\n' "${packages[@]}" 2>/dev/null \
              | awk '$2 == "install" && $3 == "ok" && $4 == "installed" { print $1 }' | tr '\n' ' ' || true) "
missing=()
for p in "${packages[@]}"; do
  if [[ "$installed" != *" $p "* ]]; then
    case " ${BACKPORTS_PACKAGES[*]} " in
      *" $p "*) missing+=("$p/$codename-backports") ;;
      *) missing+=("$p") ;;
    esac
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  need_root
  if [ "$sources_changed" = 1 ]; then
    read_package_lists "a source was added"
  elif ! apt-cache policy python2.7 2>/dev/null | grep -q bullseye; then
    read_package_lists "bullseye's have not been read yet"
  fi
  if [ "$profile" = main ]; then
    install_missing "for building and running the module"
  else
    install_missing "for the tests, benchmarks and checks"
  fi
fi

if [ "$profile" = test ]; then
  if [ ! -f "$WINDOWS_PYTHON_SOURCE/PC/pyconfig.h" ] || [ ! -f "$WINDOWS_PYTHON_SOURCE/Include/Python.h" ] \
     || [ ! -f "$WINDOWS_PYTHON_SOURCE/Misc/valgrind-python.supp" ] || [ ! -f "$WINDOWS_PYTHON_TARBALL" ]; then
    need_root
    [ "$sources_changed" = 1 ] && read_package_lists "a source was added"
    download=$(mktemp -d)
    cleanup_download() { rm -rf "$download"; }
    trap cleanup_download EXIT
    chown _apt "$download" 2>/dev/null || true  # apt downloads as _apt where it can
    fetch_source() { (cd "$download" && apt-get source --download-only python2.7); }
    if ! step "downloading bullseye's python2.7 source package, for CPython 2.7.18's source" fetch_source; then
      [ "$package_lists_read" = 1 ] && exit 1
      read_package_lists "the source index may be missing"
      step "downloading bullseye's python2.7 source package (again)" fetch_source
    fi
    tarball="$download/python2.7_2.7.18.orig.tar.gz"
    [ -f "$tarball" ] || { echo "setup.sh: python2.7 source did not give $tarball" >&2; exit 1; }
    unpack_source() {
      rm -rf "$WINDOWS_PYTHON_SOURCE"
      mkdir -p "$(dirname "$WINDOWS_PYTHON_SOURCE")"
      tar -xzf "$tarball" -C "$(dirname "$WINDOWS_PYTHON_SOURCE")" \
          Python-2.7.18/Include Python-2.7.18/PC/pyconfig.h Python-2.7.18/Misc/valgrind-python.supp
      mv "$tarball" "$WINDOWS_PYTHON_TARBALL"
    }
    step "unpacking CPython 2.7.18's headers and suppressions into $(dirname "$WINDOWS_PYTHON_SOURCE")" unpack_source
  fi

  missing_tarballs=()
  for t in "${WINDOWS_PYTHON3_TARBALLS[@]}"; do
    [ -f "$WINDOWS_PYTHON3_DIR/$t" ] || missing_tarballs+=("$t")
  done
  if [ "${#missing_tarballs[@]}" -gt 0 ]; then
    need_root
    [ "$sources_changed" = 1 ] && read_package_lists "a source was added"
    download3=$(mktemp -d)
    cleanup_download3() { rm -rf "$download3" "${download:-}"; }
    trap cleanup_download3 EXIT
    chown _apt "$download3" 2>/dev/null || true
    # From this release by name: bullseye's deb-src has older zlib and libffi.
    fetch_sources3() {
      (cd "$download3" && apt-get source --download-only "python3.11/$codename" "zlib/$codename" "libffi/$codename")
    }
    if ! step "downloading $codename's python3.11, zlib and libffi source packages, for the Windows CPython 3.11" fetch_sources3; then
      [ "$package_lists_read" = 1 ] && exit 1
      read_package_lists "the source index may be missing"
      step "downloading $codename's python3.11, zlib and libffi source packages (again)" fetch_sources3
    fi
    keep_tarballs3() {
      mkdir -p "$WINDOWS_PYTHON3_DIR"
      for t in "${missing_tarballs[@]}"; do
        [ -f "$download3/$t" ] || { echo "setup.sh: the source packages did not give $t" >&2; return 1; }
        mv "$download3/$t" "$WINDOWS_PYTHON3_DIR/$t"
      done
    }
    step "keeping ${missing_tarballs[*]} in $WINDOWS_PYTHON3_DIR" keep_tarballs3
  fi

  # Wine runs in a root of its own, made from the same archive; where the
  # kernel cannot run its 32-bit loader, qemu's user mode is set up for it.
  bash "$scripts/wine-root.sh" "$archive" "$codename"
  bash "$scripts/setup-i386.sh" "$archive"
fi

/usr/bin/python2.7 -c 'import sys; assert sys.version_info[:3] == (2, 7, 18), sys.version'
if [ "$profile" = main ]; then
  say "ok: $(/usr/bin/python2.7 -V 2>&1) and the build tools (scripts/setup.sh --test adds what the tests need)"
else
  say "ok: $(/usr/bin/python2.7 -V 2>&1), the build tools and everything the tests need, Wine in its root"
fi
