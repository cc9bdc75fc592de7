#!/usr/bin/env python3
"""Changes made while a request is being served.

nookview tests the file, its directories and the root again after reading,
so a change that lands between the open and the end of the request must turn
the reply into status 1. To land a change there without relying on timing,
strace attaches to nookview after the handshake and holds every read() at
its entry for a while; the test watches /proc/PID/syscall until nookview sits
in a read of the file (any descriptor but standard input), makes the change,
and lets it go on. An unchanged file read the same way is the control."""

import os
import platform
import shutil
import subprocess
import time

import nookview_e2e as e2e
from nookview_e2e import FAILURE, OK

READ_SYSCALL = {"x86_64": 0, "aarch64": 63}.get(platform.machine())
HOLD_MICROSECONDS = 200000


def yama_ptrace_scope():
    try:
        with open("/proc/sys/kernel/yama/ptrace_scope") as f:
            return int(f.read())
    except FileNotFoundError:
        return 0


def process_state(pid):
    with open(f"/proc/{pid}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()[0]


def wait_until_held(pid, deadline):
    """Returns once pid sits in a tracing stop, which proves that the tracer
    holds its system calls: right after attaching, the read() that nookview
    waits in is restarted and held like any other."""
    while deadline.left() > 0:
        if process_state(pid) == "t":
            return
        time.sleep(0.001)
    raise AssertionError("strace never held nookview")


def wait_for_file_read(pid, deadline):
    """Returns once pid is held at the entry of read() on a descriptor
    other than 0, that is, on the requested file."""
    while deadline.left() > 0:
        with open(f"/proc/{pid}/syscall") as f:
            fields = f.read().split()
        on_file = len(fields) > 1 and fields[0] == str(READ_SYSCALL) and int(fields[1], 16) != 0
        if on_file and process_state(pid) == "t":
            return
        time.sleep(0.002)
    raise AssertionError("nookview never read the requested file")


def stop_tracer(strace):
    """Ends strace, which detaches from nookview and leaves it running."""
    if strace.stderr.closed:
        return
    if strace.poll() is None:
        strace.terminate()
        strace.wait(e2e.EXIT_TIMEOUT)
    err = strace.stderr.read()
    strace.stderr.close()
    assert err == b"", f"strace: {err!r}"


class MidRequest(e2e.NookviewTest):
    def setUp(self):
        super().setUp()
        if READ_SYSCALL is None:
            self.skipTest(f"read() system call number unknown on {platform.machine()}")
        if shutil.which("strace") is None:
            self.skipTest("strace is not installed")
        if not e2e.is_root() and yama_ptrace_scope() > 0:
            self.skipTest("the ptrace scope lets only root attach strace to a running process")
        traced = subprocess.run(["strace", "-qq", "-o", "/dev/null", "true"], capture_output=True)
        if traced.returncode != 0:
            self.skipTest(f"strace cannot trace here: {traced.stderr.decode().strip()}")
        self.root = os.path.join(self.tmp, "root")

    def path(self, rel):
        return os.path.join(self.root, rel)

    def rewrite_same_size(self, rel):
        with open(self.path(rel), "r+b") as f:
            f.write(b"X")

    def append(self, rel):
        with open(self.path(rel), "ab") as f:
            f.write(b"more")

    def shrink(self, rel):
        os.truncate(self.path(rel), 3)

    def replace_by_rename(self, rel):
        e2e.write_file(self.path("incoming"), b"same length!")
        os.replace(self.path("incoming"), self.path(rel))

    def link_twice(self, rel):
        os.link(self.path(rel), os.path.join(self.tmp, "second-name"))

    def swap_directory_for_link(self, rel):
        os.rename(self.path("d"), self.path("d-moved"))
        os.symlink("d-moved", self.path("d"))

    def replace_directory(self, rel):
        # The opened file itself stays untouched; only the path now leads
        # to another file, which only the second lookup by path can see.
        os.rename(self.path("e"), self.path("e-moved"))
        e2e.write_file(self.path(rel), b"same length.")

    def move_root(self, rel):
        os.rename(self.root, self.root + "-moved")

    def test_changes_during_the_read_are_caught(self):
        nothing = None
        cases = [
            ("unchanged", "stable", nothing, OK),
            ("rewritten in place, same size", "rewrite", self.rewrite_same_size, FAILURE),
            ("appended to", "append", self.append, FAILURE),
            ("truncated", "shrink", self.shrink, FAILURE),
            ("replaced by a rename", "replace", self.replace_by_rename, FAILURE),
            ("given a second link", "link", self.link_twice, FAILURE),
            ("a directory swapped for a link", "d/inner", self.swap_directory_for_link, FAILURE),
            ("a directory replaced by another", "e/inner", self.replace_directory, FAILURE),
            ("root moved away", "rooted", self.move_root, FAILURE),
        ]
        for _, rel, _, _ in cases:
            e2e.write_file(self.path(rel), b"same length.")
        with self.reader(self.root) as nv:
            # Attached only now, so that start-up runs at full speed.
            strace = subprocess.Popen(
                ["strace", "-qq", "-o", "/dev/null", "-e", "trace=read",
                 "-e", f"inject=read:delay_enter={HOLD_MICROSECONDS}", "-p", str(nv.pid)],
                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            self.addCleanup(stop_tracer, strace)
            wait_until_held(nv.pid, e2e.Deadline(e2e.READ_TIMEOUT))
            nookview = nv.pid
            for name, rel, change, status in cases:
                with self.subTest(name):
                    nv.request(rel.encode())
                    wait_for_file_read(nookview, e2e.Deadline(e2e.READ_TIMEOUT))
                    if change:
                        change(rel)
                    expected = (OK, b"same length.") if status == OK else (status, b"")
                    self.assertEqual(nv.read_reply(), expected)
            # The root is back: the same session serves again.
            os.rename(self.root + "-moved", self.root)
            nv.request(b"stable")
            wait_for_file_read(nookview, e2e.Deadline(e2e.READ_TIMEOUT))
            self.assertEqual(nv.read_reply(), (OK, b"same length."))
            # Let go before the end, so that the sanitizer build's leak
            # check, which cannot run under a tracer, runs as usual.
            stop_tracer(strace)


if __name__ == "__main__":
    e2e.main(MidRequest)
