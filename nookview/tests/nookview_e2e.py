"""Shared pieces of the nookview end-to-end tests.

The tests drive the real binary from outside, over pipes, and look only at
what crosses the process boundary: frames on standard output, the exit
status, an empty standard error, and files on disk. Every read from the
process has a deadline, so a hang fails the test instead of blocking it.

Each test file calls main() with its test classes; the binary's path is the
first command-line argument. A file whose every case was skipped exits 77,
which CTest reports as skipped.
"""

import contextlib
import faulthandler
import fcntl
import os
import select
import shutil
import socket
import stat
import subprocess
import sys
import tempfile
import time
import unittest

# Generous: the sanitizer build starts slowly on a loaded two-core machine.
READ_TIMEOUT = 10.0
EXIT_TIMEOUT = 10.0
WHOLE_FILE_TIMEOUT = 80.0
SKIP_EXIT = 77

OK, FAILURE, SIZE_OUT_OF_RANGE = 0, 1, 2
HANDSHAKE = b"\x00\x00\x00"
FAILURE_REPLY = b"\x01\x00\x00"
MAX_DATA = 8000

BINARY = None


def frame(path: bytes) -> bytes:
    """A request frame: two length bytes, big-endian, then the text."""
    return len(path).to_bytes(2, "big") + path


def reply_bytes(status: int, data: bytes = b"") -> bytes:
    return bytes([status]) + len(data).to_bytes(2, "big") + data


def is_root() -> bool:
    return os.geteuid() == 0


class Deadline:
    def __init__(self, seconds):
        self.end = time.monotonic() + seconds

    def left(self):
        return max(0.0, self.end - time.monotonic())


def read_exact(fd, n, timeout=READ_TIMEOUT):
    """n bytes from fd, or an AssertionError naming what arrived in time."""
    deadline = Deadline(timeout)
    got = b""
    while len(got) < n:
        ready, _, _ = select.select([fd], [], [], deadline.left())
        if not ready:
            raise AssertionError(f"timed out waiting for {n} bytes, got {got!r}")
        chunk = os.read(fd, n - len(got))
        if not chunk:
            raise AssertionError(f"end of output after {got!r}, wanted {n} bytes")
        got += chunk
    return got


def read_to_end(fd, timeout=READ_TIMEOUT):
    """Everything fd yields until end of file, within the deadline."""
    deadline = Deadline(timeout)
    got = b""
    while True:
        ready, _, _ = select.select([fd], [], [], deadline.left())
        if not ready:
            raise AssertionError(f"output not closed in time; so far {got[:64]!r}")
        chunk = os.read(fd, 65536)
        if not chunk:
            return got
        got += chunk


class Nookview:
    """One nookview process with its three standard streams on pipes."""

    def __init__(self, args=(), env=None, stdin=subprocess.PIPE, pass_fds=(), prefix=()):
        self.proc = subprocess.Popen(
            [*prefix, BINARY, *args],
            stdin=stdin,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            bufsize=0,
            env=env,
            pass_fds=pass_fds,
        )
        self.pid = self.proc.pid

    def send(self, data: bytes):
        self.proc.stdin.write(data)

    def request(self, path: bytes):
        self.send(frame(path))

    def read(self, n, timeout=READ_TIMEOUT):
        return read_exact(self.proc.stdout.fileno(), n, timeout)

    def read_reply(self, timeout=READ_TIMEOUT):
        header = self.read(3, timeout)
        length = int.from_bytes(header[1:], "big")
        return header[0], self.read(length, timeout) if length else b""

    def ask(self, path: bytes, timeout=READ_TIMEOUT):
        self.request(path)
        return self.read_reply(timeout)

    def close_input(self):
        if self.proc.stdin and not self.proc.stdin.closed:
            self.proc.stdin.close()

    def finish(self, timeout=EXIT_TIMEOUT):
        """Closes standard input and returns (exit status, rest of stdout, stderr)."""
        self.close_input()
        rest = read_to_end(self.proc.stdout.fileno(), timeout)
        err = read_to_end(self.proc.stderr.fileno(), timeout)
        code = self.proc.wait(timeout)
        self.proc.stdout.close()
        self.proc.stderr.close()
        return code, rest, err

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            if stream and not stream.closed:
                stream.close()


