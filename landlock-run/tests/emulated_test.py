"""The cross-built launcher, run here under qemu-user: what does not need Landlock
behaves as on the native build (the checks before the sandbox, the stdin relay with
its offsets, pipes, signals and exit mirroring), and what needs Landlock fails the
way the launcher reports a kernel without it, because the emulator does not pass
the Landlock system calls through. The argument errors are covered by
command_line_test.py, which runs under the emulator too.

The relayed commands are host programs (sh, python3): the emulated supervisor's
child executes them natively, since an execve from inside qemu-user starts a real
host process image."""

import fcntl
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import launcher_harness as h

PY = sys.executable
SETUP_FAILED = b'{"state":"stdio-setup-failed"}\n'


def read_exactly(count):
    """A child command that takes exactly `count` bytes from its standard input,
    writes them to standard output and exits 0."""
    return [PY, "-c",
            "import os,sys\n"
            f"n={count}; got=b''\n"
            "while len(got) < n:\n"
            "    c = os.read(0, n - len(got))\n"
            "    if not c: break\n"
            "    got += c\n"
            "sys.stdout.buffer.write(got)\n"]


@unittest.skipUnless(h.EMULATOR, "runs the cross-built launcher under its emulator")
class LandlockUnderEmulationTest(unittest.TestCase):
    """Debian 12's qemu-aarch64-static (7.2) has no entry for system calls 444 to 446
    (landlock_create_ruleset, landlock_add_rule, landlock_restrict_self): it answers
    them with ENOSYS whatever the host kernel supports. To the launcher that is a
    kernel without Landlock, so the version query fails and the launcher must say so
    with the system's text for ENOSYS and exit 125, before any rule or status line."""

    def test_probe_reports_landlock_unavailable(self):
        h.expect_landlock_unavailable(self, h.run_launcher("--probe"))

    def test_direct_launch_reports_landlock_unavailable_and_runs_nothing(self):
        with tempfile.TemporaryDirectory() as d:
            marker = os.path.join(d, "ran")
            run = h.run_launcher("--status-fd", "3", "--ro", "/", "--rw", d, "--",
                                 "sh", "-c", f": > {marker}", status_fd=3)
            h.expect_landlock_unavailable(self, run)
            self.assertFalse(os.path.exists(marker))

    def test_missing_grant_path_is_not_reached(self):
        # The version query comes first: an unopenable grant is never looked at.
        h.expect_landlock_unavailable(self, h.run_launcher("--ro", "/nonexistent/grant", "--", "true"))

    def test_accepted_status_fd_forms_get_past_the_parser(self):
        # Leading blanks and a plus sign are accepted; the launch then fails at the
        # Landlock step, not in the parser, and writes no status line.
        for value in ["  3", "+3", "\t003"]:
            with self.subTest(value=value):
                h.expect_landlock_unavailable(self, h.run_launcher("--status-fd", value, "--", "true", status_fd=3))

    def test_checks_before_the_sandbox_still_run(self):
        # A closed status descriptor is refused before Landlock is asked anything.
        run = h.run_launcher("--status-fd", "9", "--", "true")
        self.assertEqual(run.stderr, b"orva-landlock-run: invalid status descriptor: Bad file descriptor\n")
        self.assertEqual(run.status, 125)
        # A non-blocking standard output is made blocking before the sandbox step,
        # and the change shows on the test's own copy of the open file description.
        read_end, write_end = os.pipe()
        try:
            fcntl.fcntl(write_end, fcntl.F_SETFL, fcntl.fcntl(write_end, fcntl.F_GETFL) | os.O_NONBLOCK)
            run = h.run_launcher("--", "true", stdout=write_end)
            self.assertEqual((run.status, run.stderr), (125, h.LANDLOCK_UNAVAILABLE_EMULATED))
            self.assertFalse(fcntl.fcntl(write_end, fcntl.F_GETFL) & os.O_NONBLOCK)
        finally:
            os.close(read_end)
            os.close(write_end)


