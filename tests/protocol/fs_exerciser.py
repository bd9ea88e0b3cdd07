#!/usr/bin/env python3
"""Random operations on the Linux mount, each checked against a model of what the files must hold.

The exerciser is the parent: it registers a sync root in a fresh work directory, creates a few
placeholders, connects, and answers every "fetch" from its store on a thread of its own (in order,
in 4 KiB-aligned chunks; sometimes slowly, sometimes with "fail", rarely not at all). One operation
a step is done as programs do it through the mount (reads, writes, truncations, O_TRUNC, mmap,
O_DIRECT, fallocate, renames, cp -a / rsync -X / tar --xattrs, extended attributes), or as the
parent does ("dehydrate", "update", "insync", "adopt", "hydrate", "pin", "create"). After each step
sizes, bytes and "attrs" are compared with the model, and every fetch with what it says is missing:

- A read gives the store's bytes where content was never on the disk, the local ones elsewhere.
  Content on the disk is never fetched again.
- Before a program changes a placeholder's content or size, what the file lacks is brought in;
  O_TRUNC fetches nothing. Bytes written here, and every byte past the size the store gave, are
  present whatever the size becomes.
- A local change clears in-sync; only "insync", "update", "create" and "adopt" set it.
- A "fail" gives the reader EIO after one fetch; an unanswered fetch gives EIO within one time-out,
  after one fetch and one "cancel".
- Through the mount, user.zcf.state, user.zcf.identity and user.zcf.usn are neither listed, read
  nor set; user.zcf.pin is set by name.

Exit code 0: no mismatch; 1: a mismatch (seed, step, the last operations and a diff are printed);
77: FUSE (or the other user) cannot be had here, and why. The program is $ZCF_PROGRAM, by default
build/native/zembra_cloud_files.
"""

import argparse
import base64
import collections
import ctypes
import errno
import json
import mmap
import os
import queue
import random
import shutil
import stat
import subprocess
import sys
import tempfile
import threading
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
os.environ.setdefault("ZCF_PROGRAM", os.path.join(HERE, "..", "..", "build", "native", "zembra_cloud_files"))
sys.path.insert(0, HERE)
import harness  # noqa: E402

PAGE, MIB = 4096, 1 << 20
TIMEOUT_MS = 1500  # fetchTimeoutMs of the run: what an unanswered fetch costs
SKIPPED = 77
HIDDEN = ("user.zcf.state", "user.zcf.identity", "user.zcf.usn")
PIN = "user.zcf.pin"
UNKNOWN = "unknown"  # a state the rules leave open: taken from the program at the next check
NOT_A_CLOUD_FILE, NOT_IN_SYNC, PINNED = "0x80070178", "0x80070179", "0x80070188"
IN_USE = ("0x80070187", "0x80070020")  # the kernel reports a close through the mount a moment late
KEEP_SIZE, PUNCH_HOLE, ZERO_RANGE = 0x01, 0x02, 0x10
SIZES = [0, 1, 100, 4095, 4096, 5000, 65537, 300000, 2 * MIB + 123, 3 * MIB]
OPS = {"read": 30, "write": 16, "truncate": 7, "otrunc": 3, "rename": 3, "save_by_rename": 2, "fallocate": 5,
       "copy": 4, "xattr": 3, "offline_write": 1, "dehydrate": 9, "update": 5, "upload": 6, "hydrate": 4,
       "pin": 2, "create": 2}
VARIANTS = {"wronly": "write-only opens", "direct": "O_DIRECT reads and writes", "mmap": "mapped reads and writes",
            "fail": "failed fetches", "silent": "unanswered fetches", "slow": "slow answers",
            "gap": "writes, truncations and allocations past the end of a file",
            "refetch": "tolerate fetches of present bytes that hold the store's bytes"}

# Programs that map a file: one copies [a, b) of it out, the other grows it to a size (if it is
# not that size) and writes its input at an offset.
MAPPED_READ = """import mmap, os, sys
with mmap.mmap(os.open(sys.argv[1], os.O_RDONLY), 0, access=mmap.ACCESS_READ) as m:
    sys.stdout.buffer.write(m[int(sys.argv[2]):int(sys.argv[3])])
"""
MAPPED_WRITE = """import mmap, os, sys
fd, size, at, data = os.open(sys.argv[1], os.O_RDWR), int(sys.argv[2]), int(sys.argv[3]), sys.stdin.buffer.read()
if os.fstat(fd).st_size != size:
    os.ftruncate(fd, size)
with mmap.mmap(fd, size) as m:
    m[at:at + len(data)] = data
    m.flush()
"""

# The Python of the mapping programs: one this user may run.
PYTHON = next((p for p in (sys.executable, "/usr/bin/python3") if os.access(p, os.X_OK)), sys.executable)
libc = ctypes.CDLL(None, use_errno=True)
libc.fallocate.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_int64, ctypes.c_int64]


class Mismatch(Exception):
    pass


class Skip(Exception):
    pass


class Ranges:
    """Sorted, disjoint byte ranges [begin, end)."""

    def __init__(self, *spans):
        self.spans = []
        for begin, end in spans:
            self.add(begin, end)

    def add(self, begin, end):
        if begin < end:
            keep = [(b, e) for b, e in self.spans if e < begin or b > end]
            joined = [(b, e) for b, e in self.spans if not (e < begin or b > end)]
            self.spans = sorted(keep + [(min([begin] + [b for b, _ in joined]), max([end] + [e for _, e in joined]))])

    def covers(self, begin, end):
        return begin >= end or any(b <= begin and end <= e for b, e in self.spans)

    def __str__(self):
        return ",".join("%d-%d" % span for span in self.spans) or "none"


