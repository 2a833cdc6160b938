"""Sets the counts of the Python suites side by side, one row per
interpreter, from the files that run_suite.py wrote:

  suite_counts.py RESULTS_DIR

RESULTS_DIR holds one directory per interpreter (linux-release,
linux-debug, windows) and one for the real-KERNEL32 suite
(windows-kernel32), each with one file per suite. When the build left the
Windows suites out, RESULTS_DIR/windows-not-run.txt says why, and so does
the table.
"""

import os
import sys

INTERPRETERS = [
    ("linux-release", "Linux, python2.7"),
    ("linux-debug", "Linux, python2.7-dbg"),
    ("windows", "Windows, python.exe (Wine)"),
    ("windows-kernel32", "Windows, real KERNEL32"),
]
WINDOWS_NOT_RUN = "windows-not-run.txt"
FIELDS = ("run", "failures", "errors", "skipped")


def ReadCounts(directory):
  """The summed counts of a directory's suites and how many files it has."""
  totals = dict.fromkeys(FIELDS, 0)
  files = 0
  for name in sorted(os.listdir(directory)):
    with open(os.path.join(directory, name)) as stream:
      for field in stream.read().split():
        key, _, value = field.partition("=")
        if key in totals:
          totals[key] += int(value)
    files += 1
  return totals, files


def main(argv):
  if len(argv) != 1:
    sys.stderr.write(__doc__)
    return 2
  rows = ["%-28s %7s %9s %7s %8s %7s" % ("Python suites", "tests", "failures", "errors",
                                        "skipped", "files")]
  windows_not_run = None
  if os.path.exists(os.path.join(argv[0], WINDOWS_NOT_RUN)):
    with open(os.path.join(argv[0], WINDOWS_NOT_RUN)) as stream:
      windows_not_run = stream.read().strip()
  for key, title in INTERPRETERS:
    directory = os.path.join(argv[0], key)
    if windows_not_run is not None and key.startswith("windows"):
      rows.append("%-28s %s" % (title, "NOT RUN (left out by the build, see below)"))
      continue
    if not os.path.isdir(directory) or not os.listdir(directory):
      rows.append("%-28s %s" % (title, "not run"))
      continue
    totals, files = ReadCounts(directory)
    rows.append("%-28s %7d %9d %7d %8d %7d" % (title, totals["run"], totals["failures"],
                                              totals["errors"], totals["skipped"], files))
  if windows_not_run is not None:
    rows.append("")
    rows.append("The Windows suites were NOT RUN: %s." % windows_not_run.rstrip("."))
  print("\n".join(rows))
  return 0


if __name__ == "__main__":
  sys.exit(main(sys.argv[1:]))
