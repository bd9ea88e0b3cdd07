"""The Linux build run by an ordinary user (not root): the program mounts through fusermount3, that
user's programs read placeholders through the mount, and online-only files are kept from being read
raw (the read guard) while nothing serves them. The program and the programs that read run as user
65534 (setpriv); skipped, and saying why, where that or FUSE cannot be had."""

import base64
import ctypes
import hashlib
import json
import os
import queue
import random
import shutil
import stat
import subprocess
import tempfile
import time
import unittest

from harness import Program, as_user, on_linux

USER = 65534
MIB = 1 << 20


def digest(data):
    return hashlib.sha256(data).hexdigest()


def mounted_types(path):
    """The file-system types mounted at `path` (/proc/self/mountinfo)."""
    types = []
    with open("/proc/self/mountinfo") as f:
        for line in f:
            fields = line.split()
            if fields[4] == path:
                types.append(fields[fields.index("-") + 1])
    return types


def setUpModule():
    """Where /dev/fuse is root's alone (some containers make it so; the fuse3 package installs it
    open to everyone), the tests run in a mount namespace of their own in which a node of the same
    device, open to everyone, stands over it, as on an ordinary machine. The machine's own node is
    left as it is."""
    if not on_linux() or os.geteuid() != 0 or not os.path.exists("/dev/fuse"):
        return
    if stat.S_IMODE(os.stat("/dev/fuse").st_mode) & 0o006 == 0o006:
        return
    libc = ctypes.CDLL(None, use_errno=True)
    CLONE_NEWNS = 0x00020000
    if libc.unshare(CLONE_NEWNS) != 0:
        return  # the tests then skip, and say why
    if subprocess.run(["mount", "--make-rprivate", "/"], stderr=subprocess.DEVNULL).returncode != 0:
        return
    folder = tempfile.mkdtemp(prefix="zcf-fuse-node-")
    NODE_FOLDER.append(folder)
    node = os.path.join(folder, "fuse")
    try:
        os.mknod(node, stat.S_IFCHR | 0o666, os.stat("/dev/fuse").st_rdev)
        os.chmod(node, 0o666)
    except OSError:
        return  # no device nodes may be made here: the mount test skips, and says why
    subprocess.run(["mount", "--bind", node, "/dev/fuse"], stderr=subprocess.DEVNULL)


NODE_FOLDER = []


def tearDownModule():
    for folder in NODE_FOLDER:
        subprocess.run(["umount", "/dev/fuse"], stderr=subprocess.DEVNULL)
        shutil.rmtree(folder, ignore_errors=True)


