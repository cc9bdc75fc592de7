#!/usr/bin/env python3
"""Publish mode: one exclusive rename of a reviewed directory from the
directory on descriptor 3 into the one on descriptor 4, reported only by the
exit status. Every refusal must leave both directories exactly as they were."""

import contextlib
import os
import stat
import subprocess
import tempfile

import nookview_e2e as e2e
from nookview_e2e import high_pipe, on_descriptors_3_and_4

MOVED, FAILED, CROSS_DEVICE, NAME_TAKEN = 0, 1, 2, 3
TWO_TO_THE_64 = str(2**64)


def snapshot(top):
    """Every object under top: relative path, type, inode, and contents of
    files or targets of links."""
    found = {}
    for dirpath, dirnames, filenames in os.walk(top):
        for name in dirnames + filenames:
            full = os.path.join(dirpath, name)
            st = os.lstat(full)
            if stat.S_ISREG(st.st_mode):
                with open(full, "rb") as f:
                    detail = f.read()
            elif stat.S_ISLNK(st.st_mode):
                detail = os.readlink(full)
            else:
                detail = None
            found[os.path.relpath(full, top)] = (stat.S_IFMT(st.st_mode), st.st_ino, detail)
    return found


class Publish(e2e.NookviewTest):
    def setUp(self):
        super().setUp()
        self.src = os.path.join(self.tmp, "src")
        self.dst = os.path.join(self.tmp, "dst")
        os.makedirs(self.dst)
        e2e.write_file(os.path.join(self.src, "review", "notes"), b"reviewed")
        e2e.write_file(os.path.join(self.src, "review", "deeper", "more"), b"more")
        e2e.write_file(os.path.join(self.src, "plain-file"), b"not a directory")
        os.makedirs(os.path.join(self.src, ".x"))
        os.makedirs(os.path.join(self.src, "a", "b"))
        os.symlink("review", os.path.join(self.src, "link-to-review"))
        e2e.write_file(os.path.join(self.dst, "already-here"), b"keep me")

    def numbers(self, name, dst=None):
        """The four decimal numbers that identify src/name and dst."""
        entry = os.lstat(os.path.join(self.src, name))
        target = os.stat(dst or self.dst)
        return [str(entry.st_dev), str(entry.st_ino), str(target.st_dev), str(target.st_ino)]

    def publish(self, name, numbers, fd3=None, fd4=None, stdin=subprocess.DEVNULL):
        """Runs one publish; returns its exit status after checking that it
        wrote nothing on either stream."""
        fd3 = self.src if fd3 is None else fd3
        fd4 = self.dst if fd4 is None else fd4
        with on_descriptors_3_and_4(fd3 or None, fd4 or None) as passed:
            nv = self.start(["--publish-review", name, *numbers], stdin=stdin, pass_fds=passed)
        code, out, err = nv.finish()
        self.assertEqual(out, b"", "publish mode wrote on standard output")
        self.assertEqual(err, b"", "publish mode wrote on standard error")
        return code

    def assert_refused(self, name, numbers, code=FAILED, **kw):
        before = snapshot(self.tmp)
        self.assertEqual(self.publish(name, numbers, **kw), code)
        self.assertEqual(snapshot(self.tmp), before, "a refused publish changed the tree")

    def assert_moved(self, name, numbers, **kw):
        before = snapshot(os.path.join(self.src, name))
        inode = os.lstat(os.path.join(self.src, name)).st_ino
        self.assertEqual(self.publish(name, numbers, **kw), MOVED)
        self.assertFalse(os.path.lexists(os.path.join(self.src, name)))
        moved = os.path.join(self.dst, name)
        self.assertEqual(os.lstat(moved).st_ino, inode)
        self.assertEqual(snapshot(moved), before)
        self.assertEqual(snapshot(self.dst)["already-here"][2], b"keep me")

    def test_moves_the_entry_without_reading_input(self):
        r, w = high_pipe()
        self.addCleanup(os.close, r)
        os.write(w, b"\x00\x01x")
        os.close(w)
        self.assert_moved("review", self.numbers("review"), stdin=r)
        os.set_blocking(r, False)
        self.assertEqual(os.read(r, 16), b"\x00\x01x", "publish mode read its input")

    def test_leading_zeros_match(self):
        self.assert_moved("review", ["0" * 30 + n for n in self.numbers("review")])

    def test_names_of_255_and_of_odd_bytes_are_accepted(self):
        for name in ("n" * 255, "caf\u00e9 review.v2"):
            with self.subTest(name=name[:20]):
                os.makedirs(os.path.join(self.src, name))
                self.assert_moved(name, self.numbers(name))

    def test_bad_names_are_refused(self):
        # Each name comes with the true numbers of what it would reach, so
        # only the name rule can refuse it.
        cases = {
            "": "review",
            ".": ".",
            "..": "..",
            ".x": ".x",
            "a/b": "a/b",
            "n" * 256: "review",
            "review/": "review",
            "/review": "review",
            "./review": "review",
        }
        for name, reaches in cases.items():
            with self.subTest(name=name[:20]):
                self.assert_refused(name, self.numbers(reaches))

    def test_numbers_in_other_forms_do_not_match(self):
        good = self.numbers("review")
        forms = {
            "plus sign": lambda n: "+" + n,
            "minus sign": lambda n: "-" + n,
            "leading blank": lambda n: " " + n,
            "trailing blank": lambda n: n + " ",
            "trailing letter": lambda n: n + "x",
            "empty": lambda n: "",
            "hexadecimal": lambda n: hex(int(n)),
            "2^64": lambda n: TWO_TO_THE_64,
            "2^64 plus the value": lambda n: str(2**64 + int(n)),
            "one more": lambda n: str(int(n) + 1),
        }
        for position in range(4):
            for form, change in forms.items():
                with self.subTest(position=position + 3, form=form):
                    numbers = list(good)
                    numbers[position] = change(good[position])
                    self.assert_refused("review", numbers)

    def test_entries_that_are_not_the_reviewed_directory(self):
        review = self.numbers("review")
        cases = {
            "a regular file": ("plain-file", self.numbers("plain-file")),
            "a symbolic link to it": ("link-to-review", review),
            "a symbolic link, own numbers": ("link-to-review", self.numbers("link-to-review")),
            "missing": ("gone", review),
        }
        for case, (name, numbers) in cases.items():
            with self.subTest(case):
                self.assert_refused(name, numbers)

    def test_entry_replaced_since_it_was_identified(self):
        numbers = self.numbers("review")
        os.rename(os.path.join(self.src, "review"), os.path.join(self.src, "old"))
        os.makedirs(os.path.join(self.src, "review"))
        self.assert_refused("review", numbers)

    def test_descriptors_missing_or_not_directories(self):
        numbers = self.numbers("review")
        a_file = os.path.join(self.src, "plain-file")
        cases = {
            "descriptor 3 missing": dict(fd3=""),
            "descriptor 4 missing": dict(fd4=""),
            "both missing": dict(fd3="", fd4=""),
            "descriptor 3 a regular file": dict(fd3=a_file),
            "descriptor 4 a regular file": dict(fd4=a_file),
            "descriptors swapped": dict(fd3=self.dst, fd4=self.src),
            "descriptor 4 another directory": dict(fd4=os.path.join(self.src, "a")),
        }
        for case, fds in cases.items():
            with self.subTest(case):
                self.assert_refused("review", numbers, **fds)

    def test_name_taken_in_the_destination(self):
        cases = {
            "by a directory": lambda p: e2e.write_file(os.path.join(p, "inside"), b"theirs"),
            "by a file": lambda p: e2e.write_file(p, b"theirs"),
            "by a dangling symbolic link": lambda p: os.symlink("nowhere", p),
        }
        for case, occupy in cases.items():
            with self.subTest(case):
                taken = os.path.join(self.dst, "review")
                occupy(taken)
                self.assert_refused("review", self.numbers("review"), code=NAME_TAKEN)
                e2e.remove_tree(taken)
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(taken)

    def test_destination_on_another_file_system(self):
        if not os.path.isdir("/dev/shm") or os.stat("/dev/shm").st_dev == os.stat(self.tmp).st_dev:
            self.skipTest("no tmpfs at /dev/shm on its own device")
        other = tempfile.mkdtemp(prefix="nookview-e2e-", dir="/dev/shm")
        self.addCleanup(e2e.remove_tree, other)
        before_other = snapshot(other)
        self.assert_refused(
            "review", self.numbers("review", dst=other), code=CROSS_DEVICE, fd4=other
        )
        self.assertEqual(snapshot(other), before_other)


class Harness(e2e.NookviewTest):
    def test_descriptors_3_and_4_reach_the_child_exactly(self):
        # The same passing that the publish tests use, seen from a child
        # that reports what it holds.
        probe = (
            "import os\n"
            "for fd in range(16):\n"
            " try: os.fstat(fd)\n"
            " except OSError: continue\n"
            " print(fd, end=' ')"
        )
        for fd3, fd4, expected in (
            (self.tmp, self.tmp, "0 1 2 3 4"),
            (None, self.tmp, "0 1 2 4"),
            (self.tmp, None, "0 1 2 3"),
        ):
            with on_descriptors_3_and_4(fd3, fd4) as passed:
                out = subprocess.run(
                    ["python3", "-S", "-c", probe], pass_fds=passed, capture_output=True, timeout=10
                ).stdout
            self.assertEqual(out.decode().strip(), expected)


if __name__ == "__main__":
    e2e.main(Publish, Harness)
