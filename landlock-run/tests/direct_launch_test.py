"""The direct launch: the status lines, the PATH search, the standard streams, status
write failures, each setup failure's report, and the tie to the parent's life."""

import errno
import os
import resource
import select
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import unittest

from launcher_harness import (EMULATOR, Fault, Tracer, error_message, launcher_command,
                              launcher_is_static, message, place_descriptors, require_landlock,
                              run_launcher, seccomp_faults, set_child_subreaper, status_line,
                              syscall_number, system_grants)


class LaunchFixture(unittest.TestCase):
    def setUp(self):
        self.abi = require_landlock(self)
        self.dir = tempfile.mkdtemp(prefix="orva-launcher-")
        self.addCleanup(shutil.rmtree, self.dir)

    def path(self, *names):
        return os.path.join(self.dir, *names)

    def program(self, name, body, mode=0o755):
        """A file at name under the temp dir; body is written as given."""
        path = self.path(name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(body)
        os.chmod(path, mode)
        return path

    def script(self, name, label):
        return self.program(name, f'#!/bin/sh\necho "{label} $*"\n')

    def launch(self, *command, env=None, cwd=None, **kwargs):
        """The command under the system grants and a read-only grant of the temp dir,
        with the status descriptor at 9."""
        return run_launcher("--status-fd", "9", *system_grants(), "--ro", self.dir, "--",
                            *command, status_fd=9, env=env, cwd=cwd or self.dir, **kwargs)

    def assert_exec_failed(self, run, errno_value):
        self.assertEqual(run.status, 125)
        self.assertEqual(run.stderr, error_message("exec failed", errno_value))
        self.assertEqual(run.stdout, b"")
        self.assertEqual(run.status_lines,
                         status_line("prepared", self.abi) + status_line("exec-failed", self.abi))

    def assert_ran(self, run, output):
        self.assertEqual((run.status, run.stderr), (0, b""))
        self.assertEqual(run.stdout, output)
        self.assertEqual(run.status_lines, status_line("prepared", self.abi))


class StatusProtocolTest(LaunchFixture):
    def test_launcher_becomes_the_command(self):
        run = self.launch("sh", "-c", 'echo "$$"; exit 7')
        self.assertEqual(run.status, 7)
        self.assertEqual(run.stdout, b"%d\n" % run.pid)
        self.assertEqual(run.status_lines, status_line("prepared", self.abi))

    def test_without_status_descriptor_nothing_else_is_written(self):
        read_end, write_end = os.pipe()
        self.addCleanup(os.close, read_end)
        try:
            run = run_launcher(*system_grants(), "--", "echo", "ok", extra_fds={5: write_end})
        finally:
            os.close(write_end)
        self.assertEqual((run.status, run.stdout, run.stderr), (0, b"ok\n", b""))
        self.assertEqual(os.read(read_end, 100), b"")

    def test_exec_failures(self):
        self.program("noexec/plain", "echo no interpreter line\n")
        self.program("outside/prog", "#!/bin/sh\necho outside\n")
        outside = self.path("outside", "prog")
        cases = [
            ("missing", ["no-such-command-orva"], errno.ENOENT),
            ("empty name", [""], errno.ENOENT),
            ("no interpreter line", ["./noexec/plain"], errno.ENOEXEC),
            ("name of 256 bytes", ["a" * 256], errno.ENAMETOOLONG),
            ("name of 255 bytes", ["a" * 255], errno.ENOENT),
            ("missing path", ["./nowhere/prog"], errno.ENOENT),
        ]
        for label, command, errno_value in cases:
            with self.subTest(label):
                run = self.launch(*command, env={"PATH": "/usr/bin:/bin"})
                self.assert_exec_failed(run, errno_value)
        with self.subTest("outside every grant"):
            # Only the temp dir's ro/ part is granted here, so outside/prog is refused.
            os.mkdir(self.path("ro"))
            run = run_launcher("--status-fd", "9", *system_grants(), "--ro", self.path("ro"),
                               "--", outside, status_fd=9)
            self.assert_exec_failed(run, errno.EACCES)

    def test_prepared_write_failure_stops_the_launch(self):
        # A status descriptor that cannot take the line: the read end of a pipe, or a
        # write end whose reader the host has closed (a reported failure, not death by
        # SIGPIPE). Either way the command does not run.
        for label, errno_value in (("read end", errno.EBADF), ("reader gone", errno.EPIPE)):
            with self.subTest(label):
                marker = self.path("ran")
                read_end, write_end = os.pipe()
                target = read_end if errno_value == errno.EBADF else write_end
                os.close(write_end if target == read_end else read_end)
                try:
                    run = run_launcher("--status-fd", "9", *system_grants(), "--rw", self.dir,
                                       "--", "touch", marker, status_fd=9, status_target=target)
                finally:
                    os.close(target)
                self.assertEqual(run.status, 125)
                self.assertEqual(run.stderr,
                                 error_message("cannot write execution status", errno_value))
                self.assertFalse(os.path.exists(marker))

    def test_command_inherits_the_signal_mask_and_nothing_pending(self):
        # The status line and reports are written with SIGPIPE held back; the command
        # must still start with the mask, dispositions and pending set it was given.
        command = ["grep", "-E", "^(SigPnd|ShdPnd|SigBlk|SigIgn)", "/proc/self/status"]

        def block_usr1():
            signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGUSR1})

        direct = subprocess.run(command, stdout=subprocess.PIPE, preexec_fn=block_usr1, check=True)
        run = run_launcher("--status-fd", "9", *system_grants(), "--ro", "/proc", "--", *command,
                           status_fd=9, prepare=block_usr1)
        self.assert_ran(run, direct.stdout)
        self.assertIn(b"SigBlk:\t0000000000000200\n", run.stdout)

    def test_exec_failed_write_failure(self):
        # A file size limit that fits "prepared" exactly makes the next line fail with
        # EFBIG (the signal it would raise is ignored).
        prepared = status_line("prepared", self.abi)
        status_path = self.path("status")
        fd = os.open(status_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        self.addCleanup(os.close, fd)

        def limit_file_size():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (len(prepared), len(prepared)))

        run = run_launcher("--status-fd", "9", *system_grants(), "--", "no-such-command-orva",
                           status_fd=9, status_target=fd, prepare=limit_file_size)
        self.assertEqual(run.status, 125)
        self.assertEqual(run.stderr,
                         error_message("cannot write execution status", errno.EFBIG)
                         + error_message("exec failed", errno.ENOENT))
        with open(status_path, "rb") as f:
            self.assertEqual(f.read(), prepared)