@unittest.skipUnless(h.EMULATOR, "runs the cross-built launcher under its emulator")
class RelayUnderEmulationTest(unittest.TestCase):
    def relay(self, *command, stdin=subprocess.DEVNULL, prepare=None):
        return h.run_launcher("--relay-stdin", *command, status_fd=3, stdin=stdin, timeout=120,
                              prepare=prepare)

    def test_regular_file_offset_follows_what_the_child_took(self):
        data = bytes(range(256)) * 40  # 10240 bytes, more than one relay buffer
        for start, take in [(0, 100), (0, 0), (1000, 100), (0, len(data))]:
            with self.subTest(start=start, take=take), tempfile.TemporaryFile() as f:
                f.write(data)
                f.seek(start)
                run = self.relay(*read_exactly(take), stdin=f)
                self.assertEqual((run.status, run.stderr, run.status_lines), (0, b"", b""))
                self.assertEqual(run.stdout, data[start:start + take])
                self.assertEqual(os.lseek(f.fileno(), 0, os.SEEK_CUR), start + take)

    def test_pipe_is_relayed_whole_and_stays_blocking(self):
        # More than a pipe's and a socket's buffers hold, fed while the child drains
        # it; afterwards the test's end of the pipe is still blocking: the supervisor
        # read through its own non-blocking reopen.
        payload = os.urandom(300_000)
        read_end, write_end = os.pipe()
        try:
            proc = subprocess.Popen(h.launcher_command("--relay-stdin", "cat"), stdin=read_end,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            def feed():
                view = memoryview(payload)
                while view:
                    view = view[os.write(write_end, view):]
                os.close(write_end)
            writer = threading.Thread(target=feed)
            writer.start()
            out, err = proc.communicate(timeout=120)
            writer.join()
            write_end = -1
            self.assertEqual((proc.returncode, err), (0, b""))
            self.assertEqual(out, payload)
            self.assertFalse(fcntl.fcntl(read_end, fcntl.F_GETFL) & os.O_NONBLOCK)
        finally:
            os.close(read_end)
            if write_end >= 0:
                os.close(write_end)

    def test_exit_status_is_mirrored(self):
        for code in [0, 3, 125, 255]:
            with self.subTest(code=code):
                run = self.relay("sh", "-c", f"exit {code}")
                self.assertEqual((run.status, run.stderr, run.status_lines), (code, b"", b""))

    def test_death_by_signal_is_mirrored(self):
        for sig in [signal.SIGTERM, signal.SIGKILL, signal.SIGHUP]:
            with self.subTest(sig=sig.name):
                run = self.relay("sh", "-c", f"kill -{sig.name[3:]} $$")
                self.assertEqual(run.status, -sig)
                self.assertEqual((run.stderr, run.status_lines), (b"", b""))

    def test_termination_signals_are_forwarded(self):
        # The child reports each forwarded signal and ends on SIGTERM; the supervisor
        # keeps relaying through SIGINT and SIGHUP and then mirrors the child's exit.
        child = [PY, "-c",
                 "import signal,sys,time\n"
                 "def on(s, f):\n"
                 "    print(signal.Signals(s).name, flush=True)\n"
                 "    if s == signal.SIGTERM: sys.exit(7)\n"
                 "for s in (signal.SIGINT, signal.SIGHUP, signal.SIGTERM): signal.signal(s, on)\n"
                 "print('ready', flush=True)\n"
                 "while True: time.sleep(1)\n"]
        proc = subprocess.Popen(h.launcher_command("--relay-stdin", *child), stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            self.assertEqual(proc.stdout.readline(), b"ready\n")
            time.sleep(0.2)  # the supervisor installs its handlers right after the fork
            for sig in (signal.SIGINT, signal.SIGHUP, signal.SIGTERM):
                proc.send_signal(sig)
                self.assertEqual(proc.stdout.readline(), f"{sig.name}\n".encode())
            out, err = proc.communicate(timeout=120)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        self.assertEqual((proc.returncode, out, err), (7, b"", b""))

    def test_missing_command(self):
        run = self.relay("/nonexistent/command")
        self.assertEqual(run.stderr, b"orva-landlock-run: exec failed: No such file or directory\n")
        self.assertEqual((run.status, run.status_lines), (125, SETUP_FAILED))

    def test_closed_standard_input_fails_setup(self):
        run = self.relay("true", prepare=lambda: os.close(0))
        self.assertEqual((run.status, run.stdout, run.stderr, run.status_lines), (125, b"", b"", SETUP_FAILED))


if __name__ == "__main__":
    unittest.main()
