"""scan-project-ids end to end: a few head rules, entries that are not regular files,
permissions, the exact document bytes and thread-count independence."""

import json
import os
import resource
import socket
import stat
import unittest

from scanner_harness import ChatDirTestCase, run_scanner, session_name, SCANNER

WINDOW = 65536
RECORD = {"sessionId": "s-1", "cwd": "/work/app"}
RECORD_LINE = json.dumps(RECORD, separators=(",", ":")).encode()
BLANKS = b" \t\f\r\n\r\n\n\t \r \f\n"


def record_of_length(length):
    """A record line of exactly length bytes, padded inside a JSON string."""
    head = b'{"sessionId":"s-1","cwd":"/work/app","pad":"'
    return head + b"p" * (length - len(head) - 2) + b'"}'


def padded(data, size, filler=b" "):
    return data + filler * (size - len(data))


OK = ("ok", "s-1", "/work/app")

# A few head rules end to end, enough to show the program's wiring: each status, the
# window's edge, and present empty strings and escapes as the document writes them.
# The full table of rules is head_scan_test.cpp's.
# (what, file content, (status, sessionId, cwd)); sessionId and cwd only with "ok".
HEAD_CASES = [
    ("empty file", b"", ("skip",)),
    ("blank lines only", BLANKS, ("skip",)),
    ("exactly 65536 bytes, one unterminated record", record_of_length(WINDOW), OK),
    ("65537 bytes, one unterminated record", record_of_length(WINDOW + 1), ("fallback",)),
    ("non-JSON first line followed by valid lines", b"hello\n" + (RECORD_LINE + b"\n") * 3, ("fallback",)),
    ("empty sessionId and cwd", b'{"sessionId":"","cwd":""}\n', ("ok", "", "")),
    ("strings that need escaping on output", b'{"sessionId":"a\\"b","cwd":"/tab\\there\\u001b/\xc3\xa9"}\n',
     ("ok", 'a"b', "/tab\there\x1b/\u00e9")),
]


def entry_of(expected):
    status = expected[0]
    if status != "ok":
        return {"status": status}
    return {"status": status, "sessionId": expected[1], "cwd": expected[2]}


