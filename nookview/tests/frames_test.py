#!/usr/bin/env python3
"""nookview reader mode at the wire: frame lengths, broken and batched
frames, the exact bytes of replies, the handshake and every refusal at
start-up, and the command-line forms that are not a mode."""

import os
import subprocess
import tempfile

import nookview_e2e as e2e
from nookview_e2e import FAILURE, FAILURE_REPLY, HANDSHAKE, OK, frame, reply_bytes


def deep_name(prefix: str, total: int) -> str:
    """A path of exactly total bytes that starts with prefix and continues
    with components of at most 255 bytes, none beginning with a dot."""
    parts = []
    left = total - len(prefix)
    while left > 0:
        size = min(255, left - 1) if left > 256 else left - 1
        if left - 1 - size == 1:  # would leave a lone '/' with no name after it
            size -= 1
        parts.append("n" * size)
        left -= size + 1
    path = prefix + "".join("/" + p for p in parts)
    assert len(path) == total and "//" not in path, path
    return path


class Frames(e2e.NookviewTest):
    def setUp(self):
        super().setUp()
        self.root = os.path.join(self.tmp, "root")
        e2e.write_file(os.path.join(self.root, "one"), b"1")
        e2e.write_file(os.path.join(self.root, "full"), e2e.pattern(8000))
        e2e.write_file(os.path.join(self.root, "empty"), b"")

    def test_reply_bytes_are_exact(self):
        cases = [
            (b"one", b"\x00\x00\x011"),
            (b"full", b"\x00\x1f\x40" + e2e.pattern(8000)),
            (b"empty", b"\x02\x00\x00"),
            (b"missing", b"\x01\x00\x00"),
        ]
        with self.reader(self.root) as nv:
            for path, expected in cases:
                with self.subTest(path=path):
                    nv.request(path)
                    self.assertEqual(nv.read(len(expected)), expected)

    def test_several_frames_in_one_write_are_answered_in_order(self):
        e2e.write_file(os.path.join(self.root, "d/two"), b"22")
        paths = [b"one", b"missing", b"d/two", b"empty", b"full", b"one", b".x", b"d/two"]
        expected = b"".join(
            [
                reply_bytes(OK, b"1"),
                FAILURE_REPLY,
                reply_bytes(OK, b"22"),
                reply_bytes(2),
                reply_bytes(OK, e2e.pattern(8000)),
                reply_bytes(OK, b"1"),
                FAILURE_REPLY,
                reply_bytes(OK, b"22"),
            ]
        )
        with self.reader(self.root) as nv:
            nv.send(b"".join(frame(p) for p in paths))
            self.assertEqual(nv.read(len(expected)), expected)

    def test_a_frame_trickling_in_byte_by_byte_is_read_whole(self):
        with self.reader(self.root) as nv:
            for byte in frame(b"one"):
                nv.send(bytes([byte]))
            self.assertEqual(nv.read_reply(), (OK, b"1"))

    def test_longest_request_of_1023_bytes_is_served(self):
        # Four components of 255 bytes and three slashes: exactly 1023 bytes.
        names = [c * 255 for c in "abcd"]
        path = "/".join(names)
        self.assertEqual(len(path), 1023)
        e2e.write_file(os.path.join(self.root, path), b"deep")
        with self.reader(self.root) as nv:
            self.assertEqual(nv.ask(path.encode()), (OK, b"deep"))
            # Same length, but one component of 256 bytes.
            self.assertEqual(nv.ask(("a" * 256 + "/" + "b" * 766).encode())[0], FAILURE)

    def test_invalid_request_frames_end_the_session_without_a_reply(self):
        # Each ends reader mode with status 0 and no reply; a valid request
        # that follows in the same write is never answered.
        cases = {
            "length 0": b"\x00\x00",
            "length 1024": b"\x04\x00" + b"o" * 1024,
            "length 0xffff": b"\xff\xff" + b"o" * 64,
            "embedded zero byte": frame(b"o\x00e"),
            "zero byte alone": frame(b"\x00"),
        }
        for name, bad in cases.items():
            with self.subTest(name):
                nv = self.start()
                nv.request(self.root.encode())
                self.assertEqual(nv.read(3), HANDSHAKE)
                nv.send(bad + frame(b"one"))
                self.expect_end(nv, 0)

    def test_truncated_requests_end_the_session_without_a_reply(self):
        cases = {
            "nothing after the handshake": b"",
            "one length byte": b"\x00",
            "part of the text": b"\x00\x05on",
            "length but no text": b"\x00\x03",
        }
        for name, partial in cases.items():
            with self.subTest(name):
                nv = self.start()
                nv.request(self.root.encode())
                self.assertEqual(nv.read(3), HANDSHAKE)
                nv.send(frame(b"one") + partial)
                self.assertEqual(nv.read_reply(), (OK, b"1"))
                self.expect_end(nv, 0)

    def test_bytes_after_an_oversized_length_are_not_consumed(self):
        # Standard input is a pipe whose read end this test keeps, so what
        # nookview left unread can be read back after it exits.
        r, w = os.pipe()
        self.addCleanup(os.close, r)
        after = b"\x00\x03one" + b"x" * 100
        os.write(w, frame(self.root.encode()) + b"\x04\x00" + after)
        os.close(w)
        nv = self.start(stdin=r)
        self.assertEqual(nv.read(3), HANDSHAKE)
        self.expect_end(nv, 0)
        os.set_blocking(r, False)
        self.assertEqual(os.read(r, 4096), after)

    def test_bytes_in_any_character_set_pass_the_frame_layer(self):
        name = b"caf\xc3\xa9-\xff\xfe\x01\x7f"
        e2e.write_file(os.path.join(self.root.encode(), name), b"raw")
        with self.reader(self.root) as nv:
            self.assertEqual(nv.ask(name), (OK, b"raw"))


