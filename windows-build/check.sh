#!/usr/bin/env bash
# The Windows build's checks, run by CTest (see windows-build/tests.cmake):
#
#   check.sh build BUILD_DIR   builds with mingw-w64, then checks with
#                              objdump that each .pyd exports exactly its
#                              init function and imports only KERNEL32.dll,
#                              the C runtime and the interpreter's DLL
#   check.sh wine BUILD_DIR    runs the Wine test program of that build
#   check.sh prefix BUILD_DIR INTERPRETER_DIR
#                              makes the Wine prefix the tests share (kept
#                              between runs while Wine is unchanged), starts
#                              the one wineserver the run keeps, and checks
#                              that python.exe starts within a bound
#   check.sh stop BUILD_DIR    ends that wineserver and what runs under it
#   check.sh python BUILD_DIR INTERPRETER_DIR TREE SCRIPT [ARGS...]
#                              runs SCRIPT with the Windows interpreter under
#                              Wine, the tree TREE (python-scripted or
#                              python-kernel32) of that build on its path
#   check.sh suites BUILD_DIR INTERPRETER_DIR RESULTS_DIR SUITE...
#                              runs the scripted suites in one python.exe
#                              (tests/run_suite.py --results-dir)
#   check.sh kernel32 BUILD_DIR INTERPRETER_DIR SCRIPT [ARGS...]
#                              runs SCRIPT over python-kernel32 (or the tree
#                              VOLUMES_WINDOWS_TREE names), with the drives
#                              that `prefix` made named to it
#
# A python.exe that has not begun its first suite (run_suite.py marks it
# "started" in its results file) within VOLUMES_WINE_START_SECONDS (60; a
# start takes 1 to 5 s) is ended at once, and the failure names what was
# waited for and the Wine processes then running.
#
# Wine runs inside the project's Wine root, every call of it through the
# launcher scripts/wine-run.sh (VOLUMES_WINE_LAUNCHER replaces it: a command
# that takes the Wine tool and its arguments, and --check). The paths a call
# hands to Wine are bound into the root at the same paths.
#
# Exits 77 (a skip, with the reason on stdout) when the toolchain or Wine is
# missing, except under CI (CI=true), where setup.sh installs them and a
# missing piece is a failure.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
command=${1:?usage: check.sh build|wine|prefix|stop|python|suites|kernel32 BUILD_DIR ...}
build=${2:?usage: check.sh build|wine|prefix|stop|python|suites|kernel32 BUILD_DIR ...}
build=$(realpath -m "$build")
# The interpreter the build is for (VOLUMES_WINDOWS_PYTHON): 27, 32-bit
# CPython 2.7 on msvcrt.dll; or 311, 64-bit CPython 3.11 on the universal
# CRT, whose INTERPRETER_DIR is also what the modules are built against.
windows_python=${VOLUMES_WINDOWS_PYTHON:-27}
case "$windows_python" in
  27)
    triplet=i686-w64-mingw32 python_dll=python27.dll init_prefix=init pe_magic=010b pe_kind=PE32
    wine_arch=win32 wine_loader=wine
    ;;
  311)
    triplet=x86_64-w64-mingw32 python_dll=python311.dll init_prefix=PyInit_ pe_magic=020b pe_kind=PE32+
    # Debian's 64-bit loader is not on PATH under its own name.
    wine_arch=win64 wine_loader=/usr/lib/wine/wine64
    ;;
  *) echo "check.sh: VOLUMES_WINDOWS_PYTHON is 27 or 311, not $windows_python" >&2; exit 2 ;;
esac
python_source=/usr/local/share/volumes-windows/Python-2.7.18
read -ra wine_launcher <<<"${VOLUMES_WINE_LAUNCHER:-bash $root/scripts/wine-run.sh}"

unavailable() {
  if [ "${CI:-}" = true ]; then
    echo "FAILED: $* (CI runs scripts/setup.sh --test, which installs it)"
    exit 1
  fi
  echo "SKIPPED: $* (run scripts/setup.sh --test as root to install it)"
  exit 77
}

# The DLLs a module may import: KERNEL32, the interpreter and its C
# runtime: msvcrt.dll for 2.7 (its own msvcr90.dll cannot be linked here),
# the api-ms-win-crt-* set of the universal CRT for 3.11, as the interpreter.
allowed_import() {
  case "${1,,}" in
    kernel32.dll | "$python_dll") return 0 ;;
    msvcrt.dll) [ "$windows_python" = 27 ] ;;
    api-ms-win-crt-*.dll) [ "$windows_python" = 311 ] ;;
    *) return 1 ;;
  esac
}

