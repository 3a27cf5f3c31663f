"""The scanner's command line as the host drives it: words, usage and option errors,
the source digest, the missing and unreadable directory, and write errors."""

import hashlib
import json
import os
import re
import resource
import subprocess
import sys
import unittest

from scanner_harness import SCANNER, ChatDirTestCase, run_scanner, session_name

USAGE = (b"usage: orva-session-scan <scan-catalog|scan-project-ids|--source-sha256> "
         b"[chats_dir] [options]\n")
EMPTY_CATALOG = b'{"version":1,"truncated":false,"entries":[]}\n'
EMPTY_PROJECT_IDS = b'{"version":1,"entries":[]}\n'
SOURCE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src")


class UsageAndOptionErrors(ChatDirTestCase):
    def assert_usage_error(self, run, stderr):
        self.assertEqual((run.status, run.stdout, run.stderr), (2, b"", stderr))

    def test_too_few_words(self):
        self.assert_usage_error(run_scanner(), USAGE)
        self.assert_usage_error(run_scanner("scan-catalog"), USAGE)
        self.assert_usage_error(run_scanner("bogus"), USAGE)

    def test_option_errors_come_before_the_subcommand_and_the_directory(self):
        cases = [
            (["scan-catalog", self.chats, "--threads=4"], b"unknown option: --threads=4\n"),
            (["bogus", self.chats, "--nope"], b"unknown option: --nope\n"),
            (["bogus", self.chats], b"unknown subcommand: bogus\n"),
            (["bogus", "/nonexistent/dir"], b"unknown subcommand: bogus\n"),
            (["scan-catalog", "/nonexistent", "--threads", "--max-files", "5"], b"unknown option: 5\n"),
            (["scan-catalog", self.chats, "--source-sha256"], b"unknown option: --source-sha256\n"),
            (["scan-project-ids", "/etc/passwd", "-x"], b"unknown option: -x\n"),
            (["SCAN-CATALOG", self.chats], b"unknown subcommand: SCAN-CATALOG\n"),
        ]
        for args, stderr in cases:
            with self.subTest(args=args):
                self.assert_usage_error(run_scanner(*args), stderr)

    def test_value_options_accept_any_value_and_the_last_word(self):
        for args in (["--threads"], ["--max-files"], ["--cursor-mtime"], ["--threads", "-3"],
                     ["--threads", "0"], ["--threads", "100"], ["--max-files", "x"],
                     ["--cursor-mtime", "nan", "--cursor-inclusive"]):
            with self.subTest(args=args):
                run = run_scanner("scan-catalog", self.chats, *args)
                self.assertEqual((run.status, run.stdout, run.stderr), (0, EMPTY_CATALOG, b""))


class SourceDigest(unittest.TestCase):
    def test_digest_is_the_hash_of_the_sources_in_name_order(self):
        names = sorted(os.listdir(SOURCE_DIR), key=os.fsencode)
        digest = hashlib.sha256()
        for name in names:
            path = os.path.join(SOURCE_DIR, name)
            if os.path.isfile(path):
                with open(path, "rb") as f:
                    digest.update(f.read())
        expected = digest.hexdigest().encode() + b"\n"
        for extra in ([], ["scan-catalog"], ["--bogus", "x", "--threads"]):
            with self.subTest(extra=extra):
                run = run_scanner("--source-sha256", *extra)
                self.assertEqual((run.status, run.stdout, run.stderr), (0, expected, b""))

    def test_digest_word_in_second_place_is_a_directory(self):
        run = run_scanner("scan-catalog", "--source-sha256")
        self.assertEqual((run.status, run.stdout), (0, EMPTY_CATALOG))


class Directories(ChatDirTestCase):
    def test_missing_directory_prints_the_empty_document(self):
        for path in ("/nonexistent/chats", ""):
            with self.subTest(path=path):
                run = run_scanner("scan-catalog", path)
                self.assertEqual((run.status, run.stdout, run.stderr), (0, EMPTY_CATALOG, b""))
                run = run_scanner("scan-project-ids", path, "--cursor-mtime", "5", "--cursor-inclusive")
                self.assertEqual((run.status, run.stdout, run.stderr), (0, EMPTY_PROJECT_IDS, b""))

    def test_a_regular_file_is_not_a_directory(self):
        path = self.write_file("plain", b"x")
        for subcommand in ("scan-catalog", "scan-project-ids"):
            run = run_scanner(subcommand, path)
            self.assertEqual((run.status, run.stdout), (1, b""))
            self.assertEqual(run.stderr, b"orva-session-scan: Not a directory (os error 20)\n")

    def test_an_unreadable_directory(self):
        self.share_with_others()
        os.chmod(self.chats, 0o000)
        try:
            run = run_scanner("scan-catalog", self.chats, other_user=True)
        finally:
            os.chmod(self.chats, 0o755)
        self.assertEqual((run.status, run.stdout), (1, b""))
        self.assertEqual(run.stderr, b"orva-session-scan: Permission denied (os error 13)\n")

    def test_empty_directory(self):
        run = run_scanner("scan-catalog", self.chats, "--max-files", "0")
        self.assertEqual((run.status, run.stdout, run.stderr), (0, EMPTY_CATALOG, b""))
        run = run_scanner("scan-project-ids", self.chats)
        self.assertEqual((run.status, run.stdout, run.stderr), (0, EMPTY_PROJECT_IDS, b""))


