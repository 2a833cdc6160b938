#!/usr/bin/env bash
# Builds a 32-bit Windows CPython 2.7.18 with mingw-w64, from the upstream
# tarball of Debian's python2.7 source package, for running the Python
# suites under Wine:
#
#   build.sh TARBALL OUT_DIR
#
# OUT_DIR gets python.exe, python27.dll and its import library
# libpython27.dll.a, Lib/ (the standard library) and DLLs/ (_ctypes,
# unicodedata, select, _socket). Everything is linked against msvcr90.dll, the C
# runtime of the official MSVC 2008 build, so that a process running our
# modules (which use msvcrt.dll) holds two C runtimes, as on users' machines.
#
# The core's file list is that of PCbuild/pythoncore.vcxproj, compiled with
# the unchanged PC/pyconfig.h, which is also the header the modules are
# built against. No configure and no host Python are involved.
#
# The result is kept while its inputs (the tarball, this directory's files
# and the compiler) are unchanged: a second run only compares a hash.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
tarball=${1:?usage: build.sh TARBALL OUT_DIR}
out=${2:?usage: build.sh TARBALL OUT_DIR}
jobs=${VOLUMES_JOBS:-$(nproc)}
cc=i686-w64-mingw32-gcc-posix
windres=i686-w64-mingw32-windres

[ -f "$tarball" ] || { echo "interpreter: $tarball is missing (scripts/setup.sh --test keeps it)" >&2; exit 1; }
command -v "$cc" >/dev/null || { echo "interpreter: $cc is not installed" >&2; exit 1; }

inputs=$( { sha256sum "$tarball" | cut -d' ' -f1
            (cd "$here" && sha256sum -- *)
            "$cc" --version | head -n 1; } | sha256sum | cut -d' ' -f1)
if [ -f "$out/.inputs" ] && [ "$(cat "$out/.inputs")" = "$inputs" ] && [ -x "$out/python.exe" ]; then
  echo "interpreter: up to date in $out"
  exit 0
fi

started=$(date +%s)
step() { echo "interpreter: [$(( $(date +%s) - started )) s] $*"; }

# Built aside and moved into place at the end, so that an interrupted build
# never looks complete.
work="$out.partial"
rm -rf "$work"
mkdir -p "$work"
src="$work/Python-2.7.18"
obj="$work/obj"
dist="$work/dist"
mkdir -p "$obj/core" "$obj/ffi" "$dist/DLLs"

step "unpacking $(basename "$tarball")"
tar -xzf "$tarball" -C "$work"
# Source changes for GCC on Windows; none changes the ABI.
patch -s -p1 -d "$src" < "$here/mingw-w64.patch"
# The version resource: string 1000 is sys.winver, which dl_nt.c reads.
cat > "$src/PC/pythonnt_rc.h" <<'EOF'
#define FIELD3 18150
#define MS_DLL_ID "2.7"
#define PYTHON_DLL_NAME "python27.dll"
EOF

# -msse2 -mfpmath=sse: with x87 extended precision dtoa.c would round twice
# (repr(1.1 * 3) goes wrong); MSVC's runtime keeps doubles at 53 bits.
# -fwrapv -fno-strict-aliasing: what CPython's own configure adds for GCC.
cflags=(-O2 -msse2 -mfpmath=sse -fwrapv -fno-strict-aliasing -DNDEBUG -DWIN32 -D_WIN32
        -I"$src/Include" -I"$src/PC" -I"$src/Python" -w)

# The specs of the compiler driver with msvcrt swapped for msvcr90, so that
# everything, libgcc's and mingwex's helpers included, links to msvcr90.dll.
"$cc" -dumpspecs | sed 's/-lmoldname -lmingwex -lmsvcrt/-lmingwex -lmsvcr90 -lmoldname/' > "$obj/msvcr90.specs"
grep -q -- '-lmsvcr90' "$obj/msvcr90.specs" || { echo "interpreter: could not point the specs at msvcr90" >&2; exit 1; }
crt=(-specs="$obj/msvcr90.specs")

grep -o 'ClCompile Include="[^"]*"' "$src/PCbuild/pythoncore.vcxproj" \
  | sed -e 's/^ClCompile Include="\.\.\\//' -e 's/"$//' -e 's/\\/\//g' > "$obj/core.list"
step "compiling $(wc -l < "$obj/core.list") core files, $jobs at a time"
# The flags reach the parallel compilers as a response file, quoted.
for flag in "${cflags[@]}" -DPy_BUILD_CORE -D_USRDLL -I"$src/Modules/zlib"; do
  printf '"%s"\n' "$flag"
done > "$obj/core.rsp"
compile_core() {  # one source of the core, relative to the source tree
  local object
  object="$obj/core/$(echo "${1%.c}" | tr / _).o"
  "$cc" @"$obj/core.rsp" -c "$src/$1" -o "$object" \
    || { echo "interpreter: compiling $1 failed" >&2; return 255; }
}
export -f compile_core
export cc src obj
# xargs stops at the first file whose compilation exits 255.
xargs -P "$jobs" -I{} bash -c 'compile_core "$1"' _ {} < "$obj/core.list"
"$windres" -I"$src/Include" -I"$src/PC" -i "$src/PC/python_nt.rc" -o "$obj/core/python_nt_rc.o"
"$cc" -O2 -c "$here/getpid_shim.c" -o "$obj/getpid_shim.o"

