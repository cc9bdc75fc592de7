#!/usr/bin/env python3
"""A minimal host for nookview's reader mode.

    nookview_host.py NOOKVIEW ROOT [REQUEST ...]

Starts NOOKVIEW without arguments, names ROOT in the first frame, sends each
REQUEST (a path relative to ROOT; a short default list when none is given),
and prints every request with its decoded reply. Exits 0 when the session
ran, 1 when nookview refused the root, 2 on a usage or protocol problem.

The protocol, as a host sees it:
  request frame  2-byte big-endian length (1..1023), then the path bytes
  reply frame    1-byte status, 2-byte big-endian length, then the data
  statuses       0 ok (file contents follow), 1 failure, 2 size out of range
The first frame names the root; a reply of status 0 with no data is the
handshake. Closing nookview's input ends the session (exit status 0).
"""

import os
import select
import subprocess
import sys

STATUS_NAMES = {0: "ok", 1: "failure", 2: "size out of range"}
DEFAULT_REQUESTS = ["hello.txt", "notes/todo.txt", ".hidden", "../outside.txt", "missing.txt"]
TIMEOUT_SECONDS = 10.0
PREVIEW_BYTES = 48


class ProtocolError(Exception):
    pass


def frame(path: bytes) -> bytes:
    if not 1 <= len(path) <= 1023:
        raise ProtocolError(f"a path must be 1 to 1023 bytes, this one has {len(path)}")
    return len(path).to_bytes(2, "big") + path


def read_exact(stream, n: int) -> bytes:
    """n bytes from nookview's output; a silent or closed stream is an error
    rather than a hang."""
    data = b""
    while len(data) < n:
        ready, _, _ = select.select([stream], [], [], TIMEOUT_SECONDS)
        if not ready:
            raise ProtocolError("nookview did not answer in time")
        chunk = os.read(stream.fileno(), n - len(data))
        if not chunk:
            raise ProtocolError("nookview closed its output")
        data += chunk
    return data


def read_reply(stream):
    header = read_exact(stream, 3)
    length = int.from_bytes(header[1:3], "big")
    return header[0], read_exact(stream, length) if length else b""


def preview(data: bytes) -> str:
    shown = data[:PREVIEW_BYTES].decode("utf-8", "backslashreplace")
    shown = shown.replace("\n", "\\n").replace("\t", "\\t")
    return f"'{shown}'" + ("..." if len(data) > PREVIEW_BYTES else "")


def describe(status: int, data: bytes) -> str:
    name = STATUS_NAMES.get(status, f"unknown status {status}")
    return f"{name}, {len(data)} bytes: {preview(data)}" if data else name


def run_session(binary: str, root: str, requests) -> int:
    proc = subprocess.Popen([binary], stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)
    try:
        proc.stdin.write(frame(os.fsencode(root)))
        try:
            status, data = read_reply(proc.stdout)
        except ProtocolError:
            status, data = None, b""
        if status != 0 or data:
            proc.stdin.close()
            print(f"root {root}: refused (exit status {proc.wait(TIMEOUT_SECONDS)})")
            return 1
        print(f"root {root}: accepted")
        for request in requests:
            proc.stdin.write(frame(os.fsencode(request)))
            print(f"  {request!r:32} -> {describe(*read_reply(proc.stdout))}")
        proc.stdin.close()
        print(f"session ended, exit status {proc.wait(TIMEOUT_SECONDS)}")
        return 0
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def main(argv) -> int:
    if len(argv) < 3:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    try:
        return run_session(argv[1], argv[2], argv[3:] or DEFAULT_REQUESTS)
    except (ProtocolError, BrokenPipeError, subprocess.TimeoutExpired) as problem:
        print(f"nookview_host: {problem or type(problem).__name__}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
