"""The launcher's argument vector: every argument error with its message and its
precedence, the --status-fd conversion, and the probe mode."""

import errno
import os
import shutil
import tempfile
import unittest

from launcher_harness import (EMULATOR, Fault, error_message, message, require_landlock,
                              run_launcher, seccomp_faults, status_line, system_grants)

MISSING = "missing -- <argv> command"
PROBE_ALONE = "--probe takes no other arguments"
INVALID_FD = "invalid --status-fd"
FD_RANGE = "--status-fd requires an open descriptor >= 3"
GRANT_PATH = "grant requires a path"
UNKNOWN = "unknown argument"
PORT_MISSING = "port rule requires a port"
PORT_INVALID = "port must be a decimal number from 0 to 65535"
SCOPE_INVALID = "--scope takes signal or abstract-unix-socket"

ARGUMENT_ERRORS = [
    ([], MISSING),
    (["--"], MISSING),
    (["--ro", "/", "--"], MISSING),
    (["--ro", "/x"], MISSING),
    (["--ro", "--probe"], MISSING),  # "--probe" is the grant's path
    (["--status-fd", "5"], MISSING),
    (["--probe", "x"], PROBE_ALONE),
    (["--probe", "--probe"], PROBE_ALONE),
    (["--ro", "/", "--probe"], PROBE_ALONE),
    (["--status-fd", "5", "--probe", "--", "true"], PROBE_ALONE),
    (["bogus", "--probe"], UNKNOWN),
    (["--relay-stdin"], UNKNOWN),
    (["--ro", "/", "--relay-stdin", "true"], UNKNOWN),
    (["-"], UNKNOWN),
    (["--RO", "/", "--", "true"], UNKNOWN),
    (["--ro=/", "--", "true"], UNKNOWN),
    (["true"], UNKNOWN),
    (["bogus", "--status-fd"], UNKNOWN),
    (["--status-fd"], INVALID_FD),
    (["--status-fd", "5", "--status-fd", "6", "--", "true"], INVALID_FD),
    (["--status-fd", "5", "--status-fd", "x", "--", "true"], INVALID_FD),
    (["--status-fd", "2", "--", "true"], FD_RANGE),
    (["--status-fd", "-1", "--", "true"], FD_RANGE),
    (["--status-fd", "3x", "--", "true"], FD_RANGE),
    (["--status-fd", "", "--", "true"], FD_RANGE),
    (["--status-fd", " ", "--", "true"], FD_RANGE),
    (["--status-fd", "+", "--", "true"], FD_RANGE),
    (["--status-fd", "7 ", "--", "true"], FD_RANGE),
    (["--status-fd", "0x7", "--", "true"], FD_RANGE),
    (["--status-fd", "4294967299", "--", "true"], FD_RANGE),  # 2^32 + 3 must not wrap
    (["--status-fd", "2147483648", "--", "true"], FD_RANGE),
    (["--status-fd", "9223372036854775811", "--", "true"], FD_RANGE),  # 2^63 + 3
    (["--status-fd", "-9223372036854775805", "--", "true"], FD_RANGE),
    (["--status-fd", "99999999999999999999999", "--", "true"], FD_RANGE),
    (["--status-fd", "--", "true"], FD_RANGE),
    (["--status-fd", "3x", "--ro"], FD_RANGE),  # the first error decides
    (["--rw"], GRANT_PATH),
    (["--ro", "/", "--rw"], GRANT_PATH),
    (["--ro", "/", "--ro"], GRANT_PATH),
    (["--tcp-connect", "80"], MISSING),
    (["--no-network"], MISSING),
    (["--scope", "signal", "--tcp-bind", "0"], MISSING),
    (["--tcp-connect", "80", "--probe"], PROBE_ALONE),
    (["--no-network", "--probe"], PROBE_ALONE),
    (["--no-network", "none", "--", "true"], UNKNOWN),  # takes no value
    (["--tcp-connect=80", "--", "true"], UNKNOWN),
    (["--scope=signal", "--", "true"], UNKNOWN),
    (["--TCP-CONNECT", "80", "--", "true"], UNKNOWN),
    (["bogus", "--tcp-connect"], UNKNOWN),
    (["--tcp-connect"], PORT_MISSING),
    (["--ro", "/", "--tcp-bind"], PORT_MISSING),
    *[(["--tcp-connect", value, "--", "true"], PORT_INVALID)
      for value in ["", "65536", "99999", "-1", "+80", " 80", "80 ", "0x50", "8o", "1e3", "80.0",
                    "4294967376", "18446744073709551696", "--"]],  # 2^32 + 80, 2^64 + 80
    (["--tcp-bind", "65536", "--", "true"], PORT_INVALID),
    (["--tcp-bind", "x", "--ro"], PORT_INVALID),  # the first error decides
    (["--tcp-bind", "80", "--status-fd", "2", "--", "true"], FD_RANGE),
    (["--scope"], SCOPE_INVALID),
    *[(["--scope", value, "--", "true"], SCOPE_INVALID)
      for value in ["", "Signal", "signals", "abstract-unix-sockets", "abstract_unix_socket",
                    "signal,abstract-unix-socket", "--"]],
    (["--scope", "bogus", "--tcp-connect", "x"], SCOPE_INVALID),
]


