"""The launcher as shipped: an ELF executable for the machine it was built for,
statically linked (it must start on a host with no matching C library), and
stripped where the build strips it. Checked twice: with file(1), as a person
would, and from the ELF headers themselves."""

import os
import shutil
import subprocess
import unittest

from orva_test_support import PT_DYNAMIC, PT_INTERP, SHT_SYMTAB, read_elf

LAUNCHER = os.environ.get("ORVA_LANDLOCK_RUN", "")
MACHINE = os.environ.get("ORVA_ELF_MACHINE", "x86_64")
STRIPPED = os.environ.get("ORVA_EXPECT_STRIPPED", "0") == "1"

# What file(1) says for the machine, and the ELF e_machine value.
MACHINES = {
    "aarch64": ("ARM aarch64", 183),
    "x86_64": ("x86-64", 62),
}


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
        elf = read_elf(LAUNCHER)
        self.assertEqual((elf.bits, elf.little_endian), (64, True), "expected 64-bit little-endian ELF")
        self.assertEqual(elf.type, 2, "expected ET_EXEC, a position-dependent static executable")
        self.assertEqual(elf.machine, self.e_machine)
        self.assertNotIn(PT_INTERP, elf.segments, "has a program interpreter")
        self.assertNotIn(PT_DYNAMIC, elf.segments, "has a dynamic section")
        if STRIPPED:
            self.assertNotIn(SHT_SYMTAB, elf.sections, "still has a symbol table")


if __name__ == "__main__":
    unittest.main()