class StartUp(e2e.NookviewTest):
    def setUp(self):
        super().setUp()
        self.root = os.path.join(self.tmp, "root")
        os.makedirs(os.path.join(self.root, "sub"))
        e2e.write_file(os.path.join(self.root, "one"), b"1")

    def test_handshake_is_three_bytes_and_closed_input_exits_0(self):
        nv = self.start()
        nv.request(self.root.encode())
        self.assertEqual(nv.read(3), HANDSHAKE)
        self.expect_end(nv, 0)

    def test_root_frames_refused_without_a_reply(self):
        r = self.root
        cases = {
            "input closed before the root frame": b"",
            "one length byte": b"\x00",
            "part of the root text": frame(r.encode())[:-3],
            "length 0": b"\x00\x00" + frame(r.encode()),
            "length 1024": b"\x04\x00" + deep_name(r, 1024).encode(),
            "embedded zero byte": frame(r.encode() + b"\x00/sub"),
            "root /": frame(b"/"),
            "trailing slash": frame((r + "/").encode()),
            "double slash inside": frame(r.replace("/root", "//root").encode()),
            "double slash first": frame(("/" + r).encode()),
            "dot component": frame((r + "/.").encode()),
            "dot-dot component": frame((r + "/sub/..").encode()),
            "component beginning with a dot": frame((r + "/.hidden").encode()),
            "relative": frame(r.lstrip("/").encode()),
            "dot relative": frame(b"./" + r.lstrip("/").encode()),
            "component of 256 bytes": frame((r + "/" + "n" * 256).encode()),
        }
        for name, raw in cases.items():
            with self.subTest(name):
                self.refused_root(raw, b"")

    def test_root_frames_refused_with_a_failure_reply(self):
        link_to_root = os.path.join(self.tmp, "link")
        os.symlink(self.root, link_to_root)
        os.symlink(self.tmp, os.path.join(self.tmp, "loop"))
        e2e.write_file(os.path.join(self.tmp, "plain"), b"x")
        os.mkfifo(os.path.join(self.tmp, "fifo"))
        cases = {
            "last component a symbolic link": link_to_root,
            "inner component a symbolic link": os.path.join(self.tmp, "loop", "root"),
            "a regular file": os.path.join(self.tmp, "plain"),
            "a FIFO": os.path.join(self.tmp, "fifo"),
            "missing": os.path.join(self.tmp, "missing"),
            "beneath a file": os.path.join(self.tmp, "plain", "x"),
        }
        for name, path in cases.items():
            with self.subTest(name):
                self.refused_root(frame(path.encode()), FAILURE_REPLY)

    def test_root_of_exactly_1023_bytes_is_accepted(self):
        root = deep_name(self.root, 1023)
        e2e.write_file(os.path.join(root, "f"), b"far")
        with self.reader(root) as nv:
            self.assertEqual(nv.ask(b"f"), (OK, b"far"))

    def test_root_on_a_separate_local_file_system_is_accepted(self):
        if not os.path.isdir("/dev/shm"):
            self.skipTest("no /dev/shm here")
        shm = tempfile.mkdtemp(prefix="nookview-e2e-", dir="/dev/shm")
        self.addCleanup(e2e.remove_tree, shm)
        e2e.write_file(os.path.join(shm, "f"), b"tmpfs")
        with self.reader(shm) as nv:
            self.assertEqual(nv.ask(b"f"), (OK, b"tmpfs"))


