#!/usr/bin/env python3
# nookview driven from outside through tables of cases; only what crosses the
# process boundary is judged: reply bytes, exit statuses, an empty standard
# error, descriptors, and the tree on disk.
#
#   nookview_test.py SECTION NOOKVIEW [--race PROGRAM] [--hostile LIBRARY]
#
# SECTION is frames, reads, mounts, changes, publish or failclosed. With
# --hostile every reader session runs with that library preloaded (no heap
# allocation, system calls interrupted all the time). Exit 77 when the
# machine cannot run the section (not root, no strace, ...).

import contextlib, ctypes, fcntl, os, random, select, shutil, signal, socket, stat, subprocess, sys, tempfile
import termios, threading, time
from pathlib import Path

SKIP, TIMEOUT = 77, 20
HANDSHAKE, REFUSED, HELLO = b"\0\0\0", b"\1\0\0", b"\0\0\5hello"
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]  # a prefix; needs root
STRACE = ["strace", "-qq", "-o", "/dev/null"]
OPTIONS, FAILURES = {}, []


def frame(text):
    return len(text).to_bytes(2, "big") + text


def expect(got, want, what):
    if got != want:
        FAILURES.append(what)
        print(f"FAIL {what}: got {got!r:.200}, want {want!r:.200}")


def write(path, data=b""):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    Path(path).write_bytes(data)


