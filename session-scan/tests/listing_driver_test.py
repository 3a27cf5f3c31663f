"""The scanner's listing and pool seen from outside: which files appear, in which
order, with which mtimeMs; the directory verdicts; and a refused thread start.
Statuses depend on the per-file workers and are only checked to be legal here;
that the thread count leaves the documents' bytes alone is shown by the catalog
and project-ids tests over files of every kind."""

import errno
import os
import unittest

from scanner_harness import (ChatDirTestCase, run_scanner, run_scanner_under_thread_limit,
                             session_name)

EMPTY_CATALOG = b'{"version":1,"truncated":false,"entries":[]}\n'
EMPTY_PROJECT_IDS = b'{"version":1,"entries":[]}\n'
SUBCOMMANDS = (("scan-catalog", EMPTY_CATALOG), ("scan-project-ids", EMPTY_PROJECT_IDS))
STATUSES = {"ok", "skip", "fallback"}


def os_error_line(code):
    return ("orva-session-scan: %s (os error %d)\n" % (os.strerror(code), code)).encode()


def mtime_ms(ns):
    """Milliseconds as the scanner computes them: before the epoch, the distance
    up to it, negated."""
    seconds, nanos = divmod(abs(ns), 10**9)
    ms = float(seconds) * 1000.0 + float(nanos) / 1000000.0
    return ms if ns >= 0 else -ms


def session_record(n):
    stem, _ = session_name(n)
    return {"type": "user", "sessionId": stem, "cwd": "/work/p%d" % n,
            "timestamp": "2026-01-01T00:00:00.000Z", "message": {"role": "user", "content": "hi %d" % n}}


class DirectoryVerdicts(ChatDirTestCase):
    def test_missing_directory_gives_the_empty_document(self):
        for subcommand, empty in SUBCOMMANDS:
            for path in (os.path.join(self.chats, "absent"), os.path.join(self.chats, "absent", "deeper"), ""):
                with self.subTest(subcommand=subcommand, path=path):
                    run = run_scanner(subcommand, path)
                    self.assertEqual((run.status, run.stdout, run.stderr), (0, empty, b""))

    def test_regular_file_is_not_a_directory(self):
        path = self.write_file(session_name(1)[1], "{}\n")
        for subcommand, _ in SUBCOMMANDS:
            with self.subTest(subcommand=subcommand):
                run = run_scanner(subcommand, path)
                self.assertEqual((run.status, run.stdout, run.stderr), (1, b"", os_error_line(errno.ENOTDIR)))


class RefusedThreadStart(ChatDirTestCase):
    def test_no_document_and_status_101(self):
        for n in range(3):
            self.write_file(session_name(n)[1], [session_record(n)])
        self.share_with_others()
        for subcommand, _ in SUBCOMMANDS:
            with self.subTest(subcommand=subcommand):
                run = run_scanner_under_thread_limit(1, subcommand, self.chats)
                self.assertEqual(run.status, 101, run.stderr)
                self.assertEqual(run.stdout, b"")
                self.assertIn(b"failed to spawn thread", run.stderr)
                self.assertIn(("%s (os error %d)" % (os.strerror(errno.EAGAIN), errno.EAGAIN)).encode(), run.stderr)


class Documents(ChatDirTestCase):
    def catalog(self, *options):
        run = run_scanner("scan-catalog", self.chats, *options)
        self.assertEqual((run.status, run.stderr), (0, b""))
        document = run.document()
        for entry in document["entries"]:
            self.assertIn(entry["status"], STATUSES)
        return document

    def project_names(self, *options):
        run = run_scanner("scan-project-ids", self.chats, *options)
        self.assertEqual((run.status, run.stderr), (0, b""))
        return [entry["name"] for entry in run.document()["entries"]]

    def test_selection_order_and_times(self):
        t = 1_700_000_000_123_456_789
        times = {1: t, 2: t, 3: t + 10**9, 4: -500_000_000, 5: 0, 6: -1}
        for n, ns in times.items():
            self.write_file(session_name(n)[1], [session_record(n)], mtime_ns=ns)
        os.symlink(session_name(1)[1], os.path.join(self.chats, session_name(7)[1]))
        os.mkdir(os.path.join(self.chats, session_name(8)[1]))
        os.utime(os.path.join(self.chats, session_name(8)[1]), ns=(t - 10**9, t - 10**9))
        self.write_file(session_name(1)[0] + ".title.json", '{"displayName":"x"}')
        self.write_file("notes.txt", "x")

        document = self.catalog()
        self.assertIs(document["truncated"], False)
        got = [(e["name"], e["mtimeMs"]) for e in document["entries"]]
        order = [3, 1, 2, 8, 5, 6, 4]
        times[8] = t - 10**9
        self.assertEqual(got, [(session_name(n)[1], mtime_ms(times[n])) for n in order])
        self.assertEqual(self.project_names(), sorted(session_name(n)[1] for n in range(1, 9)))

    def test_cursor_and_cap(self):
        for n in range(1, 6):
            self.write_file(session_name(n)[1], [session_record(n)], mtime_ns=n * 10**9)
        cases = [
            ((), [5, 4, 3, 2, 1], False),
            (("--cursor-mtime", "3500", "--max-files", "3"), [3, 2, 1], False),
            (("--cursor-mtime", "3500", "--max-files", "2"), [3, 2], True),
            (("--cursor-mtime", "4000"), [3, 2, 1], False),
            (("--cursor-mtime", "4000", "--cursor-inclusive"), [4, 3, 2, 1], False),
            (("--max-files", "0"), [], True),
            (("--cursor-mtime", "nan"), [], False),
            (("--cursor-mtime", "inf"), [5, 4, 3, 2, 1], False),
        ]
        for options, sessions, truncated in cases:
            with self.subTest(options=options):
                document = self.catalog(*options)
                self.assertEqual([e["name"] for e in document["entries"]], [session_name(n)[1] for n in sessions])
                self.assertIs(document["truncated"], truncated)
        self.assertEqual(self.project_names("--max-files", "2", "--cursor-mtime", "1500"),
                         [session_name(1)[1], session_name(2)[1]])

    def test_no_files_needs_no_thread(self):
        self.write_file("notes.txt", "x")
        self.share_with_others()
        run = run_scanner_under_thread_limit(1, "scan-catalog", self.chats)
        self.assertEqual((run.status, run.stdout, run.stderr), (0, EMPTY_CATALOG, b""))


if __name__ == "__main__":
    unittest.main()