class NookviewTest(unittest.TestCase):
    """Base class: starts processes, and checks how every one of them ends."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="nookview-e2e-", dir="/tmp")
        self.addCleanup(remove_tree, self.tmp)

    def start(self, *args, **kw):
        nv = Nookview(*args, **kw)
        self.addCleanup(nv.kill)
        return nv

    def expect_end(self, nv, code, output=b""):
        """The process exits with code after its input closes, having written
        exactly output more on stdout and nothing at all on stderr."""
        got_code, rest, err = nv.finish()
        self.assertEqual(rest, output, "unexpected further output")
        self.assertEqual(err, b"", "nookview wrote on standard error")
        self.assertEqual(got_code, code, "exit status")

    @contextlib.contextmanager
    def reader(self, root, **kw):
        """A reader-mode session on root, past the handshake; on leaving, the
        input is closed and the process must exit 0 with no further output."""
        nv = self.start(**kw)
        nv.request(os.fsencode(root))
        self.assertEqual(nv.read(3), HANDSHAKE, "handshake")
        yield nv
        self.expect_end(nv, 0)

    def refused_root(self, root_frame: bytes, reply: bytes):
        """Sends one raw root frame; the process must answer exactly reply
        (possibly nothing) and exit 1."""
        nv = self.start()
        nv.send(root_frame)
        self.expect_end(nv, 1, reply)


def remove_tree(path):
    """Removes a test tree, whatever modes or links it holds."""
    if not os.path.lexists(path):
        return
    for dirpath, dirnames, _ in os.walk(path):
        for d in dirnames:
            full = os.path.join(dirpath, d)
            if not os.path.islink(full):
                with contextlib.suppress(OSError):
                    os.chmod(full, 0o700)
    shutil.rmtree(path, ignore_errors=True)


def write_file(path, data: bytes):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def make_socket(path):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.bind(path)
    s.close()


def make_device(path):
    os.mknod(path, stat.S_IFCHR | 0o600, os.makedev(1, 3))


def pattern(n: int, seed: int = 0) -> bytes:
    """n bytes that differ from one offset to the next, so a shifted or
    partial copy never compares equal."""
    return bytes((i * 7 + seed + i // 251) % 256 for i in range(n))


def free_descriptors_3_and_4():
    """Moves aside whatever the test runner handed down on descriptors 3 and
    4, which the publish tests place their directories on."""
    for fd in (3, 4):
        with contextlib.suppress(OSError):
            fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10)
            os.close(fd)


@contextlib.contextmanager
def on_descriptors_3_and_4(fd3_path, fd4_path):
    """Opens the two paths (None leaves the descriptor closed) as exactly
    descriptors 3 and 4 of this process while the block runs."""
    for target in (3, 4):
        with contextlib.suppress(OSError):
            os.fstat(target)
            raise AssertionError(f"descriptor {target} is in use by the test itself")
    staged = {}
    try:
        for target, path in ((3, fd3_path), (4, fd4_path)):
            if path is not None:
                fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
                # Out of the way first, so that placing one cannot clobber the other.
                staged[target] = fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10)
                os.close(fd)
        for target, fd in staged.items():
            os.dup2(fd, target, inheritable=True)
        yield tuple(staged)
    finally:
        for target, fd in staged.items():
            os.close(fd)
            with contextlib.suppress(OSError):
                os.close(target)


def high_pipe():
    """A pipe whose ends stay clear of descriptors 3 and 4."""
    ends = []
    for fd in os.pipe():
        ends.append(fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10))
        os.close(fd)
    return ends


def main(*cases):
    global BINARY
    if len(sys.argv) < 2:
        sys.exit(f"usage: {sys.argv[0]} PATH-OF-NOOKVIEW [unittest options]")
    BINARY = os.path.abspath(sys.argv[1])
    free_descriptors_3_and_4()
    faulthandler.dump_traceback_later(WHOLE_FILE_TIMEOUT, exit=True)
    suite = unittest.TestSuite()
    loader = unittest.TestLoader()
    for case in cases:
        suite.addTests(loader.loadTestsFromTestCase(case))
    result = unittest.TextTestRunner(stream=sys.stdout, verbosity=2).run(suite)
    if not result.wasSuccessful():
        sys.exit(1)
    if result.testsRun and len(result.skipped) == result.testsRun:
        print("SKIPPED: " + "; ".join(sorted({why for _, why in result.skipped})))
        sys.exit(SKIP_EXIT)
    sys.exit(0)
