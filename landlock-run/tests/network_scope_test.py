"""The opt-in network rules and IPC scopes under real enforcement on this kernel: TCP
connect and bind limited to the listed ports, --no-network, what the TCP rights
leave alone (UDP and UNIX sockets), the signal and abstract UNIX socket scopes, and
the refusal to run anything on a kernel whose ABI cannot enforce what was asked
for. Every server is this test's own, on the loopback address."""

import errno
import json
import os
import signal
import socket
import subprocess
import sys
import unittest

import launcher_harness as h

PY = sys.executable

# Runs each argument NAME=TARGET as an action and prints a JSON list with "ok" or
# the error name for each. Binds use SO_REUSEPORT, so that a port this test holds
# (and so knows to be free of anyone else) can be bound from the sandbox as well.
ACT = r"""
import errno, json, os, signal, socket, subprocess, sys

def inet(kind, port):
    s = socket.socket(socket.AF_INET, kind)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
    return s, ("127.0.0.1", int(port))

def tcp_connect(port):
    s, address = inet(socket.SOCK_STREAM, port)
    with s:
        s.connect(address)

def tcp_bind(port):
    s, address = inet(socket.SOCK_STREAM, port)
    with s:
        s.bind(address)

def udp_send(port):
    s, address = inet(socket.SOCK_DGRAM, port)
    with s:
        s.sendto(b"datagram", address)

def udp_bind(port):
    s, address = inet(socket.SOCK_DGRAM, port)
    with s:
        s.bind(address)

def abstract(name):
    return b"\0" + name.encode()

def unix_connect(name):
    with socket.socket(socket.AF_UNIX) as s:
        s.connect(abstract(name))

def unix_send(name):
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as s:
        s.sendto(b"datagram", abstract(name))

def unix_own(name):
    with socket.socket(socket.AF_UNIX) as server, socket.socket(socket.AF_UNIX) as client:
        server.bind(abstract(name))
        server.listen()
        client.connect(abstract(name))

def signal_outside(pid):
    os.kill(int(pid), signal.SIGUSR1)

def signal_child(_):
    child = subprocess.Popen(["sleep", "10"])
    try:
        os.kill(child.pid, signal.SIGTERM)
    finally:
        child.wait()

results = []
for action in sys.argv[1:]:
    name, _, target = action.partition("=")
    try:
        globals()[name](target)
        results.append("ok")
    except OSError as error:
        results.append(errno.errorcode[error.errno])
print(json.dumps(results))
"""

OK, EACCES, EPERM = "ok", "EACCES", "EPERM"


class Fixture(unittest.TestCase):
    NEEDS_ABI = 4

    def setUp(self):
        self.abi = h.require_landlock(self)
        if self.abi < self.NEEDS_ABI:
            self.skipTest(f"Landlock ABI {self.NEEDS_ABI} is not available here")

    def own_socket(self, family, kind, address, listen=False, reuse_port=False):
        s = socket.socket(family, kind)
        self.addCleanup(s.close)
        if reuse_port:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
        s.bind(address)
        if listen:
            s.listen(16)
        return s

    def port(self, kind=socket.SOCK_STREAM, **kwargs):
        s = self.own_socket(socket.AF_INET, kind, ("127.0.0.1", 0), **kwargs)
        return s, str(s.getsockname()[1])

    def abstract_name(self, label):
        return f"orva-launcher-test-{os.getpid()}-{label}"

    def abstract_server(self, label, kind=socket.SOCK_STREAM):
        name = self.abstract_name(label)
        self.own_socket(socket.AF_UNIX, kind, b"\0" + name.encode(),
                    listen=kind == socket.SOCK_STREAM)
        return name

    def act(self, options, actions, **kwargs):
        """Runs ACT with actions under the system grants plus options; returns the
        run and the outcome of each action."""
        run = h.run_launcher("--status-fd", "9", *h.system_grants(), *h.python_grants(),
                             *options, "--", PY, "-I", "-c", ACT, *actions, status_fd=9,
                             **kwargs)
        outcomes = json.loads(run.stdout) if run.status == 0 else None
        return run, outcomes