class ArgumentErrorTest(unittest.TestCase):
    def test_every_argument_error(self):
        for args, text in ARGUMENT_ERRORS:
            with self.subTest(args=args):
                run = run_launcher(*args, status_fd=5)
                self.assertEqual(run.status, 125)
                self.assertEqual(run.stderr, message(text))
                self.assertEqual(run.stdout, b"")
                self.assertEqual(run.status_lines, b"")

    def test_closed_status_descriptor_is_found_by_the_launch_first(self):
        # Parsing accepts any number in range; the launch tests the descriptor before
        # it looks at the grants.
        run = run_launcher("--status-fd", "9", "--ro", "/nonexistent-grant", "--", "true")
        self.assertEqual(run.status, 125)
        self.assertEqual(run.stderr, error_message("invalid status descriptor", errno.EBADF))


class StatusDescriptorValueTest(unittest.TestCase):
    def test_accepted_spellings(self):
        abi = require_landlock(self)
        for text in ["7", " 7", "+7", "\t\n 7", "007", "+0007"]:
            with self.subTest(value=text):
                run = run_launcher("--status-fd", text, *system_grants(), "--", "true",
                                   status_fd=7)
                self.assertEqual((run.status, run.stderr), (0, b""))
                self.assertEqual(run.status_lines, status_line("prepared", abi))

    def test_largest_descriptor_is_accepted_by_the_parser(self):
        # In range, so parsing succeeds and the launch reports it as not open.
        run = run_launcher("--status-fd", "2147483647", "--", "true")
        self.assertEqual(run.stderr, error_message("invalid status descriptor", errno.EBADF))


class PortValueTest(unittest.TestCase):
    def test_accepted_ports(self):
        # Decimal from 0 to 65535, leading zeros included; the run goes on to the
        # sandbox and the command.
        abi = require_landlock(self)
        if abi < 4:
            self.skipTest("Landlock ABI 4 is not available here")
        for value in ["0", "65535", "080", "00000000000000000000443"]:
            with self.subTest(value=value):
                run = run_launcher("--status-fd", "7", "--tcp-connect", value, "--tcp-bind", value,
                                   *system_grants(), "--", "true", status_fd=7)
                self.assertEqual((run.status, run.stderr), (0, b""))
                self.assertEqual(run.status_lines, status_line("prepared", abi))


class GrantPathTakenVerbatimTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="orva-launcher-")
        self.addCleanup(shutil.rmtree, self.dir)

    def test_double_dash_after_grant_is_a_path(self):
        require_landlock(self)
        os.mkdir(os.path.join(self.dir, "--"))
        with open(os.path.join(self.dir, "--", "f"), "w") as f:
            f.write("under dash-dash\n")
        run = run_launcher(*system_grants(), "--ro", "--", "--", "cat", "./--/f", cwd=self.dir)
        self.assertEqual((run.status, run.stderr), (0, b""))
        self.assertEqual(run.stdout, b"under dash-dash\n")

    def test_words_after_double_dash_are_the_command(self):
        require_landlock(self)
        bin_dir = os.path.join(self.dir, "bin")
        os.mkdir(bin_dir)
        program = os.path.join(bin_dir, "--ro")
        with open(program, "w") as f:
            f.write('#!/bin/sh\necho "ran $0 $*"\n')
        os.chmod(program, 0o755)
        run = run_launcher(*system_grants(), "--ro", self.dir, "--", "--ro", "/x",
                           env={"PATH": bin_dir})
        self.assertEqual((run.status, run.stderr), (0, b""))
        self.assertEqual(run.stdout, f"ran {program} /x\n".encode())


class ProbeTest(unittest.TestCase):
    def test_probe_line(self):
        abi = require_landlock(self)
        run = run_launcher("--probe", status_fd=3)
        self.assertEqual(run.status, 0)
        self.assertEqual(run.stdout, b'{"abi":%d,"enforcement":"partial"}\n' % abi)
        self.assertEqual((run.stderr, run.status_lines), (b"", b""))

    def test_probe_output_failure_is_not_reported(self):
        # Standard output that cannot take the line: the read end of a pipe, or a
        # write end whose reader has gone (EPIPE, never death by SIGPIPE).
        require_landlock(self)
        for label in ("read end", "reader gone"):
            with self.subTest(label):
                read_end, write_end = os.pipe()
                target = read_end if label == "read end" else write_end
                os.close(write_end if target == read_end else read_end)
                try:
                    run = run_launcher("--probe", stdout=target)
                finally:
                    os.close(target)
                self.assertEqual((run.status, run.stderr), (0, b""))

    def test_kernel_without_landlock(self):
        # Under emulation no filter is needed: this machine's qemu-user answers the
        # Landlock system calls with ENOSYS itself.
        prepare = None if EMULATOR else seccomp_faults(Fault("landlock_create_ruleset", errno.ENOSYS))
        run = run_launcher("--probe", prepare=prepare)
        self.assertEqual(run.status, 125)
        self.assertEqual(run.stderr, error_message("Landlock is unavailable", errno.ENOSYS))
        self.assertEqual(run.stdout, b"")

    def test_landlock_too_old(self):
        # Error number 0 makes the version query return 0, an ABI below 3.
        run = run_launcher("--probe", prepare=seccomp_faults(
            Fault("landlock_create_ruleset", 0, {2: 1})))
        self.assertEqual(run.status, 125)
        self.assertEqual(run.stderr, message("Landlock ABI 3 or newer is required"))
        self.assertEqual(run.stdout, b"")


if __name__ == "__main__":
    unittest.main()