class Reader:
    """One nookview process on pipes; every read has a deadline."""

    def __init__(self, root=None, prefix=(), preload=True, args=(), stdin=subprocess.PIPE):
        env = dict(os.environ, LD_PRELOAD=OPTIONS["hostile"]) if preload and "hostile" in OPTIONS else None
        self.p = subprocess.Popen([*prefix, OPTIONS["nookview"], *args], stdin=stdin, env=env, bufsize=0,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if root is not None:
            self.send(frame(os.fsencode(root)))
            expect(self.read(3), HANDSHAKE, f"handshake for {root}")

    def send(self, data):
        self.p.stdin.write(data)

    def trickle(self, data, rng):
        """Sends `data` in pieces of random sizes, each taken (the pipe empty again) before the next."""
        # So nookview's reads end anywhere: inside a frame's length, just past it, inside the text.
        deadline, unread = time.monotonic() + TIMEOUT, lambda: fcntl.ioctl(self.p.stdin, termios.FIONREAD, bytes(4))
        while data and self.p.poll() is None:
            with contextlib.suppress(BrokenPipeError):
                self.send(data[:(size := rng.choice((1, 2, 3, 1024)))])
            data = data[size:]
            while unread() != bytes(4) and self.p.poll() is None and time.monotonic() < deadline:
                time.sleep(0.0002)

    def read(self, n):
        got, chunk = b"", b"-"
        while chunk and len(got) < n and select.select([self.p.stdout], [], [], TIMEOUT)[0]:
            got += (chunk := os.read(self.p.stdout.fileno(), n - len(got)))
        return got

    def reply(self):
        head = self.read(3)
        return (head[0], self.read(int.from_bytes(head[1:], "big"))) if len(head) == 3 else None

    def ask(self, path):
        self.send(frame(path.encode()))
        return self.reply()

    def end(self, status, what, output=b""):
        """Closes the input: exactly `output` more, nothing on standard error."""
        out, err = self.p.communicate(timeout=TIMEOUT)
        expect((self.p.returncode, out, err), (status, output, b""), what)


def session(data, status, output, what, pieces=None, **options):
    """One whole conversation: `data` in (in random pieces, given a generator); exactly `output`, then `status`."""
    reader = Reader(**options)
    reader.trickle(data, pieces) if pieces else reader.send(data)
    reader.end(status, what, output)


# -- frames: command lines, root frames, request frames --------------------------------------


def section_frames(tmp):
    root = f"{tmp}/root"
    r, tmp_b = root.encode(), tmp.encode()
    write(f"{root}/f", b"hello"), write(f"{tmp}/file"), write(f"{tmp}/input", frame(r))
    os.symlink("root", f"{tmp}/link")
    for args in (["x"], ["--watch"], ["--publish-review"] + ["1"] * 4,
                 ["--publish-review"] + ["1"] * 6, ["--publish-reviewx"] + ["1"] * 5):
        with open(f"{tmp}/input", "rb") as given:
            Reader(args=args, stdin=given).end(1, f"command line {args}")
            expect(os.lseek(given.fileno(), 0, os.SEEK_CUR), 0, f"input read by {args}")
    table = [  # the whole input -> every byte of output, exit status; then requests after a handshake
        *((data, b"", 1) for data in (b"", frame(b"/"), frame(r[1:]), frame(r + b"/"), frame(b"/tmp/.hidden"),
                                      frame(r.replace(b"/root", b"//root")), b"\x04\x00" + r, b"\x00\x00",
                                      frame(r + b"\0x"), b"\x00\x09/tm", frame(tmp_b + b"/" + b"x" * 256))),
        *((frame(tmp_b + b"/" + name), REFUSED, 1) for name in (b"link", b"link/f", b"file", b"missing")),
        *((frame(r) + data, HANDSHAKE + output, 0) for data, output in [
            (frame(b"/".join([b"x" * 255] * 4)), REFUSED), (b"\x04\x00" + b"f" * 1024, b""), (b"\x00\x00", b""),
            (frame(b"f\0g"), b""), (b"\x00\x05ab", b""),
            (frame(b"f") + frame(b"missing") + frame(b"f"), HELLO + REFUSED + HELLO)])]
    for data, output, status in table:
        session(data, status, output, f"frames {data[:40]!r}")
    # Random conversations of good, refused and malformed frames and random
    # bytes, sent in random pieces, judged by a frame parser of this script's
    # own: a reply for every frame up to the first malformed one, then the end
    # with 0.
    seed = int(os.environ.get("NOOKVIEW_TEST_SEED", time.time_ns()))
    rng, parts = random.Random(seed), [frame(b"f"), frame(b"d/../f"), frame(b"x" * 1023),
                                        b"\0\0", b"\4\0", frame(b"f\0"), b"\0\1f"]
    for _ in range(200):
        data = b"".join(rng.choices(parts, k=rng.randrange(8))) + rng.randbytes(rng.randrange(9))
        rest, output = data, b""
        while len(rest) >= 2 and 0 < (n := int.from_bytes(rest[:2], "big")) <= 1023 \
                and len(rest) >= 2 + n and b"\0" not in rest[2:2 + n]:
            output += HELLO if rest[2:2 + n] == b"f" else REFUSED
            rest = rest[2 + n:]
        session(frame(r) + data, 0, HANDSHAKE + output, f"conversation {data!r:.60} (seed {seed})", pieces=rng)
    # A host that stops reading replies ends the session; nookview does not
    # die of SIGPIPE.
    reader = Reader(root)
    reader.p.stdout.close()
    with contextlib.suppress(BrokenPipeError):
        reader.send(frame(b"f") * 100)
        reader.p.stdin.close()
    expect((reader.p.wait(TIMEOUT), reader.p.stderr.read()), (0, b""), "host stops reading")


# -- reads: tree shapes and what each request gets ------------------------------------------


def section_reads(tmp):
    root = f"{tmp}/root"
    files = {"f": b"hello", "one": b"1", "max": os.urandom(8000), "over": os.urandom(8001), "empty": b"",
             "d/e/deep": b"deep", "linked": b"two names", "big-linked": os.urandom(9000),
             ".hidden": b"h", "w": b"written"}
    for name, data in files.items():
        write(f"{root}/{name}", data)
    for name in ("linked", "big-linked"):  # second names outside the root
        os.link(f"{root}/{name}", f"{tmp}/{name}")
    for target, name in (("f", "sym"), ("d", "dsym"), (tmp, "out")):
        os.symlink(target, f"{root}/{name}")
    os.mkfifo(f"{root}/fifo")
    socket.socket(socket.AF_UNIX).bind(f"{root}/sock")
    if os.geteuid() == 0:
        os.mknod(f"{root}/dev", stat.S_IFCHR | 0o600, os.makedev(1, 3))
    writer = open(f"{root}/w", "r+b")  # open for writing until the table is done
    table = [("f", 0, b"hello"), ("one", 0, b"1"), ("max", 0, files["max"]), ("over", 2, b""),
             ("empty", 2, b""), ("d/e/deep", 0, b"deep"), ("linked", 1, b""),
             ("big-linked", 1, b""), ("sym", 1, b""), ("dsym/e/deep", 1, b""), ("out/linked", 1, b""),
             ("d", 1, b""), ("fifo", 1, b""), ("sock", 1, b""), ("dev", 1, b""), (".hidden", 1, b""),
             ("d/../f", 1, b""), ("d/./e/deep", 1, b""), (f"{root}/f", 1, b""), ("d//e/deep", 1, b""),
             ("d/e/deep/", 1, b""), ("missing", 1, b""), ("w", 1, b"")]
    reader = Reader(root)
    before = sorted(os.listdir(f"/proc/{reader.p.pid}/fd"))
    for path, status, data in table:
        expect(reader.ask(path), (status, data), f"request {path}")
    writer.close()
    expect(reader.ask("w"), (0, b"written"), "writer closed")
    # Many 8000-byte replies read only after all requests were written: the
    # writes fill the pipe, are interrupted and continued, in order.
    reader.send(frame(b"max") * 20)
    time.sleep(0.2)  # the reply pipe is full and nookview blocked in write
    expect(reader.read(20 * 8003), (b"\0\x1f\x40" + files["max"]) * 20, "replies after a full pipe")
    expect(sorted(os.listdir(f"/proc/{reader.p.pid}/fd")), before, "descriptors after every request")
    reader.end(0, "reads end")


# -- mounts (root, private mount namespace) -------------------------------------------------


def section_mounts(tmp):
    if os.geteuid() != 0 or ctypes.CDLL(None).unshare(0x20000) != 0:  # CLONE_NEWNS
        sys.exit(print("skipped: mount namespaces need root") or SKIP)
    root, outside = f"{tmp}/root", f"{tmp}/outside"
    # A tmpfs on tmp: its lazy unmount at the end takes every mount beneath.
    for args in (("--make-rprivate", "/"), ("-t", "tmpfs", "tmpfs", tmp)):
        subprocess.run(["mount", *args], check=True)
    for path, data in (("root/plain/f", b"inside"), ("root/own/f", b"inside"), ("root/file-mount", b"inside"),
                       ("outside/f", b"outside")):
        write(f"{tmp}/{path}", data)
    for name in ("tmpfs", "bind", "self-bind", "fuse"):
        os.makedirs(f"{root}/{name}")
    for args in (("-t", "tmpfs", "tmpfs", f"{root}/tmpfs"), ("--bind", outside, f"{root}/bind"),
                 ("--bind", f"{root}/own", f"{root}/self-bind"),
                 ("--bind", f"{outside}/f", f"{root}/file-mount")):
        subprocess.run(["mount", *args], check=True)
    write(f"{root}/tmpfs/f", b"on tmpfs")
    # A mount point beneath the root is refused; a root that is one is served.
    for top, path, reply in ((root, "plain/f", b"\0\0\6inside"), (f"{root}/tmpfs", "f", b"\0\0\x08on tmpfs"),
                             *((root, p, REFUSED) for p in ("tmpfs/f", "bind/f", "self-bind/f", "file-mount"))):
        session(frame(top.encode()) + frame(path.encode()), 0, HANDSHAKE + reply, f"mounts: {top} {path}")
    if shutil.which("bindfs") and os.path.exists("/dev/fuse"):
        subprocess.run(["bindfs", outside, f"{root}/fuse"], check=True)
        session(frame(f"{root}/fuse".encode()), 1, REFUSED, "root on FUSE")
    else:
        print("skipped: FUSE root (no bindfs or /dev/fuse)")
    # One-second times: a rewrite within one tick moves no time at all.
    subprocess.run(["mkfs.ext2", "-qF", f"{tmp}/ext2.img", "8M"], check=True)
    os.makedirs(f"{tmp}/ext2")
    subprocess.run(["mount", "-o", "loop", f"{tmp}/ext2.img", f"{tmp}/ext2"], check=True)
    race = [OPTIONS["race"], OPTIONS["nookview"], f"{tmp}/ext2", "4", "rewrite", "mapping"]
    expect(subprocess.run(race).returncode, 0, "in-place writers on ext2")
    subprocess.run(["umount", "-l", tmp])


# -- changes in the middle of a request (reads held by strace) ------------------------------


def held_at_read(pid, of_file=True):
    """Waits until pid sits, held by the tracer, at a read(): of the file, or
    (right after attaching) of anything."""
    number = {"x86_64": "0", "aarch64": "63"}[os.uname().machine]
    for _ in range(TIMEOUT * 500):
        fields = Path(f"/proc/{pid}/syscall").read_text().split()
        traced = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] == "t"
        if traced and fields[0] == number and (int(fields[1], 16) > 2 or not of_file):
            return
        time.sleep(0.002)
    raise AssertionError("nookview was never held at a read")


