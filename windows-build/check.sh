#!/usr/bin/env bash
# The Windows build's checks, run by CTest (see windows-build/tests.cmake):
#
#   check.sh build BUILD_DIR   builds with mingw-w64, then checks with
#                              objdump that each .pyd exports exactly its
#                              init function and imports only KERNEL32.dll,
#                              the C runtime and python27.dll
#   check.sh wine BUILD_DIR    runs the Wine test program of that build
#   check.sh prefix BUILD_DIR  makes the Wine prefix the tests share
#   check.sh python BUILD_DIR INTERPRETER_DIR TREE SCRIPT [ARGS...]
#                              runs SCRIPT with the Windows interpreter under
#                              Wine, the tree TREE (python-scripted or
#                              python-kernel32) of that build on its path
#   check.sh kernel32 BUILD_DIR INTERPRETER_DIR SCRIPT [ARGS...]
#                              runs SCRIPT over python-kernel32, with the
#                              drives that `prefix` made named to it
#
# Exits 77 (a skip, with the reason on stdout) when the toolchain or Wine is
# missing, except under CI (CI=true), where setup.sh installs them and a
# missing piece is a failure.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
command=${1:?usage: check.sh build|wine|prefix|python BUILD_DIR ...}
build=${2:?usage: check.sh build|wine|prefix|python BUILD_DIR ...}
build=$(realpath -m "$build")
triplet=i686-w64-mingw32
python_source=/usr/local/share/volumes-windows/Python-2.7.18

unavailable() {
  if [ "${CI:-}" = true ]; then
    echo "FAILED: $* (CI runs scripts/setup.sh --test, which installs it)"
    exit 1
  fi
  echo "SKIPPED: $* (run scripts/setup.sh --test as root to install it)"
  exit 77
}

# The DLLs a module may import: KERNEL32, the C runtime (msvcrt.dll or the
# api-ms-win-crt-* set of the universal CRT) and the interpreter.
allowed_import() {
  case "${1,,}" in
    kernel32.dll | msvcrt.dll | python27.dll | api-ms-win-crt-*.dll) return 0 ;;
    *) return 1 ;;
  esac
}

# Wine for 32-bit programs: its loader is itself a 32-bit Linux program,
# which setup.sh makes runnable on kernels without a 32-bit user mode.
use_wine() {
  command -v wine >/dev/null || unavailable "wine is not installed"
  local version
  version=$(wine --version 2>&1) || unavailable "Wine's 32-bit loader does not run here: $version"
  # A prefix of our own in the build directory, without the Mono and Gecko
  # installers (not needed, and nothing may be downloaded).
  export WINEPREFIX="$build/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEARCH=win32
  # Wine decodes Unix text (file names, a drive's .windows-label) in the
  # locale's character set: UTF-8, whatever locale the caller has (a fresh
  # system's root shell has none, and Wine then reads the bytes as ASCII).
  export LC_ALL=C.UTF-8
  unset DISPLAY
}

# Drives of the real-KERNEL32 suite's own, named to it in the environment.
# Wine maps a drive letter to the directory its dosdevices link names, and
# reads a directory drive's label and serial number from files in it; a
# drive whose device link ("r::") names a FAT image is answered from that
# image's boot sector when asked by handle.
test_drives() {
  drives="$build/kernel32-drives"
  export VOLUMES_LABELLED_DRIVE=Q: VOLUMES_FAT_DRIVE=R: VOLUMES_MISSING_DRIVE=P:
  # The label goes to the test escaped: Wine hands the environment to
  # Windows programs in the ANSI code page, which cannot hold every letter.
  export VOLUMES_LABEL='Vol\u00fcme \u0416' VOLUMES_SERIAL=1234abcd
  export VOLUMES_FAT_LABEL=FATTEST VOLUMES_FAT_SERIAL=0badf00d
}

