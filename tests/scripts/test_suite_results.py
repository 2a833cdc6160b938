"""The suite runner's results files and the summary printed after CTest
(tests/run_suite.py, tests/suite_counts.py): a suite that crashes or never
begins is counted as failed, never as passed; suites sharing one process
each start from the state the first one had; tests run by name run alone,
as the CTest test of their suite and interpreter runs them.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import unittest

TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RUN_SUITE = os.path.join(TESTS, "run_suite.py")
SUITE_COUNTS = os.path.join(TESTS, "suite_counts.py")

PASSING = """
import unittest
class T(unittest.TestCase):
  def testOne(self): pass
  def testTwo(self): pass
  @unittest.skip("not here")
  def testSkipped(self): pass
"""
FAILING = """
import unittest
class T(unittest.TestCase):
  def testFails(self): self.fail("wrong")
  def testErrs(self): raise ValueError("bad")
"""
# Ends its process in its second test, as a crash or a kill by a timeout
# does: nothing after it runs, nothing is written.
CRASHING = """
import os, unittest
class T(unittest.TestCase):
  def test1(self): pass
  def test2(self): os._exit(3)
"""
# Changes what a suite may change in its process.
CHANGING = """
import logging, os, sys, unittest, warnings
class T(unittest.TestCase):
  def testChanges(self):
    os.environ["SUITE_RESULTS_LEFT"] = "1"
    del os.environ["SUITE_RESULTS_KEPT"]
    sys.path.insert(0, "/nonexistent-left-by-a-suite")
    os.chdir(os.path.dirname(os.path.abspath(__file__)))
    logging.getLogger().addHandler(logging.NullHandler())
    logging.getLogger("windows.volumes").setLevel(logging.DEBUG)
    warnings.simplefilter("error")
"""
CHECKING = """
import logging, os, sys, unittest, warnings
class T(unittest.TestCase):
  def testRestored(self):
    self.assertNotIn("SUITE_RESULTS_LEFT", os.environ)
    self.assertEqual("kept", os.environ.get("SUITE_RESULTS_KEPT"))
    self.assertNotIn("/nonexistent-left-by-a-suite", sys.path)
    self.assertEqual(os.path.dirname(os.path.abspath(__file__)), sys.path[0])
    self.assertEqual(os.environ["SUITE_RESULTS_CWD"], os.getcwd())
    self.assertEqual([], logging.getLogger().handlers)
    self.assertEqual(logging.NOTSET, logging.getLogger("windows.volumes").level)
    self.assertNotIn("error", [f[0] for f in warnings.filters])
"""
BROKEN = "import no_such_module_anywhere\n"
# Passes only in the environment and directory its CTest test gives it.
IN_ITS_TEST = """
import os, sys, unittest
class T(unittest.TestCase):
  def testEnvironment(self):
    self.assertEqual("from-ctest", os.environ.get("SUITE_RESULTS_MARK"))
    self.assertIn(os.environ["SUITE_RESULTS_TREE"], sys.path)
    self.assertEqual(os.environ["SUITE_RESULTS_WHERE"], os.getcwd())
  def testOther(self):
    self.fail("not asked for")
class U(unittest.TestCase):
  def testAlsoNotAskedFor(self):
    self.fail("not asked for")
