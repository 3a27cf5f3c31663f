"""Black-box tests of the launcher's stdin relay supervisor (--relay-stdin), with real
processes, files, pipes, sockets and signals."""

import errno
import json
import os
import select
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import launcher_harness as h

PY = sys.executable
SETUP_FAILED = b'{"state":"stdio-setup-failed"}\n'
RELAY_FAILED = b'{"state":"stdio-failed"}\n'
RELAY_FAILED_MESSAGE = h.message("stdin relay failed")
EXEC_FAILED_MISSING = h.error_message("exec failed", errno.ENOENT)
# Under AddressSanitizer the leak check at exit starts a thread; filters that make
# clone fail must not turn that into a failure of its own.
NO_LEAK_CHECK = dict(os.environ,
                     ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")

# Reads exactly argv[1] bytes from descriptor 0 (all of it for -1), then prints them
# in hex with the offset of descriptor 4 if that is open.
TAKE = r"""
import json, os, sys
want, got = int(sys.argv[1]), b""
while want < 0 or len(got) < want:
    piece = os.read(0, 65536 if want < 0 else want - len(got))
    if not piece:
        break
    got += piece
try:
    offset = os.lseek(4, 0, os.SEEK_CUR)
except OSError:
    offset = None
print(json.dumps({"data": got.hex(), "offset": offset}))
"""

# Prints the open descriptors above 2.
OPEN_FDS = r"""
import os
fds = []
for fd in range(3, 64):
    try:
        os.fstat(fd)
        fds.append(fd)
    except OSError:
        pass
print(fds)
"""

# Reports SIGINT, SIGTERM, SIGHUP and SIGUSR1 and exits with 100 + the signal number.
SIGNAL_CHILD = r"""
import os, signal, time
def on_signal(signo, frame):
    os.write(1, b"got %d\n" % signo)
    os._exit(100 + signo)
for signo in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGUSR1):
    signal.signal(signo, on_signal)
os.write(1, b"ready %d\n" % os.getpid())
while True:
    time.sleep(1)
"""


def relay(*command, **kwargs):
    return h.run_launcher("--relay-stdin", *command, **kwargs)


def took(run):
    document = json.loads(run.stdout)
    return bytes.fromhex(document["data"]), document["offset"]


def pattern(size):
    return bytes((i * 7 + i // 251) % 256 for i in range(size))


def read_line(stream, timeout=20):
    """One line from an unbuffered stream, or a failure after timeout seconds."""
    ready, _, _ = select.select([stream], [], [], timeout)
    if not ready:
        raise AssertionError("no line from the child in time")
    return stream.readline()


class Files(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.small = pattern(10_000)
        cls.small_path = cls.write("small", cls.small)
        cls.large = pattern(4 << 20)  # more than the socket holds
        cls.large_path = cls.write("large", cls.large)

    @classmethod
    def tearDownClass(cls):
        cls.dir.cleanup()

    @classmethod
    def write(cls, name, data):
        path = os.path.join(cls.dir.name, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def open_at(self, path, offset):
        fd = os.open(path, os.O_RDONLY)
        self.addCleanup(os.close, fd)
        os.lseek(fd, offset, os.SEEK_SET)
        return fd

    def marker(self):
        return os.path.join(self.dir.name, f"marker-{self.id()}")


class RegularFileInput(Files):
    def test_offset_ends_just_past_what_the_child_took(self):
        # (file, start offset, bytes the child reads, -1 for all)
        cases = [("small", 0, 100), ("small", 0, 0), ("small", 1000, 100),
                 ("small", 0, -1), ("small", 9950, 100), ("large", 0, 100),
                 ("large", 123_457, 70_000)]
        for name, start, take in cases:
            with self.subTest(file=name, start=start, take=take):
                content = getattr(self, name)
                fd = self.open_at(getattr(self, name + "_path"), start)
                run = relay(PY, "-c", TAKE, str(take), stdin=fd, status_fd=3,
                            extra_fds={4: fd})
                self.assertEqual((run.status, run.stderr, run.status_lines), (0, b"", b""))
                data, offset_while_relaying = took(run)
                end = len(content) if take < 0 else min(start + take, len(content))
                self.assertEqual(data, content[start:end])
                # Positional reads: the shared offset stays put while relaying.
                self.assertEqual(offset_while_relaying, start)
                self.assertEqual(os.lseek(fd, 0, os.SEEK_CUR), end)

    def test_child_exiting_at_once_ends_the_supervisor_promptly(self):
        fd = self.open_at(self.large_path, 10)
        started = time.monotonic()
        run = relay("true", stdin=fd)
        elapsed = time.monotonic() - started
        self.assertEqual((run.status, run.stderr), (0, b""))
        self.assertEqual(os.lseek(fd, 0, os.SEEK_CUR), 10)
        self.assertLess(elapsed, 2.0)


class PipeInput(unittest.TestCase):
    def test_pipe_is_relayed_and_stays_blocking(self):
        payload = pattern(300_000)
        read_end, write_end = os.pipe()
        self.addCleanup(os.close, read_end)

        def produce():  # in pieces with pauses, so the relay waits on the pipe
            with os.fdopen(write_end, "wb") as pipe:
                for start in range(0, len(payload), 100_000):
                    pipe.write(payload[start:start + 100_000])
                    pipe.flush()
                    time.sleep(0.1)

        writer = threading.Thread(target=produce)
        writer.start()
        try:
            run = relay(PY, "-c", TAKE, "-1", stdin=read_end, status_fd=3)
        finally:
            writer.join()
        self.assertEqual((run.status, run.stderr, run.status_lines), (0, b"", b""))
        self.assertEqual(took(run)[0], payload)
        self.assertTrue(os.get_blocking(read_end))

    def test_child_exiting_at_once_ends_the_supervisor_while_the_pipe_stays_open(self):
        for preload in (b"", b"x" * 65536):
            with self.subTest(preload=len(preload)):
                read_end, write_end = os.pipe()
                self.addCleanup(os.close, read_end)
                self.addCleanup(os.close, write_end)
                os.write(write_end, preload)
                started = time.monotonic()
                run = relay("true", stdin=read_end, timeout=20)
                self.assertEqual((run.status, run.stderr), (0, b""))
                self.assertLess(time.monotonic() - started, 2.0)


class OtherInput(Files):
    def test_other_kinds_give_an_empty_input_and_are_never_read(self):
        def dev_null():
            fd = os.open(os.devnull, os.O_RDONLY)
            return fd, lambda: None, os.close

        def socket_with_data():
            ours, theirs = socket.socketpair()
            ours.sendall(b"left alone")
            return theirs.fileno(), lambda: theirs.recv(100, socket.MSG_DONTWAIT), \
                lambda fd: (ours.close(), theirs.close())

        def terminal():
            master, slave = os.openpty()
            os.write(master, b"left alone\n")

            def remaining():
                select.select([slave], [], [], 5)
                return os.read(slave, 100)
            return slave, remaining, lambda fd: (os.close(master), os.close(slave))

        for name, make, left in [("/dev/null", dev_null, None),
                                 ("socket", socket_with_data, b"left alone"),
                                 ("terminal", terminal, b"left alone\n")]:
            with self.subTest(input=name):
                fd, remaining, close = make()
                try:
                    run = relay(PY, "-c", TAKE, "-1", stdin=fd, status_fd=3)
                    self.assertEqual((run.status, run.stderr, run.status_lines), (0, b"", b""))
                    self.assertEqual(took(run)[0], b"")
                    if left is not None:
                        self.assertEqual(remaining(), left)
                finally:
                    close(fd)

    def test_closed_stdin_is_a_setup_failure_without_a_child(self):
        run = relay("touch", self.marker(), status_fd=3, prepare=lambda: os.close(0))
        self.assertEqual((run.status, run.stderr, run.status_lines), (125, b"", SETUP_FAILED))
        self.assertFalse(os.path.exists(self.marker()))


class ExitStatus(Files):
    def test_child_end_is_mirrored(self):
        kill_self = "import os, signal; os.kill(os.getpid(), signal.SIGTERM)"
        cases = [(["sh", "-c", "exit 3"], 3), (["sh", "-c", "exit 0"], 0),
                 ([PY, "-c", kill_self], -signal.SIGTERM)]
        for command, expected in cases:
            with self.subTest(command=command):
                fd = self.open_at(self.small_path, 0)
                run = relay(*command, stdin=fd, status_fd=3)
                self.assertEqual((run.status, run.stderr, run.status_lines), (expected, b"", b""))

    def test_signal_that_does_not_end_the_supervisor_gives_128_plus_signal(self):
        # SIGTERM blocked in the supervisor: raising it leaves it pending.
        unblock_and_die = ("import os, signal; signal.pthread_sigmask(signal.SIG_UNBLOCK, "
                           "{signal.SIGTERM}); os.kill(os.getpid(), signal.SIGTERM)")
        run = relay(PY, "-c", unblock_and_die, status_fd=3,
                    prepare=lambda: signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM}))
        self.assertEqual((run.status, run.stderr, run.status_lines), (128 + 15, b"", b""))

    def test_child_status_reaches_a_caller_that_ignores_sigchld(self):
        # An ignored SIGCHLD would have the kernel reap the child, so that waitpid
        # fails; whether the child ends before the first wait or during the relay.
        ignore_sigchld = lambda: signal.signal(signal.SIGCHLD, signal.SIG_IGN)
        for command in (["sh", "-c", "exit 3"], ["sh", "-c", "sleep 0.2; exit 3"]):
            with self.subTest(command=command):
                fd = self.open_at(self.small_path, 0)
                run = relay(*command, stdin=fd, status_fd=3, prepare=ignore_sigchld)
                self.assertEqual((run.status, run.stderr, run.status_lines), (3, b"", b""))
                self.assertEqual(os.lseek(fd, 0, os.SEEK_CUR), 0)

    def test_missing_command(self):
        run = relay("no-such-command-for-the-relay", status_fd=3)
        self.assertEqual((run.status, run.stderr, run.status_lines),
                         (125, EXEC_FAILED_MISSING, SETUP_FAILED))


class Signals(unittest.TestCase):
    def launch(self, **kwargs):
        """The supervisor over SIGNAL_CHILD, fed from a pipe that stays open."""
        read_end, write_end = os.pipe()
        self.addCleanup(os.close, write_end)
        try:
            proc = h.start_launcher("--relay-stdin", PY, "-c", SIGNAL_CHILD, stdin=read_end,
                                    **kwargs)
        finally:
            os.close(read_end)
        self.addCleanup(proc.kill)
        return proc

    def start(self, **kwargs):
        """As launch, once the child has its handlers."""
        proc = self.launch(**kwargs)
        self.assertTrue(read_line(proc.stdout).startswith(b"ready"))
        return proc

    def test_termination_signals_are_forwarded(self):
        for signo in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=signo.name):
                proc = self.start()
                proc.send_signal(signo)
                out, err = proc.communicate(timeout=20)
                self.assertEqual((proc.returncode, out, err),
                                 (100 + signo, b"got %d\n" % signo, b""))

    def test_signal_between_fork_and_handlers_is_forwarded(self):
        # The supervisor is held where fork returns in it, before its first handler,
        # while the child runs on; a signal sent to it in that gap must wait for the
        # handler and reach the child, not end the supervisor by its default action.
        if h.EMULATOR:
            self.skipTest("tracing does not work under emulation")
        fork = h.syscall_number("clone")  # what fork() calls here
        for signo in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=signo.name):
                proc = self.launch(stopped=True)
                tracer = h.Tracer(proc.pid)
                tracer.run_until_syscall_entry(h.syscall_number("execve"))  # past the shell
                tracer.run_until_syscall_exit(fork)
                self.assertTrue(read_line(proc.stdout).startswith(b"ready"))
                proc.send_signal(signo)
                tracer.detach()
                out, err = proc.communicate(timeout=20)
                self.assertEqual((proc.returncode, out, err),
                                 (100 + signo, b"got %d\n" % signo, b""))

    def test_child_inherits_the_signal_state_the_supervisor_started_with(self):
        # Around the fork the supervisor blocks the forwarded signals and gives SIGCHLD
        # its default; after it, it handles them and ignores SIGPIPE. The command must
        # still start with the caller's mask, ignored set and an empty pending set:
        # SIGTERM blocked and SIGINT not, SIGCHLD and SIGUSR2 ignored, SIGPIPE not.
        if h.EMULATOR:
            # qemu-user keeps an inherited SIG_IGN in its own table and has its host
            # handler in place, which execve resets to the default: any program that
            # an emulated process executes starts with no signal ignored.
            self.skipTest("qemu-user does not carry ignored signals across execve")

        def caller_state():
            signal.signal(signal.SIGUSR2, signal.SIG_IGN)
            signal.signal(signal.SIGCHLD, signal.SIG_IGN)
            signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGUSR1, signal.SIGTERM})

        command = ["grep", "-E", "^(SigPnd|ShdPnd|SigBlk|SigIgn)", "/proc/self/status"]
        direct = subprocess.run(command, preexec_fn=caller_state, capture_output=True,
                                check=True)
        run = relay(*command, prepare=caller_state)
        self.assertEqual((run.status, run.stdout, run.stderr), (0, direct.stdout, b""))
        fields = dict(line.split(b":\t") for line in run.stdout.splitlines())
        bits = lambda *signos: sum(1 << (signo - 1) for signo in signos)
        watched = bits(signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGUSR1,
                       signal.SIGUSR2, signal.SIGCHLD, signal.SIGPIPE)
        self.assertEqual(int(fields[b"SigBlk"], 16) & watched,
                         bits(signal.SIGTERM, signal.SIGUSR1))
        self.assertEqual(int(fields[b"SigIgn"], 16) & watched,
                         bits(signal.SIGUSR2, signal.SIGCHLD))

    def test_sigusr1_is_not_forwarded(self):
        # It acts on the supervisor by its default disposition; the child then goes
        # by its parent-death signal, never having seen SIGUSR1.
        proc = self.start()
        proc.send_signal(signal.SIGUSR1)
        out, err = proc.communicate(timeout=20)  # the child's end closes its stdout too
        self.assertEqual((proc.returncode, out, err), (-signal.SIGUSR1, b"", b""))