class ProjectIdsTest(ChatDirTestCase):
    def scan(self, *options, **kwargs):
        run = run_scanner("scan-project-ids", self.chats, *options, **kwargs)
        self.assertEqual(run.status, 0, run.stderr)
        self.assertEqual(run.stderr, b"")
        return run

    def entries(self, *options, **kwargs):
        document = self.scan(*options, **kwargs).document()
        self.assertEqual(list(document), ["version", "entries"])
        self.assertEqual(document["version"], 1)
        return {e["name"]: {k: v for k, v in e.items() if k != "name"} for e in document["entries"]}

    def test_head_rules(self):
        names = {}
        for n, (what, content, _) in enumerate(HEAD_CASES):
            names[what] = session_name(n)[1]
            self.write_file(names[what], content)
        entries = self.entries()
        for what, _, expected in HEAD_CASES:
            with self.subTest(what):
                self.assertEqual(entries[names[what]], entry_of(expected))

    def test_entries_that_are_not_regular_files_are_skipped_without_blocking(self):
        target = self.write_file("target", RECORD_LINE + b"\n")
        kinds = ["symlink", "dangling symlink", "directory", "fifo", "socket", "character device"]
        names = {kind: session_name(n)[1] for n, kind in enumerate(kinds)}
        path = {kind: os.path.join(self.chats, name) for kind, name in names.items()}
        os.symlink(target, path["symlink"])
        os.symlink(os.path.join(self.chats, "nowhere"), path["dangling symlink"])
        os.mkdir(path["directory"])
        os.mkfifo(path["fifo"])
        listener = socket.socket(socket.AF_UNIX)
        self.addCleanup(listener.close)
        listener.bind(path["socket"])
        listener.listen()
        try:
            os.mknod(path["character device"], 0o666 | stat.S_IFCHR, os.makedev(1, 3))
        except PermissionError:
            del names["character device"]  # making a device node takes root
        # A blocking open of the FIFO would hang the scan; the timeout turns that into a failure.
        entries = self.entries(timeout=20)
        self.assertEqual(entries, {name: {"status": "skip"} for name in names.values()})

    def test_unreadable_file_is_fallback(self):
        self.share_with_others()
        readable = session_name(1)[1]
        unreadable = session_name(2)[1]
        self.write_file(readable, RECORD_LINE + b"\n")
        os.chmod(self.write_file(unreadable, RECORD_LINE + b"\n"), 0)
        entries = self.entries(other_user=True)
        self.assertEqual(entries, {readable: entry_of(OK), unreadable: {"status": "fallback"}})

    def test_document_bytes(self):
        first, second, third = (session_name(n)[1] for n in (1, 2, 3))
        self.write_file(first, b'{"sessionId":"a","cwd":"/x"}\n')
        self.write_file(second, b"")
        self.write_file(third, b"junk\n")
        self.write_file("notes.txt", RECORD_LINE)
        self.write_file(session_name(4)[0] + ".title.json", b"{}")
        expected = ('{"version":1,"entries":['
                    '{"name":"%s","status":"ok","sessionId":"a","cwd":"/x"},'
                    '{"name":"%s","status":"skip"},'
                    '{"name":"%s","status":"fallback"}]}\n' % (first, second, third)).encode()
        self.assertEqual(self.scan().stdout, expected)

    def test_name_order_and_max_files(self):
        names = sorted(session_name(n)[1] for n in (5, 1, 9, 3))
        for i, name in enumerate(reversed(names)):
            self.write_file(name, RECORD_LINE + b"\n", mtime_ns=(1700000000 + i) * 10**9)
        self.assertEqual(list(self.entries()), names)
        self.assertEqual(list(self.entries("--max-files", "2")), names[:2])

    def test_same_bytes_whatever_the_thread_count(self):
        for n in range(300):
            name = session_name(n)[1]
            kind = n % 6
            if kind == 0:
                self.write_file(name, b'{"sessionId":"id-%d","cwd":"/p/%d"}\n' % (n, n))
            elif kind == 1:
                self.write_file(name, padded(b'{"sessionId":"big-%d","cwd":"/b"}\n' % n, 70000, b"x"))
            elif kind == 2:
                self.write_file(name, b"")
            elif kind == 3:
                self.write_file(name, padded(b"\n", 70000))
            elif kind == 4:
                os.symlink(os.path.join(self.chats, session_name(0)[1]), os.path.join(self.chats, name))
            else:
                self.write_file(name, b"not json\n")
        single = self.scan("--threads", "1").stdout
        self.assertEqual(len(json.loads(single)["entries"]), 300)
        for threads in ("2", "3", "7", "32"):
            with self.subTest(threads=threads):
                self.assertEqual(self.scan("--threads", threads).stdout, single)
        self.assertEqual(self.scan().stdout, single)

    def test_same_document_under_a_descriptor_limit_of_8(self):
        # The read-ahead shrinks to what the process may hold, down to one file at a
        # time; the document does not change. (Two threads, each with a chat file and
        # a sidecar open, is what 8 descriptors hold beside the standard streams.)
        for n, (_, content, _) in enumerate(HEAD_CASES * 4):
            self.write_file(session_name(n)[1], content)

        def limited():
            resource.setrlimit(resource.RLIMIT_NOFILE, (8, 8))
        for threads in (("--threads", "1"), ("--threads", "2")):
            with self.subTest(threads=threads):
                unlimited = run_scanner("scan-project-ids", self.chats, *threads)
                tight = run_scanner("scan-project-ids", self.chats, *threads, preexec_fn=limited)
                self.assertEqual((tight.status, tight.stderr), (0, b""))
                self.assertEqual(tight.stdout, unlimited.stdout)

    def test_production_binary_has_no_test_hook(self):
        if not SCANNER:
            self.skipTest("ORVA_SESSION_SCAN is not set")
        with open(SCANNER, "rb") as binary:
            self.assertNotIn(b"betweenStatusAndOpen", binary.read())


if __name__ == "__main__":
    unittest.main()
