"""Shared helpers for the install and package tests: what an installed tree must
hold, and how to look at the programs in it."""

import os
import subprocess
import sys

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD_DIR = os.environ.get("ORVA_BUILD_DIR", "")
VERSION = os.environ.get("ORVA_PROJECT_VERSION", "")
BUILT_SCANNER = os.environ.get("ORVA_SESSION_SCAN", "")
BUILT_LAUNCHER = os.environ.get("ORVA_LANDLOCK_RUN", "")
LAUNCHER_STATIC = os.environ.get("ORVA_LAUNCHER_STATIC") == "1"

sys.path.insert(0, os.path.join(SOURCE_DIR, "docs", "tests"))
sys.path.insert(0, os.path.join(SOURCE_DIR, "landlock-run", "tests"))

PROGRAMS = ["bin/orva-session-scan", "bin/orva-landlock-run"]
MAN_PAGES = ["share/man/man1/orva-session-scan.1", "share/man/man1/orva-landlock-run.1"]
SCHEMAS = ["share/doc/orva/catalog.schema.json", "share/doc/orva/project-ids.schema.json"]

# Where each installed file comes from in the source tree.
SOURCES = {
    MAN_PAGES[0]: "docs/man/orva-session-scan.1",
    MAN_PAGES[1]: "docs/man/orva-landlock-run.1",
    SCHEMAS[0]: "docs/catalog.schema.json",
    SCHEMAS[1]: "docs/project-ids.schema.json",
}


def files_under(root):
    """Every file and symbolic link under root, as paths relative to it."""
    found = set()
    for directory, _, names in os.walk(root):
        for name in names:
            found.add(os.path.relpath(os.path.join(directory, name), root))
    return found


def read(path):
    with open(path, "rb") as f:
        return f.read()


def source_bytes(installed):
    return read(os.path.join(SOURCE_DIR, SOURCES[installed]))


def run(command, **kwargs):
    return subprocess.run(command, capture_output=True, timeout=120, **kwargs)


def source_digest(scanner):
    result = run([scanner, "--source-sha256"])
    assert result.returncode == 0, result.stderr
    return result.stdout