class ParentDeath(unittest.TestCase):
    def wait_killed(self, pid):
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done == pid:
                return status
            time.sleep(0.02)
        os.kill(pid, signal.SIGKILL)
        self.fail(f"process {pid} outlived its parent")

    def test_supervisor_and_child_die_with_the_supervisors_parent(self):
        # Orphans come to this process, which can then see how they ended.
        h.set_child_subreaper()
        self.addCleanup(h.set_child_subreaper, False)
        intermediate = subprocess.Popen(
            ["sh", "-c", '"$@" </dev/null & echo "supervisor $!"; wait', "sh",
             *h.launcher_command("--relay-stdin", PY, "-c", SIGNAL_CHILD)],
            stdout=subprocess.PIPE, bufsize=0)
        self.addCleanup(intermediate.stdout.close)
        pids = {}
        for _ in range(2):
            word, pid = read_line(intermediate.stdout).decode().split()
            pids[word] = int(pid)
        intermediate.kill()
        intermediate.wait()
        for name in ("supervisor", "ready"):
            status = self.wait_killed(pids[name])
            self.assertTrue(os.WIFSIGNALED(status), name)
            self.assertEqual(os.WTERMSIG(status), signal.SIGKILL, name)


class StatusDescriptor(Files):
    def test_child_gets_descriptor_3_and_no_relay_descriptor(self):
        for status_fd, expected in ((3, "[3]"), (None, "[]")):
            for kind in ("file", "pipe"):
                with self.subTest(status_fd=status_fd, input=kind):
                    if kind == "file":
                        fd = self.open_at(self.small_path, 0)
                    else:
                        fd, write_end = os.pipe()
                        self.addCleanup(os.close, fd)
                        os.close(write_end)
                    run = relay(PY, "-c", OPEN_FDS, stdin=fd, status_fd=status_fd)
                    self.assertEqual((run.status, run.stderr, run.status_lines), (0, b"", b""))
                    self.assertEqual(run.stdout.decode().strip(), expected)

    def test_closed_descriptor_3_changes_no_exit_status(self):
        cases = [(["sh", "-c", "exit 3"], 3, b""),
                 (["no-such-command-for-the-relay"], 125, EXEC_FAILED_MISSING)]
        for command, status, stderr in cases:
            with self.subTest(command=command):
                fd = self.open_at(self.small_path, 0)
                run = relay(*command, stdin=fd)
                self.assertEqual((run.status, run.stderr), (status, stderr))

    def test_broken_pipe_on_descriptor_3_or_stderr_changes_no_exit_status(self):
        # A reader that has gone makes the write fail with EPIPE; the launcher must
        # not die of SIGPIPE (which would read as the command's own death), whether
        # the write is the supervisor's, the child's, or the child's message.
        read_end, broken = os.pipe()
        os.close(read_end)
        self.addCleanup(os.close, broken)
        closed_stdin = lambda: os.close(0)
        cases = [
            ("setup failure", ["true"], closed_stdin, {3: broken}, None, b""),
            ("exec failure", ["no-such-command-for-the-relay"], None, {3: broken}, None,
             EXEC_FAILED_MISSING),
            ("exec failure, stderr broken", ["no-such-command-for-the-relay"], None,
             {3: broken, 2: broken}, None, b""),
            ("relay failure", ["sleep", "30"], None, {3: broken},
             [h.Fault("pread64", errno.EIO, {0: 0})], RELAY_FAILED_MESSAGE),
        ]
        for label, command, prepare, fds, faults, stderr in cases:
            with self.subTest(label):
                if faults:
                    prepare = h.seccomp_faults(*faults)
                fd = self.open_at(self.small_path, 0)
                run = relay(*command, stdin=fd, extra_fds=fds, prepare=prepare,
                            env=NO_LEAK_CHECK)
                self.assertEqual((run.status, run.stderr), (125, stderr))


