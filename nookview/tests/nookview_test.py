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

import contextlib, ctypes, mmap, os, random, select, shutil, socket, stat, subprocess, sys, tempfile, threading, time

SKIP, TIMEOUT = 77, 20
HANDSHAKE, REFUSED = b"\0\0\0", b"\1\0\0"
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]  # a prefix; needs root
OPTIONS, FAILURES = {}, []
libc = ctypes.CDLL(None, use_errno=True)


def frame(text):
    return len(text).to_bytes(2, "big") + text


def expect(got, want, what):
    if got != want:
        FAILURES.append(what)
        print(f"FAIL {what}: got {got!r:.200}, want {want!r:.200}")


def write(path, data=b""):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


class Reader:
    """One nookview process on pipes; every read has a deadline."""

    def __init__(self, root=None, prefix=(), preload=True, args=(), stdin=subprocess.PIPE):
        env = dict(os.environ)
        if preload and OPTIONS.get("hostile"):
            env["LD_PRELOAD"] = OPTIONS["hostile"]
        self.p = subprocess.Popen([*prefix, OPTIONS["nookview"], *args], stdin=stdin, env=env,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if root is not None:
            self.send(frame(os.fsencode(root)))
            expect(self.read(3), HANDSHAKE, f"handshake for {root}")

    def send(self, data):
        self.p.stdin.write(data)
        self.p.stdin.flush()

    def read(self, n):
        got = b""
        while len(got) < n and select.select([self.p.stdout], [], [], TIMEOUT)[0]:
            chunk = os.read(self.p.stdout.fileno(), n - len(got))
            if not chunk:
                break
            got += chunk
        return got

    def reply(self):
        head = self.read(3)
        return (head[0], self.read(int.from_bytes(head[1:], "big"))) if len(head) == 3 else None

    def ask(self, path):
        self.send(frame(path.encode()))
        return self.reply()

    def descriptors(self):
        return sorted(os.listdir(f"/proc/{self.p.pid}/fd"))

    def end(self, status, what, output=b""):
        """Closes the input: exactly `output` more, nothing on standard error."""
        out, err = self.p.communicate(timeout=TIMEOUT)
        expect((self.p.returncode, out, err), (status, output, b""), what)


def session(data, status, output, what, **options):
    """One whole conversation: `data` in; exactly `output`, then `status`."""
    reader = Reader(**options)
    reader.send(data)
    reader.end(status, what, output)


def reads_of(root, table, what):
    reader = Reader(root)
    for path, status, data in table:
        expect(reader.ask(path), (status, data), f"{what}: {path}")
    reader.end(0, f"{what}: end")


# -- frames: command lines, root frames, request frames --------------------------------------


def section_frames(tmp):
    root = f"{tmp}/root"
    write(f"{root}/f", b"hello")
    write(f"{tmp}/file")
    os.symlink("root", f"{tmp}/link")
    for args in (["x"], ["--watch"], ["--publish-review"] + ["1"] * 4,
                 ["--publish-review"] + ["1"] * 6, ["--publish-reviewx"] + ["1"] * 5):
        inp, out = os.pipe()
        os.write(out, frame(root.encode()))
        Reader(args=args, stdin=inp).end(1, f"command line {args}")
        os.set_blocking(inp, False)
        expect(os.read(inp, 100), frame(root.encode()), f"input left unread by {args}")
        os.close(inp), os.close(out)
    r = root.encode()
    roots = [  # raw bytes of the first frame -> reply, exit status
        (b"", b"", 1), (frame(b"/"), b"", 1), (frame(r[1:]), b"", 1), (frame(r + b"/"), b"", 1),
        (frame(r.replace(b"/root", b"//root")), b"", 1), (frame(b"/tmp/.hidden"), b"", 1),
        (b"\x04\x00" + r, b"", 1), (b"\x00\x00", b"", 1), (frame(r + b"\0x"), b"", 1),
        (b"\x00\x09/tm", b"", 1), (frame(f"{tmp}/".encode() + b"x" * 256), b"", 1),
        (frame(f"{tmp}/link".encode()), REFUSED, 1),
        (frame(f"{tmp}/link/f".encode()), REFUSED, 1), (frame(f"{tmp}/file".encode()), REFUSED, 1),
        (frame(f"{tmp}/missing".encode()), REFUSED, 1), (frame(r), HANDSHAKE, 0)]
    for data, output, status in roots:
        session(data, status, output, f"root frame {data[:40]!r}")
    longest = b"/".join([b"x" * 255] * 4)
    requests = [  # raw bytes after the handshake -> replies; the session ends with 0
        (frame(longest), REFUSED), (b"\x04\x00" + b"f" * 1024, b""), (b"\x00\x00", b""),
        (frame(b"f\0g"), b""), (b"\x00\x05ab", b""),
        (frame(b"f") + frame(b"missing") + frame(b"f"), b"\0\0\5hello\1\0\0\0\0\5hello")]
    for data, output in requests:
        session(data, 0, output, f"request frames {data[:40]!r}", root=root)
    # Random conversations of good, refused and malformed frames and random
    # bytes, judged by a frame parser of this script's own: a reply for every
    # frame up to the first malformed one, then the end with 0.
    seed = int(os.environ.get("NOOKVIEW_TEST_SEED", time.time_ns()))
    rng, parts = random.Random(seed), [frame(b"f"), frame(b"d/../f"), frame(b"x" * 1023),
                                        b"\0\0", b"\4\0", frame(b"f\0"), b"\0\1f"]
    for _ in range(200):
        data = b"".join(rng.choices(parts, k=rng.randrange(8))) + rng.randbytes(rng.randrange(9))
        rest, output = data, b""
        while len(rest) >= 2 and 0 < (n := int.from_bytes(rest[:2], "big")) <= 1023 \
                and len(rest) >= 2 + n and b"\0" not in rest[2:2 + n]:
            output += b"\0\0\5hello" if rest[2:2 + n] == b"f" else REFUSED
            rest = rest[2 + n:]
        session(frame(root.encode()) + data, 0, HANDSHAKE + output,
                f"conversation {data!r:.60} (seed {seed})")
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
    root, outside = f"{tmp}/root", f"{tmp}/outside"
    files = {"f": b"hello", "one": b"1", "max": os.urandom(8000), "over": os.urandom(8001), "empty": b"",
             "d/e/deep": b"deep", "linked": b"two names", "big-linked": os.urandom(9000),
             ".hidden": b"h", "w": b"written", "m": b"mapped"}
    for name, data in files.items():
        write(f"{root}/{name}", data)
    os.makedirs(outside)
    os.link(f"{root}/linked", f"{outside}/linked")
    os.link(f"{root}/big-linked", f"{outside}/big-linked")
    os.symlink("f", f"{root}/sym")
    os.symlink("d", f"{root}/dsym")
    os.symlink(outside, f"{root}/out")
    os.mkfifo(f"{root}/fifo")
    socket.socket(socket.AF_UNIX).bind(f"{root}/sock")
    if os.geteuid() == 0:
        os.mknod(f"{root}/dev", stat.S_IFCHR | 0o600, os.makedev(1, 3))
    table = [("f", 0, b"hello"), ("one", 0, b"1"), ("max", 0, files["max"]), ("over", 2, b""),
             ("empty", 2, b""), ("d/e/deep", 0, b"deep"), ("linked", 1, b""),
             ("big-linked", 1, b""), ("sym", 1, b""), ("dsym/e/deep", 1, b""), ("out/linked", 1, b""),
             ("d", 1, b""), ("fifo", 1, b""), ("sock", 1, b""), ("dev", 1, b""), (".hidden", 1, b""),
             ("d/../f", 1, b""), ("d/./e/deep", 1, b""), (f"{root}/f", 1, b""), ("d//e/deep", 1, b""),
             ("d/e/deep/", 1, b""), ("missing", 1, b""), ("f", 0, b"hello")]
    reader = Reader(root)
    before = reader.descriptors()
    for path, status, data in table:
        expect(reader.ask(path), (status, data), f"request {path}")
    # Between requests, writers that hold the file open (a descriptor, a
    # shared writable mapping) and let it go.
    with open(f"{root}/w", "r+b") as writer:
        expect(reader.ask("w"), (1, b""), "file open for writing")
    expect(reader.ask("w"), (0, b"written"), "writer closed")
    with open(f"{root}/m", "r+b") as f:
        mapping = mmap.mmap(f.fileno(), 0)
    expect(reader.ask("m"), (1, b""), "file mapped for writing")
    mapping.close()
    expect(reader.ask("m"), (0, b"mapped"), "mapping gone")
    # Many 8000-byte replies read only after all requests were written: the
    # writes fill the pipe, are interrupted and continued, in order.
    reader.send(frame(b"max") * 20)
    time.sleep(0.2)  # the reply pipe is full and nookview blocked in write
    expect(reader.read(20 * 8003), (b"\0\x1f\x40" + files["max"]) * 20, "replies after a full pipe")
    expect(reader.descriptors(), before, "descriptors after every kind of request")
    reader.end(0, "reads end")
    if os.geteuid() == 0:  # not the owner and no CAP_LEASE: served all the same
        os.chmod(tmp, 0o755), os.chmod(root, 0o755)
        session(frame(root.encode()) + frame(b"f"), 0, HANDSHAKE + b"\0\0\5hello",
                "unprivileged reader", prefix=NOBODY, preload=False)


# -- mounts (root, private mount namespace) -------------------------------------------------


MOUNTED = []


def mount(*args):
    subprocess.run(["mount", *args], check=True, capture_output=True)
    MOUNTED.append(args[-1])


def section_mounts(tmp):
    if os.geteuid() != 0 or libc.unshare(0x20000) != 0:  # CLONE_NEWNS
        sys.exit(print("skipped: mount namespaces need root") or SKIP)
    subprocess.run(["mount", "--make-rprivate", "/"], check=True)
    root, outside = f"{tmp}/root", f"{tmp}/outside"
    for name in ("plain/f", "own/f", "file-mount"):
        write(f"{root}/{name}", b"inside")
    write(f"{outside}/f", b"outside")
    for d in ("tmpfs", "bind", "self-bind", "fuse"):
        os.makedirs(f"{root}/{d}")
    mount("-t", "tmpfs", "tmpfs", f"{root}/tmpfs")
    write(f"{root}/tmpfs/f", b"on tmpfs")
    mount("--bind", outside, f"{root}/bind")
    mount("--bind", f"{root}/own", f"{root}/self-bind")
    mount("--bind", f"{outside}/f", f"{root}/file-mount")
    reads_of(root, [("plain/f", 0, b"inside"), ("tmpfs/f", 1, b""), ("bind/f", 1, b""),
                    ("self-bind/f", 1, b""), ("file-mount", 1, b"")], "mount points")
    reads_of(f"{root}/tmpfs", [("f", 0, b"on tmpfs")], "root that is a mount point")
    if shutil.which("bindfs") and os.path.exists("/dev/fuse"):
        subprocess.run(["bindfs", outside, f"{root}/fuse"], check=True)
        MOUNTED.append(f"{root}/fuse")
        session(frame(f"{root}/fuse".encode()), 1, REFUSED, "root on FUSE")
    else:
        print("skipped: FUSE root (no bindfs or /dev/fuse)")
    # One-second times: a rewrite within one tick moves no time at all.
    subprocess.run(["mkfs.ext2", "-qF", f"{tmp}/ext2.img", "8M"], check=True)
    os.makedirs(f"{tmp}/ext2")
    mount("-o", "loop", f"{tmp}/ext2.img", f"{tmp}/ext2")
    race = [OPTIONS["race"], OPTIONS["nookview"], f"{tmp}/ext2", "4", "rewrite", "mapping"]
    expect(subprocess.run(race).returncode, 0, "in-place writers on ext2")
    for target in reversed(MOUNTED):
        subprocess.run(["umount", "-l", target])


# -- changes in the middle of a request (reads held by strace) ------------------------------


def held_at_read(pid, of_file=True):
    """Waits until pid sits, held by the tracer, at a read(): of the file, or
    (right after attaching) of anything."""
    number = {"x86_64": "0", "aarch64": "63"}[os.uname().machine]
    for _ in range(TIMEOUT * 500):
        with open(f"/proc/{pid}/syscall") as f:
            fields = f.read().split()
        with open(f"/proc/{pid}/stat") as f:
            traced = f.read().rsplit(")", 1)[1].split()[0] == "t"
        if traced and fields[0] == number and (int(fields[1], 16) > 2 or not of_file):
            return
        time.sleep(0.002)
    raise AssertionError("nookview was never held at a read")


def last_change_early_in_a_second(path):
    """Changes the file's times early in a second, then waits a few clock
    ticks: a write within the next half second (the held reads take less)
    moves its times by nanoseconds only, never by a second."""
    if not 0.02 < time.time() % 1 < 0.3:  # 0.02: past the second's first tick
        time.sleep((1.02 - time.time() % 1) % 1)
    os.utime(path)
    time.sleep(0.05)


def section_changes(tmp):
    if not shutil.which("strace") or os.geteuid() != 0:
        sys.exit(print("skipped: needs strace and root") or SKIP)
    os.chmod(tmp, 0o755)
    changes_seen_by(f"{tmp}/owner", ())  # holds a read lease: a writer waits, and is noticed
    changes_seen_by(f"{tmp}/nobody", NOBODY)  # no lease (not the owner, no CAP_LEASE)


def changes_seen_by(tmp, prefix):
    root, leased = f"{tmp}/root", not prefix

    def writer(mode, data):  # waits while nookview holds its lease
        return lambda p: open(p, mode).write(data)

    table = [  # request, change while nookview reads the file, runs beside it
        ("stable", None, False), ("rewrite", writer("r+b", b"X"), True),
        ("append", writer("ab", b"more"), True), ("truncate", lambda p: os.truncate(p, 3), True),
        ("renamed", lambda p: (write(f"{tmp}/new", b"same length."), os.replace(f"{tmp}/new", p)), False),
        ("linked", lambda p: os.link(p, f"{tmp}/second"), False),
        ("d/inner", lambda p: (os.rename(f"{root}/d", f"{root}/d2"), os.symlink("d2", f"{root}/d")), False),
        ("e/inner", lambda p: (os.rename(f"{root}/e", f"{root}/e2"), write(p, b"same length.")), False),
        ("moved", lambda p: os.rename(root, root + "-away"), False)]
    for path, _, _ in table:
        write(f"{root}/{path}", b"same length.")
    reader = Reader(root, prefix=prefix, preload=False)
    tracer = subprocess.Popen(["strace", "-qq", "-o", "/dev/null", "-e", "trace=read", "-e",
                               "inject=read:delay_enter=200000", "-p", str(reader.p.pid)])
    held_at_read(reader.p.pid, of_file=False)
    for path, change, beside in table:
        if not leased:  # only the writers a lease makes wait; nothing else depends on a lease
            if not beside:
                continue
            last_change_early_in_a_second(f"{root}/{path}")
            beside = False  # no lease, so the writer does not wait: it is done before the read
        reader.send(frame(path.encode()))
        held_at_read(reader.p.pid)
        worker = threading.Thread(target=change, args=(f"{root}/{path}",)) if change else None
        if worker and beside:
            worker.start()
        elif worker:
            worker.run()
        want = (0, b"same length.") if change is None else (1, b"")
        expect(reader.reply(), want, f"change during the read, leased {leased}: {path}")
        if worker and beside:
            worker.join(TIMEOUT)
    tracer.terminate(), tracer.wait()
    if leased:
        os.rename(root + "-away", root)
        expect(reader.ask("stable"), (0, b"same length."), "served again once the root is back")
    reader.end(0, "changes end")


# -- publish ------------------------------------------------------------------------------


def snapshot(top):
    return sorted((os.path.relpath(os.path.join(d, n), top), os.lstat(os.path.join(d, n)).st_ino)
                  for d, dirs, files in os.walk(top) for n in dirs + files)


def publish(args, fd3, fd4, o_path=False, prefix=()):
    """Runs publish mode with the two paths (None: closed) on descriptors 3, 4."""
    kept = []
    for target, path in ((3, fd3), (4, fd4)):
        if path:
            fd = os.open(path, os.O_PATH if o_path else os.O_RDONLY)
            if fd != target:
                os.dup2(fd, target), os.close(fd)
            kept.append(target)
    try:
        done = subprocess.run([*prefix, OPTIONS["nookview"], "--publish-review", *args],
                              pass_fds=kept, stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=TIMEOUT)
    finally:
        for fd in kept:
            os.close(fd)
    expect((done.stdout, done.stderr), (b"", b""), f"publish {args} wrote text")
    return done.returncode


def section_publish(tmp):
    src, dst, shm = f"{tmp}/src", f"{tmp}/dst", tempfile.mkdtemp(dir="/dev/shm")
    name255 = "n" * 255

    def numbers(name, target=dst):
        e, d = os.stat(f"{src}/{name}"), os.stat(target)
        return [str(e.st_dev), str(e.st_ino), str(d.st_dev), str(d.st_ino)]

    table = [  # name, number edit, fd3, fd4, status; status 0 must have moved it
        ("rev", None, src, dst, 0), (name255, None, src, dst, 0), ("rev/x", None, src, dst, 1),
        (".", None, src, dst, 1), ("..", None, src, dst, 1), (".rev", None, src, dst, 1),
        ("", None, src, dst, 1), ("n" * 256, None, src, dst, 1), ("file", None, src, dst, 1),
        ("sym", None, src, dst, 1), ("rev", (1, lambda n: str(int(n) + 1)), src, dst, 1),
        ("rev", (0, lambda n: "+" + n), src, dst, 1), ("rev", (1, lambda n: " " + n), src, dst, 1),
        ("rev", (2, lambda n: n + "x"), src, dst, 1), ("rev", (3, lambda n: "18446744073709551616"), src, dst, 1),
        ("rev", (3, lambda n: "000" + n), src, dst, 0), ("rev", None, None, dst, 1),
        ("rev", None, src, None, 1), ("rev", None, src, f"{tmp}/file", 1), ("taken", None, src, dst, 3),
        ("rev", None, src, shm, 2), ("rev", "o_path", src, dst, 0)]
    for name, edit, fd3, fd4, status in table:
        shutil.rmtree(src, ignore_errors=True), shutil.rmtree(dst, ignore_errors=True)
        for d in ("rev", "taken", name255, ".rev", "rev/x"):
            os.makedirs(f"{src}/{d}")
        os.makedirs(f"{dst}/taken"), write(f"{src}/file"), write(f"{tmp}/file")
        os.symlink("rev", f"{src}/sym")
        args = numbers(name if os.path.isdir(f"{src}/{name}") and name.strip(".") else "rev",
                       fd4 if fd4 and os.path.isdir(fd4) else dst)
        if isinstance(edit, tuple):
            args[edit[0]] = edit[1](args[edit[0]])
        before = snapshot(src), snapshot(dst), snapshot(shm)
        inode = os.lstat(f"{src}/{name}").st_ino if status == 0 else None
        got = publish([name] + args, fd3, fd4, o_path=edit == "o_path")
        expect(got, status, f"publish {name[:20]!r} {edit and str(edit)[:20]} -> status")
        if status == 0:
            expect(os.lstat(f"{dst}/{name}").st_ino, inode, f"published {name[:20]}")
        else:
            expect((snapshot(src), snapshot(dst), snapshot(shm)), before, f"tree after {name[:20]!r}")
    os.rmdir(shm)
    publish_race(src, dst)


def publish_race(src, dst):
    """Another process exchanges the reviewed directory with another one the
    whole time: status 0 must mean the reviewed one was published, status 1
    that nothing was."""
    shutil.rmtree(dst), os.mkdir(dst)
    exchanger = subprocess.Popen([sys.executable, "-c", f"""
import ctypes
libc = ctypes.CDLL(None)
while True: libc.renameat2(-100, b"{src}/rev", -100, b"{src}/other", 2)"""])
    seen = set()
    for _ in range(150):
        for d in ("rev", "other"):
            os.makedirs(f"{src}/{d}", exist_ok=True)
        reviewed = os.stat(f"{src}/rev")  # may already be the other one: that is the point
        got = publish(["rev", str(reviewed.st_dev), str(reviewed.st_ino),
                       str(os.stat(dst).st_dev), str(os.stat(dst).st_ino)], src, dst)
        seen.add(got)
        arrived = os.lstat(f"{dst}/rev").st_ino if os.path.lexists(f"{dst}/rev") else None
        expect(arrived, reviewed.st_ino if got == 0 else None, f"race: status {got}")
        shutil.rmtree(f"{dst}/rev", ignore_errors=True)
        shutil.rmtree(f"{src}/rev", ignore_errors=True), shutil.rmtree(f"{src}/other", ignore_errors=True)
    exchanger.kill(), exchanger.wait()
    expect(seen, {0, 1}, "race outcomes seen (both, or the race was not run)")


# -- fail closed: one system call fails at once (strace injects the error) ------------------


def section_failclosed(tmp):
    traced = ["strace", "-qq", "-o", "/dev/null", "true"]
    if not shutil.which("strace") or subprocess.run(traced).returncode:
        sys.exit(print("skipped: needs strace, and ptrace allowed") or SKIP)
    root, src, dst = f"{tmp}/root", f"{tmp}/src", f"{tmp}/dst"
    write(f"{root}/f", b"hello")
    table = [  # call, errno, reader serves?, publish status
        ("openat2", 38, False, 1), ("openat2", 1, False, 1), ("renameat2", 22, True, 1),
        ("landlock_create_ruleset", 38, True, 0), ("landlock_create_ruleset", 1, False, 1),
        ("landlock_restrict_self", 1, False, 1)]
    for call, errno, serves, status in table:
        # The hostile preload goes to nookview alone. LeakSanitizer cannot run
        # under a tracer; nookview allocates nothing (the preload shows it).
        deny = ["strace", "-qq", "-o", "/dev/null", "-E", "ASAN_OPTIONS=detect_leaks=0", "-e",
                f"inject={call}:error={errno}", "-E", f"LD_PRELOAD={OPTIONS.get('hostile', '')}"]
        output = HANDSHAKE + b"\0\0\5hello" if serves else REFUSED
        session(frame(root.encode()) + frame(b"f"), 0 if serves else 1, output,
                f"reader without {call} ({errno})", prefix=deny, preload=False)
        shutil.rmtree(src, ignore_errors=True), shutil.rmtree(dst, ignore_errors=True)
        os.makedirs(f"{src}/rev"), os.makedirs(dst)
        e, d = os.stat(f"{src}/rev"), os.stat(dst)
        before = snapshot(tmp)
        args = ["rev", str(e.st_dev), str(e.st_ino), str(d.st_dev), str(d.st_ino)]
        expect(publish(args, src, dst, prefix=deny), status, f"publish without {call} ({errno})")
        expect(snapshot(tmp) == before, status != 0, f"tree after publish without {call}")


def main():
    section, OPTIONS["nookview"] = sys.argv[1], os.path.abspath(sys.argv[2])
    rest = sys.argv[3:]
    for key, value in zip(rest[::2], rest[1::2]):
        OPTIONS[key.lstrip("-")] = os.path.abspath(value)
    for fd in (3, 4):  # publish places its directories there
        with contextlib.suppress(OSError):
            os.close(fd)
    tmp = tempfile.mkdtemp(prefix=f"nookview-{section}-", dir="/tmp")
    try:
        globals()[f"section_{section}"](tmp)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    print(f"{section}: {len(FAILURES)} failures")
    sys.exit(1 if FAILURES else 0)


if __name__ == "__main__":
    main()
