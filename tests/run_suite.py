#!/usr/bin/python3
"""Runs suite files as `python FILE` would and records their counts; or
runs tests by name, as CTest runs their suite.

  run_suite.py TEST_FILE [--results FILE] [-v, -q] [TEST...]
  run_suite.py --results-dir DIR TEST_FILE... [-v, -q]
  run_suite.py [--python INTERPRETER] [--build DIR] [-v, -q] NAME...

The same runner serves the Linux interpreters and the Windows one, so that
their counts can be set side by side. Each suite's results file holds one
line: "status=waiting" until the suite begins (with --results-dir every
suite is marked at once, so that one an earlier crash kept from running
shows), "status=started" while it runs, and "run=N failures=N errors=N
skipped=N" once it has ended; a file left at "started" belongs to a suite
that timed out or crashed. Exits 0 when every suite passed. TESTs after a
single TEST_FILE run only those of its tests (CLASS or CLASS.METHOD).

With --results-dir the suites run one after another in this one process,
each in a state restored to that of the start (sys.path, the environment,
the working directory, the logging configuration, the warning filters), so
that one interpreter start serves many suites; each gets its own line at the
end. The module under test stays imported across them, as it stays in a
user's process.

By NAME (SUITE, SUITE.CLASS or SUITE.CLASS.METHOD of tests/python or
tests/linux, e.g. test_fat_test.FATTest.testIsFATOnFAT32), the tests run
as the CTest test that runs SUITE under INTERPRETER does: with its
interpreter, environment (the tree on PYTHONPATH) and working directory,
which `ctest --show-only=json-v1` reports in the build directory DIR
(default: $VOLUMES_BUILD_DIR, else build/ of this checkout), and without
writing a results file. INTERPRETER is a path or a name (python2.7,
python3.11-dbg, ...; a name is the CTest test's interpreter of that name
even where PATH finds another first); by default the one running this. The
command run is printed first.
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


def RunOne(path, results, verbosity, state, tests=()):
  """Runs one suite file (only TESTS of it, CLASS or CLASS.METHOD, when
  given); returns its TestResult (a suite that cannot be loaded is an error
  of the suite, printed, and the suite fails)."""
  if results:
    WriteStatus(results, "status=started")
  # `python FILE` puts FILE's directory first on sys.path, not the runner's.
  sys.path[0] = os.path.dirname(path)
  name = os.path.splitext(os.path.basename(path))[0]
  runner = unittest.TextTestRunner(verbosity=verbosity)
  try:
    module = LoadSource(name, path)
    if tests:
      suite = unittest.defaultTestLoader.loadTestsFromNames(tests, module)
    else:
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


def TestsOf(suite_name, names):
  """NAMES as names inside suite SUITE_NAME (its own name dropped where a
  name starts with it); none, meaning all, where one names the suite."""
  if suite_name in names:
    return []
  prefix = suite_name + "."
  return [n[len(prefix):] if n.startswith(prefix) else n for n in names]


def Executable(name):
  """The real path of interpreter NAME (a path, or a command on PATH)."""
  if os.sep not in name:
    for directory in os.environ.get("PATH", os.defpath).split(os.pathsep):
      candidate = os.path.join(directory, name)
      if os.path.isfile(candidate) and os.access(candidate, os.X_OK):
        name = candidate
        break
  return os.path.realpath(name)


def CTestTests(build):
  """The tests CTest has in BUILD: (name, command, environment, directory)."""
  import json
  import subprocess
  if not os.path.isfile(os.path.join(build, "CTestTestfile.cmake")):
    raise LookupError("%s is not a configured build (cmake -S . -B %s)" % (build, build))
  process = subprocess.Popen(["ctest", "--show-only=json-v1"], cwd=build,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
  out, err = process.communicate()
  if process.returncode != 0:
    raise LookupError("ctest --show-only=json-v1 in %s failed: %s" % (build, err.decode("utf-8", "replace")))
  tests = []
  for test in json.loads(out.decode("utf-8"))["tests"]:
    properties = dict((p["name"], p["value"]) for p in test.get("properties", []))
    tests.append((test["name"], test.get("command", []), properties.get("ENVIRONMENT", []),
                  properties.get("WORKING_DIRECTORY", build)))
  return tests


def SuiteFileOf(command, suite_name):
  """The file of suite SUITE_NAME (in tests/python or tests/linux) that
  COMMAND runs, or None."""
  for argument in command[1:]:
    if (os.path.basename(argument) == suite_name + ".py"
        and os.path.basename(os.path.dirname(argument)) in ("python", "linux")):
      return argument
  return None


def SuiteTest(tests, suite_name, python):
  """The CTest test of TESTS that runs suite SUITE_NAME with interpreter
  PYTHON, the same file or else one of the same name (python2.7 names
  /usr/bin/python2.7 where a PATH finds another first): (name, its
  interpreter, suite file, environment, directory)."""
  interpreter = Executable(python)
  runs = []
  for name, command, environment, directory in tests:
    suite_file = command and SuiteFileOf(command, suite_name)
    if suite_file:
      runs.append((name, command[0], suite_file, environment, directory))
  for same in (lambda path: Executable(path) == interpreter,
               lambda path: os.path.basename(path) == os.path.basename(python)):
    for run in runs:
      if same(run[1]):
        return run
  raise LookupError("no CTest test runs %s under %s (it runs under: %s)"
                    % (suite_name, python, ", ".join(sorted(set(os.path.basename(r[1]) for r in runs)))
                       or "none"))


def RunByName(names, python, build, verbosity):
  """Runs the tests NAMES (SUITE[.CLASS[.METHOD]]) as the CTest tests of
  their suites under PYTHON run them in BUILD; returns the exit status."""
  import subprocess
  try:
    tests = CTestTests(build)
  except LookupError as error:
    sys.stderr.write("run_suite.py: %s\n" % error)
    return 2
  suites = []  # in the order first named
  wanted = {}
  for name in names:
    suite_name = name.split(".")[0]
    if suite_name not in wanted:
      suites.append(suite_name)
      wanted[suite_name] = []
    wanted[suite_name].append(name)
  status = 0
  for suite_name in suites:
    try:
      test_name, test_interpreter, suite_file, environment, directory = SuiteTest(
          tests, suite_name, python)
    except LookupError as error:
      sys.stderr.write("run_suite.py: %s\n" % error)
      return 2
    env = dict(os.environ)
    for setting in environment:
      key, _, value = setting.partition("=")
      env[key] = value
    flag = {0: ["-q"], 1: [], 2: ["-v"]}[verbosity]
    command = ([test_interpreter, "-B", os.path.abspath(__file__), suite_file] + flag
               + TestsOf(suite_name, wanted[suite_name]))
    sys.stderr.write("run_suite.py: as %s: (cd %s && %s %s)\n"
                     % (test_name, directory, " ".join(environment), " ".join(command)))
    sys.stderr.flush()
    status = subprocess.call(command, env=env, cwd=directory) or status
  return status


def main(argv):
  paths = []
  names = []
  results = None
  results_dir = None
  python = None
  build = None
  verbosity = 1
  rest = list(argv)
  while rest:
    option = rest.pop(0)
    if option == "--results" and rest:
      results = rest.pop(0)
    elif option == "--results-dir" and rest:
      results_dir = rest.pop(0)
    elif option == "--python" and rest:
      python = rest.pop(0)
    elif option == "--build" and rest:
      build = rest.pop(0)
    elif option == "-v":
      verbosity = 2
    elif option == "-q":
      verbosity = 0
    elif option.startswith("-"):
      sys.stderr.write("run_suite.py: unknown option %r\n" % option)
      return 2
    elif option.endswith(".py"):
      paths.append(os.path.abspath(option))
    else:
      names.append(option)

  if not paths:
    if not names or results or results_dir:
      sys.stderr.write(USAGE)
      return 2
    if build is None:
      build = os.environ.get("VOLUMES_BUILD_DIR") or os.path.join(
          os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build")
    return RunByName(names, python or sys.executable, os.path.abspath(build), verbosity)
  if (python or build or (results and (results_dir or len(paths) != 1))
      or (names and (results_dir or len(paths) != 1))):
    sys.stderr.write(USAGE)
    return 2

  if results_dir is None:
    suite_name = os.path.splitext(os.path.basename(paths[0]))[0]
    result = RunOne(paths[0], results, verbosity, None, TestsOf(suite_name, names))
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