class SearchPathTest(LaunchFixture):
    def setUp(self):
        super().setUp()
        self.script("bin/prog", "bin")
        self.script("cwd/prog", "cwd")
        self.program("denied/prog", "#!/bin/sh\necho denied\n", mode=0o644)
        self.program("plain/prog", "echo no interpreter line\n")
        self.program("afile", "")
        self.script("bin/sub/prog", "bin-sub")
        self.script("cwd/sub/prog", "cwd-sub")

    def test_search_cases(self):
        d = self.path
        cases = [
            # (label, PATH or None for unset, command, output or errno)
            ("first hit", f"{d('bin')}:{d('cwd')}", ["prog", "x"], b"bin x\n"),
            ("empty PATH means the current directory", "", ["prog"], b"cwd \n"),
            ("empty element in the middle", f"/nonexistent::{d('bin')}", ["prog"], b"cwd \n"),
            ("empty element at the end", "/nonexistent:", ["prog"], b"cwd \n"),
            ("not a directory is passed over", f"{d('afile')}:{d('bin')}", ["prog"], b"bin \n"),
            ("permission denied is passed over", f"{d('denied')}:{d('bin')}", ["prog"],
             b"bin \n"),
            ("permission denied is remembered", f"{d('denied')}:/nonexistent", ["prog"],
             errno.EACCES),
            ("exec format error ends the search", f"{d('plain')}:{d('bin')}", ["prog"],
             errno.ENOEXEC),
            ("not found anywhere", f"{d('bin')}:/nonexistent", ["other"], errno.ENOENT),
            ("last error when nothing was denied", f"/nonexistent:{d('afile')}", ["prog"],
             errno.ENOTDIR),
            ("a slash means no search", d("bin"), ["sub/prog"], b"cwd-sub \n"),
            ("a slash is not searched for", d("bin"), ["./nothere/prog"], errno.ENOENT),
            ("default list when PATH is unset", None, ["true"], b""),
            ("default list has no current directory", None, ["prog"], errno.ENOENT),
        ]
        for label, search, command, expected in cases:
            with self.subTest(label):
                env = {} if search is None else {"PATH": search}
                run = self.launch(*command, env=env, cwd=d("cwd"))
                if isinstance(expected, bytes):
                    self.assert_ran(run, expected)
                else:
                    self.assert_exec_failed(run, expected)

    def test_environment_passes_unchanged(self):
        env = {"PATH": self.path("bin") + ":/usr/bin:/bin", "ORVA_PROBE_VALUE": "kept =x"}
        run = self.launch("sh", "-c", 'printf "%s|%s" "$ORVA_PROBE_VALUE" "$PATH"', env=env)
        self.assert_ran(run, f"kept =x|{env['PATH']}".encode())


