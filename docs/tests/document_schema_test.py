"""The JSON Schemas of the scanner's documents (docs/*.schema.json): they are valid
draft 2020-12 schemas, they accept exactly the documents the scanner may print, and
the real scanner's documents over the bundled examples and over a generated chat
directory pass them, together with the byte-level checks no schema can express."""

import json
import os
import unittest

import document_check
from document_check import check_document, schema_errors
from orva_test_support import worked_example_catalog
from scanner_harness import ChatDirTestCase, run_scanner

EXAMPLES_DIR = os.path.join(document_check.SOURCE_DIR, "examples", "chats")

# One "ok" catalog entry as the scanner writes it: name, time and status, then the
# session keys in their order.
WORKED_EXAMPLE = worked_example_catalog()
NAME = json.loads(WORKED_EXAMPLE)["entries"][0]["name"]
STEM = NAME[:-len(".jsonl")]
UPPER_NAME = STEM.upper() + ".jsonl"

VALID_DOCUMENTS = [
    ("catalog", WORKED_EXAMPLE),
    ("catalog", b'{"version":1,"truncated":false,"entries":[]}\n'),
    ("catalog", b'{"version":1,"truncated":true,"entries":[]}\n'),
    ("catalog", b'{"version":1,"truncated":false,"entries":[{"name":"' + NAME.encode()
     + b'","mtimeMs":1700000000123.4568,"status":"skip"},{"name":"' + UPPER_NAME.encode()
     + b'","mtimeMs":-1500,"status":"fallback"}]}\n'),
    ("catalog", b'{"version":1,"truncated":false,"entries":[{"name":"' + NAME.encode()
     + b'","mtimeMs":0.5,"status":"ok","sessionId":null,"cwd":"\\u001b\x7f/caf\xc3\xa9",'
       b'"startTime":null,"gitBranch":"","sourceId":"x","titleSidecar":'
       b'{"displayName":"Release notes","source":"prompt"}}]}\n'),
    ("project-ids", b'{"version":1,"entries":[]}\n'),
    ("project-ids", b'{"version":1,"entries":[{"name":"' + NAME.encode()
     + b'","status":"ok","sessionId":"' + STEM.encode() + b'","cwd":null},{"name":"'
     + NAME.replace("0b5e", "1b5e").encode() + b'","status":"skip"}]}\n'),
]


REMOVE = object()


def _changed(document, entry_changes):
    entry = document["entries"][0]
    for key, value in entry_changes.items():
        if value is REMOVE:
            entry.pop(key, None)
        else:
            entry[key] = value
    return document


def catalog_document(**entry_changes):
    """The worked example parsed, with its entry changed (REMOVE drops a key)."""
    return _changed(json.loads(WORKED_EXAMPLE), entry_changes)


def project_document(**entry_changes):
    return _changed({"version": 1, "entries": [
        {"name": NAME, "status": "ok", "sessionId": STEM, "cwd": "/home/dev/app"}]}, entry_changes)


SIDECAR = {"displayName": "Release notes", "source": "manual"}
UNREAD = {k: REMOVE for k in ("sessionId", "cwd", "startTime", "gitBranch", "promptText",
                            "customTitle", "titleSource")}

