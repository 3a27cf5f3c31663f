"""Shared helpers for the scanner's black-box tests: run the built program as the
host does (argument vector, standard streams, exit status) over real directories."""

import json
import os
import resource
import shutil
import subprocess
import tempfile
import time
import unittest

SCANNER = os.environ.get("ORVA_SESSION_SCAN", "")


class Run:
    def __init__(self, status, stdout, stderr):
        self.status = status
        self.stdout = stdout
        self.stderr = stderr

    def document(self):
        """The stdout document parsed as JSON (asserts a single line)."""
        assert self.stdout.endswith(b"\n") and self.stdout.count(b"\n") == 1, self.stdout[:200]
        return json.loads(self.stdout)


def run_scanner(*args, stdin=subprocess.DEVNULL, timeout=60, **kwargs):
    """Runs the scanner with args (str or bytes) and returns its Run."""
    if not SCANNER:
        raise unittest.SkipTest("ORVA_SESSION_SCAN is not set")
    proc = subprocess.run([SCANNER, *args], stdin=stdin, capture_output=True,
                          timeout=timeout, **kwargs)
    return Run(proc.returncode, proc.stdout, proc.stderr)


def run_scanner_measured(*args, timeout=60):
    """Runs the scanner like run_scanner and also returns its peak resident set in KiB,
    read from the child's own resource usage when it is reaped."""
    if not SCANNER:
        raise unittest.SkipTest("ORVA_SESSION_SCAN is not set")
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        proc = subprocess.Popen([SCANNER, *args], stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        deadline = time.monotonic() + timeout
        while True:
            pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
            if pid != 0:
                break
            if time.monotonic() > deadline:
                proc.kill()
                os.wait4(proc.pid, 0)
                raise subprocess.TimeoutExpired([SCANNER, *args], timeout)
            time.sleep(0.01)
        proc.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        err.seek(0)
        return Run(proc.returncode, out.read(), err.read()), usage.ru_maxrss


def run_scanner_under_thread_limit(tasks, *args, **kwargs):
    """Runs the scanner as a uid that owns no other process and may own at most
    `tasks` tasks (processes and threads, the scanner itself included), so that
    the kernel refuses thread starts beyond that. Root ignores RLIMIT_NPROC, hence
    the uid, derived from the test's pid so that parallel runs do not share it.
    The directories the scanner reads must be open to others (share_with_others).
    LeakSanitizer's exit check needs a thread of its own and is turned off."""
    uid = 0x5EED0000 + (os.getpid() & 0xFFFF)

    def drop():
        os.setgroups([])
        os.setresgid(uid, uid, uid)
        os.setresuid(uid, uid, uid)
        resource.setrlimit(resource.RLIMIT_NPROC, (tasks, tasks))

    env = dict(kwargs.pop("env", os.environ))
    env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    return run_scanner(*args, preexec_fn=drop, env=env, **kwargs)


class ChatDirTestCase(unittest.TestCase):
    """A test case with a fresh temporary chat directory in self.chats."""

    def setUp(self):
        self._tmp = tempfile.mkdtemp(prefix="orva-scan-test-")
        self.chats = os.path.join(self._tmp, "chats")
        os.mkdir(self.chats)

    def tearDown(self):
        shutil.rmtree(self._tmp, ignore_errors=True)

    def share_with_others(self):
        """Opens the temporary tree to other uids (see run_scanner_under_thread_limit)."""
        os.chmod(self._tmp, 0o755)
        os.chmod(self.chats, 0o755)

    def write_file(self, name, content, mtime_ns=None):
        """Writes content (bytes, str, or a list of records/lines joined by "\\n" with a
        final "\\n") to name in the chat directory and optionally sets its mtime."""
        if isinstance(content, list):
            lines = [r if isinstance(r, (bytes, str)) else json.dumps(r, separators=(",", ":"))
                     for r in content]
            lines = [l.encode() if isinstance(l, str) else l for l in lines]
            content = b"".join(l + b"\n" for l in lines)
        elif isinstance(content, str):
            content = content.encode()
        path = os.path.join(self.chats, name)
        with open(path, "wb") as f:
            f.write(content)
        if mtime_ns is not None:
            os.utime(path, ns=(mtime_ns, mtime_ns))
        return path


def session_name(n):
    """A valid 36-byte session id stem for n, and its chat file name."""
    stem = "%08x-0000-4000-8000-%012x" % (n, n)
    return stem, stem + ".jsonl"
