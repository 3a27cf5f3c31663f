"""`make install PREFIX=... [DESTDIR=...]` into a staging directory: the install
command of the Makefile's recipe, run on this build tree, puts exactly the two
programs, the two manual pages and the two schemas under the prefix, and the
installed programs work from there."""

import os
import shutil
import subprocess
import tempfile
import unittest

import packaging_harness as harness
from orva_test_support import is_statically_linked

EXPECTED = set(harness.PROGRAMS + harness.MAN_PAGES + harness.SCHEMAS)


def make_install_command(prefix, destdir=""):
    """The shell command that `make install` runs to install the build tree at
    ORVA_BUILD_DIR (its prerequisites, bootstrap and build, are already done)."""
    dry_run = harness.run(["make", "-n", "-s", "-C", harness.SOURCE_DIR, "install",
                           "PREFIX=" + prefix, "DESTDIR=" + destdir,
                           "BUILD_DIR=" + harness.BUILD_DIR])
    assert dry_run.returncode == 0, dry_run.stderr
    lines = [l for l in dry_run.stdout.decode().splitlines() if "cmake --install" in l]
    assert len(lines) == 1, dry_run.stdout
    return lines[0]


class InstallTreeTest(unittest.TestCase):
    def setUp(self):
        if not harness.BUILD_DIR:
            self.skipTest("ORVA_BUILD_DIR is not set")
        self.stage = tempfile.mkdtemp(prefix="orva-install-test-")

    def tearDown(self):
        shutil.rmtree(self.stage, ignore_errors=True)

    def make_install(self, prefix, destdir=""):
        command = make_install_command(prefix, destdir)
        result = subprocess.run(command, shell=True, cwd=harness.SOURCE_DIR, umask=0o077,
                                capture_output=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)

    def assertInstalledTree(self, prefix):
        self.assertEqual(harness.files_under(prefix), EXPECTED)
        for directory in {os.path.dirname(path) for path in EXPECTED}:
            while directory:
                with self.subTest(directory):
                    mode = os.stat(os.path.join(prefix, directory)).st_mode & 0o7777
                    self.assertEqual(mode, 0o755)
                directory = os.path.dirname(directory)
        for path in EXPECTED:
            with self.subTest(path):
                mode = os.stat(os.path.join(prefix, path)).st_mode & 0o7777
                self.assertEqual(mode, 0o755 if path.startswith("bin/") else 0o644)
        for path in harness.MAN_PAGES + harness.SCHEMAS:
            with self.subTest(path):
                self.assertEqual(harness.read(os.path.join(prefix, path)), harness.source_bytes(path))

    def test_prefix_install(self):
        prefix = os.path.join(self.stage, "opt", "orva")
        self.make_install(prefix)
        self.assertInstalledTree(prefix)

        scanner = os.path.join(prefix, "bin", "orva-session-scan")
        launcher = os.path.join(prefix, "bin", "orva-landlock-run")
        self.assertEqual(harness.read(scanner), harness.read(harness.BUILT_SCANNER))
        self.assertEqual(harness.read(launcher), harness.read(harness.BUILT_LAUNCHER))
        self.assertEqual(harness.source_digest(scanner), harness.source_digest(harness.BUILT_SCANNER))
        missing = harness.run([scanner, "scan-project-ids", os.path.join(self.stage, "none")])
        self.assertEqual((missing.returncode, missing.stdout), (0, b'{"version":1,"entries":[]}\n'))
        if harness.LAUNCHER_STATIC:
            self.assertTrue(is_statically_linked(launcher))
        self.assertFalse(is_statically_linked(scanner))

    def test_man_finds_the_installed_pages(self):
        if not shutil.which("man"):
            self.skipTest("man is not installed")
        prefix = os.path.join(self.stage, "usr")
        self.make_install(prefix)
        for page, installed in zip(("orva-session-scan", "orva-landlock-run"), harness.MAN_PAGES):
            with self.subTest(page):
                found = harness.run(["man", "-w", page],
                                    env=dict(os.environ, MANPATH=os.path.join(prefix, "share", "man")))
                self.assertEqual(found.returncode, 0, found.stderr)
                self.assertEqual(found.stdout.decode().strip(), os.path.join(prefix, installed))

    def test_destdir_install(self):
        destdir = os.path.join(self.stage, "root")
        self.make_install("/usr/local", destdir)
        self.assertEqual(os.listdir(self.stage), ["root"])
        self.assertEqual(os.listdir(destdir), ["usr"])
        self.assertInstalledTree(os.path.join(destdir, "usr", "local"))


if __name__ == "__main__":
    unittest.main()
