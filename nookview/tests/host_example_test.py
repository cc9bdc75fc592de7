#!/usr/bin/env python3
"""The example host and the demonstration script run against the real
binary. Arguments after the binary: the host script and the demo script."""

import os
import subprocess
import sys

import nookview_e2e as e2e

HOST = DEMO = None


def run(argv):
    done = subprocess.run(argv, capture_output=True, timeout=60)
    return done.returncode, done.stdout.decode(), done.stderr.decode()


class HostExample(e2e.NookviewTest):
    def test_host_prints_each_request_with_its_decoded_reply(self):
        root = os.path.join(self.tmp, "root")
        e2e.write_file(os.path.join(root, "hello.txt"), b"Hello\n")
        e2e.write_file(os.path.join(root, "a/b/deep.txt"), b"deep")
        e2e.write_file(os.path.join(root, "empty"), b"")
        os.symlink("hello.txt", os.path.join(root, "link"))
        code, out, err = run(
            [sys.executable, HOST, e2e.BINARY, root, "hello.txt", "a/b/deep.txt", "link", "empty"]
        )
        self.assertEqual((code, err), (0, ""))
        lines = [line.split() for line in out.splitlines()]
        self.assertEqual(lines[0], ["root", root + ":", "accepted"])
        self.assertEqual(lines[1], ["'hello.txt'", "->", "ok,", "6", "bytes:", "'Hello\\n'"])
        self.assertEqual(lines[2], ["'a/b/deep.txt'", "->", "ok,", "4", "bytes:", "'deep'"])
        self.assertEqual(lines[3], ["'link'", "->", "failure"])
        self.assertEqual(lines[4], ["'empty'", "->", "size", "out", "of", "range"])
        self.assertEqual(lines[5], ["session", "ended,", "exit", "status", "0"])

    def test_host_reports_a_refused_root(self):
        missing = os.path.join(self.tmp, "missing")
        code, out, err = run([sys.executable, HOST, e2e.BINARY, missing])
        self.assertEqual((code, out, err), (1, f"root {missing}: refused (exit status 1)\n", ""))

    def test_demo_serves_refuses_and_publishes_once(self):
        before = set(os.listdir("/tmp"))
        code, out, err = run(["bash", DEMO, e2e.BINARY])
        self.assertEqual((code, err), (0, ""), out)
        replies = {
            line.split("->")[0].strip(): line.split("->")[1].split(",")[0].strip()
            for line in out.splitlines()
            if "->" in line
        }
        self.assertEqual(
            replies,
            {
                "'hello.txt'": "ok",
                "'notes/2026/plan.txt'": "ok",
                "'escape.txt'": "failure",
                "'shared.txt'": "failure",
                "'big.log'": "size out of range",
                "'../outside/secret.txt'": "failure",
                "'.hidden'": "failure",
                "'missing.txt'": "failure",
            },
        )
        self.assertIn("publish review-1: exit status 0\n", out)
        self.assertIn("publish review-1: exit status 3\n", out)
        self.assertLess(out.index("exit status 0\n"), out.index("exit status 3\n"))
        leftovers = [n for n in set(os.listdir("/tmp")) - before if n.startswith("nookview-demo")]
        self.assertEqual(leftovers, [], "the demo left its temporary directory behind")


if __name__ == "__main__":
    HOST, DEMO = (os.path.abspath(p) for p in sys.argv[2:4])
    del sys.argv[2:]
    e2e.main(HostExample)