def section_changes(tmp):
    if not shutil.which("strace") or os.geteuid() != 0:
        sys.exit(print("skipped: needs strace and root") or SKIP)
    os.chmod(tmp, 0o755)
    changes_seen_by(f"{tmp}/owner", ())  # holds a read lease: a writer waits, and is noticed
    changes_seen_by(f"{tmp}/nobody", NOBODY)  # no lease (not the owner, no CAP_LEASE): served all the same


def changes_seen_by(tmp, prefix):
    root, leased = f"{tmp}/root", not prefix
    table = [  # request, change while nookview reads the file, a writer (made to wait by a lease)?
        ("stable", None, False), ("rewrite", lambda p: open(p, "r+b").write(b"X"), True),
        ("append", lambda p: open(p, "ab").write(b"more"), True), ("truncate", lambda p: os.truncate(p, 3), True),
        ("renamed", lambda p: (write(f"{tmp}/new", b"same length."), os.replace(f"{tmp}/new", p)), False),
        ("linked", lambda p: os.link(p, f"{tmp}/second"), False),
        ("d/inner", lambda p: (os.rename(f"{root}/d", f"{root}/d2"), os.symlink("d2", f"{root}/d")), False),
        ("e/inner", lambda p: (os.rename(f"{root}/e", f"{root}/e2"), write(p, b"same length.")), False),
        ("moved", lambda p: os.rename(root, root + "-away"), False)]
    for path, _, _ in table:
        write(f"{root}/{path}", b"same length.")
    reader = Reader(root, prefix=prefix, preload=False)
    tracer = subprocess.Popen([*STRACE, "-e", "trace=read", "-e", "inject=read:delay_enter=200000",
                               "-p", str(reader.p.pid)])
    held_at_read(reader.p.pid, of_file=False)
    # Without a lease only the writers are in question (nothing else depends on
    # a lease), and nothing makes them wait: each is done before the read. The
    # file's times are changed early in a second, a few clock ticks before: a
    # write within the next half second (the held reads take less) moves them
    # by nanoseconds only, never by a second. The stable file is served.
    for path, change, _ in table if leased else [row for row in table if row[2] or not row[1]]:
        if not leased:
            if not 0.02 < time.time() % 1 < 0.3:  # 0.02: past the second's first tick
                time.sleep((1.02 - time.time() % 1) % 1)
            os.utime(f"{root}/{path}"), time.sleep(0.05)
        reader.send(frame(path.encode()))
        held_at_read(reader.p.pid)
        worker = threading.Thread(target=change or (lambda p: None), args=(f"{root}/{path}",))
        # Stopped as soon as this read ends, until the change is made (or the
        # writer waits on the lease), however slowly its thread starts.
        os.kill(reader.p.pid, signal.SIGSTOP)
        worker.start()
        while worker.is_alive() and not any(
                "BREAKING" in line and f" {reader.p.pid} " in line for line in open("/proc/locks")):
            time.sleep(0.002)
        os.kill(reader.p.pid, signal.SIGCONT)
        expect(reader.reply(), (1, b"") if change else (0, b"same length."), f"{path} changed, leased {leased}")
        worker.join(TIMEOUT)
    tracer.terminate(), tracer.wait()
    if leased:
        os.rename(root + "-away", root)
        expect(reader.ask("stable"), (0, b"same length."), "served again once the root is back")
    reader.end(0, "changes end")


