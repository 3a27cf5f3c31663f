"""The launcher as shipped: an ELF executable for the machine it was built for,
statically linked (it must start on a host with no matching C library), and
stripped where the build strips it. Checked twice: with file(1), as a person
would, and from the ELF headers themselves."""

import os
import shutil
import struct
import subprocess
import unittest

LAUNCHER = os.environ.get("ORVA_LANDLOCK_RUN", "")
MACHINE = os.environ.get("ORVA_ELF_MACHINE", "x86_64")
STRIPPED = os.environ.get("ORVA_EXPECT_STRIPPED", "0") == "1"

# What file(1) says for the machine, and the ELF e_machine value.
MACHINES = {
    "aarch64": ("ARM aarch64", 183),
    "x86_64": ("x86-64", 62),
}

PT_DYNAMIC = 2
PT_INTERP = 3
SHT_SYMTAB = 2


def read_elf(path):
    """(e_machine, program header types, section header types) of a 64-bit
    little-endian ELF file."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] != b"\x7fELF" or data[4] != 2 or data[5] != 1:
        raise AssertionError("not a 64-bit little-endian ELF file")
    (e_type, e_machine, _, _, e_phoff, e_shoff, _, _, e_phentsize, e_phnum, e_shentsize,
     e_shnum, _) = struct.unpack_from("<HHIQQQIHHHHHH", data, 16)
    segments = [struct.unpack_from("<I", data, e_phoff + i * e_phentsize)[0]
                for i in range(e_phnum)]
    sections = [struct.unpack_from("<I", data, e_shoff + i * e_shentsize + 4)[0]
                for i in range(e_shnum)]
    return e_type, e_machine, segments, sections


class ArtefactTest(unittest.TestCase):
    def setUp(self):
        if not LAUNCHER:
            raise unittest.SkipTest("ORVA_LANDLOCK_RUN is not set")
        self.assertIn(MACHINE, MACHINES, "no expectations for this machine")
        self.file_text, self.e_machine = MACHINES[MACHINE]

    def test_file_names_the_machine_and_static_linking(self):
        tool = shutil.which("file")
        self.assertIsNotNone(tool, "file(1) is missing; scripts/bootstrap installs it")
        out = subprocess.run([tool, "-b", LAUNCHER], capture_output=True, check=True,
                             text=True).stdout
        self.assertIn("ELF 64-bit LSB executable", out)
        self.assertIn(self.file_text, out)
        self.assertIn("statically linked", out)
        if STRIPPED:
            self.assertRegex(out, r"(^|, )stripped$")
        self.assertNotIn("dynamically linked", out)

    def test_elf_headers_agree(self):
        e_type, e_machine, segments, sections = read_elf(LAUNCHER)
        self.assertEqual(e_type, 2, "expected ET_EXEC, a position-dependent static executable")
        self.assertEqual(e_machine, self.e_machine)
        self.assertNotIn(PT_INTERP, segments, "has a program interpreter")
        self.assertNotIn(PT_DYNAMIC, segments, "has a dynamic section")
        if STRIPPED:
            self.assertNotIn(SHT_SYMTAB, sections, "still has a symbol table")


if __name__ == "__main__":
    unittest.main()
