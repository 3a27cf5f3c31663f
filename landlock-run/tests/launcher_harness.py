"""Shared helpers for the launcher's black-box tests: start the built launcher as
the host does (argument vector, inherited status descriptor, standard streams, exit
status, signals)."""

import ctypes
import errno
import fcntl
import functools
import os
import platform
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

from orva_test_support import NOBODY, Run, copy_for_other_users, is_statically_linked

LAUNCHER = os.environ.get("ORVA_LANDLOCK_RUN", "")
if LAUNCHER:
    LAUNCHER = os.path.abspath(LAUNCHER)  # tests run commands in other directories
# Set when the launcher under test runs under emulation (qemu-user), where the
# Landlock system calls are not passed through.
EMULATOR = os.environ.get("ORVA_LAUNCHER_EMULATOR", "")

# What the launcher says under this machine's qemu-user (Debian 12's
# qemu-aarch64-static 7.2), which answers landlock_create_ruleset and the other
# Landlock system calls with ENOSYS whatever the host kernel supports: to the
# emulated launcher the kernel has no Landlock. Every probe and direct launch that
# gets past its earlier checks ends with this line and exit status 125.
LANDLOCK_UNAVAILABLE_EMULATED = (b"orva-landlock-run: Landlock is unavailable: "
                                 b"Function not implemented\n")

PREFIX = b"orva-landlock-run: "

# Read-only grants under which ordinary system commands (sh, cat, true...) run.
SYSTEM_DIRS = ("/usr", "/lib", "/lib64", "/bin", "/etc")


def launcher_command(*args, launcher=None):
    """The command line that starts the launcher under test, or the copy of it at
    launcher."""
    if not LAUNCHER:
        raise unittest.SkipTest("ORVA_LANDLOCK_RUN is not set")
    prefix = [EMULATOR] if EMULATOR else []
    return [*prefix, launcher or LAUNCHER, *args]


def message(text):
    """The bytes of one launcher message line."""
    if isinstance(text, str):
        text = text.encode()
    return PREFIX + text + b"\n"


def error_message(text, errno_value):
    """The bytes of one launcher message with the system's error text."""
    return message(f"{text}: {os.strerror(errno_value)}")


def status_line(state, abi):
    return b'{"state":"%s","abi":%d}\n' % (state.encode(), abi)


def place_descriptors(targets):
    """In a child before exec: makes each target descriptor of {target: source} a copy
    of its source, and closes every other inheritable descriptor above 2, as
    close_fds would (which cannot be combined with descriptors placed here)."""
    moved = {target: fcntl.fcntl(source, fcntl.F_DUPFD_CLOEXEC, 1000)
             for target, source in targets.items()}
    for target, source in moved.items():
        os.dup2(source, target, inheritable=True)
    for name in os.listdir("/proc/self/fd"):
        fd = int(name)
        if fd > 2 and fd not in targets:
            try:
                if os.get_inheritable(fd):
                    os.close(fd)
            except OSError:
                pass  # the directory listing's own descriptor


def run_launcher(*args, status_fd=None, status_target=None, extra_fds=None, prepare=None,
                 stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, timeout=60, launcher=None,
                 started=None, **kwargs):
    """Runs the launcher (or its copy at launcher). With status_fd=N, descriptor N is
    the write end of a pipe whose bytes come back as Run.status_lines, or
    status_target (a descriptor of the test's own) placed at N. extra_fds {target:
    source} are inherited as well. No other descriptor above 2 is inherited.
    prepare runs in the child just before exec, started(popen) in this process
    once the launcher runs."""
    cmd = launcher_command(*args, launcher=launcher)
    read_end = write_end = -1
    if status_fd is not None and status_target is None:
        read_end, write_end = os.pipe()
        status_target = write_end
    targets = dict(extra_fds or {})
    if status_fd is not None:
        targets[status_fd] = status_target

    def place_status_fd():
        place_descriptors(targets)
        if prepare is not None:
            prepare()

    try:
        # close_fds would run after preexec_fn and take the placed descriptors with it.
        proc = subprocess.Popen(cmd, stdin=stdin, stdout=stdout, stderr=subprocess.PIPE,
                                preexec_fn=place_status_fd, close_fds=False, **kwargs)
        if write_end >= 0:
            os.close(write_end)
            write_end = -1
        if started is not None:
            try:
                started(proc)
            except BaseException:
                proc.kill()
                proc.communicate()
                raise
        out, err = proc.communicate(timeout=timeout)
        chunks = []
        while read_end >= 0:
            chunk = os.read(read_end, 65536)
            if not chunk:
                break
            chunks.append(chunk)
        return Run(proc.returncode, out, err, b"".join(chunks), proc.pid)
    finally:
        for fd in (read_end, write_end):
            if fd >= 0:
                os.close(fd)


