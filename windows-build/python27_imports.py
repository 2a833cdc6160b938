"""What the Windows extension modules import from python27.dll.

python27.dll is built by MSVC and not available here, so its import library
is made from the objects themselves: every `__imp__NAME` they leave
undefined is a name they take from the interpreter. Those declared
__declspec(dllimport) by the interpreter's own headers under its Windows
configuration (PC/pyconfig.h) are what the real DLL exports, and go into
the import library; the others (KERNEL32's, the C runtime's) are left to
the linker and its system import libraries, so a name that neither knows
fails the link. Data (PyExc_*, _Py_NoneStruct, ...) is marked DATA so that
only its __imp__ pointer is made.

Commands (run by windows-build/CMakeLists.txt and its checks):
  def  --cxx CXX --nm NM --include DIR... --output FILE OBJECT...
      writes the module definition file for i686-w64-mingw32-dlltool.
  stub --def FILE --output FILE
      writes C++ source of a stand-in python27.dll exporting the same
      names, so that a Windows loader (Wine) can load the modules.
  runtimes --cxx CXX --objdump OBJDUMP --include DIR... IMAGE...
      fails when a module imports an interpreter function that hands a C
      runtime object across (see CRT_CROSSING below).
  exports --objdump OBJDUMP --dll PYTHON_DLL IMAGE...
      fails when a module imports a name the interpreter (python27.dll, or
      any interpreter DLL named by its path) does not export.
"""

from __future__ import print_function

import argparse
import os
import re
import subprocess
import sys

IMPORT_PREFIX = "__imp__"
DLL_NAME = "python27.dll"


def undefined_imports(nm, objects):
    """The names the objects import through __imp__ pointers, sorted."""
    names = set()
    for path in objects:
        output = subprocess.check_output([nm, "-u", "--format=posix", path])
        for line in output.decode("ascii", "replace").splitlines():
            fields = line.split()
            if fields and fields[0].startswith(IMPORT_PREFIX):
                names.add(fields[0][len(IMPORT_PREFIX):])
    return sorted(names)


LINE_MARKER = re.compile(r'^# \d+ "(.*)"')


def preprocessed_headers(cxx, include_dirs):
    """The text that Python.h and the extra headers the modules use
    contribute themselves (not the system headers they include),
    preprocessed as the modules see it."""
    command = [cxx, "-E", "-x", "c++", "-std=c++17", "-"]
    for directory in include_dirs:
        command += ["-isystem", directory]
    source = (b"#include <Python.h>\n#include <frameobject.h>\n#include <structmember.h>\n"
              b"#include <marshal.h>\n")
    process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    output, _ = process.communicate(source)
    if process.returncode != 0:
        raise SystemExit("preprocessing the interpreter's headers failed")
    roots = tuple(os.path.realpath(directory) + os.sep for directory in include_dirs)
    kept = []
    in_interpreter_header = False
    for line in output.decode("latin-1").splitlines():
        marker = LINE_MARKER.match(line)
        if marker:
            in_interpreter_header = os.path.realpath(marker.group(1)).startswith(roots)
        elif in_interpreter_header:
            kept.append(line)
    return "\n".join(kept)


DLLIMPORT = "__attribute__((dllimport))"


def classify(names, preprocessed):
    """Maps each name the interpreter declares dllimport to "function" or
    "data"; the other names are returned separately."""
    declarations = [" ".join(text.split()) for text in preprocessed.split(";")]
    imported = [text for text in declarations if DLLIMPORT in text]
    kinds = {}
    missing = []
    for name in names:
        word = re.compile(r"(?<![\w])" + re.escape(name) + r"(?![\w])\s*(\()?")
        kind = None
        for text in imported:
            match = word.search(text)
            if match is None:
                continue
            is_data = text.lstrip().startswith("extern " + DLLIMPORT) or "(*" + name in text
            kind = "function" if match.group(1) and not is_data else "data"
            break
        if kind is None:
            missing.append(name)
        else:
            kinds[name] = kind
    return kinds, missing


