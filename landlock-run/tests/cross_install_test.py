"""Installing the cross-built launcher's component into a staging root (with
DESTDIR, as a packager would) puts exactly one file there: the built launcher,
executable, under a directory named after its target."""

import filecmp
import os
import stat
import subprocess
import tempfile
import unittest

CMAKE = os.environ.get("ORVA_CMAKE", "cmake")
BUILD_DIR = os.environ.get("ORVA_BUILD_DIR", "")
COMPONENT = os.environ.get("ORVA_INSTALL_COMPONENT", "")
INSTALLED = os.environ.get("ORVA_INSTALLED_LAUNCHER", "")
LAUNCHER = os.environ.get("ORVA_LANDLOCK_RUN", "")


class CrossInstallTest(unittest.TestCase):
    def test_component_installs_only_the_launcher(self):
        if not (BUILD_DIR and COMPONENT and INSTALLED and LAUNCHER):
            raise unittest.SkipTest("not a cross build")
        with tempfile.TemporaryDirectory() as root:
            prefix = "/opt/orva"
            env = dict(os.environ, DESTDIR=root)
            subprocess.run([CMAKE, "--install", BUILD_DIR, "--prefix", prefix,
                            "--component", COMPONENT], env=env, check=True, capture_output=True)
            staged = os.path.join(root, prefix.lstrip("/"))
            found = sorted(os.path.relpath(os.path.join(d, f), staged)
                           for d, _, files in os.walk(staged) for f in files)
            self.assertEqual(found, [INSTALLED])
            path = os.path.join(staged, INSTALLED)
            self.assertTrue(os.stat(path).st_mode & stat.S_IXUSR)
            self.assertTrue(filecmp.cmp(path, LAUNCHER, shallow=False))


if __name__ == "__main__":
    unittest.main()