# Runs a Wine tool (or any program) inside the Wine root.
in_root() {
  "${wine_launcher[@]}" "$@"
}

# Makes DIRECTORY... visible at the same paths to what runs in the root.
bind_for_wine() {
  local directory
  for directory in "$@"; do
    VOLUMES_WINE_BINDS="${VOLUMES_WINE_BINDS:+$VOLUMES_WINE_BINDS:}$directory"
  done
  export VOLUMES_WINE_BINDS
}

# Wine for the build's programs. The 32-bit loader is itself a 32-bit Linux
# program, which setup.sh makes runnable on kernels without a 32-bit user
# mode; the 64-bit one needs nothing more.
use_wine() {
  local problem
  problem=$(in_root --check 2>&1) || unavailable "${problem:-the Wine root cannot be used}"
  bind_for_wine "$build"
  # Asked once: each call enters the root (and under qemu starts slowly).
  wine_version=$(in_root "$wine_loader" --version 2>&1) || unavailable "Wine's loader $wine_loader does not run here: $wine_version"
  # A prefix of our own in the build directory, without the Mono and Gecko
  # installers (not needed, and nothing may be downloaded).
  export WINEPREFIX="$build/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEARCH=$wine_arch
  # Wine decodes Unix text (file names, a drive's .windows-label) in the
  # locale's character set: UTF-8, whatever locale the caller has (a fresh
  # system's root shell has none, and Wine then reads the bytes as ASCII).
  export LC_ALL=C.UTF-8
  unset DISPLAY
}

start_bound=${VOLUMES_WINE_START_SECONDS:-60}

# The Wine processes of this machine, for a failure's report.
wine_processes() {
  ps -eo pid,etimes,stat,args | awk 'NR == 1 || /wine|\.exe/' | grep -v -e awk -e 'ps -eo' || true
}

# Runs a command of Wine's that must end within SECONDS; otherwise fails,
# naming WHAT it waited for.   bounded SECONDS WHAT COMMAND...
bounded() {
  local seconds=$1 what=$2 status=0
  shift 2
  timeout "$seconds" "$@" || status=$?
  if [ "$status" = 124 ]; then
    echo "FAILED: waited $seconds s for $what ($*); it did not end. Wine processes:"
    wine_processes
    exit 1
  fi
  return "$status"
}

# python.exe's output goes to a log through a pipe: Wine 8 cannot give a
# 64-bit Windows program a Unix file as its standard output (its
# GetFileInformationByHandle fails, and CPython 3 stops in init_sys_streams),
# and a pipe of CTest's own must not be held by a Wine process that
# python.exe leaves running. A cat copies the pipe (a FIFO) into LOG.
#   start_logged LOG COMMAND...   runs COMMAND in the background: $logged_pid
#   end_logged LOG                waits (10 s at most) for the copy to end
start_logged() {
  local log=$1
  shift
  rm -f "$log.fifo"
  mkfifo "$log.fifo"
  cat "$log.fifo" >"$log" &
  log_copier=$!
  "$@" </dev/null >"$log.fifo" 2>&1 &
  logged_pid=$!
}
end_logged() {
  local log=$1 waited=0
  while kill -0 "$log_copier" 2>/dev/null && [ "$waited" -lt 50 ]; do
    sleep 0.2
    waited=$((waited + 1))
  done
  kill "$log_copier" 2>/dev/null || true
  wait "$log_copier" 2>/dev/null || true
  rm -f "$log.fifo"
}

