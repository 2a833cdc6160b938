#!/usr/bin/env bash
# Builds a 64-bit Windows CPython 3.11.2 with mingw-w64 against the UCRT
# (the C runtime of the official builds), from the orig tarballs of
# Debian 12's python3.11, zlib and libffi source packages, for running
# Python code and test suites under wine64:
#
#   build.sh TARBALL_DIR OUT_DIR
#
# TARBALL_DIR holds python3.11_3.11.2.orig.tar.gz,
# zlib_1.2.13.dfsg.orig.tar.bz2 and libffi_3.4.4.orig.tar.gz
# (scripts/setup.sh --test keeps them in /usr/local/share/volumes-windows).
# OUT_DIR gets the layout of an installed Windows CPython:
#
#   python.exe, python311.dll     the interpreter
#   DLLs/*.pyd                    _ctypes (libffi linked in), select,
#                                 _socket, unicodedata, asyncio's, ...
#   Lib/                          the standard library, Lib/test included
#   include/                      Include/ and the patched PC/pyconfig.h,
#                                 the headers extensions are built with
#   libs/libpython311.dll.a       the import library
#   ucrt.specs                    -specs= for every compile and link
#   ucrt_setjmp.S, ucrt_setjmp.o  _setjmp, for C++ extensions linked -static
#
# No configure for CPython itself: the core's file list and definitions are
# those of PCbuild/pythoncore.vcxproj, as in the 2.7 build beside this one.
# What PCbuild generates with _freeze_module.exe is made with Debian's own
# /usr/bin/python3.11, which must be 3.11.2 exactly (frozen bytecode and
# deep-frozen code objects are tied to the version).
#
# The result is kept while its inputs (the tarballs, the files of this
# directory it is built from, the compiler, the build Python) are unchanged: a second run compares a
# hash. VOLUMES_JOBS compilers run at once (default: nproc).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
usage="usage: build.sh TARBALL_DIR OUT_DIR"
tarballs=${1:?$usage}
out=$(realpath -m -- "${2:?$usage}")
jobs=${VOLUMES_JOBS:-$(nproc)}
cc=x86_64-w64-mingw32-gcc-posix
windres=x86_64-w64-mingw32-windres
objdump=x86_64-w64-mingw32-objdump
pybuild=/usr/bin/python3.11
py_tar=$tarballs/python3.11_3.11.2.orig.tar.gz
zlib_tar=$tarballs/zlib_1.2.13.dfsg.orig.tar.bz2
ffi_tar=$tarballs/libffi_3.4.4.orig.tar.gz

fail() { echo "interpreter311: $*" >&2; exit 1; }
for f in "$py_tar" "$zlib_tar" "$ffi_tar"; do
  [ -f "$f" ] || fail "$f is missing (scripts/setup.sh --test keeps it)"
done
for t in "$cc" "$windres" "$objdump" make patch; do
  command -v "$t" >/dev/null || fail "$t is not installed (scripts/setup.sh --test installs it)"
done
[ -x "$pybuild" ] || fail "$pybuild is not installed (package python3.11; scripts/setup.sh --test installs it)"
build_version=$("$pybuild" -c 'import sys; print(sys.version.split()[0])')
[ "$build_version" = 3.11.2 ] || fail "$pybuild is Python $build_version, the frozen modules need 3.11.2"

inputs=$( { sha256sum "$py_tar" "$zlib_tar" "$ffi_tar" | cut -d' ' -f1
            (cd "$here" && sha256sum -- build.sh mingw-w64.patch freeze.py ucrt_setjmp.S)
            "$cc" --version | head -n 1
            echo "$build_version"; } | sha256sum | cut -d' ' -f1)
if [ -f "$out/.inputs" ] && [ "$(cat "$out/.inputs")" = "$inputs" ] && [ -f "$out/python.exe" ]; then
  echo "interpreter311: up to date in $out"
  exit 0
fi

started=$(date +%s)
stage() { echo "interpreter311: [$(( $(date +%s) - started )) s] $*"; }

# Built aside and moved into place at the end, so that an interrupted build
# never looks complete.
work="$out.partial"
rm -rf "$work"
mkdir -p "$work"
src=$work/Python-3.11.2
zlib=$work/zlib-1.2.13
obj=$work/obj
log=$work/log
dist=$work/dist
mkdir -p "$obj/core" "$obj/ext" "$log" "$dist/DLLs" "$dist/libs"