def image_imports(objdump, image, dll=DLL_NAME):
    """The names a PE image imports from `dll` (objdump's import table), or
    for an object file (.o, .obj) every name it imports."""
    if image.endswith((".o", ".obj")):
        nm = re.sub(r"objdump$", "nm", objdump)
        return undefined_imports(nm, [image])
    output = subprocess.check_output([objdump, "-p", image]).decode("latin-1")
    names = []
    in_dll = False
    for line in output.splitlines():
        stripped = line.strip()
        if stripped.startswith("DLL Name:"):
            in_dll = stripped.split(":", 1)[1].strip().lower() == dll
        elif in_dll and not stripped:
            in_dll = False
        elif in_dll and re.match(r"^[0-9a-f]+\s+\d+\s+\S+$", stripped):
            names.append(stripped.split()[-1])
    return sorted(names)


def image_exports(objdump, image):
    """The names a PE image exports."""
    output = subprocess.check_output([objdump, "-p", image]).decode("latin-1")
    table = output.split("[Ordinal/Name Pointer] Table", 1)
    if len(table) != 2:
        return set()
    names = set()
    for line in table[1].splitlines()[1:]:
        match = re.match(r"^\s*\[\s*\d+\]\s+(\S+)$", line)
        if not match:
            break
        names.add(match.group(1))
    return names


# The interpreter and a module built with another compiler each have their
# own C runtime (python27.dll: msvcr90.dll; ours: msvcrt.dll), with their own
# FILE tables, file descriptors, errno and heap. An interpreter function
# that takes or returns one of those mixes the two: a FILE* or descriptor
# of one runtime means nothing (or another file) in the other, and errno set
# by our runtime is not the one the interpreter reads. Every function whose
# declaration mentions FILE is refused, and these besides:
CRT_CROSSING = {
    "PyObject_AsFileDescriptor": "returns a descriptor of the interpreter's runtime",
    "PyErr_SetFromErrno": "reads the interpreter's errno, not ours",
    "PyErr_SetFromErrnoWithFilename": "reads the interpreter's errno, not ours",
    "PyErr_SetFromErrnoWithFilenameObject": "reads the interpreter's errno, not ours",
    "PyErr_SetFromErrnoWithUnicodeFilename": "reads the interpreter's errno, not ours",
}

# In a release build these macros are the C runtime's malloc, realloc and
# free, expanded in the module: memory they give the interpreter, or take
# from it, moves between the two heaps. The functions of the same names
# (PyMem_Malloc, PyMem_Free) are the interpreter's and are safe.
CRT_MEMORY_MACROS = re.compile(r"\bPyMem_(MALLOC|REALLOC|FREE|NEW|RESIZE|DEL)\b")


def crt_memory_macro_uses(directories):
    """(path, line number, line) of each use of those macros in C++ sources."""
    uses = []
    for directory in directories:
        for folder, _, files in os.walk(directory):
            for name in sorted(files):
                if not name.endswith((".cpp", ".h")):
                    continue
                path = os.path.join(folder, name)
                with open(path) as stream:
                    for number, line in enumerate(stream, 1):
                        if CRT_MEMORY_MACROS.search(line):
                            uses.append((path, number, line.strip()))
    return uses


def crt_crossing_functions(preprocessed):
    """Maps the interpreter's functions that hand a C runtime object across
    to the reason."""
    refused = dict(CRT_CROSSING)
    for text in preprocessed.split(";"):
        text = " ".join(text.split())
        if DLLIMPORT not in text or not re.search(r"\bFILE\b", text):
            continue
        match = re.search(r"(\w+)\s*\(", text.split(DLLIMPORT, 1)[1])
        if match:
            refused.setdefault(match.group(1), "takes or returns a FILE* of the interpreter's runtime")
    return refused


def write_def(kinds, output):
    with open(output, "w") as stream:
        stream.write("LIBRARY %s\nEXPORTS\n" % DLL_NAME)
        for name in sorted(kinds):
            stream.write("  %s%s\n" % (name, " DATA" if kinds[name] == "data" else ""))


