"""The cross-built launcher under qemu-user, where whatever needs Landlock fails the
way the launcher reports a kernel without it, because the emulator does not pass
the Landlock system calls through, while the checks that come before the sandbox
still run. The other launcher tests run under the emulator too: the argument
errors and the stdin relay (offsets, pipes, signals, exit mirroring) work there as
natively, with host programs as the relayed commands (an execve from inside
qemu-user starts a real host process image)."""

import errno
import os
import tempfile
import unittest

import launcher_harness as h


@unittest.skipUnless(h.EMULATOR, "runs the cross-built launcher under its emulator")
class LandlockUnderEmulationTest(unittest.TestCase):
    """Debian 12's qemu-aarch64-static (7.2) answers system calls 444 to 446
    (landlock_create_ruleset, landlock_add_rule, landlock_restrict_self) with ENOSYS
    itself, whatever the host kernel supports. To the launcher that is a kernel
    without Landlock: the version query fails, and the launcher must say so with the
    system's text for ENOSYS and exit 125, before any rule or status line."""

    def test_probe_reports_landlock_unavailable(self):
        h.expect_landlock_unavailable(self, h.run_launcher("--probe"))

    def test_direct_launch_reports_landlock_unavailable_and_runs_nothing(self):
        # With the network and scope options too: the version query fails before
        # their ABI is looked at.
        for extra in ([], ["--tcp-connect", "443", "--no-network", "--scope", "signal"]):
            with self.subTest(extra=extra), tempfile.TemporaryDirectory() as d:
                marker = os.path.join(d, "ran")
                run = h.run_launcher("--status-fd", "3", "--ro", "/", "--rw", d, *extra, "--",
                                     "sh", "-c", f": > {marker}", status_fd=3)
                h.expect_landlock_unavailable(self, run)
                self.assertFalse(os.path.exists(marker))

    def test_missing_grant_path_is_not_reached(self):
        # The version query comes first: an unopenable grant is never looked at.
        run = h.run_launcher("--ro", "/nonexistent/grant", "--", "true")
        h.expect_landlock_unavailable(self, run)

    def test_accepted_status_fd_forms_get_past_the_parser(self):
        # Leading blanks and a plus sign are accepted; the launch then fails at the
        # Landlock step, not in the parser, and writes no status line.
        for value in ["  3", "+3", "\t003"]:
            with self.subTest(value=value):
                run = h.run_launcher("--status-fd", value, "--", "true", status_fd=3)
                h.expect_landlock_unavailable(self, run)

    def test_checks_before_the_sandbox_still_run(self):
        # A closed status descriptor is refused before Landlock is asked anything.
        run = h.run_launcher("--status-fd", "9", "--", "true")
        self.assertEqual((run.status, run.stderr),
                         (125, h.error_message("invalid status descriptor", errno.EBADF)))
        # A non-blocking standard output is made blocking before the sandbox step,
        # and the change shows on the test's own copy of the open file description.
        read_end, write_end = os.pipe()
        try:
            os.set_blocking(write_end, False)
            run = h.run_launcher("--", "true", stdout=write_end)
            self.assertEqual((run.status, run.stderr), (125, h.LANDLOCK_UNAVAILABLE_EMULATED))
            self.assertTrue(os.get_blocking(write_end))
        finally:
            os.close(read_end)
            os.close(write_end)


if __name__ == "__main__":
    unittest.main()