stage "unpacking the three tarballs"
# --no-same-owner: as root, tar would keep the tarballs' owners.
tar -xzf "$py_tar" -C "$work" --no-same-owner
tar -xjf "$zlib_tar" -C "$work" --no-same-owner
[ -d "$zlib" ] || mv "$work"/zlib-1.2.13* "$zlib"
tar -xzf "$ffi_tar" -C "$work" --no-same-owner
# Source changes for GCC on Windows; none changes the ABI.
patch -s -p1 -d "$src" < "$here/mingw-w64.patch"

# The driver's specs with msvcrt swapped for the UCRT's import library
# (api-ms-win-crt-*.dll, as MSVC's ucrt.lib) and _UCRT defined for the
# preprocessor (mingw-w64's headers then declare the UCRT's stdio, _stat,
# time functions): every object and link, libgcc's and mingwex's helpers
# included, then uses the one C runtime the interpreter uses.
specs=$dist/ucrt.specs
"$cc" -dumpspecs | sed -e 's/-lmoldname -lmingwex -lmsvcrt/-lmoldname -lmingwex -lucrt/' \
                       -e '/^\*cpp:$/{n;s/^/-D_UCRT /}' > "$specs"
grep -q -- '-lucrt' "$specs" && grep -q -- '-D_UCRT' "$specs" || fail "could not point the specs at the UCRT"
cp "$here/ucrt_setjmp.S" "$dist/ucrt_setjmp.S"
"$cc" -specs="$specs" -c "$dist/ucrt_setjmp.S" -o "$dist/ucrt_setjmp.o"

stage "freezing $(grep -c ModName "$src/PCbuild/_freeze_module.vcxproj") modules and deep-freezing them with $pybuild"
"$pybuild" "$here/freeze.py" "$src/PCbuild/_freeze_module.vcxproj" > "$obj/frozen.list"
deepfreeze=()
while read -r module source; do
  [ "$module" = -- ] && break
  "$pybuild" "$src/Programs/_freeze_module.py" "$module" "$src/$source" "$src/Python/frozen_modules/$module.h"
done < "$obj/frozen.list"
while read -r module; do
  deepfreeze+=("$src/Python/frozen_modules/$module.h:$module")
done < <(sed '1,/^--$/d' "$obj/frozen.list")
[ "${#deepfreeze[@]}" -gt 20 ] || fail "found only ${#deepfreeze[@]} modules to deep-freeze in _freeze_module.vcxproj"
"$pybuild" "$src/Tools/scripts/deepfreeze.py" "${deepfreeze[@]}" -o "$src/Python/deepfreeze/deepfreeze.c"

# -fwrapv -fno-strict-aliasing: what CPython's configure adds for GCC.
# Implicit declarations and int/pointer mixes are errors: on x64 an
# undeclared function returning a pointer would be cut to 32 bits.
cflags=(-specs="$specs" -O2 -fwrapv -fno-strict-aliasing -DNDEBUG -DWIN32
        -I"$src/Include" -I"$src/Include/internal" -I"$src/PC"
        -Werror=implicit-function-declaration -Werror=int-conversion)
# Flags reach the parallel compilers through response files, where GCC
# reads \ and " as escapes.
response_file() {
  local flag
  for flag in "$@"; do
    printf '"%s"\n' "$(printf '%s' "$flag" | sed 's/[\\"]/\\&/g')"
  done
}
# pythoncore.vcxproj's definitions; MS_DLL_ID is sys.winver. _M_X64 is MSVC's:
# the patched pyconfig.h sets MS_WIN64 from GCC's _WIN64 instead.
response_file "${cflags[@]}" -DPy_BUILD_CORE -DPy_BUILD_CORE_BUILTIN -DPy_ENABLE_SHARED -D_USRDLL \
  '-DMS_DLL_ID="3.11"' -D_Py_HAVE_ZLIB '-DPY3_DLLNAME=L"python3"' -I"$zlib" > "$obj/core.rsp"
response_file "${cflags[@]}" > "$obj/ext.rsp"

grep -o 'ClCompile Include="[^"]*"' "$src/PCbuild/pythoncore.vcxproj" \
  | sed -e 's/^ClCompile Include="//' -e 's/"$//' -e 's/\\/\//g' \
        -e "s#^\.\./#$src/#" -e "s#^\$(zlibDir)/#$zlib/#" > "$obj/core.list"