class NetworkTest(Fixture):
    def setUp(self):
        super().setUp()
        # TCP servers to connect to, ports held free for binding, a UDP server, and
        # an abstract UNIX socket server.
        _, self.listed = self.port(listen=True)
        _, self.other = self.port(listen=True)
        _, self.bind_listed = self.port(reuse_port=True)
        _, self.bind_other = self.port(reuse_port=True)
        self.udp_server, self.udp_port = self.port(socket.SOCK_DGRAM)
        self.udp_server.settimeout(10)
        _, self.udp_bind_port = self.port(socket.SOCK_DGRAM, reuse_port=True)
        self.unix_server = self.abstract_server("stream")

    def actions(self):
        return [f"tcp_connect={self.listed}", f"tcp_connect={self.other}",
                f"tcp_bind={self.bind_listed}", f"tcp_bind={self.bind_other}", "tcp_bind=0",
                f"udp_send={self.udp_port}", f"udp_bind={self.udp_bind_port}",
                f"unix_connect={self.unix_server}"]

    def test_tcp_ports_and_what_the_tcp_rights_leave_alone(self):
        # Columns: connect to the listed port, to another; bind the listed port,
        # another, port 0 (an ephemeral port); UDP send and bind; connect to an
        # abstract UNIX socket outside. UDP and UNIX sockets are never restricted.
        listed, other, bind_listed = self.listed, self.other, self.bind_listed
        free = [OK, OK, OK]
        cases = [
            ("no network option", [], [OK, OK, OK, OK, OK] + free),
            ("connect list", ["--tcp-connect", listed], [OK, EACCES, OK, OK, OK] + free),
            ("bind list", ["--tcp-bind", bind_listed], [OK, OK, OK, EACCES, EACCES] + free),
            ("bind port 0 allows an ephemeral port only", ["--tcp-bind", "0"],
             [OK, OK, EACCES, EACCES, OK] + free),
            ("both lists among the grants, a port repeated, leading zeros",
             ["--tcp-bind", bind_listed, "--ro", "/proc", "--tcp-connect", "00" + listed,
              "--tcp-connect", listed], [OK, EACCES, OK, EACCES, EACCES] + free),
            ("no network", ["--no-network"], [EACCES] * 5 + free),
            ("no network but a connect port", ["--tcp-connect", listed, "--no-network"],
             [OK, EACCES, EACCES, EACCES, EACCES] + free),
        ]
        for label, options, expected in cases:
            with self.subTest(label):
                run, outcomes = self.act(options, self.actions())
                self.assertEqual((run.status, run.stderr), (0, b""))
                self.assertEqual(run.status_lines, h.status_line("prepared", self.abi))
                self.assertEqual(outcomes, expected)
                self.assertEqual(self.udp_server.recv(100), b"datagram")

    def test_port_rule_failure_runs_nothing(self):
        # landlock_add_rule made to fail for port rules (rule type 2) only.
        rejected = h.seccomp_faults(h.Fault("landlock_add_rule", errno.ENOMEM, {1: 2}))
        run, _ = self.act(["--tcp-bind", "0", "--tcp-connect", self.listed],
                          [f"tcp_connect={self.listed}"], prepare=rejected)
        self.assertEqual((run.status, run.stderr),
                         (125, h.error_message("cannot add port rule", errno.ENOMEM)))
        self.assertEqual((run.stdout, run.status_lines), (b"", b""))

    def test_kernel_too_old_for_what_was_asked_runs_nothing(self):
        # The kernel's version answer is forced lower; everything else runs for real.
        # The first option on the command line that the ABI cannot enforce is named.
        def refused(option, needed, found):
            return h.message(f"{option} requires Landlock ABI {needed} or newer; "
                             f"the kernel has ABI {found}")

        actions = [f"tcp_connect={self.listed}", f"tcp_connect={self.other}"]
        cases = [
            (3, ["--tcp-connect", self.listed], refused("--tcp-connect", 4, 3)),
            (3, ["--ro", "/proc", "--tcp-bind", "80"], refused("--tcp-bind", 4, 3)),
            (3, ["--no-network"], refused("--no-network", 4, 3)),
            (5, ["--scope", "signal"], refused("--scope signal", 6, 5)),
            (5, ["--tcp-bind", "80", "--scope", "abstract-unix-socket"],
             refused("--scope abstract-unix-socket", 6, 5)),
            (3, ["--scope", "signal", "--no-network"], refused("--scope signal", 6, 3)),
            (4, ["--scope", "abstract-unix-socket", "--tcp-bind", "80"],
             refused("--scope abstract-unix-socket", 6, 4)),
            # Enforceable: the run goes on, under the rules asked for.
            (4, ["--no-network", "--tcp-connect", self.listed], [OK, EACCES]),
            (6, ["--scope", "signal", "--scope", "abstract-unix-socket"], [OK, OK]),
            (3, [], [OK, OK]),
        ]
        for abi, options, expected in cases:
            with self.subTest(abi=abi, options=options), h.ForcedAbi(abi) as forced:
                run, outcomes = self.act(options, actions, prepare=forced.prepare,
                                         started=forced.started)
                self.assertEqual(forced.answered, 1)
                if isinstance(expected, bytes):
                    self.assertEqual((run.status, run.stderr), (125, expected))
                    self.assertEqual((run.stdout, run.status_lines), (b"", b""))
                else:
                    self.assertEqual((run.status, run.stderr), (0, b""))
                    self.assertEqual(run.status_lines, h.status_line("prepared", abi))
                    self.assertEqual(outcomes, expected)


