"""Sets the counts of the Python suites side by side, one row per
interpreter, from the files that run_suite.py wrote:

  suite_counts.py RESULTS_DIR [--ctest-failed FILE] [--require-windows]

RESULTS_DIR holds one directory per interpreter (linux-release,
linux-debug, linux-python3, linux-python3-debug, windows for 2.7 and
windows-x64 for 3.11) and one for each real-KERNEL32 suite
(windows-kernel32, windows-x64-kernel32), each with one file per suite. When the build left the
Windows suites out, RESULTS_DIR/windows-not-run.txt says why, and so does
the table.

A suite whose file holds no counts gave no result: it timed out or crashed
("status=started"), or never began because its interpreter did not start
or ended in an earlier suite ("status=waiting"). Such a suite counts as
failed: the table has a column of them, and each is named below it. With
--ctest-failed (CTest's Testing/Temporary/LastTestsFailed.log) the tests
CTest counted as failed are named too, and RESULTS_DIR/wine-starts.txt
("MILLISECONDS SUITE" a line, from windows-build/check.sh) gives the
slowest python.exe start under Wine.

With --require-windows (a whole run) a run in which the Windows suites did
not run, or gave no result, ends with status 1 and a last line saying why:
nothing passes untested on Windows.
"""

import os
import sys

INTERPRETERS = [
    ("linux-release", "Linux, python2.7"),
    ("linux-debug", "Linux, python2.7-dbg"),
    ("linux-python3", "Linux, python3.11"),
    ("linux-python3-debug", "Linux, python3.11-dbg"),
    ("windows", "Windows, python.exe (Wine)"),
    ("windows-kernel32", "Windows, real KERNEL32"),
    ("windows-x64", "Windows x64, python.exe 3.11"),
    ("windows-x64-kernel32", "Windows x64, real KERNEL32"),
]
WINDOWS_NOT_RUN = "windows-not-run.txt"
WINE_STARTS = "wine-starts.txt"
FIELDS = ("run", "failures", "errors", "skipped")
NO_RESULT = {
    "started": "started and never ended: it timed out or crashed",
    "waiting": "never began: its interpreter did not start, or ended or hung in an earlier suite",
}


def ReadSuite(path):
  """A suite's counts (a dict of FIELDS), or its status text when it left
  no counts."""
  with open(path) as stream:
    fields = dict(field.partition("=")[::2] for field in stream.read().split())
  if not all(key in fields for key in FIELDS):
    return fields.get("status", "started")
  return dict((key, int(fields[key])) for key in FIELDS)


def ReadCounts(directory):
  """The summed counts of a directory's suites, how many suites it has, and
  (name, status) of those that gave no result."""
  totals = dict.fromkeys(FIELDS, 0)
  suites = 0
  no_result = []
  for name in sorted(os.listdir(directory)):
    if not name.endswith(".txt"):
      continue  # a file being replaced
    suites += 1
    counts = ReadSuite(os.path.join(directory, name))
    if isinstance(counts, dict):
      for key in FIELDS:
        totals[key] += counts[key]
    else:
      no_result.append((name[:-len(".txt")], counts))
  return totals, suites, no_result


def CTestFailures(path):
  """The names in CTest's list of failed tests ("N:name" lines)."""
  if not path or not os.path.exists(path):
    return []
  with open(path) as stream:
    return [line.strip().partition(":")[2] for line in stream if line.strip()]


def WindowsNotRun(windows_not_run, rows):
  """Why the Windows suites did not run, from the table's rows, or None."""
  if windows_not_run is not None:
    return windows_not_run.rstrip(".")
  missing = [title for key, title in INTERPRETERS if key.startswith("windows")
             and any(row.startswith(title) and row.rstrip().endswith("not run") for row in rows)]
  if missing:
    return ("no results from %s: CTest skipped them or did not run them "
            "(see their SKIPPED or failure lines above)" % ", ".join(missing))
  return None


def main(argv):
  ctest_failed = None
  require_windows = "--require-windows" in argv
  argv = [argument for argument in argv if argument != "--require-windows"]
  if len(argv) == 3 and argv[1] == "--ctest-failed":
    ctest_failed = argv[2]
  elif len(argv) != 1:
    sys.stderr.write(__doc__)
    return 2
  results = argv[0]
  rows = ["%-28s %7s %9s %7s %8s %7s %10s" % ("Python suites", "tests", "failures", "errors",
                                              "skipped", "suites", "no result")]
  notes = []
  windows_not_run = None
  if os.path.exists(os.path.join(results, WINDOWS_NOT_RUN)):
    with open(os.path.join(results, WINDOWS_NOT_RUN)) as stream:
      windows_not_run = stream.read().strip()
  for key, title in INTERPRETERS:
    directory = os.path.join(results, key)
    if windows_not_run is not None and key.startswith("windows"):
      rows.append("%-28s %s" % (title, "NOT RUN (left out by the build, see below)"))
      continue
    if not os.path.isdir(directory) or not any(n.endswith(".txt") for n in os.listdir(directory)):
      rows.append("%-28s %s" % (title, "not run"))
      continue
    totals, suites, no_result = ReadCounts(directory)
    rows.append("%-28s %7d %9d %7d %8d %7d %10d" % (title, totals["run"], totals["failures"],
                                                    totals["errors"], totals["skipped"], suites,
                                                    len(no_result)))
    for name, status in no_result:
      notes.append("NO RESULT, counted as failed: %s/%s %s." % (
          key, name, NO_RESULT.get(status, "left the status %r" % status)))
  if windows_not_run is not None:
    notes.append("The Windows suites were NOT RUN: %s." % windows_not_run.rstrip("."))
  starts_path = os.path.join(results, WINE_STARTS)
  if os.path.exists(starts_path):
    with open(starts_path) as stream:
      starts = [(int(ms), suite) for ms, _, suite in
                (line.strip().partition(" ") for line in stream) if ms.isdigit()]
    if starts:
      ms, suite = max(starts)
      notes.append("python.exe under Wine: %d start(s), the slowest %.1f s (before %s)." % (
          len(starts), ms / 1000.0, suite))
  failed = CTestFailures(ctest_failed)
  if failed:
    notes.append("CTest counted %d test(s) as failed: %s." % (len(failed), ", ".join(failed)))
  not_run = WindowsNotRun(windows_not_run, rows) if require_windows else None
  if not_run is not None:
    notes.append("FAILED: the Windows suites did not run: %s." % not_run)
  if notes:
    rows.append("")
    rows.extend(notes)
  print("\n".join(rows))
  return 1 if not_run is not None else 0


if __name__ == "__main__":
  sys.exit(main(sys.argv[1:]))