# -- publish ------------------------------------------------------------------------------


def snapshot(*tops):
    return [sorted((os.path.relpath(os.path.join(d, n), top), os.lstat(os.path.join(d, n)).st_ino)
                   for d, dirs, files in os.walk(top) for n in dirs + files) for top in tops]


def numbers(*paths):
    return [str(n) for s in map(os.stat, paths) for n in (s.st_dev, s.st_ino)]


def publish(args, fd3, fd4, o_path=False, prefix=()):
    """Runs publish mode with the two paths (None: closed) on descriptors 3, 4."""
    kept = [target for target, path in ((3, fd3), (4, fd4)) if path]
    for target, path in ((3, fd3), (4, fd4)):
        if path and (fd := os.open(path, os.O_PATH if o_path else os.O_RDONLY)) != target:
            os.dup2(fd, target), os.close(fd)
    done = subprocess.run([*prefix, OPTIONS["nookview"], "--publish-review", *args], pass_fds=kept,
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=TIMEOUT)
    os.closerange(3, 5)
    expect((done.stdout, done.stderr), (b"", b""), f"publish {args} wrote text")
    return done.returncode


def section_publish(tmp):
    src, dst, shm = f"{tmp}/src", f"{tmp}/dst", tempfile.mkdtemp(dir="/dev/shm")
    for d in (f"{src}/rev/x", f"{src}/taken", f"{src}/{'n' * 255}", f"{src}/.rev", f"{dst}/taken"):
        os.makedirs(d)
    write(f"{src}/file"), write(f"{tmp}/file"), os.symlink("rev", f"{src}/sym")
    # The numbers given are those of the entry (rev's where there is none) and
    # of fd4 (dst's where it is closed), then one of them edited.
    table = [  # name, edit, fd3, fd4, status
        ("rev", None, src, dst, 0), ("n" * 255, None, src, dst, 0), ("rev/x", None, src, dst, 1),
        (".", None, src, dst, 1), ("..", None, src, dst, 1), (".rev", None, src, dst, 1),
        ("", None, src, dst, 1), ("n" * 256, None, src, dst, 1), ("file", None, src, dst, 1),
        ("sym", None, src, dst, 1), ("rev", (1, lambda n: str(int(n) + 1)), src, dst, 1),
        ("rev", (0, lambda n: "+" + n), src, dst, 1), ("rev", (1, lambda n: " " + n), src, dst, 1),
        ("rev", (2, lambda n: n + "x"), src, dst, 1), ("rev", (3, lambda n: "000" + n), src, dst, 0),
        ("rev", (3, lambda n: "18446744073709551616"), src, dst, 1), ("rev", None, None, dst, 1),
        ("rev", None, src, None, 1), ("rev", None, src, f"{tmp}/file", 1), ("taken", None, src, dst, 3),
        ("rev", None, src, shm, 2), ("rev", "o_path", src, dst, 0)]
    for row, (name, edit, fd3, fd4, status) in enumerate(table):
        args = numbers(f"{src}/{name}" if os.path.exists(f"{src}/{name}") else f"{src}/rev", fd4 or dst)
        if isinstance(edit, tuple):
            args[edit[0]] = edit[1](args[edit[0]])
        before, what = snapshot(tmp, shm), f"publish row {row}, {name[:20]!r} {args}"
        expect(got := publish([name] + args, fd3, fd4, o_path=edit == "o_path"), status, what)
        if got == 0:  # moved back (an error unless it arrived): the tree must be as it was
            os.rename(f"{dst}/{name}", f"{src}/{name}")
        expect(snapshot(tmp, shm), before, f"tree after {what}")
    os.rmdir(shm)
    # Another process exchanges the reviewed directory with another one the
    # whole time: status 0 must mean the reviewed one was published, status 1
    # that nothing was.
    exchanger = subprocess.Popen([sys.executable, "-c", f"""import ctypes; exchange = ctypes.CDLL(None).renameat2
while True: exchange(-100, b"{src}/rev", -100, b"{src}/other", 2)"""])
    seen = set()
    for _ in range(150):
        for d in ("rev", "other"):
            os.makedirs(f"{src}/{d}", exist_ok=True)
        args = ["rev", *numbers(f"{src}/rev", dst)]  # may already be the other one: that is the point
        seen.add(got := publish(args, src, dst))
        arrived = os.lstat(f"{dst}/rev").st_ino if os.path.lexists(f"{dst}/rev") else None
        expect(arrived, int(args[2]) if got == 0 else None, f"race: status {got}")
        for d in (f"{dst}/rev", f"{src}/rev", f"{src}/other"):
            shutil.rmtree(d, ignore_errors=True)
    exchanger.kill(), exchanger.wait()
    expect(seen, {0, 1}, "race outcomes seen (both, or the race was not run)")