"""


class SuiteResultsTest(unittest.TestCase):

  def setUp(self):
    self.dir = tempfile.mkdtemp(prefix="volumes-suite-results.")
    self.addCleanup(shutil.rmtree, self.dir)
    self.suites = os.path.join(self.dir, "suites")
    self.results = os.path.join(self.dir, "results")
    os.mkdir(self.suites)
    os.makedirs(os.path.join(self.results, "linux-release"))

  def Suite(self, name, source):
    path = os.path.join(self.suites, name + ".py")
    with open(path, "w") as stream:
      stream.write(textwrap.dedent(source))
    return path

  def Run(self, *arguments):
    env = dict(os.environ, SUITE_RESULTS_KEPT="kept", SUITE_RESULTS_CWD=self.dir)
    process = subprocess.Popen([sys.executable, "-B", RUN_SUITE] + list(arguments),
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                               cwd=self.dir)
    out, err = process.communicate()
    return process.returncode, out + err

  def FakeBuild(self, suite_path, interpreter):
    """A build directory whose CTest has one test, running SUITE_PATH with
    INTERPRETER in an environment and directory of its own; and a PATH on
    which `ctest --show-only=json-v1` reports it."""
    build = os.path.join(self.dir, "build")
    tree = os.path.join(build, "python-scripted")
    where = os.path.join(build, "tests")
    for directory in (tree, where):
      os.makedirs(directory)
    with open(os.path.join(build, "CTestTestfile.cmake"), "w") as stream:
      stream.write("# made by the test\n")
    tests = {"kind": "ctestInfo", "tests": [
        {"name": "memcheck.other.%s" % os.path.basename(suite_path)[:-3],
         "command": ["/bin/sh", "memcheck.sh", build, "python", os.path.basename(suite_path)[:-3]]},
        {"name": "scripted.python.%s" % os.path.basename(suite_path)[:-3],
         "command": [interpreter, "-B", RUN_SUITE, suite_path, "-v", "--results", "/nonexistent/r.txt"],
         "properties": [
             {"name": "ENVIRONMENT", "value": ["PYTHONPATH=%s" % tree, "SUITE_RESULTS_MARK=from-ctest",
                                               "SUITE_RESULTS_TREE=%s" % tree,
                                               "SUITE_RESULTS_WHERE=%s" % where]},
             {"name": "WORKING_DIRECTORY", "value": where}]}]}
    with open(os.path.join(self.dir, "tests.json"), "w") as stream:
      json.dump(tests, stream)
    bin_dir = os.path.join(self.dir, "bin")
    os.mkdir(bin_dir)
    with open(os.path.join(bin_dir, "ctest"), "w") as stream:
      stream.write('#!/bin/sh\n[ "$1" = --show-only=json-v1 ] || exit 9\ncat %s\n'
                   % os.path.join(self.dir, "tests.json"))
    os.chmod(os.path.join(bin_dir, "ctest"), 0o755)
    return build, bin_dir + os.pathsep + os.environ["PATH"]

  def Result(self, name):
    with open(os.path.join(self.results, "linux-release", name + ".txt")) as stream:
      return stream.read().strip()

  def Summary(self, *extra):
    return subprocess.check_output([sys.executable, "-B", SUITE_COUNTS, self.results] + list(extra))

  def WriteCounts(self, interpreter, suite):
    directory = os.path.join(self.results, interpreter)
    if not os.path.isdir(directory):
      os.mkdir(directory)
    with open(os.path.join(directory, suite + ".txt"), "w") as stream:
      stream.write("run=2 failures=0 errors=0 skipped=0\n")

  def SummaryStatus(self, *extra):
    process = subprocess.Popen([sys.executable, "-B", SUITE_COUNTS, self.results] + list(extra),
                               stdout=subprocess.PIPE)
    output = process.communicate()[0].decode("utf-8")
    return process.returncode, output

  def Row(self, summary, title):
    return [line for line in summary.splitlines() if line.startswith(title)][0].split()[2:]

  def testOneSuiteWritesItsCounts(self):
    status, output = self.Run(self.Suite("test_pass", PASSING), "--results",
                              os.path.join(self.results, "linux-release", "test_pass.txt"))
    self.assertEqual(0, status, output)
    self.assertEqual("run=3 failures=0 errors=0 skipped=1", self.Result("test_pass"))
    status, output = self.Run(self.Suite("test_fail", FAILING), "--results",
                              os.path.join(self.results, "linux-release", "test_fail.txt"))
    self.assertEqual(1, status, output)
    self.assertEqual("run=2 failures=1 errors=1 skipped=0", self.Result("test_fail"))

  def testACrashedSuiteIsCountedAsFailed(self):
    self.Run(self.Suite("test_pass", PASSING), "--results",
             os.path.join(self.results, "linux-release", "test_pass.txt"))
    status, output = self.Run(self.Suite("test_crash", CRASHING), "--results",
                              os.path.join(self.results, "linux-release", "test_crash.txt"))
    self.assertEqual(3, status, output)
    self.assertEqual("status=started", self.Result("test_crash"))
    summary = self.Summary()
    # tests, failures, errors, skipped, suites, no result
    self.assertEqual(["3", "0", "0", "1", "2", "1"], self.Row(summary, "Linux, python2.7 "))
    self.assertIn("NO RESULT, counted as failed: linux-release/test_crash started and never "
                  "ended: it timed out or crashed.", summary)

  def testSuitesSharingAProcessEachKeepTheirResult(self):
    paths = [self.Suite("test_a", PASSING), self.Suite("test_b", FAILING),
             self.Suite("test_c", CRASHING), self.Suite("test_d", PASSING)]
    status, output = self.Run("--results-dir", os.path.join(self.results, "linux-release"), *paths)
    self.assertEqual(3, status, output)
    self.assertEqual("run=3 failures=0 errors=0 skipped=1", self.Result("test_a"))
    self.assertEqual("run=2 failures=1 errors=1 skipped=0", self.Result("test_b"))
    self.assertEqual("status=started", self.Result("test_c"))
    self.assertEqual("status=waiting", self.Result("test_d"))
    summary = self.Summary()
    self.assertEqual(["5", "1", "1", "1", "4", "2"], self.Row(summary, "Linux, python2.7 "))
    self.assertIn("linux-release/test_c started and never ended", summary)
    self.assertIn("linux-release/test_d never began", summary)

  def testEachSuiteOfAProcessStartsFromTheFirstOnesState(self):
    paths = [self.Suite("test_changes", CHANGING), self.Suite("test_checks", CHECKING)]
    status, output = self.Run("--results-dir", os.path.join(self.results, "linux-release"), *paths)
    self.assertEqual(0, status, output)
    self.assertEqual("run=1 failures=0 errors=0 skipped=0", self.Result("test_checks"))
    # One line per suite at the end of the run.
    self.assertRegexpMatches(output, r"ok +test_changes\.py: run=1 failures=0 errors=0 skipped=0")
    self.assertRegexpMatches(output, r"ok +test_checks\.py: run=1 failures=0 errors=0 skipped=0")

  def testASuiteThatCannotBeLoadedFailsAndTheNextStillRuns(self):
    paths = [self.Suite("test_broken", BROKEN), self.Suite("test_after", PASSING)]
    status, output = self.Run("--results-dir", os.path.join(self.results, "linux-release"), *paths)
    self.assertEqual(1, status, output)
    self.assertIn("no_such_module_anywhere", output)
    self.assertEqual("run=1 failures=0 errors=1 skipped=0", self.Result("test_broken"))
    self.assertEqual("run=3 failures=0 errors=0 skipped=1", self.Result("test_after"))

  def testNamedTestsOfASuiteFileRunAlone(self):
    path = self.Suite("test_pass", PASSING + FAILING.replace("class T(", "class F("))
    status, output = self.Run(path, "T.testOne", "test_pass.T.testTwo", "--results",
                              os.path.join(self.results, "linux-release", "test_pass.txt"))
    self.assertEqual(0, status, output)
    self.assertEqual("run=2 failures=0 errors=0 skipped=0", self.Result("test_pass"))
    status, output = self.Run(path, "F.testFails")
    self.assertEqual(1, status, output)
    self.assertIn("Ran 1 test", output.decode("utf-8"))

  def testATestByNameRunsAsItsSuitesCTestTestRunsIt(self):
    path = os.path.join(self.suites, "python", "test_env.py")
    os.mkdir(os.path.dirname(path))
    with open(path, "w") as stream:
      stream.write(textwrap.dedent(IN_ITS_TEST))
    build, path_with_ctest = self.FakeBuild(path, sys.executable)
    env = dict(os.environ, PATH=path_with_ctest)
    process = subprocess.Popen([sys.executable, "-B", RUN_SUITE, "--build", build, "--python",
                                sys.executable, "test_env.T.testEnvironment"],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env)
    output = process.communicate()[0].decode("utf-8")
    self.assertEqual(0, process.returncode, output)
    self.assertIn("Ran 1 test", output)
    # The command is shown, named after the test it imitates; no results file.
    self.assertIn("as scripted.python.test_env:", output)
    self.assertNotIn("--results", output)
    # The whole suite by its name: the tests not asked for above fail.
    process = subprocess.Popen([sys.executable, "-B", RUN_SUITE, "--build", build, "--python",
                                sys.executable, "test_env"],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env)
    output = process.communicate()[0].decode("utf-8")
    self.assertEqual(1, process.returncode, output)
    self.assertIn("Ran 3 tests", output)
    # By its name, where PATH finds another interpreter of that name first
    # (a pyenv shim, say): the one of the CTest test.
    shims = os.path.join(self.dir, "shims")
    os.mkdir(shims)
    shim = os.path.join(shims, os.path.basename(sys.executable))
    with open(shim, "w") as stream:
      stream.write("#!/bin/sh\nexit 7\n")
    os.chmod(shim, 0o755)
    process = subprocess.Popen([sys.executable, "-B", RUN_SUITE, "--build", build, "--python",
                                os.path.basename(sys.executable), "test_env.T.testEnvironment"],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               env=dict(env, PATH=shims + os.pathsep + path_with_ctest))
    output = process.communicate()[0].decode("utf-8")
    self.assertEqual(0, process.returncode, output)
    self.assertIn("Ran 1 test", output)
    # An interpreter no test of the suite runs under: said, with those it has.
    process = subprocess.Popen([sys.executable, "-B", RUN_SUITE, "--build", build, "--python",
                                "/bin/true", "test_env.T.testEnvironment"],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env)
    output = process.communicate()[0].decode("utf-8")
    self.assertEqual(2, process.returncode, output)
    self.assertIn("no CTest test runs test_env under", output)
    self.assertIn("(it runs under: %s)" % os.path.basename(sys.executable), output)
    # A directory CMake has not configured.
    process = subprocess.Popen([sys.executable, "-B", RUN_SUITE, "--build", self.suites,
                                "test_env.T.testEnvironment"],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env)
    output = process.communicate()[0].decode("utf-8")
    self.assertEqual(2, process.returncode, output)
    self.assertIn("is not a configured build", output)

  def testSuitesLeftOutByTheBuildAreSaidNotRunWithTheReason(self):
    with open(os.path.join(self.results, "windows-not-run.txt"), "w") as stream:
      stream.write("the archive's i386 list failed to download\n")
    os.mkdir(os.path.join(self.results, "windows"))
    failed = os.path.join(self.dir, "LastTestsFailed.log")
    with open(failed, "w") as stream:
      stream.write("4:scripted.python2.7.test_x\n9:linux.python3.11.test_y\n")
    summary = self.Summary("--ctest-failed", failed)
    self.assertIn("Windows, python.exe (Wine)   NOT RUN", summary)
    self.assertIn("Windows, real KERNEL32       NOT RUN", summary)
    self.assertIn("The Windows suites were NOT RUN: the archive's i386 list failed to download.",
                  summary)
    self.assertIn("CTest counted 2 test(s) as failed: scripted.python2.7.test_x, linux.python3.11.test_y.", summary)

  def testAWholeRunWithoutTheWindowsSuitesFailsSayingWhy(self):
    self.WriteCounts("linux-release", "test_a")
    # Left out by the build: its reason is the last line.
    with open(os.path.join(self.results, "windows-not-run.txt"), "w") as stream:
      stream.write("the Wine root /x has not been built\n")
    status, summary = self.SummaryStatus("--require-windows")
    self.assertEqual(1, status, summary)
    self.assertEqual("FAILED: the Windows suites did not run: the Wine root /x has not been built.",
                     summary.splitlines()[-1])
    # Configured in, but skipped: no results.
    os.remove(os.path.join(self.results, "windows-not-run.txt"))
    status, summary = self.SummaryStatus("--require-windows")
    self.assertEqual(1, status, summary)
    self.assertIn("FAILED: the Windows suites did not run: no results from Windows, python.exe (Wine), "
                  "Windows, real KERNEL32", summary.splitlines()[-1])
    # Without the flag (a chosen subset of tests) the summary alone says so.
    self.assertEqual(0, self.SummaryStatus()[0])
    self.WriteCounts("windows", "test_a")
    self.WriteCounts("windows-kernel32", "test_kernel32_volumes")
    # Each Windows build must run: the 2.7 one alone is not enough.
    status, summary = self.SummaryStatus("--require-windows")
    self.assertEqual(1, status, summary)
    self.assertIn("no results from Windows x64, python.exe 3.11, Windows x64, real KERNEL32",
                  summary.splitlines()[-1])
    self.WriteCounts("windows-x64", "test_a")
    self.WriteCounts("windows-x64-kernel32", "test_kernel32_volumes")
    status, summary = self.SummaryStatus("--require-windows")
    self.assertEqual(0, status, summary)
    self.assertNotIn("did not run", summary)


if __name__ == "__main__":
  unittest.main()
