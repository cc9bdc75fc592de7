#!/usr/bin/env python3
"""nookview with one of its system calls taken away by a seccomp filter.

Usage: failclosed_test.py DENY_CALL NOOKVIEW [unittest arguments]

Each case runs the same inputs twice: once under deny_call, where nookview
must refuse (the exact failure reply and exit 1 in reader mode; exit 1 and an
unchanged tree in publish mode), and once without the filter, where the same
inputs succeed, so that a refusal cannot come from a broken input.
"""
import ctypes
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

DENY_CALL = ""
NOOKVIEW = ""
TIMEOUT = 60  # generous: the sanitizer build starts slowly on a loaded machine

FAILURE_REPLY = b"\x01\x00\x00"
HANDSHAKE = b"\x00\x00\x00"
NOTES = b"reviewed notes\n"


def landlock_abi():
    """The kernel's Landlock ABI version, 0 without Landlock."""
    libc = ctypes.CDLL(None, use_errno=True)
    # landlock_create_ruleset(NULL, 0, LANDLOCK_CREATE_RULESET_VERSION); the
    # number is the same on every architecture.
    version = libc.syscall(444, None, ctypes.c_size_t(0), ctypes.c_uint32(1))
    return max(version, 0)


def frame(text):
    return struct.pack(">H", len(text)) + text


def run(command, stdin=b"", pass_fds=()):
    done = subprocess.run(command, input=stdin, capture_output=True, timeout=TIMEOUT,
                          pass_fds=pass_fds)
    return done.returncode, done.stdout, done.stderr


def under(call, error, command):
    return [DENY_CALL, call, error] + command


def snapshot(top):
    """Every path beneath `top` with its type and inode: a move changes it."""
    seen = []
    for folder, dirs, files in os.walk(top):
        for name in dirs + files:
            path = os.path.join(folder, name)
            st = os.lstat(path)
            seen.append((os.path.relpath(path, top), st.st_mode >> 12, st.st_ino))
    return sorted(seen)


class Scratch(unittest.TestCase):
    def setUp(self):
        self.top = tempfile.mkdtemp(prefix="nookview-failclosed-")
        self.addCleanup(shutil.rmtree, self.top)


class ReaderMode(Scratch):
    def setUp(self):
        super().setUp()
        self.root = os.path.join(self.top, "root")
        os.mkdir(self.root)
        with open(os.path.join(self.root, "notes.txt"), "wb") as f:
            f.write(NOTES)
        self.session = frame(self.root.encode()) + frame(b"notes.txt")

    def test_refuses_to_start_without_openat2(self):
        for error in ("ENOSYS", "EPERM"):
            with self.subTest(error=error):
                status, out, err = run(under("openat2", error, [NOOKVIEW]), self.session)
                self.assertEqual(out, FAILURE_REPLY)
                self.assertEqual(status, 1)
                self.assertEqual(err, b"")

    def test_self_restriction(self):
        """Without Landlock nookview goes on; when restricting fails, it refuses."""
        served = HANDSHAKE + struct.pack(">BH", 0, len(NOTES)) + NOTES
        cases = [
            # A kernel built without Landlock, as a filter shows it.
            ("landlock_create_ruleset", "ENOSYS", served, 0),
            # A filter that forbids Landlock instead of hiding it.
            ("landlock_create_ruleset", "EPERM", FAILURE_REPLY, 1),
        ]
        if landlock_abi() > 0:
            # The kernel has Landlock, and enforcing the ruleset fails.
            cases.append(("landlock_restrict_self", "EPERM", FAILURE_REPLY, 1))
        for call, error, expected, expected_status in cases:
            with self.subTest(call=call, error=error):
                status, out, _ = run(under(call, error, [NOOKVIEW]), self.session)
                self.assertEqual(out, expected)
                self.assertEqual(status, expected_status)

    def test_serves_the_same_session_without_the_filter(self):
        expected = HANDSHAKE + struct.pack(">BH", 0, len(NOTES)) + NOTES
        for label, command in (
            ("no filter", [NOOKVIEW]),
            # The launcher itself changes nothing when the call it takes away
            # is one that reader mode never makes.
            ("renameat2 filtered", under("renameat2", "EINVAL", [NOOKVIEW])),
        ):
            with self.subTest(label):
                status, out, _ = run(command, self.session)
                self.assertEqual(out, expected)
                self.assertEqual(status, 0)


class PublishMode(Scratch):
    def setUp(self):
        super().setUp()
        self.source = os.path.join(self.top, "review")
        self.destination = os.path.join(self.top, "published")
        os.mkdir(self.source)
        os.mkdir(self.destination)
        entry = os.path.join(self.source, "entry")
        os.mkdir(entry)
        with open(os.path.join(entry, "notes.txt"), "wb") as f:
            f.write(NOTES)
        e, d = os.stat(entry), os.stat(self.destination)
        self.arguments = ["--publish-review", "entry", str(e.st_dev), str(e.st_ino),
                          str(d.st_dev), str(d.st_ino)]

    def publish(self, prefix):
        # Descriptors 3 and 4 are the two directories, as a host passes them.
        source = os.open(self.source, os.O_RDONLY | os.O_DIRECTORY)
        destination = os.open(self.destination, os.O_RDONLY | os.O_DIRECTORY)
        try:
            script = 'exec 3<&"$1" 4<&"$2"; shift 2; exec "$@"'
            command = ["sh", "-c", script, "sh", str(source), str(destination)]
            return run(command + prefix + [NOOKVIEW] + self.arguments,
                       pass_fds=(source, destination))
        finally:
            os.close(source)
            os.close(destination)

    def test_moves_nothing_without_its_calls(self):
        for call, error in (("openat2", "ENOSYS"), ("openat2", "EPERM"),
                            ("renameat2", "EINVAL")):
            with self.subTest(call=call, error=error):
                before = snapshot(self.top)
                status, out, err = self.publish([DENY_CALL, call, error])
                self.assertEqual(status, 1)
                self.assertEqual(snapshot(self.top), before)
                self.assertEqual((out, err), (b"", b""))

    def test_self_restriction_failure_moves_nothing(self):
        cases = [("landlock_create_ruleset", "EPERM")]
        if landlock_abi() >= 2:
            cases.append(("landlock_restrict_self", "EPERM"))
        for call, error in cases:
            with self.subTest(call=call, error=error):
                before = snapshot(self.top)
                status, _, _ = self.publish([DENY_CALL, call, error])
                self.assertEqual(status, 1)
                self.assertEqual(snapshot(self.top), before)

    def test_moves_the_entry_without_landlock(self):
        status, _, _ = self.publish([DENY_CALL, "landlock_create_ruleset", "ENOSYS"])
        self.assertEqual(status, 0)
        self.assertEqual(os.listdir(self.destination), ["entry"])

    def test_moves_the_entry_without_the_filter(self):
        entry_inode = os.stat(os.path.join(self.source, "entry")).st_ino
        status, out, err = self.publish([])
        self.assertEqual(status, 0)
        self.assertEqual(os.listdir(self.source), [])
        self.assertEqual(os.stat(os.path.join(self.destination, "entry")).st_ino, entry_inode)
        self.assertEqual((out, err), (b"", b""))


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit("usage: failclosed_test.py DENY_CALL NOOKVIEW [unittest arguments]")
    DENY_CALL, NOOKVIEW = sys.argv[1], sys.argv[2]
    status, _, _ = run([DENY_CALL, "openat2", "EPERM", "/bin/true"])
    if status == 3:
        print("SKIP: seccomp filters cannot be installed here")
        sys.exit(77)
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:], verbosity=2)
