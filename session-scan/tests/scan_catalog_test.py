"""scan-catalog end to end: the exact document bytes, entries that are no readable
chat files, title sidecars (and a hostile one), thread-count independence, and the
bundled example directory."""

import json
import os
import resource
import socket
import unittest

from orva_test_support import worked_example_catalog
from scanner_harness import ChatDirTestCase, run_scanner, run_scanner_measured, session_name, SCANNER

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXAMPLES = os.path.join(TOP, "examples", "chats")

WORKED_STEM = "0b5e2c7a-1d3f-4a6b-8c9d-0e1f2a3b4c5d"
WORKED_NAME = WORKED_STEM + ".jsonl"
WORKED_MTIME_NS = 1700000000 * 10**9 + 123456789


def first_record(sid, prompt="Fix the login test", **extra):
    record = {"type": "user", "sessionId": sid, "cwd": "/home/dev/app", "timestamp": "2023-11-14T22:13:20.000Z",
              "gitBranch": "main"}
    record.update(extra)
    record["message"] = {"role": "user", "parts": [{"type": "text", "text": prompt}]}
    return record


def title_record(title, source="manual"):
    return {"type": "system", "subtype": "custom_title", "customTitle": title, "titleSource": source}


def source_record(kind, source_id):
    return {"type": "system", "subtype": "session_source", "systemPayload": {"sourceType": kind, "sourceId": source_id}}


def assistant_record(text):
    return {"type": "assistant", "message": {"role": "assistant", "parts": [{"type": "text", "text": text}]}}


def sidecar(name, source="auto", version=1):
    return json.dumps({"version": version, "displayName": name, "source": source})


