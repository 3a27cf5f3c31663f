"""The scanner's black-box tests again, against a copy of the scanner in a directory
that only its owner may enter (a clone under /root, or in a fresh mktemp -d), with
TMPDIR in there too. The cases that run the scanner as another user must find a way
around both, wherever the build tree sits."""

import glob
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

from orva_test_support import NOBODY
from scanner_harness import SCANNER

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
SCRIPTS = sorted(path for path in glob.glob(os.path.join(TESTS_DIR, "*_test.py"))
                 if os.path.basename(path) != os.path.basename(__file__))


class PrivateTreeTest(unittest.TestCase):
    def setUp(self):
        if not SCANNER:
            self.skipTest("ORVA_SESSION_SCAN is not set")
        self.private = tempfile.mkdtemp(prefix="orva-private-tree-")
        self.addCleanup(shutil.rmtree, self.private, ignore_errors=True)
        os.chmod(self.private, 0o700)
        self.scanner = os.path.join(self.private, "build", os.path.basename(SCANNER))
        os.mkdir(os.path.dirname(self.scanner))
        shutil.copy2(SCANNER, self.scanner)
        self.tmp = os.path.join(self.private, "tmp")
        os.mkdir(self.tmp)

    def test_the_copy_is_out_of_reach_of_other_users(self):
        if os.geteuid() != 0:
            self.skipTest("only root can start a program as another user")
        self.assertEqual(stat.S_IMODE(os.stat(self.private).st_mode), 0o700)
        with self.assertRaises(PermissionError):
            subprocess.run([self.scanner, "--source-sha256"], user=NOBODY, group=NOBODY,
                           extra_groups=[], capture_output=True, timeout=60)

    def test_black_box_tests_pass_from_the_private_directory(self):
        self.assertTrue(SCRIPTS)
        env = dict(os.environ, ORVA_SESSION_SCAN=self.scanner, TMPDIR=self.tmp)
        for script in SCRIPTS:
            with self.subTest(os.path.basename(script)):
                result = subprocess.run([sys.executable, script], env=env, cwd=self.private,
                                        capture_output=True, timeout=600)
                self.assertEqual(result.returncode, 0, result.stderr.decode(errors="replace")[-6000:])


if __name__ == "__main__":
    unittest.main()
