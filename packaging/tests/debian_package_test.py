"""The Debian package: CPack builds it from this build tree (what `make package`
does), its control data and contents are right, and both programs run from a
throwaway root into which it was unpacked with dpkg -x."""

import glob
import gzip
import os
import shutil
import tempfile
import unittest

import packaging_harness as harness
from document_check import check_document
from launcher_harness import landlock_abi
from orva_test_support import is_statically_linked
from scanner_harness import ChatDirTestCase, session_name

PACKAGED_FILES = {
    "usr/bin/orva-session-scan": "-rwxr-xr-x",
    "usr/bin/orva-landlock-run": "-rwxr-xr-x",
    "usr/share/man/man1/orva-session-scan.1.gz": "-rw-r--r--",
    "usr/share/man/man1/orva-landlock-run.1.gz": "-rw-r--r--",
    "usr/share/doc/orva/catalog.schema.json": "-rw-r--r--",
    "usr/share/doc/orva/project-ids.schema.json": "-rw-r--r--",
}


def setUpModule():
    global WORK, DEB, ROOT
    if not harness.BUILD_DIR:
        raise unittest.SkipTest("ORVA_BUILD_DIR is not set")
    WORK = tempfile.mkdtemp(prefix="orva-package-test-")
    # A restrictive umask must not leak into the package's directories.
    built = harness.run(["cpack", "--config", os.path.join(harness.BUILD_DIR, "CPackConfig.cmake"),
                         "-G", "DEB", "-B", os.path.join(WORK, "out")], umask=0o077)
    assert built.returncode == 0, built.stdout + built.stderr
    debs = glob.glob(os.path.join(WORK, "out", "*.deb"))
    assert len(debs) == 1, debs
    DEB = debs[0]
    ROOT = os.path.join(WORK, "root")
    unpacked = harness.run(["dpkg", "-x", DEB, ROOT])
    assert unpacked.returncode == 0, unpacked.stderr


def tearDownModule():
    shutil.rmtree(WORK, ignore_errors=True)


def dpkg_deb(*args):
    result = harness.run(["dpkg-deb", *args])
    assert result.returncode == 0, result.stderr
    return result.stdout.decode()


class PackageTest(unittest.TestCase):
    def test_control_fields(self):
        architecture = harness.run(["dpkg", "--print-architecture"]).stdout.decode().strip()
        fields = dict(line.split(": ", 1) for line in dpkg_deb(
            "-f", DEB, "Package", "Version", "Architecture", "Section", "Maintainer",
            "Depends").splitlines())
        self.assertEqual(fields["Package"], "orva")
        self.assertEqual(fields["Version"], harness.VERSION)
        self.assertEqual(fields["Architecture"], architecture)
        self.assertEqual(fields["Section"], "utils")
        self.assertTrue(fields["Maintainer"])
        self.assertEqual(os.path.basename(DEB), "orva_%s_%s.deb" % (harness.VERSION, architecture))
        # Computed by dpkg-shlibdeps from the dynamically linked scanner.
        self.assertRegex(fields["Depends"], r"(^|, )libc6 \(>= [0-9.]+\)")
        self.assertRegex(fields["Depends"], r"(^|, )libstdc\+\+6 \(>= [0-9.]+\)")
        self.assertRegex(fields["Depends"], r"(^|, )libsimdjson[0-9]+ \(>= [0-9.]+\)")

    def test_contents(self):
        files = {}
        for line in dpkg_deb("-c", DEB).splitlines():
            mode, owner, _, _, _, path = line.split(None, 5)
            self.assertEqual(owner, "root/root", line)
            if mode.startswith("d"):
                self.assertEqual(mode, "drwxr-xr-x", line)
            else:
                files[path.removeprefix("./")] = mode
        self.assertEqual(files, PACKAGED_FILES)
        self.assertEqual(harness.files_under(ROOT), set(PACKAGED_FILES))
        self.assertEqual(set(dpkg_deb("-I", DEB, "md5sums").split()[1::2]), set(PACKAGED_FILES))

    def test_manual_pages_and_schemas_are_the_sources(self):
        for page in harness.MAN_PAGES:
            with self.subTest(page):
                with gzip.open(os.path.join(ROOT, "usr", page + ".gz")) as f:
                    self.assertEqual(f.read(), harness.source_bytes(page))
        for schema in harness.SCHEMAS:
            with self.subTest(schema):
                self.assertEqual(harness.read(os.path.join(ROOT, "usr", schema)),
                                 harness.source_bytes(schema))

    def test_programs_are_stripped(self):
        for program in harness.PROGRAMS:
            with self.subTest(program):
                sections = harness.run(["readelf", "-S", "-W", os.path.join(ROOT, "usr", program)])
                self.assertEqual(sections.returncode, 0, sections.stderr)
                self.assertNotRegex(sections.stdout.decode(), r"\.(symtab|debug_info)\b")


class PackagedProgramsTest(ChatDirTestCase):
    scanner = property(lambda self: os.path.join(ROOT, "usr", "bin", "orva-session-scan"))
    launcher = property(lambda self: os.path.join(ROOT, "usr", "bin", "orva-landlock-run"))

    def test_scanner_runs_from_the_package(self):
        self.assertEqual(harness.source_digest(self.scanner),
                         harness.source_digest(harness.BUILT_SCANNER))
        stem, name = session_name(1)
        self.write_file(name, [{"sessionId": stem, "cwd": "/home/dev/app",
                                "timestamp": "2023-11-14T22:13:20.000Z", "type": "user",
                                "message": {"parts": [{"text": "hello"}]}}])
        for subcommand, kind in (("scan-catalog", "catalog"), ("scan-project-ids", "project-ids")):
            with self.subTest(subcommand):
                result = harness.run([self.scanner, subcommand, self.chats])
                self.assertEqual(result.returncode, 0, result.stderr)
                problems, document = check_document(kind, result.stdout)
                self.assertEqual(problems, [], result.stdout)
                self.assertEqual([(e["name"], e["status"], e["sessionId"]) for e in document["entries"]],
                                 [(name, "ok", stem)])

    def test_launcher_probe_from_the_package(self):
        if harness.LAUNCHER_STATIC:
            self.assertTrue(is_statically_linked(self.launcher))
        result = harness.run([self.launcher, "--probe"])
        abi = landlock_abi()
        if abi >= 3:
            self.assertEqual((result.returncode, result.stdout, result.stderr),
                             (0, b'{"abi":%d,"enforcement":"partial"}\n' % abi, b""))
        else:
            self.assertEqual((result.returncode, result.stdout), (125, b""))
            self.assertRegex(result.stderr, rb"^orva-landlock-run: Landlock ")


if __name__ == "__main__":
    unittest.main()
