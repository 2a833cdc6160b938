"""Runs CPython's own regression tests (test.libregrtest) in the Windows
interpreter under Wine, with what Wine cannot do taken out of the
question:

  python.exe cpython_tests.py [regrtest options] TEST...

Wine 8's CreateSymbolicLinkW reports success and makes nothing, and
test.support.os_helper.can_symlink() then fails while test_os is being
imported: the answer is set to "no symlinks" instead, as on a Windows
account without the privilege.
"""
from test.support import os_helper

# Only in the main process: multiprocessing's spawn imports this file in
# every worker as __mp_main__, and a worker must not run the suite again.
if __name__ == "__main__":
    os_helper._can_symlink = False
    from test.libregrtest import main
    main()