class InjectedFailures(Files):
    """Steps made to fail for real by a seccomp filter installed just before the
    launcher starts; it passes to the relay's child as well."""

    def setUp(self):
        self.syscalls = h.known_syscalls()

    def relay_denied(self, faults, *command, **kwargs):
        return relay(*command, prepare=h.seccomp_faults(*faults), env=NO_LEAK_CHECK, **kwargs)

    def test_setup_failure_reports_and_starts_no_child(self):
        steps = {
            "socketpair": [h.Fault("socketpair", errno.EMFILE)],
            "shutdown": [h.Fault("shutdown", errno.ENOBUFS)],
            "parent-death signal": [h.Fault("prctl", errno.EINVAL, {0: 1})],  # PR_SET_PDEATHSIG
            "fork": h.fork_faults(errno.EAGAIN),
        }
        for step, faults in steps.items():
            for status_fd in (3, None):
                with self.subTest(step=step, status_fd=status_fd):
                    fd = self.open_at(self.small_path, 0)
                    run = self.relay_denied(faults, "touch", self.marker(), stdin=fd,
                                            status_fd=status_fd)
                    # With descriptor 3 closed the line is lost, and nothing else
                    # changes: the socket pair may have taken number 3.
                    expected_lines = SETUP_FAILED if status_fd == 3 else b""
                    self.assertEqual((run.status, run.stderr, run.status_lines),
                                     (125, b"", expected_lines))
                    self.assertFalse(os.path.exists(self.marker()))
                    self.assertEqual(os.lseek(fd, 0, os.SEEK_CUR), 0)

    def test_child_setup_failure_is_passed_on(self):
        fd = self.open_at(self.small_path, 0)
        dup = "dup2" if "dup2" in self.syscalls else "dup3"  # what dup2() calls here
        run = self.relay_denied([h.Fault(dup, errno.EMFILE)], "touch", self.marker(), stdin=fd,
                                status_fd=3)
        self.assertEqual((run.status, run.stderr, run.status_lines), (125, b"", SETUP_FAILED))
        self.assertFalse(os.path.exists(self.marker()))
        self.assertEqual(os.lseek(fd, 0, os.SEEK_CUR), 0)

    def test_read_failure_kills_the_child_and_reports(self):
        fd = self.open_at(self.small_path, 0)
        started = time.monotonic()
        run = self.relay_denied([h.Fault("pread64", errno.EIO, {0: 0})], "sleep", "30",
                                stdin=fd, status_fd=3)
        self.assertEqual((run.status, run.stderr, run.status_lines),
                         (125, RELAY_FAILED_MESSAGE, RELAY_FAILED))
        self.assertLess(time.monotonic() - started, 20)

    def test_offset_failure_reports_although_the_child_succeeded(self):
        fd = self.open_at(self.small_path, 0)
        run = self.relay_denied([h.Fault("lseek", errno.EIO, {2: os.SEEK_SET})], "true",
                                stdin=fd, status_fd=3)
        self.assertEqual((run.status, run.stderr, run.status_lines),
                         (125, RELAY_FAILED_MESSAGE, RELAY_FAILED))