if grep -v "^$work/" "$obj/core.list" >&2; then fail "pythoncore.vcxproj names the sources above outside the trees unpacked"; fi
compile_core() {  # one source of the core, with the per-file definitions of the project
  local f=$1 name extra=()
  name=$(echo "${f#"$work"/}" | tr / _)
  name=${name%.c}
  case "$f" in
    */Modules/getpath.c) extra=(-DPREFIX=NULL -DEXEC_PREFIX=NULL -DVERSION=NULL '-DVPATH="..\\.."'
                                '-DPYDEBUGEXT=""' '-DPLATLIBDIR="DLLs"') ;;
    */Python/sysmodule.c) extra=('-DVPATH="..\\.."') ;;
    */Modules/binascii.c) extra=(-DUSE_ZLIB_CRC32) ;;
  esac
  "$cc" @"$obj/core.rsp" "${extra[@]}" -c "$f" -o "$obj/core/$name.o" > "$log/$name.log" 2>&1 \
    || { echo "interpreter311: compiling $f failed:" >&2; grep -m5 error "$log/$name.log" >&2; return 255; }
}
export -f compile_core
export cc obj log work
stage "compiling $(wc -l < "$obj/core.list") core files, $jobs at a time"
# xargs stops at the first source whose compilation exits 255.
xargs -P "$jobs" -I{} bash -c 'compile_core "$1"' _ {} < "$obj/core.list"

stage "linking python311.dll and python.exe"
# Version resources; FIELD3 is 2*1000 + 15*10 + 0 for 3.11.2 final (python.props).
"$windres" -I"$src/Include" -I"$src/PC" -DFIELD3=2150 '-DORIGINAL_FILENAME=\"python311.dll\"' \
  -i "$src/PC/python_nt.rc" -o "$obj/python_nt_rc.o"
# python_exe.rc names its icon "icons\python.ico", where windres reads \p as an escape.
sed 's#"icons\\#"icons/#' "$src/PC/python_exe.rc" > "$src/PC/python_exe_gcc.rc"
"$windres" -I"$src/Include" -I"$src/PC" -DFIELD3=2150 '-DORIGINAL_FILENAME=\"python.exe\"' \
  -i "$src/PC/python_exe_gcc.rc" -o "$obj/python_exe_rc.o"
