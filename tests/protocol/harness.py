"""Drives the real program over its standard streams, one JSON object per line.

Environment:
  ZCF_PROGRAM    path of the program (build/native/zembra_cloud_files or the .exe)
  ZCF_WRAPPER    optional launcher (scripts/wine-run for the Windows build)
  ZCF_PLATFORM   "linux" or "windows"; tests that need one platform skip on the other
  ZCF_SANITIZED  set for sanitizer builds (their address space cannot be limited)

Each Program gets its own temporary state directory (XDG_STATE_HOME) and work directory, so tests
run in parallel without seeing each other's sync roots.
"""

import json
import os
import queue
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest

PROGRAM = os.path.abspath(os.environ["ZCF_PROGRAM"]) if os.environ.get("ZCF_PROGRAM") else ""
WRAPPER = os.path.abspath(os.environ["ZCF_WRAPPER"]) if os.environ.get("ZCF_WRAPPER") else ""
PLATFORM = os.environ.get("ZCF_PLATFORM", "linux")
TIMEOUT = float(os.environ.get("ZCF_TIMEOUT", "30"))
SANITIZED = bool(os.environ.get("ZCF_SANITIZED"))


def on_linux():
    return PLATFORM == "linux"


def on_windows():
    return PLATFORM == "windows"


def as_user(user, argv):
    """`argv` run as the user (and group) `user`, without supplementary groups."""
    return ["setpriv", "--reuid=%d" % user, "--regid=%d" % user, "--clear-groups"] + list(argv)


def stop(pid):
    """Stops the process and returns once every thread of it has stopped."""
    os.kill(pid, signal.SIGSTOP)
    tasks = "/proc/%d/task" % pid
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        states = []
        for task in os.listdir(tasks):
            with open(os.path.join(tasks, task, "stat")) as stat:
                states.append(stat.read().rsplit(")", 1)[1].split()[0])
        if all(state in "tT" for state in states):
            return
        time.sleep(0.01)
    raise AssertionError("the program did not stop")


class Program:
    """One running program. Lines are read on a thread into a queue so reads can time out."""

    def __init__(self, env=None, state_dir=None, address_space=None, user=None):
        """`user`: a user id to run the program as (with setpriv); the work directory, and so the
        state directory in it, is that user's."""
        if not PROGRAM:
            raise unittest.SkipTest("ZCF_PROGRAM is not set")
        self.tmp = tempfile.mkdtemp(prefix="zcf-")
        self.state_dir = state_dir or os.path.join(self.tmp, "state")
        os.makedirs(self.state_dir, exist_ok=True)
        full_env = dict(os.environ)
        full_env["XDG_STATE_HOME"] = self.state_dir
        if env:
            full_env.update(env)
        argv = ([WRAPPER] if WRAPPER else []) + [PROGRAM]
        if user is not None:
            for d in (self.tmp, self.state_dir):
                os.chown(d, user, user)
            full_env["HOME"] = self.tmp
            argv = as_user(user, argv)

        def limit():
            import resource
            resource.setrlimit(resource.RLIMIT_AS, (address_space, address_space))

        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=full_env, cwd=self.tmp,
                                     preexec_fn=limit if address_space else None)
        self.lines = queue.Queue()
        self.raw = []  # every line read, in order, as bytes
        self.pending_events = []
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        self.ready = self.read_json()
        self._seq = 0

    def _read(self):
        for line in self.proc.stdout:
            self.raw.append(line)
            self.lines.put(line)
        self.lines.put(None)

    # ---- writing ----
    def send_raw(self, data):
        if isinstance(data, str):
            data = data.encode("utf-8")
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def send(self, obj):
        self.send_raw(json.dumps(obj, separators=(",", ":"), ensure_ascii=False) + "\n")

    def close_input(self):
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass

    # ---- reading ----
    def read_line(self, timeout=TIMEOUT):
        """The next output line as bytes (without LF), or None at end of output."""
        line = self.lines.get(timeout=timeout)
        if line is None:
            self.lines.put(None)
            return None
        assert line.endswith(b"\n"), line
        return line[:-1]

    def read_json(self, timeout=TIMEOUT):
        line = self.read_line(timeout)
        return None if line is None else json.loads(line)

    def request(self, cmd, timeout=TIMEOUT, **args):
        """Sends one request with a fresh integer seq and returns its answer. Events that arrive
        first are kept in pending_events."""
        self._seq += 1
        seq = self._seq
        message = {"cmd": cmd, "seq": seq}
        message.update(args)
        self.send(message)
        return self.wait_seq(seq, timeout)

    def wait_seq(self, seq, timeout=TIMEOUT):
        """The answer carrying `seq`, taking already-read answers first: a late answer may arrive
        before the response to a later request."""
        for i, msg in enumerate(self.pending_events):
            if "event" not in msg and msg.get("seq") == seq:
                return self.pending_events.pop(i)
        while True:
            msg = self.read_json(timeout)
            if msg is None:
                raise AssertionError("output ended while waiting for seq %r" % (seq,))
            if "event" in msg:
                self.pending_events.append(msg)
                continue
            if msg.get("seq") == seq:
                return msg
            self.pending_events.append(msg)

    def next_event(self, name=None, timeout=TIMEOUT):
        """The next event (optionally of one kind), taking already-read events first."""
        for i, msg in enumerate(self.pending_events):
            if "event" in msg and (name is None or msg["event"] == name):
                return self.pending_events.pop(i)
        while True:
            msg = self.read_json(timeout)
            if msg is None:
                raise AssertionError("output ended while waiting for an event")
            if "event" in msg and (name is None or msg["event"] == name):
                return msg
            self.pending_events.append(msg)

    def finish(self, timeout=TIMEOUT):
        """Closes input and returns (exit code, remaining output lines as bytes)."""
        self.close_input()
        rest = []
        while True:
            line = self.read_line(timeout)
            if line is None:
                break
            rest.append(line)
        code = self.proc.wait(timeout=timeout)
        return code, rest

    def kill(self, grace=5):
        """Ends the program: its input closed first, so that it unmounts what it mounted, then
        killed if it has not ended within `grace` seconds. Mounts left beneath its work directory
        (by a program that was killed) are detached before the directory goes."""
        if self.proc.poll() is None:
            self.close_input()
            try:
                self.proc.wait(timeout=grace)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            try:
                stream.close()
            except Exception:
                pass
        detach_mounts_under(self.tmp)
        shutil.rmtree(self.tmp, ignore_errors=True)


def detach_mounts_under(folder):
    """Lazily unmounts the front-end mounts at or beneath `folder` (Linux; nothing elsewhere)."""
    try:
        with open("/proc/self/mountinfo") as f:
            points = [line.split()[4] for line in f if " - fuse.zembra_cloud_files " in line]
    except OSError:
        return
    prefix = os.path.realpath(folder) + "/"
    for point in points:
        point = point.encode().decode("unicode_escape")  # \040 and the like
        if point.startswith(prefix):
            subprocess.run(["umount", "-l", point] if os.geteuid() == 0 else ["fusermount3", "-u", "-z", point],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class ProgramTest(unittest.TestCase):
    """Starts a fresh program per test; self.p is it, self.tmp its work directory."""

    env = None

    def setUp(self):
        self.p = Program(env=self.env)
        self.tmp = self.p.tmp
        self.addCleanup(self.p.kill)

    def path(self, *parts):
        """A path in the test's work directory, as the program's platform spells it."""
        full = os.path.join(self.tmp, *parts)
        if on_windows():
            # The Wine prefix maps the Unix root to drive Z:.
            return "Z:" + full.replace("/", "\\")
        return full