def start_launcher(*args, extra_fds=None, prepare=None, stdin=subprocess.DEVNULL,
                   stopped=False, **kwargs):
    """Starts the launcher with descriptors placed as run_launcher places them and
    returns the Popen, with standard output and error as unbuffered pipes, for tests
    that signal it while it runs. stopped=True starts it stopped for a Tracer: a
    shell that stops itself and then executes the launcher in its place."""
    targets = dict(extra_fds or {})
    command = launcher_command(*args)
    if stopped:
        command = ["sh", "-c", 'kill -STOP $$ && exec "$@"', "sh", *command]

    def before_exec():
        place_descriptors(targets)
        if prepare is not None:
            prepare()

    return subprocess.Popen(command, stdin=stdin, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, bufsize=0, preexec_fn=before_exec,
                            close_fds=False, **kwargs)


def landlock_abi():
    """The running kernel's Landlock ABI version, or 0 without Landlock."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.syscall.restype = ctypes.c_long
    result = libc.syscall(444, None, ctypes.c_size_t(0), ctypes.c_uint32(1))
    return max(int(result), 0)


@functools.lru_cache(maxsize=None)
def launcher_abi():
    """The ABI that the launcher's own probe reports, or 0 when it cannot enforce
    (no Landlock, too old, or emulation that does not pass the calls through).
    Natively on a kernel with Landlock 3+, a failing probe is a test failure, not
    a reason to skip."""
    if not LAUNCHER:
        return 0
    kernel = landlock_abi()
    if not EMULATOR and kernel < 3:
        return 0
    run = run_launcher("--probe")
    if run.status != 0:
        if EMULATOR:
            return 0
        raise AssertionError(f"--probe failed on a kernel with Landlock ABI {kernel}: {run!r}")
    return int(run.stdout.split(b":", 1)[1].split(b",", 1)[0])


def require_landlock(test):
    """Skips test (a TestCase) unless the launcher can enforce a sandbox here. Under
    emulation it first checks why not: the launcher must fail exactly as on a kernel
    without Landlock (see LANDLOCK_UNAVAILABLE_EMULATED)."""
    if not LAUNCHER:
        test.skipTest("ORVA_LANDLOCK_RUN is not set")
    if EMULATOR:
        expect_landlock_unavailable(test, run_launcher("--probe"))
        test.skipTest("the emulator does not pass the Landlock system calls through "
                      "(checked: the probe fails with ENOSYS); enforcement is tested natively")
    abi = launcher_abi()
    if abi < 3:
        test.skipTest("Landlock ABI 3 or newer is not available to the launcher")
    return abi


def expect_landlock_unavailable(test, run):
    """Asserts that run (a probe or a direct launch) ended at the Landlock version
    query the way it does under this machine's emulator: the ENOSYS line, exit
    status 125, nothing on standard output or the status descriptor."""
    test.assertEqual(run.stderr, LANDLOCK_UNAVAILABLE_EMULATED)
    test.assertEqual(run.status, 125)
    test.assertEqual((run.stdout, run.status_lines), (b"", b""))


def system_grants():
    """--ro arguments for the system directories that exist here."""
    args = []
    for path in SYSTEM_DIRS:
        if os.path.exists(path):
            args += ["--ro", path]
    return args


def python_grants():
    """--ro arguments under which this Python (sys.executable) runs in the sandbox,
    wherever it is installed."""
    paths = {sys.base_prefix, sys.prefix, os.path.dirname(os.path.realpath(sys.executable))}
    return [arg for path in sorted(paths) for arg in ("--ro", path)]


# --- Fault injection through a seccomp filter -------------------------------------
#
# Some failures (a refused prctl, a failing fcntl on a standard stream) cannot be
# provoked from outside otherwise. A classic BPF filter installed just before exec
# makes the kernel fail chosen system calls with a chosen error number; everything
# else runs for real.

_ARCH = {
    # machine: (audit arch, {name: number})
    "x86_64": (0xC000003E, {"close": 3, "fcntl": 72, "prctl": 157, "newfstatat": 262,
                            "landlock_create_ruleset": 444, "landlock_add_rule": 445,
                            "landlock_restrict_self": 446, "execve": 59,
                            "lseek": 8, "pread64": 17, "dup2": 33, "socketpair": 53,
                            "shutdown": 48, "clone": 56, "fork": 57, "vfork": 58,
                            "clone3": 435, "seccomp": 317}),
    "aarch64": (0xC00000B7, {"close": 57, "fcntl": 25, "prctl": 167, "newfstatat": 79,
                             "landlock_create_ruleset": 444, "landlock_add_rule": 445,
                             "landlock_restrict_self": 446, "execve": 221,
                             "lseek": 62, "pread64": 67, "dup3": 24, "socketpair": 199,
                             "shutdown": 210, "clone": 220, "clone3": 435, "seccomp": 277}),
}


_RET_ALLOW, _RET_ERRNO, _RET_USER_NOTIF = 0x7FFF0000, 0x00050000, 0x7FC00000


class Fault:
    """Fail syscall `name` with `errno_value` when its arguments match `args`, a
    {index: value} map compared on the low 32 bits."""

    def __init__(self, name, errno_value, args=None):
        self.name = name
        self.errno_value = errno_value
        self.args = args or {}
        self.action = _RET_ERRNO | errno_value


def _bpf(code, jt, jf, k):
    return struct.pack("=HBBI", code, jt, jf, k & 0xFFFFFFFF)


def _seccomp_program(rules):
    """A classic BPF filter (a sock_fprog and the code it points to, which must live
    as long as it) that takes the action of the first rule whose system call and
    arguments match, and lets every other call run. Skips the calling test where
    the filter cannot be built (emulation, unknown architecture)."""
    machine = platform.machine()
    if EMULATOR or machine not in _ARCH:
        raise unittest.SkipTest(f"fault injection is not available for {machine!r}")
    arch, numbers = _ARCH[machine]
    ld_abs, jeq, ret = 0x20, 0x15, 0x06
    program = []
    for rule in rules:
        checks = [(4, arch), (0, numbers[rule.name])]
        checks += [(16 + 8 * index, value) for index, value in sorted(rule.args.items())]
        length = 2 * len(checks) + 1
        block = []
        for offset, value in checks:
            block.append(_bpf(ld_abs, 0, 0, offset))
            block.append(_bpf(jeq, 0, length - len(block) - 1, value))
        block.append(_bpf(ret, 0, 0, rule.action))
        program += block
    program.append(_bpf(ret, 0, 0, _RET_ALLOW))
    code = ctypes.create_string_buffer(b"".join(program))

    class SockFprog(ctypes.Structure):
        _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.c_void_p)]

    return SockFprog(len(program), ctypes.addressof(code)), code


def seccomp_faults(*faults):
    """A prepare callable for run_launcher that installs a filter failing `faults`."""
    fprog, code = _seccomp_program(faults)
    libc = ctypes.CDLL(None, use_errno=True)
    pr_set_no_new_privs, pr_set_seccomp, seccomp_mode_filter = 38, 22, 2

    def install():
        if libc.prctl(pr_set_no_new_privs, 1, 0, 0, 0) != 0:
            os._exit(120)
        if libc.prctl(pr_set_seccomp, seccomp_mode_filter, ctypes.byref(fprog), 0, 0) != 0:
            os._exit(121)

    install.instructions = code  # must live as long as the callable
    return install


class ForcedAbi:
    """Makes the kernel's answer to the launcher's Landlock version query `abi`, for
    what a kernel older than this one gets. A filter installed just before exec
    hands that one call (landlock_create_ruleset with the version flag) to this
    process as a seccomp user notification, and this process answers it; every
    other call, the ruleset's own included, runs for real. Use it as a context and
    pass its prepare and started to run_launcher; answered counts the queries it
    answered."""

    NOTIF_RECV, NOTIF_SEND = 0xC0502100, 0xC0182101  # _IOWR('!', 0 and 1, ...)
    NOTIF_SIZE = 80  # struct seccomp_notif
    SET_MODE_FILTER, FILTER_FLAG_NEW_LISTENER = 1, 1 << 3

    class _Rule:
        name, args, action = "landlock_create_ruleset", {2: 1}, _RET_USER_NOTIF

    def __init__(self, abi, timeout=20):
        self.abi = abi
        self.timeout = timeout
        self.answered = 0
        self._fprog, self._code = _seccomp_program([self._Rule()])
        self._seccomp = _ARCH[platform.machine()][1]["seccomp"]
        self._ours, self._theirs = socket.socketpair()

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self._ours.close()
        self._theirs.close()

    def prepare(self):
        """In the child: installs the filter and sends its listener here."""
        libc = ctypes.CDLL(None, use_errno=True)
        libc.syscall.restype = ctypes.c_long
        if libc.prctl(38, 1, 0, 0, 0) != 0:  # PR_SET_NO_NEW_PRIVS
            os._exit(120)
        listener = libc.syscall(ctypes.c_long(self._seccomp), self.SET_MODE_FILTER,
                                self.FILTER_FLAG_NEW_LISTENER, ctypes.byref(self._fprog))
        if listener < 0:
            os._exit(121)
        socket.send_fds(self._theirs, [b"L"], [listener])
        os.close(listener)

    def started(self, proc):
        """Here, once the launcher runs: answers its version query, if it makes one
        before it ends."""
        self._ours.settimeout(self.timeout)
        _, fds, _, _ = socket.recv_fds(self._ours, 1, 1)
        listener = fds[0]
        try:
            poller = select.poll()
            poller.register(listener, select.POLLIN)
            events = poller.poll(self.timeout * 1000)
            if not events or not events[0][1] & select.POLLIN:
                return  # ended (or stuck) without asking
            notification = bytearray(self.NOTIF_SIZE)
            fcntl.ioctl(listener, self.NOTIF_RECV, notification)
            notification_id, = struct.unpack_from("=Q", notification)
            # struct seccomp_notif_resp: id, val, error, flags
            response = bytearray(struct.pack("=QqiI", notification_id, self.abi, 0, 0))
            fcntl.ioctl(listener, self.NOTIF_SEND, response)
            self.answered += 1
        finally:
            os.close(listener)  # any later query would fail with ENOSYS


def known_syscalls():
    """The names that faults can use on this machine; skips where there are none."""
    machine = platform.machine()
    if EMULATOR or machine not in _ARCH:
        raise unittest.SkipTest(f"fault injection is not available for {machine!r}")
    return set(_ARCH[machine][1])


def fork_faults(errno_value):
    """Faults that make every way of creating a process fail (glibc's fork is clone)."""
    names = known_syscalls()
    return [Fault(name, errno_value) for name in ("clone", "clone3", "fork", "vfork")
            if name in names]


def syscall_number(name):
    machine = platform.machine()
    if EMULATOR or machine not in _ARCH:
        raise unittest.SkipTest(f"system call numbers are not known for {machine!r}")
    return _ARCH[machine][1][name]


def launcher_is_static():
    """True when the launcher is statically linked (the release and debug builds;
    the sanitizer builds link dynamically)."""
    return is_statically_linked(LAUNCHER)


class Tracer:
    """Just enough ptrace to hold a process at the entry of one system call, for
    races that need a signal or a death at an exact step. The process must have
    stopped itself before it executes the launcher (Tracer.stop_before_exec in a
    forked child, or start_launcher(stopped=True)); only it is traced, not the
    children it starts."""

    PTRACE_SYSCALL, PTRACE_DETACH, PTRACE_SEIZE = 24, 17, 0x4206
    PTRACE_GET_SYSCALL_INFO = 0x420E
    PTRACE_O_TRACESYSGOOD, PTRACE_O_EXITKILL = 1, 0x100000
    PTRACE_EVENT_STOP = 128
    SYSCALL_INFO_ENTRY = 1
    WALL = 0x40000000

    def __init__(self, pid):
        self.pid = pid
        self.held = False
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.libc.ptrace.restype = ctypes.c_long
        deadline = time.monotonic() + 20
        while self.state() != "T":  # stopped by its own SIGSTOP before exec
            if time.monotonic() > deadline:
                raise AssertionError("the launcher did not stop before exec")
            time.sleep(0.005)
        self.call(self.PTRACE_SEIZE, 0, self.PTRACE_O_TRACESYSGOOD | self.PTRACE_O_EXITKILL)
        os.kill(pid, signal.SIGCONT)

    @staticmethod
    def stop_before_exec():
        os.kill(os.getpid(), signal.SIGSTOP)

    def state(self):
        with open(f"/proc/{self.pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0]

    def call(self, request, addr, data):
        result = self.libc.ptrace(ctypes.c_long(request), ctypes.c_int(self.pid),
                                  ctypes.c_void_p(addr), ctypes.c_void_p(data))
        if result == -1:
            err = ctypes.get_errno()
            if request == self.PTRACE_SEIZE and err == errno.EPERM:
                raise unittest.SkipTest("ptrace is not permitted here")
            raise OSError(err, f"ptrace request {request:#x}")
        return result

    def run_until_syscall_entry(self, number, first_arg=None):
        """Runs the process until it enters system call `number`, with `first_arg`
        as its first argument unless that is None, and holds it there."""
        info = ctypes.create_string_buffer(88)
        if self.held:  # at the previous call's entry: let that one go on first
            self.call(self.PTRACE_SYSCALL, 0, 0)
        while True:
            _, status = os.waitpid(self.pid, self.WALL)
            if not os.WIFSTOPPED(status):
                raise AssertionError(f"the launcher ended before the call: status {status:#x}")
            sig, event = os.WSTOPSIG(status), status >> 16
            inject = 0
            if sig == signal.SIGTRAP | 0x80:
                self.call(self.PTRACE_GET_SYSCALL_INFO, len(info), ctypes.addressof(info))
                op = info.raw[0]
                nr, arg0 = struct.unpack_from("=QQ", info.raw, 24)
                if (op == self.SYSCALL_INFO_ENTRY and nr == number
                        and first_arg in (None, arg0)):
                    self.held = True
                    return
            elif event == 0 and sig not in (signal.SIGTRAP, signal.SIGSTOP, signal.SIGCONT):
                inject = sig  # pass real signals on
            self.call(self.PTRACE_SYSCALL, 0, inject)

    def run_until_syscall_exit(self, number):
        """As run_until_syscall_entry, then on to the call's return, and holds the
        process there: what the call did is done, nothing after it has run."""
        self.run_until_syscall_entry(number)
        self.call(self.PTRACE_SYSCALL, 0, 0)
        _, status = os.waitpid(self.pid, self.WALL)
        if not (os.WIFSTOPPED(status) and os.WSTOPSIG(status) == signal.SIGTRAP | 0x80):
            raise AssertionError(f"no return from system call {number}: status {status:#x}")

    def detach(self):
        self.call(self.PTRACE_DETACH, 0, 0)


# The unprivileged user that cases run as when the suite runs as root.
def unprivileged_launcher(test, launcher=None):
    """For a case run as an ordinary user: (a copy of the launcher, or of the file at
    launcher, in a world-searchable directory of its own, and a prepare callable
    that drops to uid and gid NOBODY). The build tree may sit where that user
    cannot reach, in a clone under a 0700 directory. Skips unless the suite runs as
    root; run unprivileged, every case already is one."""
    if os.geteuid() != 0:
        test.skipTest("the suite already runs as an unprivileged user")

    def drop_privileges():
        os.setgroups([])
        os.setgid(NOBODY)
        os.setuid(NOBODY)

    return copy_for_other_users(launcher or LAUNCHER), drop_privileges


def set_child_subreaper(enable=True):
    """Makes this process the reaper of its orphaned descendants, so that a test
    can wait for a grandchild whose parent it killed (enable=False undoes it)."""
    libc = ctypes.CDLL(None, use_errno=True)
    pr_set_child_subreaper = 36
    if libc.prctl(pr_set_child_subreaper, 1 if enable else 0, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "PR_SET_CHILD_SUBREAPER")