class StandardStreamTest(LaunchFixture):
    def test_closed_standard_input_stays_closed(self):
        run = self.launch("sh", "-c", "[ -e /proc/self/fd/0 ] && echo open || echo closed",
                          prepare=lambda: os.close(0))
        # /proc is not granted, but the lookup of the descriptor link is not a file access.
        self.assert_ran(run, b"closed\n")

    def test_non_blocking_streams_become_blocking(self):
        in_read, in_write = os.pipe()
        out_read, out_write = os.pipe()
        for fd in (in_read, in_write, out_read, out_write):
            self.addCleanup(os.close, fd)
        os.set_blocking(in_read, False)
        os.set_blocking(out_write, False)
        os.set_blocking(out_read, False)
        run = self.launch("true", stdin=in_read, stdout=out_write)
        self.assertEqual((run.status, run.stderr), (0, b""))
        # The flag lives on the shared open file description, so this side sees it.
        self.assertTrue(os.get_blocking(in_read))
        self.assertTrue(os.get_blocking(out_write))
        self.assertFalse(os.get_blocking(out_read))  # not a standard stream of the launcher


class SetupFailureTest(LaunchFixture):
    """Each setup step's failure, made real by a filter that fails one system call:
    the message names the failing call's error, and no status line is written."""

    def test_each_setup_failure(self):
        F_GETFL, F_SETFL, F_SETFD = 3, 4, 2
        PR_SET_PDEATHSIG, PR_SET_NO_NEW_PRIVS = 1, 38
        cases = [
            ("cannot inspect standard stream", errno.EIO,
             [Fault("fcntl", errno.EIO, {0: 1, 1: F_GETFL})]),
            ("cannot restore blocking standard stream", errno.EPERM,
             [Fault("fcntl", errno.EPERM, {0: 0, 1: F_SETFL})]),
            ("cannot set parent-death signal", errno.EINVAL,
             [Fault("prctl", errno.EINVAL, {0: PR_SET_PDEATHSIG})]),
            ("Landlock is unavailable", errno.EOPNOTSUPP,
             [Fault("landlock_create_ruleset", errno.EOPNOTSUPP)]),
            ("cannot create Landlock ruleset", errno.EMFILE,
             [Fault("landlock_create_ruleset", errno.EMFILE, {2: 0})]),
            ("cannot add grant rule", errno.EXDEV, [Fault("landlock_add_rule", errno.EXDEV)]),
            ("cannot set no_new_privs", errno.EACCES,
             [Fault("prctl", errno.EACCES, {0: PR_SET_NO_NEW_PRIVS})]),
            ("cannot enforce Landlock ruleset", errno.E2BIG,
             [Fault("landlock_restrict_self", errno.E2BIG)]),
            ("cannot close status descriptor on exec", errno.ENOLCK,
             [Fault("fcntl", errno.ENOLCK, {0: 9, 1: F_SETFD})]),
        ]
        stdin_read, stdin_write = os.pipe()
        self.addCleanup(os.close, stdin_read)
        self.addCleanup(os.close, stdin_write)
        for text, errno_value, faults in cases:
            with self.subTest(text):
                os.set_blocking(stdin_read, False)  # so that clearing it can be refused
                run = self.launch("echo", "ran", stdin=stdin_read,
                                  prepare=seccomp_faults(*faults))
                self.assertEqual(run.status, 125)
                self.assertEqual(run.stderr, error_message(text, errno_value))
                self.assertEqual((run.stdout, run.status_lines), (b"", b""))

    def test_reports_keep_the_error_of_the_failing_call(self):
        # Where a close lies between a failure and its report, a failing close must
        # not change the error in the report. Descriptor numbers are those of the
        # static launcher: ruleset 3, grant path 4 (the status descriptor is 9).
        if not launcher_is_static():
            self.skipTest("descriptor numbers differ in a dynamically linked launcher")
        close_fails = [Fault("close", errno.EIO, {0: 3}), Fault("close", errno.EIO, {0: 4})]
        cases = [
            ("cannot inspect grant path", errno.EOVERFLOW,
             [Fault("newfstatat", errno.EOVERFLOW, {0: 4})]),
            ("cannot add grant rule", errno.EXDEV, [Fault("landlock_add_rule", errno.EXDEV)]),
            ("cannot set no_new_privs", errno.EACCES, [Fault("prctl", errno.EACCES, {0: 38})]),
            ("cannot enforce Landlock ruleset", errno.E2BIG,
             [Fault("landlock_restrict_self", errno.E2BIG)]),
        ]
        for text, errno_value, faults in cases:
            with self.subTest(text):
                run = self.launch("echo", "ran", prepare=seccomp_faults(*faults, *close_fails))
                self.assertEqual(run.status, 125)
                self.assertEqual(run.stderr, error_message(text, errno_value))