# Documents that the scanner never prints and the schemas must refuse.
INVALID_DOCUMENTS = [
    ("version 2", "catalog", dict(catalog_document(), version=2)),
    ("extra top-level key", "catalog", dict(catalog_document(), count=1)),
    ("missing truncated", "catalog", {"version": 1, "entries": []}),
    ("ok entry without cwd", "catalog", catalog_document(cwd=REMOVE)),
    ("ok entry without startTime", "catalog", catalog_document(startTime=REMOVE)),
    ("null gitBranch", "catalog", catalog_document(gitBranch=None)),
    ("null promptText", "catalog", catalog_document(promptText=None)),
    ("empty prompt", "catalog", catalog_document(promptText="")),
    ("prompt of 202 characters", "catalog", catalog_document(promptText="\u00e9" * 202)),
    ("empty custom title", "catalog", catalog_document(customTitle="")),
    ("empty parentSessionId", "catalog", catalog_document(parentSessionId="")),
    ("empty sourceType", "catalog", catalog_document(sourceType="")),
    ("titleSource prompt", "catalog", catalog_document(titleSource="prompt")),
    ("titleSource Manual", "catalog", catalog_document(titleSource="Manual")),
    ("titleSource without customTitle", "catalog", catalog_document(customTitle=REMOVE)),
    ("sidecar without source", "catalog",
     catalog_document(titleSidecar={"displayName": "Release notes"})),
    ("sidecar with extra key", "catalog",
     catalog_document(titleSidecar=dict(SIDECAR, version=1))),
    ("sidecar source Manual", "catalog", catalog_document(titleSidecar=dict(SIDECAR, source="Manual"))),
    ("sidecar name with leading blank", "catalog",
     catalog_document(titleSidecar=dict(SIDECAR, displayName=" Release notes"))),
    ("sidecar name with trailing line feed", "catalog",
     catalog_document(titleSidecar=dict(SIDECAR, displayName="Release notes\n"))),
    ("sidecar name with trailing no-break space", "catalog",
     catalog_document(titleSidecar=dict(SIDECAR, displayName="Release notes\u00a0"))),
    ("sidecar name of 257 characters", "catalog",
     catalog_document(titleSidecar=dict(SIDECAR, displayName="x" * 257))),
    ("unknown key in an ok entry", "catalog", catalog_document(summary="x")),
    ("skip entry with session keys", "catalog", catalog_document(status="skip")),
    ("unknown status", "catalog", catalog_document(status="error", **UNREAD)),
    ("fallback entry without mtimeMs", "catalog",
     catalog_document(status="fallback", mtimeMs=REMOVE, **UNREAD)),
    ("mtimeMs as a string", "catalog", catalog_document(mtimeMs="1700000000123")),
    ("name that is no chat file", "catalog", catalog_document(name="notes.txt")),
    ("name with a 31-byte stem", "catalog", catalog_document(name="a" * 31 + ".jsonl")),
    ("project-ids with truncated", "project-ids", dict(project_document(), truncated=False)),
    ("project-ids entry with mtimeMs", "project-ids", project_document(mtimeMs=1)),
    ("project-ids ok entry without cwd", "project-ids", project_document(cwd=REMOVE)),
    ("project-ids skip entry with sessionId", "project-ids",
     project_document(status="skip", cwd=REMOVE)),
    ("project-ids entry with gitBranch", "project-ids", project_document(gitBranch="main")),
]

# Bytes that parse as valid documents but are not what the writer prints.
NON_CANONICAL_DOCUMENTS = [
    ("blank after a colon", WORKED_EXAMPLE.replace(b'"version":1', b'"version": 1')),
    ("exponent", WORKED_EXAMPLE.replace(b"1700000000123.4568", b"1.7000000001234568e12")),
    ("point in an integral number", WORKED_EXAMPLE.replace(b"1700000000123.4568", b"1700000000123.0")),
    ("more digits than needed", WORKED_EXAMPLE.replace(b"123.4568", b"123.45680")),
    ("status before mtimeMs", WORKED_EXAMPLE.replace(
        b',"mtimeMs":1700000000123.4568,"status":"ok"', b',"status":"ok","mtimeMs":1700000000123.4568')),
    ("escaped slash", WORKED_EXAMPLE.replace(b"/home/dev/app", b"\\/home\\/dev\\/app")),
    ("upper-case unicode escape", WORKED_EXAMPLE.replace(b"dev/app", b"dev/app\\u001B")),
    ("escaped non-ASCII character", WORKED_EXAMPLE.replace(b"Login fix", b"Login fix \\u00e9")),
    ("two lines", WORKED_EXAMPLE.replace(b"]}\n", b"]}\n\n")),
    ("no final line feed", WORKED_EXAMPLE[:-1]),
    ("repeated key", WORKED_EXAMPLE.replace(b',"cwd":"/home/dev/app"',
                                            b',"cwd":"/home/dev/app","cwd":"/home/dev/app"')),
    ("entries out of order", b'{"version":1,"truncated":false,"entries":[{"name":"' + NAME.encode()
     + b'","mtimeMs":1,"status":"skip"},{"name":"' + UPPER_NAME.encode()
     + b'","mtimeMs":2,"status":"skip"}]}\n'),
    ("not UTF-8", WORKED_EXAMPLE.replace(b"Login fix", b"Login \xff fix")),
]