class OrdinaryUser(unittest.TestCase):
    settings = None

    def setUp(self):
        if not on_linux():
            self.skipTest("the Linux build")
        if os.geteuid() != 0:
            self.skipTest("switching to another user needs root")
        if shutil.which("setpriv") is None:
            self.skipTest("setpriv (util-linux) is not installed")
        self.p = self.start()
        self.root = os.path.join(self.p.tmp, "root")
        os.mkdir(self.root)
        os.chown(self.root, USER, USER)
        self.assertEqual(self.p.request("register", root=self.root, id="ordinary-user")["result"], {})
        self.rng = random.Random(65534)
        self.contents = {}

    def start(self, state_dir=None):
        program = Program(user=USER, state_dir=state_dir)
        self.addCleanup(program.kill)
        if self.settings is not None:
            sim_dir = os.path.join(program.state_dir, "zembra-cloud-files")
            os.makedirs(sim_dir, exist_ok=True)
            os.chown(sim_dir, USER, USER)  # the user's own state directory
            with open(os.path.join(sim_dir, "sim.json"), "w") as f:
                json.dump(self.settings, f)
        return program

    def place(self, name, size):
        answer = self.p.request("create", items=[{"dir": self.root, "name": name, "size": size, "identity": name}])
        self.assertEqual(answer["result"], {"failed": []})
        path = os.path.join(self.root, name)
        self.contents[path] = self.rng.randbytes(size)
        return path

    def answer(self, fetch):
        content = self.contents[fetch["path"]]
        end = min(fetch["fileSize"], fetch["offset"] + fetch["length"])
        for offset in range(fetch["offset"], end, MIB):
            chunk = content[offset:min(end, offset + MIB)]
            answer = self.p.request("data", req=fetch["req"], offset=offset, b64=base64.b64encode(chunk).decode())
            self.assertEqual(answer["result"], {})

    def run_as_user(self, argv, timeout=60):
        """Runs `argv` as the user while answering the program's fetches (while it runs); (exit
        code, stdout, stderr)."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            proc = subprocess.Popen(as_user(USER, argv), stdout=out, stderr=err)
            deadline = time.monotonic() + timeout
            while proc.poll() is None:
                self.assertLess(time.monotonic(), deadline, "%s did not finish" % argv)
                if self.p.proc.poll() is not None:
                    time.sleep(0.05)
                    continue
                try:
                    self.answer(self.p.next_event("fetch", timeout=0.05))
                except queue.Empty:
                    pass
            out.seek(0)
            err.seek(0)
            return proc.returncode, out.read(), err.read()

    def raw_mode(self, path):
        return stat.S_IMODE(os.stat(path).st_mode)


class ThroughTheMount(OrdinaryUser):
    settings = {"fetchTimeoutMs": 20000}

    def test_the_user_mounts_reads_and_is_kept_from_raw_online_only_files(self):
        online = self.place("online.bin", 3 * MIB + 5)
        kept = self.place("kept.bin", 10000)
        empty = self.place("empty.txt", 0)
        readable = self.raw_mode(empty)  # wholly present: the mode the placeholders were made with
        self.assertNotEqual(readable & 0o444, 0)
        self.assertEqual(self.raw_mode(online), readable & ~0o444)
        self.assertEqual(self.p.request("connect", root=self.root)["result"], {})
        if self.p.request("info")["result"]["frontEnd"] != "fuse":
            self.skipTest("user %d cannot mount FUSE here (/dev/fuse not open to other users, or no "
                          "fusermount3)" % USER)
        self.assertEqual(mounted_types(self.root), ["fuse.zembra_cloud_files"])

        # Through the mount the user reads the real bytes, and sees the files' own modes.
        code, out, err = self.run_as_user(["cat", online])
        self.assertEqual((code, digest(out)), (0, digest(self.contents[online])), err)
        code, out, _ = self.run_as_user(["stat", "-c", "%a", online, kept, empty])
        self.assertEqual(out.decode().split(), ["%o" % readable] * 3)
        # A chmod through the mount of a guarded file is kept for when its content is there.
        self.assertEqual(self.run_as_user(["chmod", "600", kept])[0], 0)
        self.assertEqual(self.run_as_user(["stat", "-c", "%a", kept])[1].decode().split(), ["600"])

        self.assertEqual(self.p.request("disconnect")["result"], {})
        self.assertEqual(mounted_types(self.root), [])
        self.assertEqual(self.p.finish()[0], 0)

        # Nothing serves the folder now: what is wholly present reads, the online-only file does not.
        code, out, _ = self.run_as_user(["cat", online])
        self.assertEqual((code, digest(out)), (0, digest(self.contents[online])))
        self.assertEqual(self.run_as_user(["cat", empty])[0], 0)
        code, _, err = self.run_as_user(["cat", kept])
        self.assertNotEqual(code, 0)
        self.assertIn(b"Permission denied", err)
        self.assertEqual(self.raw_mode(kept), 0o200)
        self.assertIn(b";read=400", os.getxattr(kept, "user.zcf.state"))


class RefusedMount(OrdinaryUser):
    settings = {"fetchTimeoutMs": 20000}

    def test_info_tells_what_the_connected_root_got(self):
        if self.p.request("info")["result"]["frontEnd"] != "fuse":
            self.skipTest("user %d cannot mount FUSE here" % USER)
        # The user may not write to this folder: fusermount3 refuses to mount over it, and the
        # connection works on without the mount.
        os.chown(self.root, 0, 0)
        self.assertEqual(self.p.request("connect", root=self.root)["result"], {})
        self.assertEqual(mounted_types(self.root), [])
        self.assertEqual(self.p.request("info")["result"]["frontEnd"], "simulated")
        self.assertEqual(self.p.request("disconnect")["result"], {})
        self.assertEqual(self.p.request("info")["result"]["frontEnd"], "fuse")  # what the next one tries


class WithoutTheMount(OrdinaryUser):
    settings = {"frontEnd": "simulated"}

    def changed_paths(self):
        """The paths of the "changed" events written in the next second."""
        paths = []
        deadline = time.monotonic() + 1
        while time.monotonic() < deadline:
            try:
                paths.append(self.p.next_event("changed", timeout=max(0.01, deadline - time.monotonic()))["path"])
            except queue.Empty:
                pass
        return paths

    def test_the_program_reads_its_own_guarded_files_without_reporting_it(self):
        kept = self.place("kept.bin", 70000)
        other = self.place("other.bin", 5000)
        self.assertEqual(self.p.request("connect", root=self.root, watch=True)["result"], {})
        self.assertEqual(self.changed_paths(), [])
        # Its metadata is read with a moment of read access: that is no change to report.
        for _ in range(3):
            attrs = self.p.request("attrs", path=kept)["result"]
            self.assertEqual((attrs["onlineOnly"], attrs["identity"]), (True, "kept.bin"))
        self.assertEqual(self.changed_paths(), [])
        self.assertEqual(self.raw_mode(kept) & 0o444, 0)

        # "hydrate" opens the file for reading; its content arriving gives it its permission back.
        self.p.send({"cmd": "hydrate", "seq": "h", "path": kept})
        self.answer(self.p.next_event("fetch"))
        self.assertEqual(self.p.wait_seq("h")["result"], {})
        code, out, _ = self.run_as_user(["cat", kept])
        self.assertEqual((code, out), (0, self.contents[kept]))
        code, _, err = self.run_as_user(["cat", other])  # no mount: the raw file, guarded
        self.assertIn(b"Permission denied", err)

        self.assertEqual(self.p.request("dehydrate", path=kept)["result"], {})
        self.assertEqual(self.raw_mode(kept) & 0o444, 0)
        self.assertIn(b"Permission denied", self.run_as_user(["cat", kept])[2])


if __name__ == "__main__":
    unittest.main()
