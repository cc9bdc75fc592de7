#!/usr/bin/env python3
"""What a nookview process holds: its open descriptors while it waits for
the next request, and the heap calls of a whole session.

Options after the binary: --alloc-counter PATH names the preloadable counting
library; --sanitized says the binary was built with the sanitizers, which
replace the allocator, so the heap check is skipped."""

import os
import subprocess
import sys

import nookview_e2e as e2e
from nookview_e2e import FAILURE, OK, SIZE_OUT_OF_RANGE

ALLOC_COUNTER = None
SANITIZED = False


def build_tree(root, outside):
    """A root whose requests, listed with their expected status, cover hits,
    misses, refusals of every kind and big files."""
    files = {"hit": b"h", "d/e/hit": b"deep", "full": e2e.pattern(8000), "over": e2e.pattern(9000),
             "empty": b"", "twin": b"t", "d/fifo-dir/x": b"x"}
    for rel, data in files.items():
        e2e.write_file(os.path.join(root, rel), data)
    os.makedirs(outside, exist_ok=True)
    os.link(os.path.join(root, "twin"), os.path.join(outside, "twin"))
    os.symlink("hit", os.path.join(root, "link"))
    os.symlink("d", os.path.join(root, "dlink"))
    os.mkfifo(os.path.join(root, "fifo"))
    e2e.make_socket(os.path.join(root, "sock"))
    return [
        (b"hit", OK), (b"d/e/hit", OK), (b"full", OK), (b"over", SIZE_OUT_OF_RANGE),
        (b"empty", SIZE_OUT_OF_RANGE), (b"twin", FAILURE), (b"link", FAILURE),
        (b"dlink/e/hit", FAILURE), (b"fifo", FAILURE), (b"sock", FAILURE), (b"d", FAILURE),
        (b"d/e", FAILURE), (b"missing", FAILURE), (b"d/missing/x", FAILURE),
        (b"hit/x", FAILURE), (b"../x", FAILURE), (b"/etc/passwd", FAILURE), (b"a//b", FAILURE),
    ]


def open_descriptors(pid):
    """Descriptor number -> what it refers to, for a running process."""
    fd_dir = f"/proc/{pid}/fd"
    found = {}
    for name in os.listdir(fd_dir):
        try:
            found[int(name)] = os.readlink(os.path.join(fd_dir, name))
        except FileNotFoundError:
            pass
    return found


class Descriptors(e2e.NookviewTest):
    def test_no_descriptor_outlives_a_request(self):
        root = os.path.join(self.tmp, "root")
        cases = build_tree(root, os.path.join(self.tmp, "outside"))
        with self.reader(root) as nv:
            baseline = open_descriptors(nv.pid)
            # The standard streams and the root, nothing else.
            extra = {fd: target for fd, target in baseline.items() if fd > 2}
            self.assertEqual(list(extra.values()), [root], f"descriptors held: {baseline}")
            for round_number in range(20):
                for request, status in cases:
                    self.assertEqual(nv.ask(request)[0], status, request)
                # The reply is out, so nookview is waiting for the next frame.
                self.assertEqual(open_descriptors(nv.pid), baseline, f"round {round_number}")
            os.rename(root, root + "-moved")
            for request, _ in cases[:5]:
                self.assertEqual(nv.ask(request)[0], FAILURE)
            self.assertEqual(
                open_descriptors(nv.pid), {**baseline, min(extra): root + "-moved"}
            )


class Heap(e2e.NookviewTest):
    def setUp(self):
        super().setUp()
        if SANITIZED:
            self.skipTest("sanitizer build: the sanitizer owns the allocator, heap count skipped")
        self.report = os.path.join(self.tmp, "alloc-count")
        self.env = dict(os.environ, LD_PRELOAD=ALLOC_COUNTER, NOOKVIEW_ALLOC_COUNT_FILE=self.report)

    def counted(self):
        with open(self.report) as f:
            return f.read()

    def test_a_whole_reader_session_allocates_nothing(self):
        root = os.path.join(self.tmp, "root")
        cases = build_tree(root, os.path.join(self.tmp, "outside"))
        with self.reader(root, env=self.env) as nv:
            for request, status in cases * 3:
                self.assertEqual(nv.ask(request)[0], status, request)
        self.assertEqual(self.counted(), "allocations 0 frees 0\n")

    def test_refused_start_up_allocates_nothing(self):
        nv = self.start(env=self.env)
        nv.request(os.path.join(self.tmp, "missing").encode())
        self.expect_end(nv, 1, e2e.FAILURE_REPLY)
        self.assertEqual(self.counted(), "allocations 0 frees 0\n")

    def test_publish_allocates_nothing(self):
        src, dst = os.path.join(self.tmp, "src"), os.path.join(self.tmp, "dst")
        os.makedirs(os.path.join(src, "review"))
        os.makedirs(dst)
        entry, target = os.stat(os.path.join(src, "review")), os.stat(dst)
        numbers = [str(n) for n in (entry.st_dev, entry.st_ino, target.st_dev, target.st_ino)]
        with e2e.on_descriptors_3_and_4(src, dst) as passed:
            nv = self.start(["--publish-review", "review", *numbers], env=self.env, pass_fds=passed)
        self.expect_end(nv, 0)
        self.assertTrue(os.path.isdir(os.path.join(dst, "review")))
        self.assertEqual(self.counted(), "allocations 0 frees 0\n")

    def test_the_counter_counts(self):
        # The same preload on a program that does allocate.
        env = dict(self.env)
        subprocess.run(["ls", "-l", "/"], env=env, stdout=subprocess.DEVNULL, check=True)
        allocations = int(self.counted().split()[1])
        self.assertGreater(allocations, 0)


def parse_options():
    global ALLOC_COUNTER, SANITIZED
    args = sys.argv[2:]
    del sys.argv[2:]
    if args[:1] == ["--alloc-counter"] and len(args) == 2:
        ALLOC_COUNTER = os.path.abspath(args[1])
    elif args == ["--sanitized"]:
        SANITIZED = True
    else:
        sys.exit("resources_test.py: give --alloc-counter PATH or --sanitized")


if __name__ == "__main__":
    parse_options()
    e2e.main(Descriptors, Heap)
