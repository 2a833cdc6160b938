#!/usr/bin/env bash
# The Windows build's checks, run by CTest (see windows-build/tests.cmake):
#
#   check.sh build BUILD_DIR   builds with mingw-w64, then checks with
#                              objdump that each .pyd exports exactly its
#                              init function and imports only KERNEL32.dll,
#                              the C runtime and python27.dll
#   check.sh wine BUILD_DIR    runs the Wine test program of that build
#
# Exits 77 (a skip, with the reason on stdout) when the toolchain or Wine is
# missing, except under CI (CI=true), where setup.sh installs them and a
# missing piece is a failure.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
command=${1:?usage: check.sh build|wine BUILD_DIR}
build=${2:?usage: check.sh build|wine BUILD_DIR}
triplet=i686-w64-mingw32
python_source=/usr/local/share/volumes-windows/Python-2.7.18

unavailable() {
  if [ "${CI:-}" = true ]; then
    echo "FAILED: $* (CI runs scripts/setup.sh, which installs it)"
    exit 1
  fi
  echo "SKIPPED: $* (run scripts/setup.sh as root to install it)"
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

check_module() {
  local file=$1 entry=$2 failed=0
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
    if ! allowed_import "$dll"; then
      echo "FAILED: $file imports $dll"; failed=1
    fi
  done
  for dll in KERNEL32.dll python27.dll; do
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
    bash "$root/windows-build/build.sh" "$build" >/dev/null
    status=0
    check_module "$build/windows/volumes.pyd" initvolumes || status=1
    check_module "$build/windows/winwrap.pyd" initwinwrap || status=1
    if [ "$status" = 0 ]; then
      echo "python27.dll imports: $(grep -c '^  ' "$build/python27.def") names, $(grep -c ' DATA$' "$build/python27.def") of them data"
    fi
    exit "$status"
    ;;
  wine)
    command -v wine >/dev/null || unavailable "wine is not installed"
    [ -x "$build/wine/volume_calls_test.exe" ] || { echo "FAILED: $build/wine/volume_calls_test.exe was not built"; exit 1; }
    # A prefix of our own in the build directory, without the Mono and Gecko
    # installers (not needed, and nothing may be downloaded).
    export WINEPREFIX="$build/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    export WINEARCH=win32
    unset DISPLAY
    modules=$(winepath -w "$build/windows")
    timeout 600 wine "$build/wine/volume_calls_test.exe" "$modules"
    ;;
  *)
    echo "usage: check.sh build|wine BUILD_DIR" >&2
    exit 2
    ;;
esac
