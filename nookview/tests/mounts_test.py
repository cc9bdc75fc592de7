#!/usr/bin/env python3
"""Mount points under and at the root. Needs root: the test moves itself into
a private mount namespace first, so nothing it mounts is seen elsewhere and
everything goes away with the process."""

import ctypes
import os
import shutil
import subprocess
import time

import nookview_e2e as e2e
from nookview_e2e import FAILURE, FAILURE_REPLY, OK, frame

CLONE_NEWNS = 0x00020000
NAMESPACE_PROBLEM = None


def enter_private_mount_namespace():
    """None when this process now has mounts of its own, else why not."""
    if not e2e.is_root():
        return "mounting needs root"
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNS) != 0:
        return f"unshare(CLONE_NEWNS) failed: {os.strerror(ctypes.get_errno())}"
    done = subprocess.run(["mount", "--make-rprivate", "/"], capture_output=True)
    if done.returncode != 0:
        return f"mount --make-rprivate / failed: {done.stderr.decode().strip()}"
    return None


def mount(*args):
    subprocess.run(["mount", *args], check=True, capture_output=True)


def unmount(path):
    subprocess.run(["umount", path], check=True, capture_output=True)


class Mounts(e2e.NookviewTest):
    def setUp(self):
        if NAMESPACE_PROBLEM:
            self.skipTest(NAMESPACE_PROBLEM)
        super().setUp()
        self.root = os.path.join(self.tmp, "root")
        self.outside = os.path.join(self.tmp, "outside")
        e2e.write_file(os.path.join(self.outside, "f"), b"outside")
        e2e.write_file(os.path.join(self.outside, "single"), b"single")
        e2e.write_file(os.path.join(self.root, "plain/f"), b"plain")
        e2e.write_file(os.path.join(self.root, "own/f"), b"own")
        e2e.write_file(os.path.join(self.root, "file-mount"), b"under the mount")
        for d in ("tmpfs", "bind", "self-bind", "later"):
            os.makedirs(os.path.join(self.root, d), exist_ok=True)
        e2e.write_file(os.path.join(self.root, "later/f"), b"later")

    def mount_here(self, *args):
        mount(*args)
        self.addCleanup(subprocess.run, ["umount", "-l", args[-1]], capture_output=True)

    def path(self, rel):
        return os.path.join(self.root, rel)

    def test_files_beneath_mount_points_are_refused(self):
        self.mount_here("-t", "tmpfs", "-o", "size=1m", "tmpfs", self.path("tmpfs"))
        e2e.write_file(self.path("tmpfs/f"), b"on tmpfs")
        e2e.write_file(self.path("tmpfs/sub/f"), b"on tmpfs")
        e2e.write_file(self.path("tmpfs/big"), e2e.pattern(9000))
        self.mount_here("--bind", self.outside, self.path("bind"))
        self.mount_here("--bind", self.path("own"), self.path("self-bind"))
        self.mount_here("--bind", os.path.join(self.outside, "single"), self.path("file-mount"))
        self.assertEqual(os.stat(self.path("self-bind")).st_dev, os.stat(self.root).st_dev)
        cases = [
            (b"plain/f", OK, b"plain"),
            (b"own/f", OK, b"own"),
            (b"tmpfs/f", FAILURE, b""),
            (b"tmpfs/sub/f", FAILURE, b""),
            (b"tmpfs/big", FAILURE, b""),  # the device test comes before the size test
            (b"bind/f", FAILURE, b""),
            (b"self-bind/f", FAILURE, b""),
            (b"file-mount", FAILURE, b""),
        ]
        with self.reader(self.root) as nv:
            for request, status, data in cases:
                with self.subTest(request=request):
                    self.assertEqual(nv.ask(request), (status, data))

    def test_mount_made_and_removed_between_requests(self):
        later = self.path("later")
        with self.reader(self.root) as nv:
            self.assertEqual(nv.ask(b"later/f"), (OK, b"later"))
            mount("--bind", self.outside, later)
            try:
                self.assertEqual(nv.ask(b"later/f"), (FAILURE, b""))
            finally:
                unmount(later)
            self.assertEqual(nv.ask(b"later/f"), (OK, b"later"))

    def test_root_that_is_itself_a_mount_point_is_served(self):
        self.mount_here("-t", "tmpfs", "-o", "size=1m", "tmpfs", self.root)
        e2e.write_file(self.path("f"), b"tmpfs root")
        with self.reader(self.root) as nv:
            self.assertEqual(nv.ask(b"f"), (OK, b"tmpfs root"))

    def test_root_on_a_file_system_in_user_space_is_refused(self):
        # FUSE counts as remote: its contents come from another process.
        if shutil.which("bindfs") is None or not os.path.exists("/dev/fuse"):
            self.skipTest("bindfs or /dev/fuse is missing, so no FUSE mount can be made")
        fuse_root = self.path("tmpfs")
        subprocess.run(["bindfs", self.outside, fuse_root], check=True, capture_output=True)
        self.addCleanup(subprocess.run, ["umount", fuse_root], capture_output=True)
        deadline = e2e.Deadline(e2e.READ_TIMEOUT)
        while not os.path.exists(os.path.join(fuse_root, "f")) and deadline.left() > 0:
            time.sleep(0.01)
        with open(os.path.join(fuse_root, "f"), "rb") as f:
            self.assertEqual(f.read(), b"outside")
        self.refused_root(frame(fuse_root.encode()), FAILURE_REPLY)
        # Beneath an accepted root the FUSE mount is a mount point like any.
        with self.reader(self.root) as nv:
            self.assertEqual(nv.ask(b"tmpfs/f"), (FAILURE, b""))


if __name__ == "__main__":
    NAMESPACE_PROBLEM = enter_private_mount_namespace()
    e2e.main(Mounts)