class CatalogTest(ChatDirTestCase):
    def scan(self, *options, **kwargs):
        run = run_scanner("scan-catalog", self.chats, *options, **kwargs)
        self.assertEqual(run.status, 0, run.stderr)
        self.assertEqual(run.stderr, b"")
        return run

    def entries(self, *options, chats=None, **kwargs):
        run = run_scanner("scan-catalog", chats or self.chats, *options, **kwargs)
        self.assertEqual(run.status, 0, run.stderr)
        document = run.document()
        self.assertEqual(list(document), ["version", "truncated", "entries"])
        return {e["name"]: {k: v for k, v in e.items() if k not in ("name", "mtimeMs")} for e in document["entries"]}

    def test_worked_example_bytes(self):
        self.write_file(WORKED_NAME, [first_record(WORKED_STEM, 'Fix the "login" test\nnow'),
                                      assistant_record("Looking at the test."), title_record("Login fix")],
                        mtime_ns=WORKED_MTIME_NS)
        self.assertEqual(self.scan().stdout, worked_example_catalog())
        self.write_file(WORKED_NAME, b"", mtime_ns=WORKED_MTIME_NS)
        self.assertEqual(self.scan().stdout, (
            '{"version":1,"truncated":false,"entries":[{"name":"%s","mtimeMs":1700000000123.4568,"status":"skip"}]}\n'
            % WORKED_NAME).encode())

    def test_every_session_key_in_order_with_sidecar(self):
        stem, name = session_name(7)
        self.write_file(name, [first_record(stem, gitBranch=""), source_record("cli", "t-1"),
                               {"type": "system", "subtype": "parent_session",
                                "systemPayload": {"parentSessionId": "p-\u00e9"}}], mtime_ns=5 * 10**9)
        self.write_file(stem + ".title.json", sidecar('Quote " and \u00e9\t', "prompt"))
        expected = ('{"version":1,"truncated":false,"entries":[{"name":"%s","mtimeMs":5000,"status":"ok",'
                    '"sessionId":"%s","cwd":"/home/dev/app","startTime":"2023-11-14T22:13:20.000Z","gitBranch":"",'
                    '"promptText":"Fix the login test","parentSessionId":"p-\u00e9","sourceType":"cli",'
                    '"sourceId":"t-1","titleSidecar":{"displayName":"Quote \\" and \u00e9","source":"prompt"}}]}\n'
                    % (name, stem)).encode()
        self.assertEqual(self.scan().stdout, expected)

    def test_entries_that_are_no_readable_chat_files(self):
        kinds = ["empty", "blank", "directory", "fifo", "socket", "half-written", "managed", "no timestamp",
                 "symlink"]
        names = {kind: session_name(n)[1] for n, kind in enumerate(kinds)}
        path = {kind: os.path.join(self.chats, name) for kind, name in names.items()}
        self.write_file(names["empty"], b"")
        self.write_file(names["blank"], b"\n \r\n\t\n")
        os.mkdir(path["directory"])
        os.mkfifo(path["fifo"])
        listener = socket.socket(socket.AF_UNIX)
        self.addCleanup(listener.close)
        listener.bind(path["socket"])
        self.write_file(names["half-written"], b'{"type":"user","sessionId":"s","cwd":"/w","timest')
        self.write_file(names["managed"], [{"subtype": "managed_session_header_v1", "sessionId": "s", "cwd": "/",
                                            "timestamp": "t"}])
        self.write_file(names["no timestamp"], [{"sessionId": "s", "cwd": "/"}, first_record("s")])
        os.symlink(self.write_file("target", [first_record("s")]), path["symlink"])
        expected = {names[k]: {"status": "skip"} for k in ("empty", "blank", "directory", "fifo", "socket")}
        expected.update({names[k]: {"status": "fallback"} for k in ("half-written", "managed", "no timestamp")})
        # The symbolic link is not even listed; a FIFO opened for blocking would hang.
        self.assertEqual(self.entries(timeout=20), expected)

    def test_unreadable_chat_file_and_sidecar(self):
        self.share_with_others()
        readable_stem, readable = session_name(1)
        unreadable = session_name(2)[1]
        self.write_file(readable, [first_record(readable_stem)])
        os.chmod(self.write_file(readable_stem + ".title.json", sidecar("Hidden")), 0)
        os.chmod(self.write_file(unreadable, [first_record("x")]), 0)
        entries = self.entries(other_user=True)
        self.assertEqual(entries[unreadable], {"status": "fallback"})
        self.assertEqual(entries[readable]["status"], "ok")
        self.assertNotIn("titleSidecar", entries[readable])

    def test_sidecar_lookup(self):
        cases = [
            # (what, records, sidecar file name given the stem, sidecar content, expected titleSidecar)
            ("read when there is no custom title", [], "{}.title.json", sidecar("  Named  "),
             {"displayName": "Named", "source": "auto"}),
            ("never read with a title and a prompt", [title_record("T")], "{}.title.json", sidecar("Named"), None),
            ("name differs in case", [], "{}.TITLE.json", sidecar("Named"), None),
            ("a symbolic link", [], "link", None, None),
            ("version 2", [], "{}.title.json", sidecar("Named", version=2), None),
            ("trailing second object", [], "{}.title.json", sidecar("Named") + "\n{}", None),
        ]
        target = self.write_file("elsewhere.json", sidecar("Linked"))
        expected = {}
        for n, (what, records, pattern, content, result) in enumerate(cases):
            stem, name = session_name(100 + n)
            self.write_file(name, [first_record(stem)] + records)
            if content is None:
                os.symlink(target, os.path.join(self.chats, stem + ".title.json"))
            else:
                self.write_file(pattern.format(stem), content)
            expected[name] = (what, result)
        entries = self.entries()
        for name, (what, result) in expected.items():
            with self.subTest(what):
                self.assertEqual(entries[name]["status"], "ok")
                self.assertEqual(entries[name].get("titleSidecar"), result)

    def test_hostile_sidecar_is_not_read_whole(self):
        stem, name = session_name(3)
        self.write_file(name, [first_record(stem)])
        path = self.write_file(stem + ".title.json", sidecar("Looks valid"))
        os.truncate(path, 8 << 30)  # sparse: 8 GiB that cost no disk
        run, peak_kib = run_scanner_measured("scan-catalog", self.chats, timeout=30)
        self.assertEqual(run.status, 0, run.stderr)
        entry = run.document()["entries"][0]
        self.assertEqual(entry["status"], "ok")
        self.assertNotIn("titleSidecar", entry)
        self.assertLess(peak_kib, 64 * 1024)

    def test_same_bytes_whatever_the_thread_count(self):
        filler = [assistant_record("w" * 3000) for _ in range(60)]
        for n in range(240):
            stem, name = session_name(n)
            kind = n % 6
            if kind == 0:
                self.write_file(name, [first_record(stem), title_record("Title %d" % n)])
            elif kind == 1:
                self.write_file(name, [first_record(stem)] + filler + [source_record("tail", str(n))])
            elif kind == 2:
                self.write_file(name, [first_record(stem, gitBranch=None)])
            elif kind == 3:
                self.write_file(name, [first_record(stem, prompt="p" * 300)])
                self.write_file(stem + ".title.json", sidecar("Side %d" % n))
            elif kind == 4:
                self.write_file(name, b"")
            else:
                self.write_file(name, b"junk\n")
        single = self.scan("--threads", "1").stdout
        self.assertEqual(len(json.loads(single)["entries"]), 240)
        for threads in ("2", "5", "32"):
            with self.subTest(threads=threads):
                self.assertEqual(self.scan("--threads", threads).stdout, single)
        self.assertEqual(self.scan().stdout, single)
        by_kind = {}
        for entry in json.loads(single)["entries"]:
            by_kind.setdefault(int(entry["name"][:8], 16) % 6, []).append(entry)
        self.assertTrue(all(e["sourceType"] == "tail" for e in by_kind[1]))
        self.assertTrue(all(len(e["promptText"]) == 201 and "titleSidecar" in e for e in by_kind[3]))
        self.assertTrue(all(e["status"] == "fallback" for e in by_kind[2] + by_kind[5]))

    def test_same_document_under_a_descriptor_limit_of_8(self):
        # The read-ahead shrinks to what the process may hold, down to one file at a
        # time; the document does not change. (Two threads, each with a chat file and
        # a sidecar open, is what 8 descriptors hold beside the standard streams.)
        filler = [assistant_record("w" * 3000) for _ in range(60)]
        for n in range(120):
            stem, name = session_name(n)
            if n % 3 == 0:
                self.write_file(name, [first_record(stem)] + filler + [source_record("tail", str(n))])
            elif n % 3 == 1:
                self.write_file(name, [first_record(stem, prompt="p" * 300)])
                self.write_file(stem + ".title.json", sidecar("Side %d" % n))
            else:
                self.write_file(name, [first_record(stem), title_record("Title %d" % n)])

        def limited():
            resource.setrlimit(resource.RLIMIT_NOFILE, (8, 8))
        for chats in (self.chats, EXAMPLES):
            for threads in (("--threads", "1"), ("--threads", "2")):
                with self.subTest(chats=chats, threads=threads):
                    unlimited = run_scanner("scan-catalog", chats, *threads)
                    tight = run_scanner("scan-catalog", chats, *threads, preexec_fn=limited)
                    self.assertEqual((tight.status, tight.stderr), (0, b""))
                    self.assertEqual(tight.stdout, unlimited.stdout)
                    if chats == self.chats:
                        self.assertEqual(tight.stdout.count(b'"status":"ok"'), 120)

    def test_example_directory(self):
        self.maxDiff = None
        entries = self.entries(chats=EXAMPLES)
        summary = {name: (e["status"], e.get("customTitle"), e.get("titleSource"), e.get("sourceType"),
                          e.get("parentSessionId"), (e.get("titleSidecar") or {}).get("displayName"),
                          "gitBranch" in e, len(e.get("promptText", "")))
                   for name, e in entries.items()}
        self.assertEqual(summary, {
            "3f2b8c1e-5a7d-4e90-b6c4-1d8e2f0a9b17.jsonl":
                ("ok", "Login timeout investigation", "manual", "cli", None, None, True, 85),
            "8c41d2e9-0b6f-4f3a-a2d7-5e9c1b3f4a60.jsonl":
                ("ok", "Retry backoff", "auto", "ide", "3f2b8c1e-5a7d-4e90-b6c4-1d8e2f0a9b17", None, True, 29),
            "a7e9f3b2-6c1d-4b8e-9f0a-2d5c7e1b3a48.jsonl":
                ("ok", None, None, None, None, "Release notes 3.2", True, 76),
            "c2d4e6f8-1a3b-4c5d-8e7f-9a0b1c2d3e4f.jsonl": ("ok", None, None, None, None, None, False, 201),
            "d5e6f7a8-b9c0-4d1e-8f2a-3b4c5d6e7f80.jsonl":
                ("ok", "Nightly arm64 failure", "manual", None, None, None, True, 57),
            "e8f9a0b1-c2d3-4e5f-a6b7-c8d9e0f1a2b3.jsonl":
                ("ok", "Flaky test sweep", None, "scheduler", None, None, True, 90),
            "f1a2b3c4-d5e6-4f70-8192-a3b4c5d6e7f8.jsonl": ("fallback",) + (None,) * 5 + (False, 0),
            "0a1b2c3d-4e5f-4061-8273-94a5b6c7d8e9.jsonl": ("skip",) + (None,) * 5 + (False, 0),
            "1b2c3d4e-5f60-4172-8384-a5b6c7d8e9f0.jsonl": ("fallback",) + (None,) * 5 + (False, 0),
        })
        self.assertGreater(os.path.getsize(os.path.join(EXAMPLES, "e8f9a0b1-c2d3-4e5f-a6b7-c8d9e0f1a2b3.jsonl")),
                           131072)

    def test_production_binary_has_no_test_hook(self):
        if not SCANNER:
            self.skipTest("ORVA_SESSION_SCAN is not set")
        with open(SCANNER, "rb") as binary:
            content = binary.read()
        self.assertNotIn(b"beforeChangeCheck", content)
        self.assertNotIn(b"onChatRead", content)


if __name__ == "__main__":
    unittest.main()