step "linking python27.dll and python.exe"
# Only the API's PyAPI_FUNC/PyAPI_DATA names are exported (they are
# dllexport under Py_BUILD_CORE), undecorated, as in the MSVC build; libgcc
# is linked in, so the DLL needs only system DLLs and msvcr90.
"$cc" "${crt[@]}" -shared -s -o "$dist/python27.dll" "$obj"/core/*.o "$obj/getpid_shim.o" \
  -Wl,--out-implib,"$dist/libpython27.dll.a" -Wl,--image-base,0x1e000000 \
  -static-libgcc -ladvapi32 -luser32 -lshell32
"$cc" "${crt[@]}" "${cflags[@]}" -s -o "$dist/python.exe" "$src/Modules/python.c" \
  "$dist/libpython27.dll.a" -static-libgcc

step "building DLLs/_ctypes.pyd, unicodedata.pyd, select.pyd, _socket.pyd"
extension() {  # NAME SOURCES... [-- LIBRARIES...]
  local name=$1 sources=() libraries=()
  shift
  while [ $# -gt 0 ] && [ "$1" != -- ]; do sources+=("$1"); shift; done
  [ $# -gt 0 ] && shift && libraries=("$@")
  "$cc" "${crt[@]}" "${cflags[@]}" "${extension_flags[@]}" -shared -s -o "$dist/DLLs/$name.pyd" \
    "${sources[@]}" "$dist/libpython27.dll.a" -static-libgcc "${libraries[@]}"
}
extension_flags=()
extension unicodedata "$src/Modules/unicodedata.c" &
unicodedata_job=$!
extension select "$src/Modules/selectmodule.c" -- -lws2_32
# _socket, which pip needs (its vendored urllib3 imports socket even to
# install a local wheel). socketmodule.h includes <MSTcpIP.h> as the Windows
# SDK spells it; mingw-w64 has it as <mstcpip.h>, and this file system tells
# case apart.
mkdir -p "$obj/socket-include"
echo '#include <mstcpip.h>' > "$obj/socket-include/MSTcpIP.h"
extension_flags=(-I"$obj/socket-include")
extension _socket "$src/Modules/socketmodule.c" -- -lws2_32
extension_flags=()
# _ctypes with the libffi 3.1 bundled for unix builds, whose X86_WIN32 port
# GCC can assemble (the MSVC one is inline assembly), and the closures in
# VirtualAlloc'd memory as the MSVC build has them.
ffi="$src/Modules/_ctypes/libffi"
sed -e 's/@VERSION@/3.1/' -e 's/@TARGET@/X86_WIN32/' -e 's/@HAVE_LONG_DOUBLE@/1/' \
    -e 's/@FFI_EXEC_TRAMPOLINE_TABLE@/0/' "$ffi/include/ffi.h.in" > "$obj/ffi/ffi.h"
cp "$here/fficonfig.h" "$obj/ffi/fficonfig.h"
extension_flags=(-DX86_WIN32 -I"$obj/ffi" -I"$ffi/include" -I"$ffi/src/x86")
ctypes="$src/Modules/_ctypes"
extension _ctypes "$ctypes/_ctypes.c" "$ctypes/callbacks.c" "$ctypes/callproc.c" \
  "$ctypes/stgdict.c" "$ctypes/cfield.c" "$ctypes/malloc_closure.c" \
  "$ffi/src/prep_cif.c" "$ffi/src/raw_api.c" "$ffi/src/x86/ffi.c" "$ffi/src/x86/win32.S" \
  "$here/ffi_msvc_compat.c" -- -lole32 -loleaut32 -luuid
wait "$unicodedata_job"

step "copying the standard library"
cp -r "$src/Lib" "$dist/Lib"
# The interpreter's own tests, IDLE and Tk are not needed to run ours.
rm -rf "$dist/Lib/test" "$dist/Lib/lib-tk" "$dist/Lib/idlelib" "$dist/Lib/lib2to3/tests"

imports=$(i686-w64-mingw32-objdump -p "$dist/python27.dll" | sed -n 's/^\s*DLL Name: //p' | tr '\n' ' ')
case " ${imports,,} " in
  *" msvcr90.dll "*) ;;
  *) echo "interpreter: python27.dll does not import msvcr90.dll (it imports $imports)" >&2; exit 1 ;;
esac
case " ${imports,,} " in
  *" msvcrt.dll "*) echo "interpreter: python27.dll imports msvcrt.dll beside msvcr90.dll" >&2; exit 1 ;;
esac

echo "$inputs" > "$dist/.inputs"
rm -rf "$out"
mv "$dist" "$out"
rm -rf "$work"
step "done: $out (python27.dll imports $imports)"