class Entry:
    """One file of the root as the model has it."""

    def __init__(self, identity, data, present, in_sync, pin=0):
        self.identity = identity     # None: an ordinary file, no placeholder
        self.data = bytearray(data)  # what reads must give
        self.present = present       # bytes on the disk; elsewhere data is the store's
        self.in_sync = in_sync
        self.pin = pin               # user.zcf.pin: 0 none, 1 pinned, 2 unpinned

    @property
    def size(self):
        return len(self.data)

    def lacks(self, begin=0, end=None):
        """Whether a placeholder's [begin, end) is not all on the disk."""
        end = self.size if end is None else min(end, self.size)
        return self.identity is not None and not self.present.covers(begin, end)

    def change(self, data, in_sync=False):
        """A program changed the content or size: all of it is on the disk now, out of sync."""
        self.data = bytearray(data)
        self.present = Ranges((0, len(data)))
        if self.identity is not None:
            self.in_sync = in_sync

    def write(self, offset, data):
        new = self.data + bytes(max(0, offset - self.size))
        new[offset:offset + len(data)] = data
        self.change(new)


Plan = collections.namedtuple("Plan", "mode chunk delay")  # mode: answer, slow, fail, silent
FAILING = ("fail", "silent")


class Link:
    """The program's streams, shared by two threads: each answer goes to whoever sent its request,
    events to a queue."""

    def __init__(self, program):
        self.program = program
        self.events = queue.Queue()
        self.waiting = {}
        self.lock, self.write_lock = threading.Lock(), threading.Lock()
        self.seq = 0
        threading.Thread(target=self._route, daemon=True).start()

    def _route(self):
        for line in iter(self.program.lines.get, None):
            msg = json.loads(line)
            if "event" in msg:
                self.events.put(msg)
                continue
            with self.lock:
                answer = self.waiting.pop(msg.get("seq"), None)
            if answer is not None:
                answer.put(msg)
        self.events.put(None)
        with self.lock:
            for answer in self.waiting.values():
                answer.put({"ok": False, "error": "the program's output ended"})

    def send(self, cmd, **args):
        answer = queue.Queue(1)
        with self.lock:
            self.seq += 1
            self.waiting[self.seq] = answer
            line = json.dumps(dict(cmd=cmd, seq=self.seq, **args), separators=(",", ":")) + "\n"
        with self.write_lock:
            self.program.send_raw(line)
        return answer

    def request(self, cmd, timeout=harness.TIMEOUT, **args):
        try:
            return self.send(cmd, **args).get(timeout=timeout)
        except queue.Empty:
            raise Mismatch("no answer to %r within %d s" % (cmd, timeout)) from None


def code_of(answer):
    """The error code of an answer ("0x8007..."; from the text of a late answer), or None."""
    if answer.get("ok"):
        return None
    return answer.get("code") or "0x" + answer.get("error", "(?)").rsplit("(", 1)[-1].rstrip(")").lower()


