"""The manual pages in docs/man: they render without a single warning (groff with
every warning enabled, mandoc's linter, man -l where man-db is installed), and each
documents every option, key, state, message and exit status of its program."""

import os
import re
import shutil
import subprocess
import unittest

from orva_test_support import worked_example_catalog

MAN_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "man")
PAGES = ["orva-session-scan.1", "orva-landlock-run.1"]
SECTIONS = ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "DIAGNOSTICS",
            "ENVIRONMENT", "EXAMPLES", "SECURITY", "SEE ALSO"]

# What a reader of each page must find in it, as rendered text.
DOCUMENTED = {
    "orva-session-scan.1": [
        "scan-catalog", "scan-project-ids", "--source-sha256", "chats_dir",
        "--threads n", "--max-files n", "--cursor-mtime ms", "--cursor-inclusive",
        '{"version":1,"truncated":bool,"entries":[entry,...]}',
        '{"version":1,"entries":[entry,...]}',
        "displayName", "10000", "201 characters", "1 to 256 characters",
        "unknown option: word", "unknown subcommand: word",
        "orva-session-scan: error text (os error n)",
        "orva-session-scan: failed to write the buffered data", "failed to spawn thread",
        ".title.json", "catalog.schema.json", "project-ids.schema.json",
    ],
    "orva-landlock-run.1": [
        "--probe", "--status-fd n", "--ro path", "--rw path", "--relay-stdin",
        '{"abi":n,"enforcement":"partial"}',
        '{"state":"prepared","abi":n}', '{"state":"exec-failed","abi":n}',
        '{"state":"stdio-setup-failed"}', '{"state":"stdio-failed"}',
        "128 plus the signal number", "/usr/local/bin:/bin:/usr/bin",
        "PATH", "SIGINT", "SIGTERM", "SIGHUP", "/proc/self/fd/0", "descriptor 3",
        '"orva-landlock-run: "',
        "out of memory", "missing -- <argv> command", "--probe takes no other arguments",
        "invalid --status-fd", "--status-fd requires an open descriptor >= 3",
        "grant requires a path", "unknown argument",
        *["%s: error" % text for text in (
            "cannot write execution status", "invalid status descriptor",
            "cannot inspect standard stream", "cannot restore blocking standard stream",
            "cannot set parent-death signal", "cannot close status descriptor on exec",
            "exec failed", "Landlock is unavailable", "cannot create Landlock ruleset",
            "cannot open grant path", "cannot inspect grant path", "cannot add grant rule",
            "cannot set no_new_privs", "cannot enforce Landlock ruleset")],
        "parent exited during setup", "Landlock ABI 3 or newer is required",
        "stdin relay failed", "It does not cover:", "network", "no-new-privileges",
        "--tcp-connect port", "--tcp-bind port", "--no-network", "--scope name",
        "signal", "abstract-unix-socket", "UDP, UNIX sockets",
        "port rule requires a port", "port must be a decimal number from 0 to 65535",
        "--scope takes signal or abstract-unix-socket", "cannot add port rule: error",
        "option requires Landlock ABI n or newer; the kernel has ABI m",
    ],
}


# Items of a list (a line of their own, or a line that starts with them): the keys
# of the documents, the statuses, the exit statuses.
ITEMS = {
    "orva-session-scan.1": [
        "name", "mtimeMs", "status", "sessionId", "cwd", "startTime", "gitBranch", "promptText",
        "parentSessionId", "sourceType", "sourceId", "customTitle", "titleSource",
        "titleSidecar", "ok", "skip", "fallback", "0", "1", "2", "101"],
    "orva-landlock-run.1": ["--", "0", "125", "the command's", "the child's", "PATH"],
}


def page_path(page):
    return os.path.join(MAN_DIR, page)


def run(*command, **kwargs):
    return subprocess.run(command, capture_output=True, timeout=60, **kwargs)


def rendered_text(page):
    """The page as plain text: very long lines, no hyphenation, no overstriking."""
    result = run("groff", "-man", "-Tutf8", "-P-cbou", "-rLL=2000n", "-rHY=0", page_path(page))
    assert result.returncode == 0, result.stderr
    text = result.stdout.decode("utf-8")
    text = text.replace("\u2010", "-").replace("\u2212", "-")
    return "\n".join(re.sub(r"\s+", " ", line).strip() for line in text.splitlines())


class ManPagesTest(unittest.TestCase):
    def test_groff_renders_without_warnings(self):
        for page in PAGES:
            for device in ("utf8", "ascii"):
                with self.subTest(page, device=device):
                    result = run("groff", "-ww", "-z", "-man", "-T" + device, page_path(page))
                    self.assertEqual((result.returncode, result.stderr), (0, b""))

    def test_mandoc_lint_is_silent(self):
        if not shutil.which("mandoc"):
            self.skipTest("mandoc is not installed (scripts/bootstrap installs it)")
        for page in PAGES:
            with self.subTest(page):
                result = run("mandoc", "-T", "lint", "-W", "all", page_path(page))
                self.assertEqual((result.returncode, result.stdout + result.stderr), (0, b""))

    def test_man_renders_without_warnings(self):
        if not shutil.which("man"):
            self.skipTest("man is not installed")
        for page in PAGES:
            with self.subTest(page):
                result = run("man", "--warnings", "-l", page_path(page),
                             env=dict(os.environ, MANWIDTH="80", MANPAGER="cat", PAGER="cat"))
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stderr, b"")
                self.assertIn(b"SYNOPSIS", result.stdout)

    def test_pages_are_ascii_with_this_version(self):
        version = os.environ.get("ORVA_PROJECT_VERSION")
        for page in PAGES:
            with self.subTest(page):
                with open(page_path(page), "rb") as f:
                    source = f.read()
                source.decode("ascii")
                title = source.split(b"\n", 1)[0].decode()
                self.assertTrue(title.startswith(".TH %s 1 " % page[:-2].upper()), title)
                if version:
                    self.assertIn('"orva %s"' % version, title)

    def test_pages_document_everything(self):
        for page in PAGES:
            text = rendered_text(page)
            headings = [line for line in text.splitlines() if line.isupper()]
            for section in SECTIONS:
                with self.subTest(page, section=section):
                    self.assertIn(section, headings)
            for phrase in DOCUMENTED[page]:
                with self.subTest(page, phrase=phrase):
                    self.assertIn(phrase, text)
            for item in ITEMS[page]:
                with self.subTest(page, item=item):
                    self.assertRegex(text, r"(?m)^%s( |$)" % re.escape(item))

    def test_scanner_page_shows_the_worked_example(self):
        document = worked_example_catalog().decode().rstrip("\n")
        self.assertIn(document, rendered_text("orva-session-scan.1").splitlines())

    def test_usage_line_is_the_programs_own(self):
        scanner = os.environ.get("ORVA_SESSION_SCAN")
        if not scanner:
            self.skipTest("ORVA_SESSION_SCAN is not set")
        usage = run(scanner).stderr.decode().strip()
        self.assertTrue(usage.startswith("usage: "), usage)
        self.assertIn(usage, rendered_text("orva-session-scan.1"))


if __name__ == "__main__":
    unittest.main()