class ScopeTest(Fixture):
    NEEDS_ABI = 6

    def setUp(self):
        super().setUp()
        # A process outside the sandbox that a delivered SIGUSR1 leaves running.
        self.outside = subprocess.Popen(
            ["sleep", "60"], preexec_fn=lambda: signal.signal(signal.SIGUSR1, signal.SIG_IGN))
        self.addCleanup(self.outside.wait)
        self.addCleanup(self.outside.kill)
        self.unix_server = self.abstract_server("stream")
        self.unix_datagram = self.abstract_server("datagram", socket.SOCK_DGRAM)

    def test_scopes(self):
        # Columns: signal a process outside, signal the command's own child; connect
        # to an abstract UNIX socket outside, send it a datagram, connect to one of
        # the command's own.
        actions = [f"signal_outside={self.outside.pid}", "signal_child=",
                   f"unix_connect={self.unix_server}", f"unix_send={self.unix_datagram}",
                   f"unix_own={self.abstract_name('own')}"]
        cases = [
            ("no scope", [], [OK, OK, OK, OK, OK]),
            ("signal", ["--scope", "signal"], [EPERM, OK, OK, OK, OK]),
            ("abstract UNIX socket", ["--scope", "abstract-unix-socket"],
             [OK, OK, EPERM, EPERM, OK]),
            ("both, one repeated, with no network", ["--scope", "abstract-unix-socket",
                                                     "--no-network", "--scope", "signal",
                                                     "--scope", "signal"],
             [EPERM, OK, EPERM, EPERM, OK]),
        ]
        for label, options, expected in cases:
            with self.subTest(label):
                run, outcomes = self.act(options, actions)
                self.assertEqual((run.status, run.stderr), (0, b""))
                self.assertEqual(run.status_lines, h.status_line("prepared", self.abi))
                self.assertEqual(outcomes, expected)
        self.assertIsNone(self.outside.poll())


if __name__ == "__main__":
    unittest.main()