class Streams(ChatDirTestCase):
    def run_into_closed_pipe(self, *args):
        read_end, write_end = os.pipe()
        os.close(read_end)
        try:
            proc = subprocess.run([SCANNER, *args], stdout=write_end, stderr=subprocess.PIPE,
                                  stdin=subprocess.DEVNULL, timeout=60)
        finally:
            os.close(write_end)
        return proc

    def test_closed_reader_is_a_write_error(self):
        proc = self.run_into_closed_pipe("scan-catalog", self.chats)
        self.assertEqual(proc.returncode, 1)
        self.assertEqual(proc.stderr, b"orva-session-scan: Broken pipe (os error 32)\n")

    def test_fixed_outputs_that_cannot_be_written_are_internal_faults(self):
        for args in (["--source-sha256"], ["scan-catalog", "/nonexistent"]):
            with self.subTest(args=args):
                proc = self.run_into_closed_pipe(*args)
                self.assertEqual(proc.returncode, 101)
                self.assertIn(b"Broken pipe", proc.stderr)

    def test_arguments_that_are_not_utf8(self):
        for args in ([b"scan-catalog", b"/tmp/\xff"], [b"\xc3", b"x"], [b"--source-sha256", b"\xed\xa0\x80"]):
            with self.subTest(args=args):
                run = run_scanner(*args)
                self.assertEqual((run.status, run.stdout), (101, b""))
                self.assertIn(b"not valid UTF-8", run.stderr)


class InternalFaults(ChatDirTestCase):
    """An allocation that fails on the main thread is a fatal internal fault: one
    line and status 101, never an abort by signal."""

    def setUp(self):
        super().setUp()
        with open(SCANNER, "rb") as f:
            image = f.read()
        if b"__asan_init" in image or b"__tsan_init" in image:
            self.skipTest("the sanitizers reserve address space of their own")

    def run_with_address_space(self, limit, *args):
        def restrict():
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        return run_scanner(*args, preexec_fn=restrict)

    def test_allocation_failure_is_status_101(self):
        # The smallest address space in which the program starts and prints its
        # digest; a little above it, the document's buffer no longer fits.
        low, high = 1 << 20, 1 << 33
        while high - low > 4096:
            middle = (low + high) // 2
            if self.run_with_address_space(middle, "--source-sha256").status == 0:
                high = middle
            else:
                low = middle
        for subcommand, empty in (("scan-catalog", EMPTY_CATALOG), ("scan-project-ids", EMPTY_PROJECT_IDS)):
            statuses = set()
            for step in range(64):
                run = self.run_with_address_space(high + step * 16384, subcommand, self.chats)
                with self.subTest(subcommand=subcommand, step=step):
                    self.assertIn(run.status, (0, 1, 101), run.stderr)
                    if run.status == 0:
                        self.assertEqual((run.stdout, run.stderr), (empty, b""))
                    else:
                        self.assertEqual(run.stdout, b"")
                        self.assertTrue(run.stderr.startswith(b"orva-session-scan: "), run.stderr)
                        self.assertEqual(run.stderr.count(b"\n"), 1, run.stderr)
                statuses.add(run.status)
                if run.status == 0:
                    break
            self.assertIn(101, statuses)
            self.assertIn(0, statuses)

    def test_worker_that_runs_out_of_memory_is_reported_with_its_count(self):
        # Two threads: the first one's share holds 2000 records with a 60 KB working
        # directory each, more than the address space left to it; the second one's
        # records are tiny. The first thread must fail and be reported; the document
        # still comes out, with status 0, and lacks exactly the entries reported.
        tiny = os.path.join(self._tmp, "tiny")
        os.mkdir(tiny)
        for n in range(4000):
            stem, name = session_name(n)
            for directory in (self.chats, tiny):
                cwd = "/w" * 30000 if directory == self.chats and n < 2000 else "/w"
                record = {"type": "user", "sessionId": stem, "cwd": cwd, "timestamp": "t",
                          "message": {"parts": [{"text": "p"}]}}
                path = os.path.join(directory, name)
                with open(path, "w") as f:
                    f.write(json.dumps(record) + "\n")
                # Newest first: the large records are the first thread's share.
                os.utime(path, ns=((2000000000 - n) * 10**9,) * 2)
        for subcommand in ("scan-catalog", "scan-project-ids"):
            # The smallest address space in which the tiny directory scans cleanly.
            low, high = 1 << 20, 1 << 33
            while high - low > 65536:
                middle = (low + high) // 2
                run = self.run_with_address_space(middle, subcommand, tiny, "--threads", "2")
                if run.status == 0 and run.stderr == b"":
                    high = middle
                else:
                    low = middle
            for attempt in range(3):
                with self.subTest(subcommand=subcommand, attempt=attempt):
                    run = self.run_with_address_space(high + (40 << 20), subcommand, self.chats,
                                                      "--threads", "2")
                    self.assertEqual(run.status, 0, run.stderr)
                    missing = set()
                    for line in run.stderr.decode().splitlines():
                        match = re.fullmatch(r"orva-session-scan: worker thread (\d+) \(files (\d+) to (\d+)\) "
                                             r"failed: std::bad_alloc; (\d+) entries are left out of the document",
                                             line)
                        self.assertIsNotNone(match, line)
                        first, last, count = int(match[2]), int(match[3]), int(match[4])
                        self.assertEqual(count, last - first + 1)
                        missing |= set(range(first - 1, last))
                    self.assertTrue(run.stderr.startswith(
                        b"orva-session-scan: worker thread 1 (files 1 to 2000) failed: "), run.stderr)
                    names = [entry["name"] for entry in run.document()["entries"]]
                    self.assertEqual(names, [session_name(n)[1] for n in range(4000) if n not in missing])

if __name__ == "__main__":
    unittest.main()