class ParentDeathTest(LaunchFixture):
    """The launcher and then the command die with the parent that started them."""

    def setUp(self):
        super().setUp()
        set_child_subreaper()  # orphaned grandchildren come back to this process

    def spawn_under_parent(self, args, before_exec=None):
        """Forks a parent process that starts the launcher with args (status descriptor
        9 a pipe to this process) and waits. Returns (parent pid, launcher pid, status
        read end, stderr read end)."""
        info_read, info_write = os.pipe()
        status_read, status_write = os.pipe()
        err_read, err_write = os.pipe()
        parent = os.fork()
        if parent == 0:
            try:
                launcher = os.fork()
                if launcher == 0:
                    devnull = os.open(os.devnull, os.O_RDWR)
                    place_descriptors({0: devnull, 1: devnull, 2: err_write, 9: status_write})
                    if before_exec:
                        before_exec()
                    cmd = launcher_command(*args)
                    os.execv(cmd[0], cmd)
                os.write(info_write, struct.pack("=i", launcher))
                time.sleep(120)
            finally:
                os._exit(0)
        for fd in (info_write, status_write, err_write):
            os.close(fd)
        launcher, = struct.unpack("=i", os.read(info_read, 4))
        os.close(info_read)
        self.addCleanup(self.reap, parent, launcher)
        self.addCleanup(os.close, status_read)
        self.addCleanup(os.close, err_read)
        return parent, launcher, status_read, err_read

    @staticmethod
    def reap(*pids):
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
            except (ProcessLookupError, ChildProcessError):
                pass

    @staticmethod
    def wait_with_deadline(pid, seconds=20):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done == pid:
                return status
            time.sleep(0.01)
        raise AssertionError(f"process {pid} did not end within {seconds} s")

    def test_command_is_killed_when_the_parent_exits(self):
        args = ["--status-fd", "9", *system_grants(), "--", "sleep", "60"]
        parent, launcher, status_read, _ = self.spawn_under_parent(args)
        ready, _, _ = select.select([status_read], [], [], 20)
        self.assertTrue(ready)
        self.assertEqual(os.read(status_read, 100), status_line("prepared", self.abi))
        os.kill(parent, signal.SIGKILL)
        os.waitpid(parent, 0)  # once reaped, the command has been handed to this process
        status = self.wait_with_deadline(launcher)
        self.assertTrue(os.WIFSIGNALED(status))
        self.assertEqual(os.WTERMSIG(status), signal.SIGKILL)

    def test_parent_exited_during_setup(self):
        # The launcher is traced from here and held at the system call that arms the
        # parent-death signal; its parent is killed and reaped there, then the call
        # goes on. The launcher must notice that no signal will ever come.
        if EMULATOR:
            self.skipTest("tracing does not work under emulation")
        prctl_nr = syscall_number("prctl")
        marker = self.path("ran")
        args = ["--status-fd", "9", *system_grants(), "--rw", self.dir, "--", "touch", marker]
        parent, launcher, status_read, err_read = self.spawn_under_parent(
            args, before_exec=Tracer.stop_before_exec)
        tracer = Tracer(launcher)
        tracer.run_until_syscall_entry(prctl_nr, first_arg=1)  # PR_SET_PDEATHSIG
        os.kill(parent, signal.SIGKILL)
        os.waitpid(parent, 0)
        tracer.detach()
        status = self.wait_with_deadline(launcher)
        self.assertTrue(os.WIFEXITED(status))
        self.assertEqual(os.WEXITSTATUS(status), 125)
        self.assertEqual(os.read(err_read, 1000), message("parent exited during setup"))
        self.assertEqual(os.read(status_read, 100), b"")
        self.assertFalse(os.path.exists(marker))


if __name__ == "__main__":
    unittest.main()
