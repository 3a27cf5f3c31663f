"""make demo's script over this build tree: it runs to the end, shows the catalog
document exactly as the scanner prints it, and then the same catalog as a table
whose titles come from the custom title, else the sidecar, else the first prompt."""

import json
import os
import subprocess
import unittest

from orva_test_support import SOURCE_DIR

BUILD_DIR = os.environ.get("ORVA_BUILD_DIR", "")
SCANNER = os.environ.get("ORVA_SESSION_SCAN", "")
DEMO = os.path.join(SOURCE_DIR, "scripts", "demo")
TABLE = os.path.join(SOURCE_DIR, "scripts", "catalog-table")
EXAMPLES = os.path.join(SOURCE_DIR, "examples", "chats")


def table_rows(document):
    """The rows that catalog-table prints for document (a dict), header first, each
    split into its columns."""
    result = subprocess.run([TABLE], input=json.dumps(document).encode(), capture_output=True,
                            timeout=60, check=True)
    return [[cell.strip() for cell in line.split("  ") if cell.strip()]
            for line in result.stdout.decode().splitlines()]


class DemoTest(unittest.TestCase):
    def test_demo_shows_the_document_and_the_table(self):
        if not (BUILD_DIR and SCANNER):
            self.skipTest("ORVA_BUILD_DIR and ORVA_SESSION_SCAN are not set")
        catalog = subprocess.run([SCANNER, "scan-catalog", EXAMPLES], capture_output=True,
                                 timeout=60, check=True).stdout
        demo = subprocess.run([DEMO, BUILD_DIR], capture_output=True, timeout=120)
        self.assertEqual(demo.returncode, 0, demo.stderr)
        lines = demo.stdout.splitlines(keepends=True)
        self.assertIn(catalog, lines)
        after = lines[lines.index(catalog) + 1:]
        for entry in json.loads(catalog)["entries"]:
            with self.subTest(entry["name"]):
                rows = [line for line in after if line.startswith(entry["name"].encode() + b" ")]
                self.assertEqual(len(rows), 1)
                self.assertEqual(rows[0].split()[1].decode(), entry["status"])

    def test_table_titles(self):
        entries = [
            {"name": "a.jsonl", "status": "ok", "promptText": "prompt", "customTitle": "Custom",
             "titleSource": "manual", "titleSidecar": {"displayName": "Side", "source": "auto"}},
            {"name": "b.jsonl", "status": "ok", "promptText": "prompt",
             "titleSidecar": {"displayName": "Side", "source": "auto"}},
            {"name": "c.jsonl", "status": "ok", "promptText": "Fix the\nlogin test " + "x" * 60},
            {"name": "d.jsonl", "status": "fallback"},
        ]
        rows = table_rows({"version": 1, "truncated": True, "entries": entries})
        self.assertEqual(rows[0], ["NAME", "STATUS", "TITLE", "FROM"])
        self.assertEqual(rows[1], ["a.jsonl", "ok", "Custom", "custom title, manual"])
        self.assertEqual(rows[2], ["b.jsonl", "ok", "Side", "sidecar, auto"])
        self.assertEqual(rows[3][:2] + rows[3][3:], ["c.jsonl", "ok", "first prompt"])
        self.assertTrue(rows[3][2].startswith("Fix the login test xxx") and rows[3][2].endswith("..."))
        self.assertEqual(rows[4], ["d.jsonl", "fallback", "-", "-"])
        self.assertEqual(len(rows), 6)  # and the line that says the list is cut


if __name__ == "__main__":
    unittest.main()