make_test_drives() {
  rm -rf "$drives"
  mkdir -p "$drives/labelled" "$drives/fat" "$WINEPREFIX/dosdevices"
  printf 'Vol\xc3\xbcme \xd0\x96' > "$drives/labelled/.windows-label"
  echo "$VOLUMES_SERIAL" > "$drives/labelled/.windows-serial"
  echo labelled > "$drives/labelled/file.txt"
  echo fat > "$drives/fat/file.txt"
  truncate -s 40M "$drives/fat.img"
  mkfs.vfat -F 32 -n "$VOLUMES_FAT_LABEL" -i "$VOLUMES_FAT_SERIAL" "$drives/fat.img" >/dev/null
  ln -sfn "$drives/labelled" "$WINEPREFIX/dosdevices/q:"
  ln -sfn "$drives/fat" "$WINEPREFIX/dosdevices/r:"
  ln -sfn "$drives/fat.img" "$WINEPREFIX/dosdevices/r::"
}

# The Windows name of a Unix path: Wine's drive Z: is the Unix root.
windows_path() {
  local path
  path=$(realpath -m "$1")
  echo "Z:${path//\//\\}"
}

# The C runtime boundary check of python27_imports.py over the given
# sources (--sources DIR) and images.
runtime_check() {
  python2.7 "$root/windows-build/python27_imports.py" runtimes --cxx "$triplet-g++-posix" \
    --objdump "$triplet-objdump" --include "$python_source/PC" --include "$python_source/Include" "$@"
}

check_module() {  # FILE ENTRY [EXTRA_DLL]: EXTRA_DLL must be imported too
  local file=$1 entry=$2 extra=${3:-} failed=0
  [ -f "$file" ] || { echo "FAILED: $file was not built"; return 1; }
  local dump
  dump=$("$triplet-objdump" -p "$file")
  if ! grep -q 'Magic.*010b' <<<"$dump"; then
    echo "FAILED: $file is not a 32-bit (PE32) image"; failed=1
  fi
  # The export table lists "[ordinal] name" rows after "[Ordinal/Name Pointer] Table".
  local exports
  exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" | sed -n 's/^\s*\[ *[0-9]*\] //p')
  if [ "$exports" != "$entry" ]; then
    echo "FAILED: $file exports [$(tr '\n' ' ' <<<"$exports")], expected exactly $entry"; failed=1
  fi
  local imports dll
  imports=$(sed -n 's/^\s*DLL Name: //p' <<<"$dump")
  for dll in $imports; do
    if [ "${dll,,}" != "${extra,,}" ] && ! allowed_import "$dll"; then
      echo "FAILED: $file imports $dll"; failed=1
    fi
  done
  for dll in KERNEL32.dll python27.dll $extra; do
    grep -qix "$dll" <<<"$imports" || { echo "FAILED: $file does not import $dll"; failed=1; }
  done
  if [ "$failed" = 0 ]; then
    echo "ok: $(basename "$file") exports $entry, imports $(tr '\n' ' ' <<<"$imports")"
  fi
  return "$failed"
}