# -- fail closed: one system call fails at once (strace injects the error) ------------------


def section_failclosed(tmp):
    if not shutil.which("strace") or subprocess.run([*STRACE, "true"]).returncode:
        sys.exit(print("skipped: needs strace, and ptrace allowed") or SKIP)
    root, src, dst = f"{tmp}/root", f"{tmp}/src", f"{tmp}/dst"
    write(f"{root}/f", b"hello"), os.makedirs(f"{src}/rev"), os.makedirs(dst)
    args = ["rev", *numbers(f"{src}/rev", dst)]
    table = [  # the failure, reader serves?, publish status
        ("openat2:error=ENOSYS", False, 1), ("openat2:error=EPERM", False, 1),
        ("renameat2:error=EINVAL", True, 1), ("landlock_create_ruleset:error=ENOSYS", True, 0),
        ("landlock_create_ruleset:error=EPERM", False, 1), ("landlock_restrict_self:error=EPERM", False, 1),
        ("openat2:error=ENOENT:when=2", False, 1)]  # the confinement probe; in publish, what arrived
    for fault, serves, status in table:
        # The hostile preload goes to nookview alone. LeakSanitizer cannot run
        # under a tracer; nookview allocates nothing (the preload shows it).
        deny = [*STRACE, "-E", "ASAN_OPTIONS=detect_leaks=0", "-e", f"inject={fault}",
                "-E", f"LD_PRELOAD={OPTIONS.get('hostile', '')}"]
        session(frame(root.encode()) + frame(b"f"), 0 if serves else 1,
                HANDSHAKE + HELLO if serves else REFUSED, f"reader, {fault}", prefix=deny, preload=False)
        before = snapshot(tmp)
        expect(publish(args, src, dst, prefix=deny), status, f"publish, {fault}")
        expect(snapshot(tmp) == before, status != 0, f"tree after publish, {fault}")
        if os.path.lexists(f"{dst}/rev"):
            os.rename(f"{dst}/rev", f"{src}/rev")
    # Both descriptors on the source directory: the entry itself holds the
    # name there (3), answered without a rename. The injected rename succeeds
    # doing nothing, as Darwin's does for an entry renamed onto itself.
    noop = [*STRACE, "-E", "ASAN_OPTIONS=detect_leaks=0", "-e", "inject=renameat2:retval=0"]
    before = snapshot(tmp)
    expect((publish(["rev", *numbers(f"{src}/rev", src)], src, src, prefix=noop), snapshot(tmp) == before),
           (3, True), "publish into the directory it comes from")


if __name__ == "__main__":
    section, OPTIONS["nookview"] = sys.argv[1], os.path.abspath(sys.argv[2])
    OPTIONS.update((k.lstrip("-"), os.path.abspath(v)) for k, v in zip(sys.argv[3::2], sys.argv[4::2]))
    os.closerange(3, 5)  # publish places its directories on descriptors 3 and 4
    with tempfile.TemporaryDirectory(prefix=f"nookview-{section}-", dir="/tmp", ignore_cleanup_errors=True) as tmp:
        globals()[f"section_{section}"](tmp)
    print(f"{section}: {len(FAILURES)} failures")
    sys.exit(1 if FAILURES else 0)
