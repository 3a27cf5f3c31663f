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

from orva_test_support import NOBODY, Run, copy_for_other_users, shared_temp_root

SCANNER = os.environ.get("ORVA_SESSION_SCAN", "")


def scanner_for_other_users():
    """The copy of the scanner that another uid can run (see copy_for_other_users)."""
    return copy_for_other_users(SCANNER)


def _run(program, args, stdin=subprocess.DEVNULL, timeout=60, **kwargs):
    proc = subprocess.run([program, *args], stdin=stdin, capture_output=True,
                          timeout=timeout, **kwargs)
    return Run(proc.returncode, proc.stdout, proc.stderr)


def run_scanner(*args, other_user=False, **kwargs):
    """Runs the scanner with args (str or bytes) and returns its Run. With other_user,
    root runs it as NOBODY, so that file modes deny it what they deny others (a user
    that is not root is denied by the modes already); the directories it reads must
    then be open to others (ChatDirTestCase.share_with_others)."""
    if not SCANNER:
        raise unittest.SkipTest("ORVA_SESSION_SCAN is not set")
    if not other_user:
        return _run(SCANNER, args, **kwargs)
    if os.geteuid() == 0:
        kwargs.update(user=NOBODY, group=NOBODY, extra_groups=[])
    return _run(scanner_for_other_users(), args, **kwargs)


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
    the uid, derived from the test's pid so that parallel runs do not share it; a
    user that is not root keeps its own uid, whose other processes already count
    against the limit. The scanner is the copy of scanner_for_other_users, and the
    directories it reads must be open to others (share_with_others).
    LeakSanitizer's exit check needs a thread of its own and is turned off."""
    uid = 0x5EED0000 + (os.getpid() & 0xFFFF)
    as_root = os.geteuid() == 0

    def drop():
        if as_root:
            os.setgroups([])
            os.setresgid(uid, uid, uid)
            os.setresuid(uid, uid, uid)
        resource.setrlimit(resource.RLIMIT_NPROC, (tasks, tasks))

    if not SCANNER:
        raise unittest.SkipTest("ORVA_SESSION_SCAN is not set")
    env = dict(kwargs.pop("env", os.environ))
    env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    return _run(scanner_for_other_users(), args, preexec_fn=drop, env=env, **kwargs)


class ChatDirTestCase(unittest.TestCase):
    """A test case with a fresh temporary chat directory in self.chats, private until
    share_with_others opens it."""

    def setUp(self):
        self._tmp = tempfile.mkdtemp(prefix="orva-scan-test-", dir=shared_temp_root())
        self.chats = os.path.join(self._tmp, "chats")
        os.mkdir(self.chats)

    def tearDown(self):
        shutil.rmtree(self._tmp, ignore_errors=True)

    def share_with_others(self):
        """Opens the temporary tree to other uids (see run_scanner's other_user)."""
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
