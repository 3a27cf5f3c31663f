"""Helpers that every black-box harness shares: the outcome of one program run, the
ELF headers of a built program, a place that other users can reach for the cases
that run a program as another uid, and the fixtures that several tests read. CTest puts this directory on PYTHONPATH
(ORVA_PYTHON_TEST_ENVIRONMENT in the top-level CMakeLists.txt)."""

import atexit
import collections
import json
import os
import shutil
import stat
import struct
import tempfile

# The unprivileged user that permission cases run a program as.
NOBODY = 65534

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# The catalog document of the worked example: one "ok" entry with a custom title,
# whose bytes the writer's unit test, the catalog test, the schema tests and the
# scanner's manual page all show.
WORKED_EXAMPLE_CATALOG_PATH = os.path.join(SOURCE_DIR, "session-scan", "tests", "fixtures",
                                           "worked_example_catalog.json")


def worked_example_catalog():
    """The bytes of the worked example's catalog document."""
    with open(WORKED_EXAMPLE_CATALOG_PATH, "rb") as f:
        return f.read()


class Run:
    """What a run of a program gave back: its exit status and standard streams, and
    for the launcher what it wrote on its status descriptor and its process id."""

    def __init__(self, status, stdout, stderr, status_lines=b"", pid=0):
        self.pid = pid
        self.status = status
        self.stdout = stdout
        self.stderr = stderr
        self.status_lines = status_lines

    def document(self):
        """The stdout document parsed as JSON (asserts a single line)."""
        assert self.stdout.endswith(b"\n") and self.stdout.count(b"\n") == 1, self.stdout[:200]
        return json.loads(self.stdout)

    def __repr__(self):
        return (f"Run(status={self.status}, stdout={self.stdout!r}, stderr={self.stderr!r}, "
                f"status_lines={self.status_lines!r})")


# --- ELF headers ------------------------------------------------------------------

PT_DYNAMIC, PT_INTERP = 2, 3
SHT_SYMTAB = 2

ElfHeaders = collections.namedtuple(
    "ElfHeaders", "bits little_endian type machine segments sections")
ElfHeaders.__doc__ = """The file header of an ELF file and the types of its program
headers (segments) and section headers (sections), in file order."""


def read_elf(path):
    """The ElfHeaders of the 32- or 64-bit ELF file at path, of either byte order."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] != b"\x7fELF" or data[4] not in (1, 2) or data[5] not in (1, 2):
        raise AssertionError(f"{path}: not an ELF file")
    bits = 64 if data[4] == 2 else 32
    order = "<" if data[5] == 1 else ">"
    address = "Q" if bits == 64 else "I"
    # e_type e_machine e_version e_entry e_phoff e_shoff e_flags e_ehsize
    # e_phentsize e_phnum e_shentsize e_shnum e_shstrndx
    fields = struct.unpack_from(order + "HHI" + address * 3 + "IHHHHHH", data, 16)
    e_type, e_machine = fields[0], fields[1]
    e_phoff, e_shoff = fields[4], fields[5]
    e_phentsize, e_phnum, e_shentsize, e_shnum = fields[8:12]
    segments = [struct.unpack_from(order + "I", data, e_phoff + i * e_phentsize)[0]
                for i in range(e_phnum)]
    sections = [struct.unpack_from(order + "I", data, e_shoff + i * e_shentsize + 4)[0]
                for i in range(e_shnum)]
    return ElfHeaders(bits, order == "<", e_type, e_machine, segments, sections)


def is_statically_linked(path):
    """True when the program has neither a program interpreter nor a dynamic section."""
    return not set(read_elf(path).segments) & {PT_DYNAMIC, PT_INTERP}


# --- Programs that another uid runs -----------------------------------------------

def _reachable_by_others(path):
    """True when every directory from the root down to path lets other uids pass."""
    path = os.path.realpath(path)
    while True:
        if not os.stat(path).st_mode & stat.S_IXOTH:
            return False
        parent = os.path.dirname(path)
        if parent == path:
            return True
        path = parent


def shared_temp_root(executable=False):
    """A temporary directory that other uids can reach, whatever TMPDIR and the clone's
    own directory allow (under a 0700 home, say): TMPDIR itself when it is, else the
    first of the system's temporary directories that is. With executable, also one
    whose file system lets programs run."""
    for candidate in (tempfile.gettempdir(), "/tmp", "/var/tmp", "/dev/shm"):
        try:
            if not (os.path.isdir(candidate) and os.access(candidate, os.W_OK | os.X_OK)
                    and _reachable_by_others(candidate)):
                continue
            if executable and os.statvfs(candidate).f_flag & os.ST_NOEXEC:
                continue
        except OSError:
            continue
        return candidate
    raise RuntimeError("no temporary directory that other users can reach")


_copies = {}


def copy_for_other_users(program):
    """The path of a copy of program in a directory that every uid may enter, made
    once per process and removed at its exit. A build tree may sit where only its
    owner gets in (a clone under /root), so cases that drop to another uid run this
    copy."""
    if program not in _copies:
        directory = tempfile.mkdtemp(prefix="orva-program-", dir=shared_temp_root(executable=True))
        atexit.register(shutil.rmtree, directory, ignore_errors=True)
        os.chmod(directory, 0o755)
        copy = os.path.join(directory, os.path.basename(program))
        shutil.copyfile(program, copy)
        os.chmod(copy, 0o755)
        _copies[program] = copy
    return _copies[program]