def read_def(path):
    kinds = {}
    with open(path) as stream:
        for line in stream:
            fields = line.split()
            if len(fields) >= 1 and fields[0] not in ("LIBRARY", "EXPORTS"):
                kinds[fields[0]] = "data" if fields[1:] == ["DATA"] else "function"
    return kinds


def write_stub(kinds, output):
    """Source of a DLL exporting every name: functions that stop the
    process if called (the loader test never calls them), and data large
    enough for any object the modules take the address of."""
    lines = [
        "// Generated by windows-build/python27_imports.py: a stand-in for",
        "// python27.dll that exports the names the modules import, so that a",
        "// Windows loader can resolve them. Nothing here may be called.",
        "#include <cstdlib>",
        "",
    ]
    for index, name in enumerate(sorted(kinds)):
        if kinds[name] == "data":
            lines.append('extern "C" __declspec(dllexport) void* %s[64];' % name)
            lines.append("void* %s[64];" % name)
        else:
            lines.append('extern "C" __declspec(dllexport) void %s() { std::abort(); }' % name)
    with open(output, "w") as stream:
        stream.write("\n".join(lines) + "\n")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command")
    make_def = commands.add_parser("def")
    make_def.add_argument("--cxx", required=True)
    make_def.add_argument("--nm", required=True)
    make_def.add_argument("--include", action="append", default=[])
    make_def.add_argument("--output", required=True)
    make_def.add_argument("objects", nargs="+")
    make_stub = commands.add_parser("stub")
    make_stub.add_argument("--def", dest="definition", required=True)
    make_stub.add_argument("--output", required=True)
    check_runtimes = commands.add_parser("runtimes")
    check_runtimes.add_argument("--cxx", required=True)
    check_runtimes.add_argument("--objdump", required=True)
    check_runtimes.add_argument("--include", action="append", default=[])
    check_runtimes.add_argument("--sources", action="append", default=[])
    check_runtimes.add_argument("images", nargs="+")
    check_exports = commands.add_parser("exports")
    check_exports.add_argument("--objdump", required=True)
    check_exports.add_argument("--dll", required=True)
    check_exports.add_argument("images", nargs="+")
    arguments = parser.parse_args(argv)

    if arguments.command == "def":
        names = undefined_imports(arguments.nm, arguments.objects)
        kinds, _ = classify(names, preprocessed_headers(arguments.cxx, arguments.include))
        if not kinds:
            print("python27_imports: the objects import nothing from the interpreter",
                  file=sys.stderr)
            return 1
        write_def(kinds, arguments.output)
        return 0
    if arguments.command == "stub":
        write_stub(read_def(arguments.definition), arguments.output)
        return 0
    if arguments.command == "runtimes":
        refused = crt_crossing_functions(preprocessed_headers(arguments.cxx, arguments.include))
        failed = 0
        for image in arguments.images:
            for name in image_imports(arguments.objdump, image):
                if name in refused:
                    print("FAILED: %s imports %s, which %s" % (image, name, refused[name]))
                    failed = 1
        for path, number, line in crt_memory_macro_uses(arguments.sources):
            print("FAILED: %s:%d uses a PyMem_ macro (the C runtime's allocator, not the "
                  "interpreter's): %s" % (path, number, line))
            failed = 1
        if not failed:
            print("ok: no module imports any of the %d interpreter functions that hand a C "
                  "runtime object across, and no source uses the PyMem_ allocation macros"
                  % len(refused))
        return failed
    if arguments.command == "exports":
        exported = image_exports(arguments.objdump, arguments.dll)
        dll_name = os.path.basename(arguments.dll).lower()
        failed = 0
        for image in arguments.images:
            imported = image_imports(arguments.objdump, image, dll_name)
            for name in imported:
                if name not in exported:
                    print("FAILED: %s imports %s, which %s does not export" % (image, name, arguments.dll))
                    failed = 1
            if not imported:
                print("FAILED: %s imports nothing from %s" % (image, dll_name))
                failed = 1
        if not failed:
            print("ok: every %s import of %d modules is exported by %s" % (
                dll_name, len(arguments.images), arguments.dll))
        return failed
    parser.print_usage(sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
