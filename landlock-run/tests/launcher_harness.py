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


def spawn_launcher(*args, status_fd=None, preexec=None, stdin=subprocess.DEVNULL,
                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, pass_fds=(), **kwargs):
    """Starts the launcher and returns (process, status_read_end). With status_fd=N,
    descriptor N of the launcher is the write end of a pipe whose read end is returned
    (else None). preexec runs in the launcher's process once N is in place (it may
    place the descriptors of pass_fds); then every inheritable descriptor above 2 other
    than N and pass_fds is closed and the launcher is executed."""
    cmd = launcher_command(*args)
    read_end = write_end = -1
    if status_fd is not None:
        read_end, write_end = os.pipe()
    keep = set(pass_fds) | ({status_fd} if status_fd is not None else set())

    # Not close_fds: it would close the status descriptor placed here. Descriptors
    # that are not inheritable close by themselves on exec.
    def prepare():
        if status_fd is not None:
            os.dup2(write_end, status_fd)
        if preexec is not None:
            preexec()
        for fd in keep:
            os.set_inheritable(fd, True)
        for name in os.listdir("/proc/self/fd"):
            fd = int(name)
            if fd > 2 and fd not in keep:
                try:
                    if os.get_inheritable(fd):
                        os.close(fd)
                except OSError:
                    pass  # the listing's own descriptor

    try:
        proc = subprocess.Popen(cmd, stdin=stdin, stdout=stdout, stderr=stderr,
                                preexec_fn=prepare, close_fds=False, **kwargs)
    except BaseException:
        if read_end >= 0:
            os.close(read_end)
        raise
    finally:
        if write_end >= 0:
            os.close(write_end)
    return proc, (read_end if read_end >= 0 else None)


def read_all(fd):
    """Reads fd to its end and closes it."""
    chunks = []
    try:
        while True:
            chunk = os.read(fd, 65536)
            if not chunk:
                return b"".join(chunks)
            chunks.append(chunk)
    finally:
        os.close(fd)


def finish_launcher(proc, status_read_end, timeout=60):
    """Waits for a launcher started by spawn_launcher and collects what it wrote."""
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        if status_read_end is not None:
            os.close(status_read_end)
        raise
    status_lines = b"" if status_read_end is None else read_all(status_read_end)
    return Run(proc.returncode, out, err, status_lines)


def run_launcher(*args, status_fd=None, stdin=subprocess.DEVNULL, timeout=60, preexec=None,
                 **kwargs):
    """Runs the launcher; with status_fd=N, descriptor N is the write end of a pipe
    whose bytes come back as Run.status_lines. preexec as for spawn_launcher."""
    if status_fd is None and preexec is None:
        proc = subprocess.run(launcher_command(*args), stdin=stdin, capture_output=True,
                              timeout=timeout, **kwargs)
        return Run(proc.returncode, proc.stdout, proc.stderr)
    proc, status_read_end = spawn_launcher(*args, status_fd=status_fd, preexec=preexec,
                                           stdin=stdin, **kwargs)
    return finish_launcher(proc, status_read_end, timeout)


# System call numbers of x86-64, for seccomp filters that make one step fail.
X86_64_SYSCALLS = {
    "lseek": 8, "pread64": 17, "dup2": 33, "socketpair": 53, "shutdown": 48,
    "clone": 56, "fork": 57, "vfork": 58, "prctl": 157, "clone3": 435,
}
FORK_SYSCALLS = ("clone", "clone3", "fork", "vfork")
_AUDIT_ARCH_X86_64 = 0xC000003E


def seccomp_available():
    import platform
    return not EMULATOR and platform.machine() == "x86_64"


def syscall_denier(rules):
    """Returns a preexec function that installs a seccomp filter making system calls
    fail. rules: (name, errno) or (name, errno, arg_index, arg_value), the latter only
    failing calls whose argument (its low 32 bits) has that value. The filter passes
    to everything the process executes and forks afterwards."""
    import ctypes

    class SockFilter(ctypes.Structure):
        _fields_ = [("code", ctypes.c_ushort), ("jt", ctypes.c_ubyte),
                    ("jf", ctypes.c_ubyte), ("k", ctypes.c_uint32)]

    class SockFprog(ctypes.Structure):
        _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.POINTER(SockFilter))]

    load, jeq, ret = 0x20, 0x15, 0x06  # BPF_LD|BPF_W|BPF_ABS, BPF_JMP|BPF_JEQ|BPF_K, BPF_RET|BPF_K
    blocks = []
    for rule in rules:
        name, errno_value = rule[0], rule[1]
        block = [(load, 0, 0, 0), (jeq, 0, 1, X86_64_SYSCALLS[name])]  # seccomp_data.nr
        if len(rule) == 4:
            block[1] = (jeq, 0, 3, X86_64_SYSCALLS[name])
            block += [(load, 0, 0, 16 + 8 * rule[2]), (jeq, 0, 1, rule[3])]
        block.append((ret, 0, 0, 0x00050000 | errno_value))  # SECCOMP_RET_ERRNO
        blocks += block
    program = [(load, 0, 0, 4), (jeq, 0, len(blocks), _AUDIT_ARCH_X86_64), *blocks,
               (ret, 0, 0, 0x7FFF0000)]  # SECCOMP_RET_ALLOW
    instructions = (SockFilter * len(program))(*[SockFilter(*op) for op in program])
    fprog = SockFprog(len(program), instructions)
    libc = ctypes.CDLL(None, use_errno=True)
    prctl = libc.prctl
    prctl.argtypes = [ctypes.c_int, ctypes.c_ulong, ctypes.c_void_p, ctypes.c_ulong,
                      ctypes.c_ulong]

    def install():
        if prctl(38, 1, None, 0, 0) != 0:  # PR_SET_NO_NEW_PRIVS
            raise OSError(ctypes.get_errno(), "PR_SET_NO_NEW_PRIVS")
        if prctl(22, 2, ctypes.addressof(fprog), 0, 0) != 0:  # PR_SET_SECCOMP, filter mode
            raise OSError(ctypes.get_errno(), "PR_SET_SECCOMP")

    install.keep_alive = (instructions, fprog)
    return install


def landlock_abi():
    """The running kernel's Landlock ABI version, or 0 without Landlock."""
    import ctypes
    libc = ctypes.CDLL(None, use_errno=True)
    libc.syscall.restype = ctypes.c_long
    result = libc.syscall(444, None, ctypes.c_size_t(0), ctypes.c_uint32(1))
    return max(int(result), 0)