# Exported: exactly the PyAPI_FUNC/PyAPI_DATA names (dllexport under
# Py_BUILD_CORE), undecorated as in the MSVC build. libgcc is linked in, so
# the DLL needs system DLLs and the UCRT only. Libraries: pythoncore.vcxproj's.
"$cc" -specs="$specs" -shared -s -o "$dist/python311.dll" "$obj"/core/*.o "$obj/python_nt_rc.o" \
  -Wl,--out-implib,"$dist/libs/libpython311.dll.a" -static-libgcc \
  -lversion -lws2_32 -lpathcch -lbcrypt -ladvapi32 -lshell32 -lole32 -loleaut32 -luser32
# python.c has wmain (-municode); a 2 MB stack reserve as python.vcxproj.
"$cc" "${cflags[@]}" -D_CONSOLE -municode -s -o "$dist/python.exe" "$src/Programs/python.c" \
  "$obj/python_exe_rc.o" "$dist/libs/libpython311.dll.a" -Wl,--stack,2000000 -static-libgcc

stage "cross-building libffi 3.4.4 (static, for _ctypes)"
# Linked into _ctypes.pyd (the official build ships libffi-8.dll); with GCC
# ffi.h declares nothing dllimport, which is what static linking needs.
mkdir -p "$work/ffi-build"
( cd "$work/ffi-build" &&
  "$work/libffi-3.4.4/configure" --host=x86_64-w64-mingw32 --prefix="$work/ffi" \
    CC="$cc -specs=$specs" CFLAGS=-O2 --disable-shared --enable-static --disable-docs \
    --disable-multi-os-directory &&
  make -j"$jobs" && make install ) > "$log/libffi.log" 2>&1 \
  || { tail -n 20 "$log/libffi.log" >&2; fail "libffi failed (log above)"; }

# The extension modules: NAME, then sources (relative to Modules/, or to
# the source tree when they start with ../) and their -D/-I flags, then
# after -- the libraries, as their PCbuild/*.vcxproj has them.
extension_table() {
  cat <<EOF
select selectmodule.c -- -lws2_32
_socket socketmodule.c -- -lws2_32 -liphlpapi
unicodedata unicodedata.c
_asyncio _asynciomodule.c
_overlapped overlapped.c -- -lws2_32
_queue _queuemodule.c
_zoneinfo _zoneinfo.c
_uuid _uuidmodule.c -- -lrpcrt4
_multiprocessing _multiprocessing/multiprocessing.c _multiprocessing/semaphore.c -- -lws2_32
winsound ../PC/winsound.c -- -lwinmm
pyexpat -DXML_STATIC -DPYEXPAT_EXPORTS -Iexpat pyexpat.c expat/xmlparse.c expat/xmlrole.c expat/xmltok.c
_elementtree -DXML_STATIC -Iexpat _elementtree.c expat/xmlparse.c expat/xmlrole.c expat/xmltok.c
_decimal -DCONFIG_64 -DANSI -I_decimal -iquote_decimal/libmpdec _decimal/_decimal.c $(
  for f in basearith constants context convolute crt difradix2 fnt fourstep io mpalloc mpdecimal \
           numbertheory sixstep transpose; do printf ' _decimal/libmpdec/%s.c' "$f"; done)
_ctypes -DUSING_MALLOC_CLOSURE_DOT_C=1 -I$work/ffi/include _ctypes/_ctypes.c _ctypes/callbacks.c _ctypes/callproc.c _ctypes/cfield.c _ctypes/malloc_closure.c _ctypes/stgdict.c $work/ffi/lib/libffi.a -- -lole32 -loleaut32 -luuid
_ctypes_test _ctypes/_ctypes_test.c -- -loleaut32
_testcapi _testcapimodule.c
_testinternalcapi _testinternalcapi.c
_testbuffer _testbuffer.c
_testimportmultiple _testimportmultiple.c
_testmultiphase _testmultiphase.c
EOF
}
# (libmpdec's own io.h would hide the C runtime's <io.h> as an -I
# directory, hence -iquote; ANSI: the MSVC build's x64 variant is MASM.
# callproc.c sets DONT_USE_SEH itself for GCC, which has no __try.)
build_extension() {  # one line of the table
  local line=$1 name flags=() sources=() libraries=() word
  read -r name line <<<"$line"
  set -f
  # shellcheck disable=SC2086 # the table's words
  set -- $line
  set +f
  for word in "$@"; do
    if [ "${#libraries[@]}" -gt 0 ] || [ "$word" = -- ]; then
      libraries+=("$word")
      continue
    fi
    case "$word" in
      -I/*) flags+=("$word") ;;
      -I*) flags+=("-I$src/Modules/${word#-I}") ;;
      -iquote*) flags+=(-iquote "$src/Modules/${word#-iquote}") ;;
      -D*) flags+=("$word") ;;
      /*) sources+=("$word") ;;
      *) sources+=("$src/Modules/$word") ;;
    esac
  done
  [ "${#libraries[@]}" -gt 0 ] && libraries=("${libraries[@]:1}")
  "$cc" @"$obj/ext.rsp" "${flags[@]}" -shared -s -o "$dist/DLLs/$name.pyd" "${sources[@]}" \
    "$dist/libs/libpython311.dll.a" -static-libgcc "${libraries[@]}" > "$log/ext_$name.log" 2>&1 \
    || { echo "interpreter311: building $name.pyd failed:" >&2; grep -m5 error "$log/ext_$name.log" >&2; return 255; }
}
export -f build_extension
export src dist
stage "building $(extension_table | wc -l) extension modules into DLLs/, $jobs at a time"
extension_table | xargs -P "$jobs" -d '\n' -I{} bash -c 'build_extension "$1"' _ {}

stage "copying the standard library and the headers"
cp -r "$src/Lib" "$dist/Lib"
mkdir -p "$dist/include"
cp -r "$src/Include/." "$dist/include/"
cp "$src/PC/pyconfig.h" "$dist/include/pyconfig.h"

# Everything must use the UCRT alone: a module importing msvcrt.dll (or a
# mingw runtime DLL that does) would hold a second C runtime, whose file
# descriptors and heap are not the interpreter's.
imports_of() { "$objdump" -p "$1" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | tr '\n' ' '; }
for f in "$dist"/*.dll "$dist"/*.exe "$dist"/DLLs/*.pyd; do
  case " $(imports_of "$f") " in
    *" msvcrt.dll "*|*" libwinpthread-1.dll "*|*" libgcc_s_seh-1.dll "*)
      fail "$(basename "$f") imports a mingw or msvcrt DLL: $(imports_of "$f")" ;;
  esac
done

echo "$inputs" > "$dist/.inputs"
rm -rf "$out"
mv "$dist" "$out"
rm -rf "$work"
stage "done: $out (python311.dll $(stat -c %s "$out/python311.dll") B, $(find "$out/DLLs" -name '*.pyd' | wc -l) modules in DLLs/; python311.dll imports $(imports_of "$out/python311.dll"))"