case "$command" in
  build)
    for tool in "$triplet-g++-posix" "$triplet-objdump" "$triplet-dlltool" "$triplet-nm"; do
      command -v "$tool" >/dev/null || unavailable "$tool is not installed"
    done
    [ -f "$python_source/PC/pyconfig.h" ] || unavailable "CPython 2.7.18 headers are not in $python_source"
    interpreter=${3:-}
    bash "$root/windows-build/build.sh" "$build" >/dev/null
    status=0
    kernel32_tree="$build/python-kernel32"
    scripted_tree="$build/python-scripted"
    check_module "$kernel32_tree/windows/volumes.pyd" initvolumes || status=1
    check_module "$kernel32_tree/windows/winwrap.pyd" initwinwrap || status=1
    # The scripted tree's volume calls come from the scripted provider.
    check_module "$scripted_tree/windows/volumes.pyd" initvolumes kernel32_scripted.dll || status=1
    check_module "$scripted_tree/windows/winwrap.pyd" initwinwrap || status=1
    check_module "$scripted_tree/scripted_system.pyd" initscripted_system kernel32_scripted.dll || status=1
    modules=("$kernel32_tree"/windows/*.pyd "$scripted_tree"/windows/*.pyd "$scripted_tree"/scripted_system.pyd)
    runtime_check --sources "$root/windows" --sources "$root/pyutil" --sources "$root/oslayer/scripted" \
      "${modules[@]}" || status=1
    # The check itself must refuse a module that crosses the boundary.
    probe="$build/crt_crossing_probe.obj"
    "$triplet-g++-posix" -std=c++17 -isystem "$python_source/PC" -isystem "$python_source/Include" \
      -c "$root/windows-build/crt_probe/crt_crossing_probe.cpp" -o "$probe"
    probe_report=$(runtime_check --sources "$root/windows-build/crt_probe" "$probe") \
      && probe_status=0 || probe_status=$?
    for refused in PyFile_AsFile PyObject_AsFileDescriptor PyErr_SetFromErrnoWithFilenameObject PyMem_; do
      if [ "$probe_status" = 0 ] || ! grep -q "$refused" <<<"$probe_report"; then
        echo "FAILED: the C runtime check does not refuse $refused in $probe:"
        echo "$probe_report"
        status=1
      fi
    done
    if [ -n "$interpreter" ]; then
      python2.7 "$root/windows-build/python27_imports.py" exports --objdump "$triplet-objdump" \
        --dll "$interpreter/python27.dll" "${modules[@]}" || status=1
    fi
    if [ "$status" = 0 ]; then
      echo "python27.dll imports: $(grep -c '^  ' "$build/python27.def") names, $(grep -c ' DATA$' "$build/python27.def") of them data"
    fi
    exit "$status"
    ;;
  wine)
    use_wine
    [ -x "$build/wine/volume_calls_test.exe" ] || { echo "FAILED: $build/wine/volume_calls_test.exe was not built"; exit 1; }
    timeout 600 wine "$build/wine/volume_calls_test.exe" "$(windows_path "$build/python-kernel32/windows")"
    ;;
  prefix)
    use_wine
    command -v mkfs.vfat >/dev/null || unavailable "mkfs.vfat (dosfstools) is not installed"
    # wineboot makes the prefix once; the tests then share it. Wine's mount
    # manager learns the drives when it starts, so the test drives are put
    # in place once wineboot's server has gone, before anything else runs
    # in the prefix (wineboot itself never finishes in a prefix that exists
    # before it).
    rm -rf "$WINEPREFIX"
    timeout 300 wineboot -i
    timeout 60 wineserver -w
    test_drives
    make_test_drives
    [ -f "$WINEPREFIX/system.reg" ] || { echo "FAILED: wineboot made no prefix in $WINEPREFIX"; exit 1; }
    echo "ok: Wine prefix $WINEPREFIX ($(wine --version))"
    ;;
  python)
    interpreter=${3:?usage: check.sh python BUILD_DIR INTERPRETER_DIR TREE SCRIPT [ARGS...]}
    tree=${4:?usage: check.sh python BUILD_DIR INTERPRETER_DIR TREE SCRIPT [ARGS...]}
    shift 4
    use_wine
    [ -x "$interpreter/python.exe" ] || { echo "FAILED: no Windows interpreter in $interpreter"; exit 1; }
    [ -d "$build/$tree/windows" ] || { echo "FAILED: $build/$tree was not built"; exit 1; }
    # Unix paths among the arguments become Windows ones; the suites find
    # the tree first, then their own directory (as `python FILE` does).
    arguments=()
    for argument in "$@"; do
      case "$argument" in
        /*) arguments+=("$(windows_path "$argument")") ;;
        *) arguments+=("$argument") ;;
      esac
    done
    PYTHONPATH="$(windows_path "$build/$tree")" PYTHONDONTWRITEBYTECODE=1 \
      timeout 900 wine "$interpreter/python.exe" "${arguments[@]}"
    ;;
  kernel32)
    interpreter=${3:?usage: check.sh kernel32 BUILD_DIR INTERPRETER_DIR SCRIPT [ARGS...]}
    shift 3
    use_wine
    test_drives
    [ -L "$WINEPREFIX/dosdevices/q:" ] || { echo "FAILED: the prefix has no test drives: run check.sh prefix"; exit 1; }
    exec bash "${BASH_SOURCE[0]}" python "$build" "$interpreter" python-kernel32 "$@"
    ;;
  *)
    echo "usage: check.sh build|wine|prefix|python|kernel32 BUILD_DIR ..." >&2
    exit 2
    ;;
esac