class UnwritableReplies(e2e.NookviewTest):
    """Standard output whose reader has gone. SIGPIPE is left ignored, as a
    host that ignores it passes it on, so each write fails with EPIPE."""

    def run_with_closed_output(self, input_bytes, handshake_first):
        out_r, out_w = os.pipe()
        in_r, in_w = os.pipe()
        proc = subprocess.Popen(
            [e2e.BINARY], stdin=in_r, stdout=out_w, stderr=subprocess.PIPE, restore_signals=False
        )
        self.addCleanup(lambda: proc.poll() is None and proc.kill())
        os.close(in_r)
        os.close(out_w)
        if not handshake_first:
            os.close(out_r)
        os.write(in_w, frame(self.tmp.encode()))
        if handshake_first:
            self.assertEqual(e2e.read_exact(out_r, 3), HANDSHAKE)
            os.close(out_r)
        os.write(in_w, input_bytes)
        os.close(in_w)
        code = proc.wait(e2e.EXIT_TIMEOUT)
        self.assertEqual(e2e.read_to_end(proc.stderr.fileno()), b"")
        proc.stderr.close()
        return code

    def test_handshake_that_cannot_be_written_exits_1(self):
        self.assertEqual(self.run_with_closed_output(b"", handshake_first=False), 1)

    def test_reply_that_cannot_be_written_ends_the_session_with_0(self):
        e2e.write_file(os.path.join(self.tmp, "f"), b"f")
        self.assertEqual(self.run_with_closed_output(frame(b"f") * 3, handshake_first=True), 0)


class CommandLine(e2e.NookviewTest):
    def test_forms_that_are_no_mode_exit_1_without_reading_input(self):
        cases = {
            "one argument": ["x"],
            "empty argument": [""],
            "--publish-review alone": ["--publish-review"],
            "--publish-review with 4": ["--publish-review", "a", "1", "2", "3"],
            "--publish-review with 6": ["--publish-review", "a", "1", "2", "3", "4", "5"],
            "seven entries, other flag": ["--publish", "a", "1", "2", "3", "4"],
            "seven entries, flag later": ["a", "--publish-review", "1", "2", "3", "4"],
        }
        pending = frame(self.tmp.encode()) + frame(b"x")
        for name, args in cases.items():
            with self.subTest(name):
                r, w = os.pipe()
                os.write(w, pending)
                os.close(w)
                try:
                    nv = self.start(args, stdin=r)
                    self.expect_end(nv, 1)
                    os.set_blocking(r, False)
                    self.assertEqual(os.read(r, 4096), pending, "standard input was read")
                finally:
                    os.close(r)


if __name__ == "__main__":
    e2e.main(Frames, StartUp, UnwritableReplies, CommandLine)
