"""Real enforcement on this kernel: what a command under --ro and --rw grants may and
may not do, file and symbolic-link grants, no-new-privileges, and the order in which
grants are tried."""

import errno
import os
import shutil
import tempfile
import unittest

from orva_test_support import shared_temp_root
from launcher_harness import (LAUNCHER, NOBODY, error_message, require_landlock, run_launcher,
                              status_line, system_grants, unprivileged_launcher)

DENIED = os.strerror(errno.EACCES).encode()


class SandboxTest(unittest.TestCase):
    def setUp(self):
        self.abi = require_landlock(self)
        self.dir = tempfile.mkdtemp(prefix="orva-launcher-")
        self.addCleanup(shutil.rmtree, self.dir)
        for name in ("ro", "rw", "other", "linked"):
            os.mkdir(self.path(name))
        self.write("ro/data.txt", "read-only data\n")
        self.write("other/secret.txt", "secret\n")
        self.write("linked/note.txt", "reached through a link\n")
        self.write("file.txt", "granted file\n")
        os.symlink(self.path("linked"), self.path("link"))

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, text):
        with open(self.path(name), "w") as f:
            f.write(text)

    def read(self, name):
        with open(self.path(name)) as f:
            return f.read()

    def sandboxed(self, *grants_and_command, **kwargs):
        """Runs a command under the system grants plus the given ones. Everything up
        to "--" is grants; the rest is a shell script run with sh -c."""
        split = grants_and_command.index("--")
        grants, script = grants_and_command[:split], grants_and_command[split + 1]
        return run_launcher(*system_grants(), *grants, "--", "sh", "-c", script, cwd=self.dir,
                            **kwargs)

    def test_read_under_ro(self):
        run = self.sandboxed("--ro", self.path("ro"), "--", "cat ro/data.txt && ls ro")
        self.assertEqual((run.status, run.stderr), (0, b""))
        self.assertEqual(run.stdout, b"read-only data\ndata.txt\n")

    def test_write_under_rw(self):
        run = self.sandboxed("--rw", self.path("rw"), "--",
                             "echo new > rw/a && mkdir rw/d && mv rw/a rw/d/b && cat rw/d/b")
        self.assertEqual((run.status, run.stderr), (0, b""))
        self.assertEqual(run.stdout, b"new\n")
        self.assertEqual(self.read("rw/d/b"), "new\n")

    def test_refused_write_under_ro(self):
        for script in ["echo x > ro/new.txt", "echo x >> ro/data.txt", "mkdir ro/d",
                       "rm ro/data.txt"]:
            with self.subTest(script=script):
                run = self.sandboxed("--ro", self.path("ro"), "--", script)
                self.assertNotEqual(run.status, 0)
                self.assertIn(DENIED, run.stderr)
        self.assertEqual(os.listdir(self.path("ro")), ["data.txt"])
        self.assertEqual(self.read("ro/data.txt"), "read-only data\n")

    def test_refused_access_outside_every_grant(self):
        for script in ["cat other/secret.txt", "ls other", "echo x > other/new.txt",
                       "echo x > top.txt"]:
            with self.subTest(script=script):
                run = self.sandboxed("--ro", self.path("ro"), "--rw", self.path("rw"), "--",
                                     script)
                self.assertNotEqual(run.status, 0)
                self.assertIn(DENIED, run.stderr)
                self.assertEqual(run.stdout, b"")
        self.assertEqual(sorted(os.listdir(self.dir)),
                         ["file.txt", "link", "linked", "other", "ro", "rw"])

    def test_regular_file_as_rw_grant(self):
        # The rule carries only the rights a file can have; directory rights would
        # make the kernel refuse the rule.
        run = self.sandboxed("--rw", self.path("file.txt"), "--",
                             "cat file.txt && echo replaced > file.txt && echo more >> file.txt")
        self.assertEqual((run.status, run.stderr), (0, b""))
        self.assertEqual(run.stdout, b"granted file\n")
        self.assertEqual(self.read("file.txt"), "replaced\nmore\n")
        run = self.sandboxed("--rw", self.path("file.txt"), "--", "echo x > sibling.txt")
        self.assertIn(DENIED, run.stderr)
        self.assertFalse(os.path.exists(self.path("sibling.txt")))

    def test_regular_file_as_ro_grant(self):
        run = self.sandboxed("--ro", self.path("file.txt"), "--", "cat file.txt")
        self.assertEqual((run.status, run.stdout), (0, b"granted file\n"))
        run = self.sandboxed("--ro", self.path("file.txt"), "--", "echo x >> file.txt")
        self.assertIn(DENIED, run.stderr)
        self.assertEqual(self.read("file.txt"), "granted file\n")

    def test_symlink_grant_grants_its_target(self):
        run = self.sandboxed("--ro", self.path("link"), "--",
                             "cat linked/note.txt && cat link/note.txt")
        self.assertEqual((run.status, run.stderr), (0, b""))
        self.assertEqual(run.stdout, b"reached through a link\n" * 2)
        run = self.sandboxed("--ro", self.path("link"), "--", "cat other/secret.txt")
        self.assertIn(DENIED, run.stderr)

    def test_same_path_in_both_lists_gets_the_union(self):
        run = self.sandboxed("--ro", self.path("rw"), "--rw", self.path("rw"), "--",
                             "echo both > rw/x && cat rw/x")
        self.assertEqual((run.status, run.stdout), (0, b"both\n"))

    def test_relative_grant_paths(self):
        run = self.sandboxed("--ro", "ro", "--rw", "./rw", "--", "cat ro/data.txt > rw/copy")
        self.assertEqual((run.status, run.stderr), (0, b""))
        self.assertEqual(self.read("rw/copy"), "read-only data\n")

    def test_no_new_privs_inside_the_command(self):
        run = self.sandboxed("--ro", "/proc", "--", "grep NoNewPrivs /proc/self/status")
        self.assertEqual((run.status, run.stderr), (0, b""))
        self.assertEqual(run.stdout, b"NoNewPrivs:\t1\n")

    def test_status_descriptor_not_inherited(self):
        # Descriptor 8 is an ordinary inherited descriptor, 9 the status descriptor.
        keep = os.open(self.dir, os.O_RDONLY)
        self.addCleanup(os.close, keep)
        script = ("for fd in 8 9; do"
                  " [ -e /proc/self/fd/$fd ] && echo $fd open || echo $fd closed; done")
        run = self.sandboxed("--status-fd", "9", "--ro", "/proc", "--", script, status_fd=9,
                             extra_fds={8: keep})
        self.assertEqual((run.status, run.stderr), (0, b""))
        self.assertEqual(run.stdout, b"8 open\n9 closed\n")
        self.assertEqual(run.status_lines, status_line("prepared", self.abi))

    def test_no_grants_refuses_even_the_command(self):
        run = run_launcher("--status-fd", "9", "--", "true", status_fd=9,
                           env={"PATH": "/usr/bin:/bin"})
        self.assertEqual(run.status, 125)
        self.assertEqual(run.stderr, error_message("exec failed", errno.EACCES))
        self.assertEqual(run.status_lines,
                         status_line("prepared", self.abi) + status_line("exec-failed", self.abi))


class GrantFailureTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="orva-launcher-")
        self.addCleanup(shutil.rmtree, self.dir)
        self.marker = os.path.join(self.dir, "ran")
        with open(os.path.join(self.dir, "file.txt"), "w"):
            pass

    def launch(self, *grants):
        return run_launcher("--status-fd", "9", *system_grants(), "--rw", self.dir, *grants,
                            "--", "touch", self.marker, status_fd=9)

    def test_missing_grant_path(self):
        require_landlock(self)
        run = self.launch("--ro", os.path.join(self.dir, "missing"))
        self.assertEqual(run.status, 125)
        self.assertEqual(run.stderr, error_message("cannot open grant path", errno.ENOENT))
        self.assertEqual(run.status_lines, b"")
        self.assertFalse(os.path.exists(self.marker))

    def test_read_only_grants_are_tried_first(self):
        require_landlock(self)
        # The read-write grant fails with ENOTDIR and comes first on the command line;
        # the read-only grant's ENOENT is the one reported.
        run = self.launch("--rw", os.path.join(self.dir, "file.txt", "x"),
                          "--ro", os.path.join(self.dir, "missing"))
        self.assertEqual(run.stderr, error_message("cannot open grant path", errno.ENOENT))
        run = self.launch("--rw", os.path.join(self.dir, "file.txt", "x"))
        self.assertEqual(run.stderr, error_message("cannot open grant path", errno.ENOTDIR))
        self.assertFalse(os.path.exists(self.marker))


class UnprivilegedTest(unittest.TestCase):
    """The launcher as an ordinary user, the way a host starts it: Landlock asks for
    no privilege once no-new-privileges is set, which the launcher does right before
    the restriction; run as root, that order is never put to the test."""

    def setUp(self):
        self.abi = require_landlock(self)
        self.dir = tempfile.mkdtemp(prefix="orva-launcher-", dir=shared_temp_root())
        self.addCleanup(shutil.rmtree, self.dir)
        os.chmod(self.dir, 0o755)
        for name in ("rw", "other"):  # open to everyone: only the sandbox refuses
            os.mkdir(self.path(name))
            os.chmod(self.path(name), 0o777)
        # The launcher where a clone under a 0700 directory has its build tree.
        private = tempfile.mkdtemp(prefix="orva-launcher-private-")
        self.addCleanup(shutil.rmtree, private)
        self.private_launcher = os.path.join(private, "orva-landlock-run")
        shutil.copy(LAUNCHER, self.private_launcher)
        self.launcher, self.drop_privileges = unprivileged_launcher(self, self.private_launcher)

    def path(self, name):
        return os.path.join(self.dir, name)

    def run_unprivileged(self, *args, **kwargs):
        return run_launcher(*args, launcher=self.launcher, prepare=self.drop_privileges,
                            cwd=self.dir, **kwargs)

    def test_build_tree_in_a_private_directory_is_out_of_reach(self):
        # What the copy is for: that user cannot start the launcher where it was built.
        with self.assertRaises(PermissionError):
            run_launcher("--probe", launcher=self.private_launcher, prepare=self.drop_privileges)

    def test_probe_and_sandbox(self):
        run = self.run_unprivileged("--probe")
        self.assertEqual((run.status, run.stderr), (0, b""))
        self.assertEqual(run.stdout, b'{"abi":%d,"enforcement":"partial"}\n' % self.abi)

        run = self.run_unprivileged("--status-fd", "9", *system_grants(), "--rw", self.path("rw"),
                                    "--", "sh", "-c", "id -u; echo in > rw/f; echo out > other/f",
                                    status_fd=9)
        self.assertEqual((run.status, run.stdout), (2, b"%d\n" % NOBODY))
        self.assertIn(DENIED, run.stderr)
        self.assertEqual(run.status_lines, status_line("prepared", self.abi))
        self.assertEqual(os.listdir(self.path("rw")), ["f"])
        self.assertEqual(os.listdir(self.path("other")), [])


if __name__ == "__main__":
    unittest.main()