CATALOG_OPTIONAL_KEYS = set(document_check.ENTRY_KEYS["catalog"][6:])
STATUSES = {"ok", "skip", "fallback"}


class SchemaTest(unittest.TestCase):
    def test_schemas_are_draft_2020_12(self):
        for kind in document_check.SCHEMA_FILES:
            with self.subTest(kind):
                schema = document_check.load_schema(kind)
                self.assertEqual(schema["$schema"], "https://json-schema.org/draft/2020-12/schema")
                document_check.validator(kind)  # raises on an invalid schema

    def test_documents_the_scanner_may_print_pass(self):
        for kind, raw in VALID_DOCUMENTS:
            with self.subTest(raw=raw[:90]):
                problems, _ = check_document(kind, raw)
                self.assertEqual(problems, [])

    def test_schemas_refuse_what_the_scanner_never_prints(self):
        for label, kind, document in INVALID_DOCUMENTS:
            with self.subTest(label):
                self.assertNotEqual(schema_errors(kind, document), [])

    def test_limits_are_inclusive(self):
        accepted = [
            catalog_document(promptText="\u00e9" * 201),
            catalog_document(promptText="\U0001f600" * 201),
            catalog_document(titleSidecar=dict(SIDECAR, displayName="\u00e9" * 256)),
            catalog_document(titleSidecar=dict(SIDECAR, displayName="a\u00a0\n b")),
            catalog_document(titleSidecar=dict(SIDECAR, displayName="x")),
        ]
        for document in accepted:
            with self.subTest(document["entries"][0].get("titleSidecar", "prompt")):
                self.assertEqual(schema_errors("catalog", document), [])

    def test_byte_checks_refuse_other_spellings(self):
        for label, raw in NON_CANONICAL_DOCUMENTS:
            with self.subTest(label):
                problems, _ = check_document("catalog", raw)
                self.assertNotEqual(problems, [])


class ScannerDocumentsTest(ChatDirTestCase):
    def assertDocument(self, kind, *args):
        run = run_scanner(*args)
        self.assertEqual(run.status, 0, run.stderr)
        self.assertEqual(run.stderr, b"")
        problems, document = check_document(kind, run.stdout)
        self.assertEqual(problems, [], run.stdout[:400])
        return document

    def test_missing_directory(self):
        missing = os.path.join(self.chats, "missing")
        for subcommand, kind in (("scan-catalog", "catalog"), ("scan-project-ids", "project-ids")):
            with self.subTest(subcommand):
                self.assertEqual(self.assertDocument(kind, subcommand, missing)["entries"], [])

    def test_generated_directory(self):
        document_check.write_sample_chats(self)
        catalog = self.assertDocument("catalog", "scan-catalog", self.chats)
        projects = self.assertDocument("project-ids", "scan-project-ids", self.chats)
        self.assertDocument("project-ids", "scan-project-ids", self.chats, "--threads", "1")
        entries = catalog["entries"]
        cursor = repr(entries[1]["mtimeMs"]) if len(entries) > 1 else "1e300"
        paging = [["--max-files", "2"], ["--threads", "1"], ["--cursor-mtime", cursor],
                  ["--cursor-mtime", cursor, "--cursor-inclusive", "--max-files", "1"]]
        pages = [self.assertDocument("catalog", "scan-catalog", self.chats, *args) for args in paging]

        # The directory holds every status and every optional key between its files.
        self.assertEqual({e["status"] for e in entries}, STATUSES)
        self.assertEqual(set().union(*entries) & CATALOG_OPTIONAL_KEYS, CATALOG_OPTIONAL_KEYS)
        self.assertEqual({e["status"] for e in projects["entries"]}, STATUSES)
        self.assertEqual([catalog["truncated"]] + [p["truncated"] for p in pages],
                         [False] + ["--max-files" in args for args in paging])

    def test_bundled_examples(self):
        catalog = self.assertDocument("catalog", "scan-catalog", EXAMPLES_DIR)
        self.assertNotEqual(catalog["entries"], [])
        projects = self.assertDocument("project-ids", "scan-project-ids", EXAMPLES_DIR)
        self.assertNotEqual(projects["entries"], [])


if __name__ == "__main__":
    unittest.main()