class Parent(threading.Thread):
    """Answers the program's fetches from the store as the step's plan says; records each fetch and
    cancel of the step, and each fetch that breaks the rules."""

    def __init__(self, ex):
        super().__init__(daemon=True)
        self.ex, self.link = ex, ex.link
        self.lock = threading.Lock()
        self.busy, self.last = False, time.monotonic()
        self.plan = Plan("answer", MIB, 0)
        self.fetches, self.cancels, self.violations = [], [], []

    def begin(self, plan):
        with self.lock:
            self.plan, self.fetches, self.cancels = plan, [], []

    def run(self):
        for event in iter(self.link.events.get, None):
            with self.lock:
                self.last = time.monotonic()
                if event["event"] == "cancel":
                    self.cancels.extend(event["reqs"])
                if event["event"] != "fetch":
                    continue
                self.busy = True
                self.fetches.append(event)
                plan = self.plan
            try:
                self.answer(event, plan)
            except Exception as problem:  # noqa: BLE001 (reported at the step's check)
                self.violations.append("answering fetch %d: %r" % (event["req"], problem))
            with self.lock:
                self.busy, self.last = False, time.monotonic()

    def answer(self, fetch, plan):
        with self.ex.lock:
            problem, content = self.ex.judge(fetch)
        if problem:
            self.violations.append(problem)
        if problem or plan.mode == "fail":
            self.link.request("fail", req=fetch["req"])
            return
        if plan.mode == "silent":
            return
        if plan.mode == "slow":
            time.sleep(plan.delay)
        end = min(fetch["offset"] + fetch["length"], fetch["fileSize"], len(content))
        chunk = max(plan.chunk, (end - fetch["offset"]) // 64 // PAGE * PAGE)  # at most 64 lines
        sent = [(offset, min(end, offset + chunk), self.link.send(
            "data", req=fetch["req"], offset=offset, b64=base64.b64encode(content[offset:offset + chunk]).decode()))
            for offset in range(fetch["offset"], end, chunk)]
        refused = []
        for begin, stop, answer in sent:
            msg = answer.get(timeout=harness.TIMEOUT)
            if msg.get("ok") and msg["result"] == {}:
                with self.ex.lock:
                    self.ex.transferred(fetch["path"], begin, stop)
            elif not (msg.get("ok") and msg["result"] == {"stale": True}):
                refused.append("[%d,%d): %s" % (begin, stop, msg.get("error")))
        if refused:  # nothing to correct: the file changed under its own fetch
            self.violations.append("fetch %d [%d,+%d) of a %d-byte file: %d chunks refused, the first %s" % (
                fetch["req"], fetch["offset"], fetch["length"], fetch["fileSize"], len(refused), refused[0]))
            self.link.request("fail", req=fetch["req"])

    def settle(self, quiet=0.02, cancel=False):
        """Returns once no fetch is being answered and nothing came for `quiet` seconds (with
        `cancel`, once a "cancel" came too, or two seconds passed)."""
        start = time.monotonic()
        while time.monotonic() < start + 60:
            with self.lock:
                idle = not self.busy and self.link.events.empty()
                calm = time.monotonic() - max(self.last, start) >= quiet
                waiting = cancel and not self.cancels and time.monotonic() - start < 2
            if idle and calm and not waiting:
                return
            time.sleep(quiet / 2)
        raise Mismatch("the fetches of the step were still being answered after 60 s")


def attempt(fn):
    """(fn(), 0), or (None, errno) when it raised OSError."""
    try:
        return fn(), 0
    except OSError as problem:
        return None, problem.errno


def read_at(fd, offset, length):
    """Reads until `length` bytes or the end of the file, as programs do."""
    parts = []
    while length > 0:
        part = os.pread(fd, min(length, MIB), offset)
        if not part:
            break
        parts.append(part)
        offset, length = offset + len(part), length - len(part)
    return b"".join(parts)


def with_fd(path, flags, fn):
    fd = os.open(path, flags)
    try:
        return fn(fd)
    finally:
        os.close(fd)


def direct_io(fd, offset, data=None, length=0):
    """An O_DIRECT read of `length` bytes or write of `data`, from page-aligned memory."""
    with mmap.mmap(-1, len(data) if data is not None else length) as buffer:
        if data is None:
            return bytes(buffer[:os.preadv(fd, [buffer], offset)])
        buffer[:] = data
        return os.pwritev(fd, [buffer], offset)


def run_program(argv, data=b""):
    """A program's output; OSError(EIO) when it reported an I/O error, a mismatch when it failed
    otherwise (a SIGBUS of a mapped read among them)."""
    proc = subprocess.run(argv, input=data, capture_output=True, timeout=60)
    if proc.returncode and b"Input/output error" in proc.stderr:
        raise OSError(errno.EIO, "Input/output error")
    if proc.returncode:
        raise Mismatch("%s ended with %d: %s" % (os.path.basename(argv[0]), proc.returncode,
                                                   proc.stderr.decode(errors="replace")[-400:]))
    return proc.stdout


def errname(err):
    return "success" if not err else errno.errorcode.get(err, str(err))


class Exerciser:
    def __init__(self, seed, steps, skip=(), verbose=False, time_limit=None):
        self.seed, self.steps, self.verbose, self.time_limit = seed, steps, verbose, time_limit
        self.rng = random.Random(seed)
        self.ops = {name: weight for name, weight in OPS.items() if name not in skip}
        self.skip = set(skip)
        self.lock = threading.Lock()  # the model: entries, store, present ranges
        self.entries = {}             # name in the root -> Entry
        self.store = {}               # identity -> the bytes of that version
        self.log, self.step, self.touched = [], 0, set()

    # ---- set-up ----
    def start(self):
        self.program = harness.Program()
        settings = os.path.join(self.program.state_dir, "zembra-cloud-files")
        os.makedirs(settings, exist_ok=True)
        with open(os.path.join(settings, "sim.json"), "w") as f:
            json.dump({"fetchTimeoutMs": TIMEOUT_MS}, f)
        self.root, self.out = os.path.join(self.program.tmp, "root"), os.path.join(self.program.tmp, "out")
        os.mkdir(self.root)
        os.mkdir(self.out)
        self.root_real = os.path.realpath(self.root)
        self.probe()
        self.link = Link(self.program)
        self.expect_ok(self.link.request("register", root=self.root, id="exerciser!%d" % os.getuid()), "register")
        for i, size in enumerate([0, 100, 4096, 5000, 65537, 300000, 2 * MIB + 123, 3 * MIB]):
            self.create("f%d" % i, size)
        self.expect_ok(self.link.request("connect", root=self.root), "connect")
        if self.link.request("info")["result"]["frontEnd"] != "fuse":
            raise Skip("FUSE cannot be used here (no /dev/fuse for this user, no fusermount3, or the mount is refused)")
        self.parent = Parent(self)
        self.parent.start()
        self.tools = ["cp", "tar"] + (["rsync"] if shutil.which("rsync") and "wronly" not in self.skip else [])

    def probe(self):
        """What the file system beneath supports, which the mount passes on: fallocate's modes and
        O_DIRECT."""
        path = os.path.join(self.out, "probe")
        with open(path, "wb") as f:
            f.write(bytes(3 * PAGE))
        fd = os.open(path, os.O_RDWR)
        self.fallocate_modes = {mode for mode in (0, KEEP_SIZE, PUNCH_HOLE | KEEP_SIZE, ZERO_RANGE, ZERO_RANGE | KEEP_SIZE)
                                if libc.fallocate(fd, mode, PAGE, PAGE) == 0}
        os.close(fd)
        if attempt(lambda: with_fd(path, os.O_RDWR | os.O_DIRECT, lambda fd: True))[1]:
            self.skip.add("direct")
        os.unlink(path)

    def finish(self):
        if getattr(self, "program", None):
            self.program.kill()

    # ---- the model ----
    def path(self, name):
        return os.path.join(self.root, name)

    def judge(self, fetch):
        """(what is wrong with a fetch or None, the store's content); the caller holds the lock."""
        name = os.path.relpath(fetch["path"], self.root_real)
        e = self.entries.get(name)
        where = "fetch %d [%d,+%d) of %s" % (fetch["req"], fetch["offset"], fetch["length"], name)
        if e is None or e.identity is None:
            return "%s, which is no placeholder of the model" % where, b""
        problems = []
        if fetch["identity"] != e.identity:
            problems.append("identity %r, not %r" % (fetch["identity"], e.identity))
        if fetch["fileSize"] != e.size:
            problems.append("fileSize %d, but the file has %d bytes" % (fetch["fileSize"], e.size))
        begin, end = fetch["offset"], min(fetch["offset"] + fetch["length"], fetch["fileSize"])
        content = self.store.get(e.identity, b"")
        if begin % PAGE or end <= begin:
            problems.append("not a 4 KiB-aligned range of the file")
        if end > len(content):
            problems.append("asks for [%d,%d), past the %d bytes the store gave (present here)"
                            % (max(begin, len(content)), end, len(content)))
        # A page partly present may be asked for; one wholly present may not.
        again = Ranges(*[(p, min(p + PAGE, end)) for p in range(begin, end, PAGE)
                         if e.present.covers(p, min(p + PAGE, end))])
        if again.spans and not ("refetch" in self.skip and all(e.data[b:t] == content[b:t] for b, t in again.spans)):
            problems.append("asks again for present bytes %s (present: %s)" % (again, e.present))
        return ("%s: %s" % (where, "; ".join(problems)) if problems else None), content

    def transferred(self, path, begin, end):
        e = self.entries.get(os.path.relpath(path, self.root_real))
        if e is not None:
            e.present.add(begin, min(end, e.size))

    def pick(self, placeholder=None, where=None):
        names = sorted(n for n, e in self.entries.items()
                       if (placeholder is None or (e.identity is not None) == placeholder) and (where is None or where(e)))
        if not names:
            return None, None
        name = self.rng.choice(names)
        self.touched.add(name)
        return name, self.entries[name]

    def create(self, name, size):
        identity, content = "id/%s" % name, self.rng.randbytes(size)
        answer = self.link.request("create", items=[{"dir": self.root, "name": name, "identity": identity,
                                                     "size": size, "mtimeMs": 1700000000000}])
        if answer.get("result") != {"failed": []}:
            raise Mismatch("create %s: %s" % (name, answer))
        with self.lock:
            self.store[identity] = content
            self.entries[name] = Entry(identity, content, Ranges(), True)
        self.touched.add(name)

    # ---- a step ----
    def choose(self, options):
        """One of `options` (a variant named in --skip left out)."""
        return self.rng.choice([o for o in options if o not in self.skip] or options)

    def writable(self, *flags):
        """One of `flags` (opens for writing); with --skip wronly, not O_WRONLY."""
        return self.rng.choice([f for f in flags if f & os.O_ACCMODE != os.O_WRONLY or "wronly" not in self.skip]
                               or [os.O_RDWR])

    def plan(self, fetches, failing=True):
        """The parent's behaviour in this step; failures only for an operation that must fetch."""
        r = self.rng.random()
        plan = Plan("answer", self.rng.choice([PAGE, 3 * PAGE, 64 * 1024, MIB]), self.rng.uniform(0.2, 0.6))
        if fetches:
            mode = ("fail" if failing and r < 0.12 else "silent" if failing and r < 0.135 else
                    "slow" if r < 0.24 else "answer")
            plan = plan._replace(mode="answer" if mode in self.skip else mode)
        self.parent.begin(plan)
        return plan

    def note(self, text):
        self.log.append("%4d %s" % (self.step, text))
        if self.verbose:
            print(self.log[-1], flush=True)

    def act(self, fn, plan=None):
        """Runs what a program does; (result, errno, seconds) once the parent has settled."""
        began = time.monotonic()
        result, err = attempt(fn)
        took = time.monotonic() - began
        self.parent.settle(cancel=plan is not None and plan.mode == "silent")
        self.log[-1] += " -> %s (%.2f s)" % (errname(err), took)
        return result, err, took

    def do(self, text, fn, needs=False, failing=True):
        """One operation of a program that fetches if `needs`: with the parent's plan for it, and
        the failure a failed or unanswered fetch must give. (result, whether it went through)."""
        plan = self.plan(needs, failing)
        self.note(text + (", parent %s" % plan.mode if needs else ""))
        result, err, took = self.act(fn, plan)
        if plan.mode in FAILING and needs:
            self.expect(err, errno.EIO)
            reqs = [f["req"] for f in self.parent.fetches]
            if len(reqs) != 1:
                raise Mismatch("%d fetches for one operation the parent answered with %s: %s" % (
                    len(reqs), plan.mode, ", ".join("%d [%d,+%d)" % (f["req"], f["offset"], f["length"])
                                                    for f in self.parent.fetches)))
            if plan.mode == "silent" and took > 1.6 * TIMEOUT_MS / 1000:
                raise Mismatch("it waited %.2f s for a fetch that times out after %.2f s" % (took, TIMEOUT_MS / 1000))
            if plan.mode == "silent" and sorted(self.parent.cancels) != reqs:
                raise Mismatch("cancels %s after the unanswered fetch %s" % (self.parent.cancels, reqs))
            return None, False
        self.expect(err, 0)
        return result, True

    def expect(self, err, want, what=None):
        if err != want:
            raise Mismatch("%s gave %s, not %s" % (what or self.log[-1].rsplit(" -> ", 1)[0].split(None, 1)[1],
                                                   errname(err), errname(want)))

    def expect_ok(self, answer, what):
        if not answer.get("ok"):
            raise Mismatch("%s: %s" % (what, answer.get("error")))
        return answer["result"]

    def same(self, what, got, e, offset=0, length=None):
        """`got` must be the file's bytes from `offset`: `length` of them (or as many as `got`) as
        far as the file has them."""
        want = bytes(e.data[offset:offset + (len(got) if length is None else length)])
        if got == want:
            return
        lines = ["%s: wrong bytes" % what]
        if len(got) != len(want):
            lines.append("  %d bytes read from offset %d, not %d; the file has %d" % (len(got), offset, len(want), e.size))
        spans = Ranges(*[(offset + i, offset + i + 1) for i in range(min(len(got), len(want))) if got[i] != want[i]])
        for begin, end in spans.spans[:5]:
            part = got[begin - offset:end - offset]
            versions = [i for i, c in self.store.items() if c[begin:end] == part]
            lines.append("  [%d,%d) differs: expected %s..., read %s... (%s)" % (
                begin, end, want[begin - offset:begin - offset + 8].hex(), part[:8].hex(), "zeros" if not any(part) else
                "the store's bytes of " + ", ".join(versions) if versions else "bytes of no version"))
        if len(spans.spans) > 5:
            lines.append("  and %d more differing ranges" % (len(spans.spans) - 5))
        lines.append("  model: size %d, present %s, identity %r" % (e.size, e.present, e.identity))
        raise Mismatch("\n".join(lines))

    # ---- checks ----
    def check(self, names):
        listed = sorted(os.listdir(self.root))
        if listed != sorted(self.entries):
            raise Mismatch("the root lists %s, the model has %s" % (listed, sorted(self.entries)))
        for name in sorted(n for n in names if n in self.entries):
            self.check_file(name, self.entries[name])
        if self.parent.violations:
            raise Mismatch("\n".join(self.parent.violations))

    def check_file(self, name, e):
        path = self.path(name)
        if os.stat(path).st_size != e.size:
            raise Mismatch("%s: size %d, the model says %d" % (name, os.stat(path).st_size, e.size))
        attrs = self.link.request("attrs", path=path)["result"]
        wrong = ["%s %s, not %s" % (key, json.dumps(attrs[key]), json.dumps(want)) for key, want in (
            ("identity", e.identity), ("onlineOnly", e.lacks()), ("inSync", e.in_sync),
            ("pinned", UNKNOWN if e.pin == UNKNOWN else e.pin == 1),
            ("unpinned", UNKNOWN if e.pin == UNKNOWN else e.pin == 2)) if want != UNKNOWN and attrs[key] != want]
        if wrong:
            raise Mismatch("%s: attrs %s (model: present %s of %d)" % (name, "; ".join(wrong), e.present, e.size))
        e.in_sync = attrs["inSync"]
        e.pin = 1 if attrs["pinned"] else 2 if attrs["unpinned"] else 0
        # The bytes on the disk: whole pages, without read-ahead, so that nothing is fetched.
        fd = os.open(path, os.O_RDONLY)
        try:
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_RANDOM)
            for begin, end in e.present.spans:
                begin, end = -(-begin // PAGE) * PAGE, end if end == e.size else end // PAGE * PAGE
                if begin < end:
                    got, err = attempt(lambda: read_at(fd, begin, end - begin))
                    if err:
                        raise Mismatch("%s: reading present bytes [%d,%d) gave %s" % (name, begin, end, errname(err)))
                    self.same("%s: present bytes [%d,%d)" % (name, begin, end), got, e, begin, end - begin)
        finally:
            os.close(fd)

    # ---- operations of programs, through the mount ----
    def offset(self, size, within=False):
        """An offset in or past a file of `size` bytes; not past its end with `within` and --skip gap."""
        r = self.rng
        return r.choice([0, r.randrange(size + 1), max(0, size - r.randrange(1, 3000)), size,
                         r.randrange(size // PAGE + 1) * PAGE]
                        + ([] if within and "gap" in self.skip else [size + r.randrange(1, 3 * PAGE)]))

    def op_read(self):
        name, e = self.pick()
        path, r = self.path(name), self.rng
        how = self.choose(["pread", "pread", "cat", "dd", "direct", "mmap"])
        off, n = self.offset(e.size), r.choice([r.randrange(1, 100), PAGE, r.randrange(1, 200000), MIB])
        if how == "cat":
            off, n = 0, e.size
        elif how in ("dd", "direct"):
            off, n = off // PAGE * PAGE, -(-n // PAGE) * PAGE
        elif how == "mmap":
            if not e.size:
                return self.op_create()
            off = min(off, e.size - 1)
        flags = r.choice([os.O_RDONLY, os.O_RDWR])
        fn = {"pread": lambda: with_fd(path, flags, lambda fd: read_at(fd, off, n)),
              "direct": lambda: with_fd(path, os.O_RDONLY | os.O_DIRECT, lambda fd: direct_io(fd, off, length=n)),
              "cat": lambda: run_program(["cat", path]),
              "dd": lambda: run_program(["dd", "if=" + path, "bs=4096", "skip=%d" % (off // PAGE),
                                         "count=%d" % (n // PAGE), "status=none"]),
              "mmap": lambda: run_program([PYTHON, "-c", MAPPED_READ, path, str(off), str(off + n)])}[how]
        text = "%s %s [%d,+%d)%s" % (how, name, off, n, " O_RDWR" if how == "pread" and flags else "")
        # A failed fetch fails a read that needs its first byte (a mapped read would take a SIGBUS).
        got, ok = self.do(text, fn, e.lacks(off, off + (1 if how != "mmap" else n)), how != "mmap")
        if ok:
            self.same("%s of %s at %d" % (how, name, off), got, e, off, n)

    def op_write(self):
        name, e = self.pick()
        path, r = self.path(name), self.rng
        how = self.choose(["pwrite", "pwrite", "append", "direct", "mmap"])
        off, grow = self.offset(e.size, within=True), 0
        data = r.randbytes(r.choice([1, r.randrange(1, 3 * PAGE), r.randrange(1, 200000)]))
        flags = self.writable(os.O_WRONLY, os.O_RDWR)
        if how == "append":
            off, flags = e.size, flags | os.O_APPEND
        elif how == "direct":
            off = r.randrange(e.size // PAGE + (1 if "gap" in self.skip else 2)) * PAGE
            data, flags = data + r.randbytes(-len(data) % PAGE), flags | os.O_DIRECT
        elif how == "mmap":  # the map reaches only as far as the file: it is grown first where it is empty
            grow = 0 if "gap" in self.skip else r.randrange(1, 3 * PAGE) if not e.size or r.random() < 0.5 else 0
            if not e.size + grow:
                return self.op_create()
            off = r.randrange(e.size + grow)
            data = data[:e.size + grow - off]
        fn = {"pwrite": lambda: with_fd(path, flags, lambda fd: os.pwrite(fd, data, off)),
              "append": lambda: with_fd(path, flags, lambda fd: os.write(fd, data)),
              "direct": lambda: with_fd(path, flags, lambda fd: direct_io(fd, off, data)),
              "mmap": lambda: run_program([PYTHON, "-c", MAPPED_WRITE, path, str(e.size + grow), str(off)], data)}[how]
        text = "%s %s %d bytes at %d%s" % (how, name, len(data), off, " after growing it by %d" % grow if grow
                                           else " O_WRONLY" if flags & os.O_ACCMODE == os.O_WRONLY else "")
        n, ok = self.do(text, fn, e.lacks(), how != "mmap")
        if ok:
            if how != "mmap" and n != len(data):
                raise Mismatch("%s of %d bytes to %s wrote %d" % (how, len(data), name, n))
            e.change(e.data + bytes(grow))
            e.write(off, data)

    def op_truncate(self):
        name, e = self.pick()
        r = self.rng
        size = r.choice([0, r.randrange(e.size + 1), e.size + r.randrange(1, 100000), r.randrange(1, 3 * MIB)])
        size = size + 1 if size == e.size else size
        if size > e.size and "gap" in self.skip:
            size = r.randrange(e.size) if e.size else 0
        how = r.choice(["truncate(path)", "ftruncate O_WRONLY", "ftruncate O_RDWR"] if "wronly" not in self.skip
                       else ["ftruncate O_RDWR"])
        flags = os.O_WRONLY if "WRONLY" in how else os.O_RDWR
        fn = (lambda: os.truncate(self.path(name), size)) if how == "truncate(path)" else \
            (lambda: with_fd(self.path(name), flags, lambda fd: os.ftruncate(fd, size)))
        # Whether the whole file or only the part it keeps is brought in, a failed fetch fails it when
        # that part is missing.
        if self.do("%s %s %d -> %d" % (how, name, e.size, size), fn, e.lacks(0, min(size, e.size)))[1]:
            e.change(e.data[:size] + bytes(max(0, size - e.size)))

    def op_otrunc(self):
        name, e = self.pick()
        data = self.rng.choice([b"", self.rng.randbytes(self.rng.randrange(1, 10000))])
        flags = self.writable(os.O_WRONLY, os.O_RDWR) | os.O_TRUNC
        self.do("open %s with O_TRUNC, write %d bytes" % (name, len(data)), lambda: with_fd(
            self.path(name), flags, lambda fd: os.write(fd, data)))
        if self.parent.fetches:
            raise Mismatch("an open with O_TRUNC fetched: %s" % self.parent.fetches)
        # Emptying what is empty changes no content: in sync or not, the rules do not say.
        e.change(data, UNKNOWN if not e.size and not data else False)

    def op_rename(self):
        name, e = self.pick()
        others = sorted(n for n in self.entries if n != name)
        target = self.rng.choice(others) if others and self.rng.random() < 0.4 else "r%d" % self.step
        self.do("rename %s -> %s%s" % (name, target, " (replacing it)" * (target in self.entries)),
                lambda: os.rename(self.path(name), self.path(target)))
        self.entries[target] = self.entries.pop(name)
        self.touched.add(target)

    def op_save_by_rename(self):
        """An editor's save: a new file written beside the old one, renamed over it."""
        name, e = self.pick()
        data = self.rng.randbytes(self.rng.choice([0, self.rng.randrange(1, 100000)]))
        temp = self.path(".%s.swp" % name)

        def save():
            with open(temp, "wb") as f:
                f.write(data)
                os.fsync(f.fileno())
            os.rename(temp, self.path(name))
        self.do("save %s by rename (%d bytes)" % (name, len(data)), save)
        self.entries[name] = Entry(None, data, Ranges((0, len(data))), False)

    def op_fallocate(self):
        name, e = self.pick()
        kind, mode = self.rng.choice([("posix_fallocate", 0), ("keep size", KEEP_SIZE),
                                      ("punch hole", PUNCH_HOLE | KEEP_SIZE), ("zero range", ZERO_RANGE),
                                      ("zero range, keep size", ZERO_RANGE | KEEP_SIZE)])
        off, n = self.rng.randrange(e.size + 2 * PAGE), self.rng.randrange(1, 3 * PAGE)
        if "gap" in self.skip and not mode & KEEP_SIZE:
            off = min(off, e.size)
            n = min(n, e.size - off) or 1
        # posix_fallocate falls back to writing where the system has no fallocate: it reads too.
        flags = os.O_RDWR if kind == "posix_fallocate" else self.writable(os.O_RDWR, os.O_WRONLY)

        def allocate(fd):
            if kind == "posix_fallocate":
                return os.posix_fallocate(fd, off, n)
            if libc.fallocate(fd, mode, off, n) != 0:
                raise OSError(ctypes.get_errno(), "fallocate")
        text = "fallocate %s %s [%d,+%d)" % (name, kind, off, n)
        if kind != "posix_fallocate" and mode not in self.fallocate_modes:
            self.plan(False)
            self.note(text)
            return self.expect(self.act(lambda: with_fd(self.path(name), flags, allocate))[1], errno.EOPNOTSUPP,
                               "%s, which the file system beneath does not support," % kind)
        if not self.do(text, lambda: with_fd(self.path(name), flags, allocate), e.lacks(), failing=False)[1]:
            return
        end = off + n if not mode & KEEP_SIZE else min(off + n, e.size)
        new = e.data + bytes(max(0, end - e.size))
        zeroes = mode & (PUNCH_HOLE | ZERO_RANGE) and off < end
        if zeroes:
            new[off:end] = bytes(end - off)
        if zeroes or len(new) > e.size:
            e.change(new)
        elif e.identity is not None:
            e.in_sync = UNKNOWN  # content and size as they were: whether that is a change is open

    def op_copy(self):
        """A copy out of the root with cp -a, rsync -X or tar --xattrs and back in, under a new name
        or over another file: copies carry the user's attributes, never the placeholder's."""
        name, e = self.pick()
        tool = self.rng.choice(self.tools)
        folder = os.path.join(self.out, str(self.step))
        os.mkdir(folder)
        copy, archive = os.path.join(folder, name), os.path.join(folder, "a.tar")
        others = sorted(n for n in self.entries if n != name)
        target = self.rng.choice(others) if others and tool != "tar" and self.rng.random() < 0.4 else "k%d" % self.step
        argvs = {"cp": [["cp", "-a", self.path(name), copy], ["cp", "-a", copy, self.path(target)]],
                 "rsync": [["rsync", "-aX", self.path(name), copy],
                           ["rsync", "-aXI", "--inplace", copy, self.path(target)]],
                 "tar": [["tar", "--xattrs", "-C", self.root, "-cf", archive, name],
                         ["tar", "--xattrs", "-C", folder, "-xf", archive],
                         ["tar", "--xattrs", "-C", self.root, "-xf", archive,
                          "--transform", "s,^%s$,%s," % (name, target)]]}[tool]
        self.do("%s %s out and back as %s%s" % (tool, name, target, " (over it)" * (target in self.entries)),
                lambda: [run_program(argv) for argv in argvs], e.lacks(), failing=False)
        with open(copy, "rb") as f:
            self.same("the copy of %s" % name, f.read(), e, 0, e.size)
        leaked = [n for n in os.listxattr(copy) if n in HIDDEN]
        if leaked:
            raise Mismatch("%s copied the placeholder's own attributes %s out of the mount" % (tool, leaked))
        pin = UNKNOWN if PIN in os.listxattr(copy) else None  # whether a pin goes with a copy is open
        if target in self.entries and tool == "rsync" and bytes(self.entries[target].data) == bytes(e.data):
            # rsync rewrites no block that holds the same bytes: whether anything changed is open.
            t = self.entries[target]
            if t.identity is not None:
                t.in_sync = UNKNOWN
        elif target in self.entries and tool in ("cp", "rsync"):  # written into (cp: after O_TRUNC)
            t = self.entries[target]
            t.change(e.data)
            t.pin = t.pin if pin is None else pin
        else:
            self.entries[target] = Entry(None, e.data, Ranges((0, e.size)), False, pin or 0)
        self.touched.add(target)

    def op_xattr(self):
        name, e = self.pick()
        path, problems = self.path(name), []
        self.do("extended attributes of %s" % name, lambda: None)
        for attr in HIDDEN:
            if attr in os.listxattr(path):
                problems.append("%s is listed" % attr)
            value, err = attempt(lambda: os.getxattr(path, attr))
            if not err:
                problems.append("%s reads %r" % (attr, value[:60]))
            if not attempt(lambda: os.setxattr(path, attr, value or b"v1"))[1]:
                problems.append("%s can be set" % attr)
        if problems:
            raise Mismatch("through the mount, %s: %s" % (name, "; ".join(problems)))
        if e.identity is not None:
            pin = self.rng.choice([0, 1, 2])
            self.log[-1] += ", then %s" % ("remove " + PIN if not pin else "set %s=%d" % (PIN, pin))
            _, err = attempt(lambda: os.setxattr(path, PIN, b"%d" % pin) if pin else os.removexattr(path, PIN))
            if err and not (err == errno.ENODATA and not pin and e.pin == 0):
                self.expect(err, 0, "setting " + PIN)
            e.pin = pin

    def op_offline_write(self):
        """Written beneath the mount while the root is not connected: appended (--skip gap: not),
        or written over bytes on the disk, which the program finds changed by their time."""
        name, e = self.pick()
        data = self.rng.randbytes(self.rng.randrange(1, 10000))
        off = e.size
        if e.present.spans and ("gap" in self.skip or self.rng.random() < 0.5):
            begin, end = self.rng.choice(e.present.spans)
            off = self.rng.randrange(begin, end)
            data = data[:end - off]
        elif "gap" in self.skip:
            return self.op_read()
        self.do("disconnect, write %d bytes at %d of %s beneath, connect" % (len(data), off, name), lambda: None)
        self.expect_ok(self.link.request("disconnect"), "disconnect")
        with_fd(self.path(name), os.O_WRONLY, lambda fd: os.pwrite(fd, data, off))
        self.expect_ok(self.link.request("connect", root=self.root), "connect")
        e.data[off:off + len(data)] = data
        e.present.add(off, off + len(data))
        e.in_sync = False if e.identity is not None else e.in_sync

    # ---- operations of the parent ----
    def request(self, text, cmd, **args):
        """A request of the parent, sent again while the program refuses it because the kernel is
        still closing the file."""
        self.plan(False)
        self.note(text)
        for _ in range(20):
            answer = self.link.request(cmd, **args)
            if code_of(answer) not in IN_USE:
                break
            time.sleep(0.05)
        self.log[-1] += " -> %s" % (code_of(answer) or "ok")
        return code_of(answer)

    def op_dehydrate(self):
        name, e = self.pick()
        got = self.request("dehydrate %s" % name, "dehydrate", path=self.path(name))
        want = [NOT_A_CLOUD_FILE] if e.identity is None else [NOT_IN_SYNC] * (not e.in_sync) + [PINNED] * (e.pin == 1)
        if (got is None) != (not want) or (got is not None and got not in want):
            raise Mismatch("dehydrate of %s answered %s, not %s" % (name, got or "success", "/".join(want) or "success"))
        if got is None:
            assert e.data == self.store[e.identity], "the model: an in-sync file unlike its store"
            e.present = Ranges()

    def op_update(self):
        """A new version from the store, its content dropped (which may be left out for a file with
        no content on the disk), on condition that the file is in sync, or not."""
        name, e = self.pick(True)
        if name is None:
            return self.op_create()
        identity, content = "%s#%d" % (e.identity.split("#")[0], self.step), self.rng.randbytes(self.rng.choice(SIZES))
        dehydrate, if_in_sync = bool(e.present.spans) or self.rng.random() < 0.5, self.rng.random() < 0.5
        args = dict(path=self.path(name), identity=identity, size=len(content), mtimeMs=1700000000000 + self.step,
                    inSync=True)
        args.update({"dehydrate": True} if dehydrate else {}, **({"ifInSync": True} if if_in_sync else {}))
        refused = not e.in_sync and (dehydrate or if_in_sync)
        got = self.request("update %s to %s, %d bytes%s%s" % (name, identity, len(content), ", dehydrate" * dehydrate,
                                                              ", ifInSync" * if_in_sync), "update", **args)
        if got != (NOT_IN_SYNC if refused else None):
            raise Mismatch("update of %s answered %s" % (name, got or "success"))
        if not refused:
            with self.lock:
                self.store[identity] = content
                e.identity, e.data, e.present, e.in_sync = identity, bytearray(content), Ranges(), True

    def op_upload(self):
        """A file changed here uploaded (read through the mount), then marked in sync, with or without
        a new identity, or adopted if it is no placeholder."""
        name, e = self.pick(where=lambda e: e.in_sync is not True)
        if name is None:
            return self.op_read()
        path = self.path(name)
        got, _ = self.do("upload %s" % name, lambda: with_fd(path, os.O_RDONLY, lambda fd: read_at(fd, 0, e.size + 1)),
                         e.lacks(), failing=False)
        self.same("the upload's read of %s" % name, got, e, 0, e.size)
        identity = "id/%s#%d" % (name, self.step)
        if e.identity is None:
            self.expect_ok(self.link.request("adopt", path=path, identity=identity), "adopt")
        else:
            usn = self.expect_ok(self.link.request("insync", path=path, inSync=False), "insync")["usn"]
            if self.rng.random() < 0.5:
                identity = e.identity
                self.expect_ok(self.link.request("insync", path=path, inSync=True, usn=usn), "insync")
            else:
                self.expect_ok(self.link.request("update", path=path, identity=identity, inSync=True, usn=usn), "update")
        with self.lock:
            self.store[identity] = bytes(e.data)
            e.identity, e.in_sync = identity, True

    def op_hydrate(self):
        name, e = self.pick(True)
        if name is None:
            return self.op_read()
        needs = e.lacks()

        def hydrate():
            code = code_of(self.link.request("hydrate", path=self.path(name)))
            if code:
                self.log[-1] += " (%s)" % code
                raise OSError(errno.EIO, "hydrate failed")
        self.do("hydrate %s" % name, hydrate, needs)
        if not needs and self.parent.fetches:
            raise Mismatch("hydrate of %s, all on the disk, fetched %s" % (name, self.parent.fetches))

    def op_pin(self):
        name, e = self.pick(True)
        if name is None:
            return self.op_read()
        state = self.rng.choice(["pinned", "unpinned", ""])
        if self.request("pin %s %r" % (name, state), "pin", path=self.path(name), state=state):
            raise Mismatch("pin of %s refused" % name)
        e.pin = {"pinned": 1, "unpinned": 2, "": 0}[state]

    def op_create(self):
        if len(self.entries) >= 12:
            return self.op_read()
        self.plan(False)
        self.note("create c%d" % self.step)
        self.create("c%d" % self.step, self.rng.choice(SIZES))

    # ---- the run ----
    def run(self):
        began = time.monotonic()
        names, weights = zip(*sorted(self.ops.items()))
        self.check(set(self.entries))
        for self.step in range(1, self.steps + 1):
            if self.time_limit and time.monotonic() - began > self.time_limit:
                print("time limit: stopped after %d steps" % (self.step - 1))
                break
            self.touched = set()
            getattr(self, "op_" + self.rng.choices(names, weights)[0])()
            self.check(self.touched if self.step % 25 else set(self.entries))
        self.step += 1
        for name, e in sorted(self.entries.items()):  # at last every byte, fetched where it is missing
            self.touched = {name}
            got, _ = self.do("cat %s" % name, lambda: run_program(["cat", self.path(name)]), e.lacks(), failing=False)
            self.same("cat of %s" % name, got, e, 0, e.size)
            self.check({name})


def run(seed, steps, skip=(), verbose=False, time_limit=None, user=None):
    """One run; its exit code (0, 1 or 77), with what went wrong printed."""
    ex = Exerciser(seed, steps, skip, verbose, time_limit)
    began = time.monotonic()
    try:
        ex.start()
        ex.run()
    except Skip as reason:
        print("skipped: %s" % reason)
        return SKIPPED
    except Exception as problem:  # noqa: BLE001 (a mismatch, or an operation that raised)
        print("MISMATCH at seed %d, step %d: %s" % (seed, ex.step, problem if isinstance(problem, Mismatch)
                                                      else "".join(traceback.format_exception(problem))))
        print("replay: ZCF_PROGRAM=%s python3 %s --seed %d --steps %d%s%s" % (
            harness.PROGRAM, os.path.abspath(__file__), seed, min(ex.step, steps),
            " --skip " + ",".join(skip) if skip else "",
            " --as-user %d" % user if user is not None else ""))
        violations = getattr(getattr(ex, "parent", None), "violations", [])
        if violations and str(problem) != "\n".join(violations):
            print("fetches against the rules:\n  " + "\n  ".join(violations))
        print("last operations:\n  " + "\n  ".join(ex.log[-25:]))
        return 1
    finally:
        ex.finish()
    print("seed %d: %d steps, no mismatch (%.1f s)" % (seed, ex.step - 1, time.monotonic() - began))
    return 0


def run_as_user(user, argv):
    """This exerciser run again as `user` (setpriv), in a mount namespace of its own in which
    /dev/fuse is open to everyone if it is not (as in test_ordinary_user.py)."""
    if os.geteuid() != 0 or shutil.which("setpriv") is None:
        print("skipped: switching to another user needs root and setpriv (util-linux)")
        return SKIPPED
    pythons = [p for p in (sys.executable, "/usr/bin/python3", shutil.which("python3")) if p]
    python = next((p for p in pythons if subprocess.run(harness.as_user(user, [p, "-c", "import ctypes, mmap"]),
                                                        capture_output=True).returncode == 0), None)
    if python is None:
        print("skipped: no Python that user %d may run" % user)
        return SKIPPED
    folder = None
    if os.path.exists("/dev/fuse") and stat.S_IMODE(os.stat("/dev/fuse").st_mode) & 0o006 != 0o006:
        if libc.unshare(0x00020000) != 0 or subprocess.run(["mount", "--make-rprivate", "/"]).returncode != 0:
            print("skipped: /dev/fuse is root's alone, and no mount namespace of our own can be had")
            return SKIPPED
        folder = tempfile.mkdtemp(prefix="zcf-fuse-node-")
        node = os.path.join(folder, "fuse")
        try:
            os.mknod(node, stat.S_IFCHR | 0o666, os.stat("/dev/fuse").st_rdev)
            os.chmod(node, 0o666)
        except OSError:
            shutil.rmtree(folder, ignore_errors=True)
            print("skipped: /dev/fuse is root's alone and no device node may be made here")
            return SKIPPED
        subprocess.run(["mount", "--bind", node, "/dev/fuse"], check=True)
    try:
        env = dict(os.environ, HOME=tempfile.gettempdir())
        return subprocess.run(harness.as_user(user, [python, os.path.abspath(__file__)] + argv), env=env).returncode
    finally:
        if folder:
            subprocess.run(["umount", "/dev/fuse"])
            shutil.rmtree(folder, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--steps", type=int, default=300)
    parser.add_argument("--as-user", type=int, help="run the program and every operation as this user")
    parser.add_argument("--skip", default="", help="operations to leave out: %s; or variants: %s" % (
        ", ".join(sorted(OPS)), ", ".join("%s (%s)" % v for v in sorted(VARIANTS.items()))))
    parser.add_argument("--time-limit", type=float, help="stop after this many seconds")
    parser.add_argument("--verbose", action="store_true", help="print each operation as it is done")
    args = parser.parse_args()
    skip = [s for s in args.skip.split(",") if s]
    if any(s not in OPS and s not in VARIANTS for s in skip):
        parser.error("unknown operations in --skip %s" % args.skip)
    if args.as_user is not None and os.geteuid() != args.as_user:
        return run_as_user(args.as_user, sys.argv[1:])
    if not os.access(harness.PROGRAM, os.X_OK):
        print("no program at %s (set ZCF_PROGRAM)" % harness.PROGRAM)
        return 2
    return run(args.seed, args.steps, skip, args.verbose, args.time_limit, args.as_user)


if __name__ == "__main__":
    sys.exit(main())
