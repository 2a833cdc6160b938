"""Runs one suite file as `python FILE` would and records its counts.

  run_suite.py TEST_FILE [--results FILE] [unittest options: -v, -q]

The same runner serves the Linux interpreters and the Windows one, so that
their counts can be set side by side: FILE gets one line,
"run=N failures=N errors=N skipped=N". Exits 0 when the suite passed.
"""

import os
import sys
import unittest


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
  if not argv:
    sys.stderr.write(__doc__)
    return 2
  path = os.path.abspath(argv[0])
  results = None
  verbosity = 1
  rest = argv[1:]
  while rest:
    option = rest.pop(0)
    if option == "--results" and rest:
      results = rest.pop(0)
    elif option == "-v":
      verbosity = 2
    elif option == "-q":
      verbosity = 0
    else:
      sys.stderr.write("run_suite.py: unknown option %r\n" % option)
      return 2
  # `python FILE` puts FILE's directory first on sys.path, not the runner's.
  sys.path[0] = os.path.dirname(path)
  name = os.path.splitext(os.path.basename(path))[0]
  module = LoadSource(name, path)
  suite = unittest.defaultTestLoader.loadTestsFromModule(module)
  result = unittest.TextTestRunner(verbosity=verbosity).run(suite)
  if results:
    with open(results, "w") as stream:
      stream.write("run=%d failures=%d errors=%d skipped=%d\n" % (
          result.testsRun, len(result.failures) + len(result.unexpectedSuccesses),
          len(result.errors), len(result.skipped)))
  return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
  sys.exit(main(sys.argv[1:]))
