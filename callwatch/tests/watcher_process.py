"""Runs tolvan-callwatch as its host does and records what it says, when.

Standard output is kept twice: as raw bytes, to compare byte for byte at the
end, and as complete lines stamped with the time they arrived, in seconds
since the watcher was started. Standard error is kept as raw bytes.
"""

import os
import subprocess
import threading
import time

READY = b'{"version":1,"type":"ready"}\n'


def started(provider):
    return b'{"version":1,"type":"candidate-started","provider":"%s"}\n' % provider.encode()


def ended(provider):
    return b'{"version":1,"type":"candidate-ended","provider":"%s"}\n' % provider.encode()


class Failure(AssertionError):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Watcher:
    def __init__(self, binary, env, args=("--watch",), stdin=subprocess.PIPE):
        self.t0 = time.monotonic()
        self.proc = subprocess.Popen([binary, *args], env=env, stdin=stdin,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.out = bytearray()
        self.err = bytearray()
        self.lines = []  # (seconds since start, line with its newline)
        self.taken = 0  # lines already handed out by next_line
        self.exit_time = None
        self.changed = threading.Condition()
        self.readers = [
            threading.Thread(target=self._read_out, daemon=True),
            threading.Thread(target=self._read_err, daemon=True),
        ]
        for reader in self.readers:
            reader.start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.kill()

    def now(self):
        return time.monotonic() - self.t0

    def sleep_until(self, t):
        """Sleeps until `t` seconds after the start."""
        delay = t - self.now()
        if delay > 0:
            time.sleep(delay)

    def _read_out(self):
        fd = self.proc.stdout.fileno()
        pending = b""
        while chunk := os.read(fd, 4096):
            stamp = self.now()
            with self.changed:
                self.out += chunk
                pending += chunk
                while b"\n" in pending:
                    line, pending = pending.split(b"\n", 1)
                    self.lines.append((stamp, line + b"\n"))
                self.changed.notify_all()
        with self.changed:
            # The watcher's end closes its standard output: the best clock
            # for when it left, whenever the test gets round to asking.
            self.exit_time = self.now()
            if pending:
                self.lines.append((self.exit_time, pending))
            self.changed.notify_all()

    def _read_err(self):
        fd = self.proc.stderr.fileno()
        while chunk := os.read(fd, 4096):
            with self.changed:
                self.err += chunk

    def next_line(self, timeout):
        """The next line not yet taken, as (time, line); None on timeout."""
        deadline = time.monotonic() + timeout
        with self.changed:
            while self.taken >= len(self.lines):
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self.changed.wait(left)
            self.taken += 1
            return self.lines[self.taken - 1]

    def expect(self, line, within):
        """Waits up to `within` seconds for the next line, which must be
        `line`; returns the time it arrived."""
        got = self.next_line(within)
        check(got is not None, f"no line within {within:.2f} s, expected {line!r}; {self.story()}")
        check(got[1] == line,
              f"got {got[1]!r} at {got[0]:.2f} s, expected {line!r}; {self.story()}")
        return got[0]

    def expect_between(self, line, earliest, latest):
        """The next line must be `line` and arrive between the two times
        (seconds since start)."""
        t = self.expect(line, max(0.0, latest - self.now()) + 0.05)
        check(earliest <= t <= latest,
              f"{line!r} at {t:.2f} s, expected between {earliest:.2f} and {latest:.2f} s; "
              f"{self.story()}")
        return t

    def expect_quiet_until(self, t):
        """No new line may arrive before `t` seconds after the start."""
        got = self.next_line(max(0.0, t - self.now()))
        if got is not None:
            raise Failure(f"unexpected {got[1]!r} at {got[0]:.2f} s, expected nothing before "
                          f"{t:.2f} s; {self.story()}")

    def wait_exit(self, timeout):
        """Waits for the watcher to end; returns (status, time of exit)."""
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure(f"still running after {timeout} s; {self.story()}")
        for reader in self.readers:
            reader.join(5)
        return self.proc.returncode, self.exit_time

    def running(self):
        return self.proc.poll() is None

    def let_go(self, timeout=2.0):
        """Closes standard input, as a host does when it is done, and checks
        the watcher leaves at once with status 0."""
        self.proc.stdin.close()
        status, _ = self.wait_exit(timeout)
        check(status == 0, f"status {status} after standard input closed; {self.story()}")

    def finish(self, *lines):
        """Lets the watcher go and checks that everything it wrote is
        exactly `lines` and that it wrote nothing on standard error."""
        self.let_go()
        self.check_output(0, b"".join(lines), b"")

    def check_output(self, status, out, err):
        check(self.proc.returncode == status,
              f"status {self.proc.returncode}, expected {status}; {self.story()}")
        check(bytes(self.out) == out, f"standard output {bytes(self.out)!r}, expected {out!r}")
        check(bytes(self.err) == err, f"standard error {bytes(self.err)!r}, expected {err!r}")

    def story(self):
        lines = ", ".join(f"{t:.2f} s {line!r}" for t, line in self.lines)
        return f"lines so far: [{lines}], stderr {bytes(self.err)!r}"

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        for reader in self.readers:
            reader.join(5)
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            if stream:
                stream.close()
