#!/usr/bin/env bash
# Checks a Windows CPython 3.11 built by build.sh, under wine64 in the
# project's Wine root (scripts/wine-run.sh):
#
#   smoke.sh OUT_DIR               the interpreter starts, is 64-bit, sees
#                                  the volume serial in os.stat, imports
#                                  the modules our suites need, and loads a
#                                  C++ extension built against OUT_DIR
#   smoke.sh OUT_DIR TEST...       then runs those of CPython's own tests
#                                  (test_os, test_codecs, ...), one process
#                                  per test module
#
# The Wine prefix is one of its own (not the test run's), made on first use
# and kept in /tmp; VOLUMES_WINE_BINDS must name OUT_DIR when it is outside
# /tmp and the project. Exits non-zero when a check or a test fails.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
project=$(cd "$here/../.." && pwd)
out=$(realpath -m -- "${1:?usage: smoke.sh OUT_DIR [TEST...]}")
shift
tests=("$@")
cxx=x86_64-w64-mingw32-g++-posix
loader=/usr/lib/wine/wine64

fail() { echo "interpreter311 smoke: $*" >&2; exit 1; }
[ -f "$out/python.exe" ] || fail "$out/python.exe is missing (windows-build/interpreter311/build.sh builds it)"
command -v "$cxx" >/dev/null || fail "$cxx is not installed (scripts/setup.sh --test installs it)"
wine() { bash "$project/scripts/wine-run.sh" "$@"; }
problem=$(bash "$project/scripts/wine-run.sh" --check) || fail "$problem"

export WINEPREFIX=/tmp/volumes-interpreter311-prefix.$(id -u) WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
started=$SECONDS
if [ ! -f "$WINEPREFIX/.volumes-windows10" ]; then
  rm -rf "$WINEPREFIX"
  timeout 300 bash "$project/scripts/wine-run.sh" "$loader" wineboot -i </dev/null >/dev/null 2>&1 \
    || fail "wineboot did not make the prefix $WINEPREFIX"
  # A new prefix says Windows 7; CPython 3.9 and later want 8.1 or later.
  timeout 120 bash "$project/scripts/wine-run.sh" "$loader" winecfg -v win10 </dev/null >/dev/null 2>&1 \
    || fail "winecfg could not set Windows 10 in $WINEPREFIX"
  touch "$WINEPREFIX/.volumes-windows10"
  echo "interpreter311 smoke: made the Wine prefix $WINEPREFIX ($((SECONDS - started)) s)"
fi

# The extension is built as the project's C++ modules are: C++17, against
# OUT's headers and import library, the UCRT specs, everything static, and
# the _setjmp that static libwinpthread needs.
ext=$(mktemp -d /tmp/volumes-interpreter311-ext.XXXXXX)
cleanup() { rm -rf "$ext"; }
trap cleanup EXIT
"$cxx" -specs="$out/ucrt.specs" -std=c++17 -O2 -shared -s -I"$out/include" \
  -o "$ext/smoke_ext.pyd" "$here/smoke_ext.cpp" "$out/ucrt_setjmp.o" "$out/libs/libpython311.dll.a" \
  -static -static-libgcc -static-libstdc++ \
  || fail "the C++ extension did not build against $out"
imports=$(x86_64-w64-mingw32-objdump -p "$ext/smoke_ext.pyd" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | tr '\n' ' ')
case " $imports " in
  *" msvcrt.dll "*|*" libwinpthread-1.dll "*|*" libstdc++-6.dll "*|*" libgcc_s_seh-1.dll "*)
    fail "the C++ extension imports a second C runtime or a mingw DLL: $imports" ;;
esac

# Wine 8 needs stdout to be a pipe: on a handle to a Unix file
# GetFileInformationByHandle fails and the interpreter's start aborts.
start=$(date +%s%N)
wine "$loader" "$out/python.exe" -c pass 2>&1 | cat
start_ms=$(( ($(date +%s%N) - start) / 1000000 ))
status=0
wine "$loader" "$out/python.exe" -c "
import os, struct, sys
print('sys.version:', sys.version)
print('pointer bits:', struct.calcsize('P') * 8)
print('os.stat(\"C:\\\\\\\\\").st_dev:', os.stat('C:\\\\').st_dev)
import _ctypes, select, unicodedata, _socket, json, logging, subprocess, threading, unittest, ctypes
sys.path.insert(0, sys.argv[1])
import smoke_ext
assert smoke_ext.joined('ab') == 'ab+ab', smoke_ext.joined('ab')
assert struct.calcsize('P') == 8 and sys.maxsize == 2**63 - 1
assert os.stat('C:\\\\').st_dev != 0
print('imported _ctypes select unicodedata _socket json logging subprocess threading unittest, and a C++ extension')
" "$ext" 2>&1 | cat || status=$?
[ "$status" = 0 ] || fail "the interpreter failed its checks (status $status)"
echo "interpreter311 smoke: ok; a start of python.exe -c pass took $start_ms ms (extension imports: $imports)"

[ "${#tests[@]}" -gt 0 ] || exit 0
failed=()
for t in "${tests[@]}"; do
  echo "interpreter311 smoke: running $t"
  # -i test_getcwd_long_path: after a working directory longer than
  # MAX_PATH, Wine 8 starts no new thread in that process.
  # Through cat into the log, for the pipe Wine needs; regrtest's own
  # verdict line is what counts.
  wine "$loader" "$out/python.exe" "$here/cpython_tests.py" -v -i test_getcwd_long_path "$t" 2>&1 \
    | cat > "$ext/$t.log" || true
  cp "$ext/$t.log" "/tmp/volumes-interpreter311-$t.log"
  grep -E '^(Ran [0-9]+ tests|OK|FAILED|== Tests result)' "$ext/$t.log" | sed 's/^/    /' || true
  grep -E '^(FAIL|ERROR): ' "$ext/$t.log" | sed 's/^/    /' || true
  grep -q '^== Tests result: SUCCESS' "$ext/$t.log" || failed+=("$t")
done
[ "${#failed[@]}" = 0 ] || fail "failed: ${failed[*]}"