class DirectLaunchAsCommand(Files):
    def nested(self, *command, stdin):
        direct = h.launcher_command("--status-fd", "3", *h.system_grants(), *h.python_grants(),
                                    "--", *command)
        return relay(*direct, stdin=stdin, status_fd=3)

    def test_both_write_to_the_shared_descriptor_3(self):
        if h.EMULATOR:
            # The emulator answers the Landlock calls with ENOSYS, so the inner
            # launcher stops before writing any line; the supervisor passes its 125
            # on and gives back everything it had read ahead.
            fd = self.open_at(self.small_path, 0)
            run = self.nested(PY, "-c", TAKE, "100", stdin=fd)
            self.assertEqual((run.status, run.stderr, run.status_lines),
                             (125, h.LANDLOCK_UNAVAILABLE_EMULATED, b""))
            self.assertEqual(os.lseek(fd, 0, os.SEEK_CUR), 0)
            return
        abi = h.require_landlock(self)
        prepared = h.status_line("prepared", abi)
        exec_failed = h.status_line("exec-failed", abi)

        fd = self.open_at(self.small_path, 0)
        run = self.nested(PY, "-c", TAKE + "\nraise SystemExit(4)", "100", stdin=fd)
        self.assertEqual((run.status, run.stderr, run.status_lines), (4, b"", prepared))
        self.assertEqual(took(run)[0], self.small[:100])
        self.assertEqual(os.lseek(fd, 0, os.SEEK_CUR), 100)

        run = self.nested("no-such-command-for-the-relay", stdin=subprocess.DEVNULL)
        self.assertEqual((run.status, run.stderr, run.status_lines),
                         (125, EXEC_FAILED_MISSING, prepared + exec_failed))


if __name__ == "__main__":
    unittest.main()
