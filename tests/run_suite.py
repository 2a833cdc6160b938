"""Runs suite files as `python FILE` would and records their counts.

  run_suite.py TEST_FILE [--results FILE] [unittest options: -v, -q]
  run_suite.py --results-dir DIR TEST_FILE... [-v, -q]

The same runner serves the Linux interpreters and the Windows one, so that
their counts can be set side by side. Each suite's results file holds one
line: "status=waiting" until the suite begins (with --results-dir every
suite is marked at once, so that one an earlier crash kept from running
shows), "status=started" while it runs, and "run=N failures=N errors=N
skipped=N" once it has ended; a file left at "started" belongs to a suite
that timed out or crashed. Exits 0 when every suite passed.

With --results-dir the suites run one after another in this one process,
each in a state restored to that of the start (sys.path, the environment,
the working directory, the logging configuration, the warning filters), so
that one interpreter start serves many suites; each gets its own line at the
end. The module under test stays imported across them, as it stays in a
user's process.
"""

import logging
import os
import sys
import threading
import time
import unittest
import warnings

USAGE = __doc__


def WriteStatus(path, text):
  """Replaces the results file with one line (written whole, then renamed,
  so that a reader never sees half of it)."""
  partial = path + ".partial"
  with open(partial, "w") as stream:
    stream.write(text + "\n")
  if os.path.exists(path):
    os.remove(path)  # Windows' rename does not replace
  os.rename(partial, path)


def Counts(result):
  return "run=%d failures=%d errors=%d skipped=%d" % (
      result.testsRun, len(result.failures) + len(result.unexpectedSuccesses),
      len(result.errors), len(result.skipped))


class SavedState(object):
  """What a suite may change in its process, taken at the start and put back
  after each suite."""

  def __init__(self):
    self.path = list(sys.path)
    self.environ = dict(os.environ)
    self.cwd = os.getcwd()
    self.loggers = {}
    for name in [None] + list(logging.Logger.manager.loggerDict):
      logger = logging.getLogger(name)
      if isinstance(logger, logging.Logger):
        self.loggers[name] = (logger.level, list(logger.handlers), logger.disabled)
    self.filters = list(warnings.filters)
    self.threads = set(threading.enumerate())

  def Restore(self):
    sys.path[:] = self.path
    os.chdir(self.cwd)
    for key in list(os.environ):
      if key not in self.environ:
        del os.environ[key]
    for key, value in self.environ.items():
      if os.environ.get(key) != value:
        os.environ[key] = value
    for name, logger in list(logging.Logger.manager.loggerDict.items()) + [(None, logging.getLogger())]:
      if not isinstance(logger, logging.Logger):
        continue
      level, handlers, disabled = self.loggers.get(name, (logging.NOTSET, [], False))
      logger.setLevel(level)
      logger.handlers[:] = handlers
      logger.disabled = disabled
    warnings.filters[:] = self.filters

  def LeftThreads(self):
    return [t.name for t in threading.enumerate() if t not in self.threads and t.is_alive()]


def RunOne(path, results, verbosity, state):
  """Runs one suite file; returns its TestResult (None when it could not be
  loaded: that is an error of the suite, printed, and the suite fails)."""
  if results:
    WriteStatus(results, "status=started")
  # `python FILE` puts FILE's directory first on sys.path, not the runner's.
  sys.path[0] = os.path.dirname(path)
  name = os.path.splitext(os.path.basename(path))[0]
  runner = unittest.TextTestRunner(verbosity=verbosity)
  try:
    module = LoadSource(name, path)
    suite = unittest.defaultTestLoader.loadTestsFromModule(module)
  except Exception:
    # Counted as one error, as unittest counts a module it cannot import.
    import traceback
    traceback.print_exc()
    result = runner._makeResult()
    result.testsRun = 1
    result.errors.append((None, "could not load %s" % path))
  else:
    result = runner.run(suite)
  if results:
    WriteStatus(results, Counts(result))
  if state is not None:
    state.Restore()
  return result


def LoadSource(name, path):
  """The module of a source file, as `python FILE` would run it."""
  if sys.version_info[0] < 3:
    import imp
    return imp.load_source(name, path)
  import importlib.util
  spec = importlib.util.spec_from_file_location(name, path)
  module = importlib.util.module_from_spec(spec)
  sys.modules[name] = module
  spec.loader.exec_module(module)
  return module


def main(argv):
  paths = []
  results = None
  results_dir = None
  verbosity = 1
  rest = list(argv)
  while rest:
    option = rest.pop(0)
    if option == "--results" and rest:
      results = rest.pop(0)
    elif option == "--results-dir" and rest:
      results_dir = rest.pop(0)
    elif option == "-v":
      verbosity = 2
    elif option == "-q":
      verbosity = 0
    elif option.startswith("-"):
      sys.stderr.write("run_suite.py: unknown option %r\n" % option)
      return 2
    else:
      paths.append(os.path.abspath(option))
  if not paths or (results and (results_dir or len(paths) != 1)):
    sys.stderr.write(USAGE)
    return 2

  if results_dir is None:
    result = RunOne(paths[0], results, verbosity, None)
    return 0 if result.wasSuccessful() else 1

  def ResultsOf(path):
    return os.path.join(results_dir, os.path.splitext(os.path.basename(path))[0] + ".txt")
  for path in paths:
    WriteStatus(ResultsOf(path), "status=waiting")
  state = SavedState()
  lines = []
  passed = True
  for path in paths:
    started = time.time()
    result = RunOne(path, ResultsOf(path), verbosity, state)
    passed = passed and result.wasSuccessful()
    line = "%s %s: %s (%.1f s)" % ("ok    " if result.wasSuccessful() else "FAILED",
                                    os.path.basename(path), Counts(result), time.time() - started)
    left = state.LeftThreads()
    if left:
      line += "; threads still running after it: %s" % ", ".join(sorted(left))
    lines.append(line)
    sys.stderr.write("\n== %s\n\n" % line)
  sys.stderr.write("\nSuites run in this process:\n%s\n" % "\n".join("  " + l for l in lines))
  return 0 if passed else 1


if __name__ == "__main__":
  sys.exit(main(sys.argv[1:]))