# Runs the Windows interpreter under Wine with ARGS, its output kept in a
# file (so that no Wine process it starts holds CTest's pipes) and shown at
# the end. When MARKER (a run_suite.py results file) is given, python.exe
# must mark it started within start_bound seconds.
#   run_interpreter INTERPRETER_DIR TREE MARKER ARGS...
run_interpreter() {
  local interpreter=$1 tree=$2 marker=$3 argument log pid status=0 started=$SECONDS started_ms
  started_ms=$(date +%s%3N)
  shift 3
  [ -x "$interpreter/python.exe" ] || { echo "FAILED: no Windows interpreter in $interpreter"; exit 1; }
  [ -d "$build/$tree/windows" ] || { echo "FAILED: $build/$tree was not built"; exit 1; }
  # Unix paths among the arguments become Windows ones (and are bound into
  # the root); the suites find the tree first, then their own directory (as
  # `python FILE` does).
  local arguments=()
  bind_for_wine "$interpreter"
  for argument in "$@"; do
    case "$argument" in
      /*)
        arguments+=("$(windows_path "$argument")")
        if [ -d "$argument" ]; then bind_for_wine "$argument"; else bind_for_wine "$(dirname "$argument")"; fi
        ;;
      *) arguments+=("$argument") ;;
    esac
  done
  log=$(mktemp "$build/python-run.XXXXXX.log")
  PYTHONPATH="$(windows_path "$build/$tree")" PYTHONDONTWRITEBYTECODE=1 \
    start_logged "$log" timeout 1400 "${wine_launcher[@]}" "$wine_loader" "$interpreter/python.exe" "${arguments[@]}"
  pid=$logged_pid
  if [ -n "$marker" ]; then
    until grep -qv '^status=waiting' "$marker" 2>/dev/null; do
      kill -0 "$pid" 2>/dev/null || break
      if [ $((SECONDS - started)) -ge "$start_bound" ]; then
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
        end_logged "$log"
        cat "$log"
        rm -f "$log"
        echo "FAILED: python.exe did not start under Wine within $start_bound s: waited for it to mark" \
             "its first suite started in $marker. Wine processes:"
        wine_processes
        exit 1
      fi
      sleep 0.2
    done
    if grep -qv '^status=waiting' "$marker" 2>/dev/null; then
      # Each start's time goes beside the results directories too, for the
      # summary's slowest start.
      local took_ms=$(( $(date +%s%3N) - started_ms ))
      printf 'python.exe started under Wine in %d.%03d s\n' $((took_ms / 1000)) $((took_ms % 1000))
      echo "$took_ms $(basename "$marker" .txt)" >> "$(dirname "$(dirname "$marker")")/wine-starts.txt"
    fi
  fi
  wait "$pid" || status=$?
  end_logged "$log"
  cat "$log"
  rm -f "$log"
  [ "$status" != 124 ] || echo "FAILED: python.exe did not end within 1400 s"
  return "$status"
}

# The wineserver of this prefix: one is kept for the whole run (-p), so
# that the prefix is not looked at again by a new server mid-run.
stop_wineserver() {
  [ -d "$WINEPREFIX" ] || return 0
  in_root wineserver -k >/dev/null 2>&1 || true
  bounded 60 "the wineserver of $WINEPREFIX to end" "${wine_launcher[@]}" wineserver -w || true
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

# The C runtime DLLs IMAGE imports, one per line, lower case.
runtime_imports() {
  "$triplet-objdump" -p "$1" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' \
    | grep -E '^(msvcr[t0-9]*|ucrtbase|api-ms-win-crt-[a-z0-9-]*)\.dll$' | sort -u || true
}

# 3.11: the modules and the interpreter share one C runtime, the universal
# CRT, so that a descriptor, a FILE or memory may pass between them; no
# image imports msvcrt.dll (another runtime with its own descriptors and heap).
#   same_runtime INTERPRETER_DLL IMAGE...
same_runtime() {
  local interpreter_dll=$1 image failed=0 runtimes
  shift
  for image in "$interpreter_dll" "$@"; do
    runtimes=$(runtime_imports "$image")
    if grep -qvE '^api-ms-win-crt-' <<<"$runtimes" || ! grep -q '^api-ms-win-crt-runtime-' <<<"$runtimes"; then
      echo "FAILED: $image does not take its C runtime from the universal CRT alone: $(tr '\n' ' ' <<<"$runtimes")"
      failed=1
    fi
  done
  [ "$failed" = 1 ] || echo "ok: $(basename "$interpreter_dll") and the $# modules share the universal CRT, and none imports msvcrt.dll"
  return "$failed"
}

check_module() {  # FILE ENTRY [EXTRA_DLL]: EXTRA_DLL must be imported too
  local file=$1 entry=$2 extra=${3:-} failed=0
  [ -f "$file" ] || { echo "FAILED: $file was not built"; return 1; }
  local dump
  dump=$("$triplet-objdump" -p "$file")
  if ! grep -q "Magic.*$pe_magic" <<<"$dump"; then
    echo "FAILED: $file is not a $pe_kind image"; failed=1
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
  for dll in KERNEL32.dll "$python_dll" $extra; do
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
    interpreter=${3:-}
    if [ "$windows_python" = 27 ]; then
      [ -f "$python_source/PC/pyconfig.h" ] || unavailable "CPython 2.7.18 headers are not in $python_source"
      bash "$root/windows-build/build.sh" "$build" >/dev/null
    else
      [ -n "$interpreter" ] || { echo "usage: check.sh build BUILD_DIR INTERPRETER_DIR (the 3.11 modules are built against it)" >&2; exit 2; }
      bash "$root/windows-build/build.sh" "$build" 311 "$interpreter" >/dev/null
    fi
    status=0
    kernel32_tree="$build/python-kernel32"
    scripted_tree="$build/python-scripted"
    check_module "$kernel32_tree/windows/volumes.pyd" "${init_prefix}volumes" || status=1
    check_module "$kernel32_tree/windows/winwrap.pyd" "${init_prefix}winwrap" || status=1
    # The scripted tree's volume calls come from the scripted provider.
    check_module "$scripted_tree/windows/volumes.pyd" "${init_prefix}volumes" kernel32_scripted.dll || status=1
    check_module "$scripted_tree/windows/winwrap.pyd" "${init_prefix}winwrap" || status=1
    check_module "$scripted_tree/scripted_system.pyd" "${init_prefix}scripted_system" kernel32_scripted.dll || status=1
    modules=("$kernel32_tree"/windows/*.pyd "$scripted_tree"/windows/*.pyd "$scripted_tree"/scripted_system.pyd)
    if [ "$windows_python" = 27 ]; then
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
    else
      same_runtime "$interpreter/$python_dll" "${modules[@]}" "$scripted_tree/windows/kernel32_scripted.dll" \
        || status=1
    fi
    if [ -n "$interpreter" ]; then
      python2.7 "$root/windows-build/python27_imports.py" exports --objdump "$triplet-objdump" \
        --dll "$interpreter/$python_dll" "${modules[@]}" || status=1
    fi
    if [ "$status" = 0 ] && [ "$windows_python" = 27 ]; then
      echo "python27.dll imports: $(grep -c '^  ' "$build/python27.def") names, $(grep -c ' DATA$' "$build/python27.def") of them data"
    fi
    exit "$status"
    ;;
  wine)
    use_wine
    [ -x "$build/wine/volume_calls_test.exe" ] || { echo "FAILED: $build/wine/volume_calls_test.exe was not built"; exit 1; }
    # Its output through a file, as run_interpreter does: a Wine process
    # it starts must not hold CTest's pipes while the kept server lives.
    log=$(mktemp "$build/wine-run.XXXXXX.log")
    status=0
    timeout 600 "${wine_launcher[@]}" "$wine_loader" "$build/wine/volume_calls_test.exe" "$(windows_path "$build/python-kernel32/windows")" \
      </dev/null >"$log" 2>&1 || status=$?
    cat "$log"
    rm -f "$log"
    [ "$status" != 124 ] || echo "FAILED: volume_calls_test.exe did not end within 600 s"
    exit "$status"
    ;;
  prefix)
    interpreter=${3:?usage: check.sh prefix BUILD_DIR INTERPRETER_DIR}
    use_wine
    command -v mkfs.vfat >/dev/null || unavailable "mkfs.vfat (dosfstools) is not installed"
    # A server left by an interrupted run would hold the old drives.
    stop_wineserver
    # wineboot makes the prefix; it is kept while Wine and the settings it
    # was made with are unchanged (wineboot itself never finishes in a
    # prefix that exists before it, so a changed one is made anew).
    stamp="$WINEPREFIX/.volumes-prefix"
    # Wine itself updates a prefix when its wine.inf (the root's) is newer
    # than the prefix: its time is part of what the prefix was made with.
    want="$wine_version $(in_root stat -c %Y /usr/share/wine/wine.inf 2>/dev/null || true) ${WINEARCH} ${WINEDLLOVERRIDES}"
    if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ] && [ -f "$WINEPREFIX/system.reg" ]; then
      made="kept from an earlier run"
    else
      rm -rf "$WINEPREFIX"
      bounded 300 "wineboot to make the prefix $WINEPREFIX" "${wine_launcher[@]}" "$wine_loader" wineboot -i
      if [ "$windows_python" = 311 ]; then
        # A new prefix says Windows 7; CPython 3.11 wants 8.1 or later.
        bounded 120 "winecfg to set Windows 10 in $WINEPREFIX" "${wine_launcher[@]}" "$wine_loader" winecfg -v win10
      fi
      bounded 60 "wineboot's wineserver to end" "${wine_launcher[@]}" wineserver -w
      [ -f "$WINEPREFIX/system.reg" ] || { echo "FAILED: wineboot made no prefix in $WINEPREFIX"; exit 1; }
      echo "$want" > "$stamp"
      made="made"
    fi
    # Wine's mount manager learns the drives when it starts, so they are put
    # in place before the server the run keeps.
    test_drives
    make_test_drives
    # Started apart from CTest's pipes and process group (it returns once
    # its socket is ready); `check.sh stop` ends it.
    status=0
    timeout 60 setsid "${wine_launcher[@]}" wineserver -p </dev/null >/dev/null 2>&1 || status=$?
    if [ "$status" != 0 ]; then
      echo "FAILED: wineserver -p, the server the run keeps for $WINEPREFIX, did not start (status $status). Wine processes:"
      wine_processes
      exit 1
    fi
    # The first start also starts Wine's own services under the kept server.
    [ -x "$interpreter/python.exe" ] || { echo "FAILED: no Windows interpreter in $interpreter"; exit 1; }
    started=$SECONDS
    warm_log=$(mktemp "$build/python-run.XXXXXX.log")
    status=0
    bind_for_wine "$interpreter"
    start_logged "$warm_log" timeout "$start_bound" "${wine_launcher[@]}" "$wine_loader" \
      "$interpreter/python.exe" -c "import sys; sys.exit(0)"
    wait "$logged_pid" || status=$?
    end_logged "$warm_log"
    cat "$warm_log"
    rm -f "$warm_log"
    if [ "$status" = 124 ]; then
      echo "FAILED: waited $start_bound s for python.exe -c 'import sys' to start and end under Wine" \
           "(the first start in the kept wineserver); it did not. Wine processes:"
      wine_processes
      exit 1
    elif [ "$status" != 0 ]; then
      echo "FAILED: python.exe -c 'import sys' ended with status $status under Wine"
      exit 1
    fi
    echo "ok: Wine prefix $WINEPREFIX ($made; $wine_version); wineserver kept for the run; python.exe started and ended in $((SECONDS - started)) s"
    ;;
  stop)
    use_wine
    stop_wineserver
    echo "ok: the wineserver of $WINEPREFIX has ended"
    ;;
  python)
    interpreter=${3:?usage: check.sh python BUILD_DIR INTERPRETER_DIR TREE SCRIPT [ARGS...]}
    tree=${4:?usage: check.sh python BUILD_DIR INTERPRETER_DIR TREE SCRIPT [ARGS...]}
    shift 4
    use_wine
    # A results file among the arguments (run_suite.py --results FILE) is
    # marked waiting, then watched for python.exe's start.
    marker=""
    previous=""
    for argument in "$@"; do
      [ "$previous" = --results ] && marker=$argument
      previous=$argument
    done
    [ -z "$marker" ] || echo "status=waiting" > "$marker"
    run_interpreter "$interpreter" "$tree" "$marker" "$@"
    ;;
  suites)
    interpreter=${3:?usage: check.sh suites BUILD_DIR INTERPRETER_DIR RESULTS_DIR SUITE...}
    results=${4:?usage: check.sh suites BUILD_DIR INTERPRETER_DIR RESULTS_DIR SUITE...}
    shift 4
    [ "$#" -gt 0 ] || { echo "usage: check.sh suites BUILD_DIR INTERPRETER_DIR RESULTS_DIR SUITE..." >&2; exit 2; }
    use_wine
    for suite in "$@"; do
      echo "status=waiting" > "$results/$(basename "$suite" .py).txt"
    done
    run_interpreter "$interpreter" python-scripted "$results/$(basename "$1" .py).txt" \
      -B "$root/tests/run_suite.py" --results-dir "$results" "$@" -v
    ;;
  kernel32)
    interpreter=${3:?usage: check.sh kernel32 BUILD_DIR INTERPRETER_DIR SCRIPT [ARGS...]}
    shift 3
    use_wine
    test_drives
    [ -L "$WINEPREFIX/dosdevices/q:" ] || { echo "FAILED: the prefix has no test drives: run check.sh prefix"; exit 1; }
    exec bash "${BASH_SOURCE[0]}" python "$build" "$interpreter" "${VOLUMES_WINDOWS_TREE:-python-kernel32}" "$@"
    ;;
  *)
    echo "usage: check.sh build|wine|prefix|stop|python|suites|kernel32 BUILD_DIR ..." >&2
    exit 2
    ;;
esac
