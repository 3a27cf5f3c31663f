"""Shared helpers for the launcher's black-box tests: start the built launcher as
the host does (argument vector, inherited status descriptor, standard streams, exit
status, signals)."""

import os
import subprocess
import unittest

LAUNCHER = os.environ.get("ORVA_LANDLOCK_RUN", "")
# Set when the launcher under test runs under emulation (qemu-user), where the
# Landlock system calls are not passed through.
EMULATOR = os.environ.get("ORVA_LAUNCHER_EMULATOR", "")

# What the launcher says under this machine's qemu-user (Debian 12's
# qemu-aarch64-static 7.2), which answers landlock_create_ruleset and the other
# Landlock system calls with ENOSYS whatever the host kernel supports: to the
# emulated launcher the kernel has no Landlock. Every probe and direct launch that
# gets past its earlier checks ends with this line and exit status 125.
LANDLOCK_UNAVAILABLE_EMULATED = b"orva-landlock-run: Landlock is unavailable: Function not implemented\n"


def launcher_command(*args):
    if not LAUNCHER:
        raise unittest.SkipTest("ORVA_LANDLOCK_RUN is not set")
    prefix = [EMULATOR] if EMULATOR else []
    return [*prefix, LAUNCHER, *args]


class Run:
    def __init__(self, status, stdout, stderr, status_lines=b""):
        self.status = status
        self.stdout = stdout
        self.stderr = stderr
        self.status_lines = status_lines


def run_launcher(*args, status_fd=None, stdin=subprocess.DEVNULL, timeout=60, child_setup=None,
                 **kwargs):
    """Runs the launcher; with status_fd=N, descriptor N is the write end of a pipe
    whose bytes come back as Run.status_lines. child_setup, if given, runs in the
    child last before the launcher starts (to close a standard stream, say)."""
    cmd = launcher_command(*args)
    if status_fd is None and child_setup is not None:
        kwargs["preexec_fn"] = child_setup
    if status_fd is None:
        proc = subprocess.run(cmd, stdin=stdin, capture_output=True, timeout=timeout, **kwargs)
        return Run(proc.returncode, proc.stdout, proc.stderr)
    read_end, write_end = os.pipe()
    try:
        def place_status_fd():
            os.dup2(write_end, status_fd)
            os.set_inheritable(status_fd, True)
            if child_setup is not None:
                child_setup()

        # Popen closes the descriptors above 2 after preexec_fn has run, unless told
        # not to; Python's own descriptors are not inheritable, so none leak.
        kwargs.setdefault("close_fds", False)
        proc = subprocess.Popen(cmd, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                preexec_fn=place_status_fd, **kwargs)
        os.close(write_end)
        write_end = -1
        out, err = proc.communicate(timeout=timeout)
        chunks = []
        while True:
            chunk = os.read(read_end, 65536)
            if not chunk:
                break
            chunks.append(chunk)
        return Run(proc.returncode, out, err, b"".join(chunks))
    finally:
        os.close(read_end)
        if write_end >= 0:
            os.close(write_end)


def landlock_abi():
    """The running kernel's Landlock ABI version, or 0 without Landlock."""
    import ctypes
    libc = ctypes.CDLL(None, use_errno=True)
    libc.syscall.restype = ctypes.c_long
    result = libc.syscall(444, None, ctypes.c_size_t(0), ctypes.c_uint32(1))
    return max(int(result), 0)
