"""The Linux front end: ordinary programs (cat, cp, tar, dd, stat, du, ls, find, mmap) read
placeholders through the file system mounted over a connected sync root, while the test acts as
the parent and answers the "fetch" events. Skipped (and says so) where FUSE cannot be used."""

import errno
import hashlib
import os
import queue
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from harness import Program, on_linux
from test_hydration import Conversation

MIB = 1 << 20


def digest(data):
    return hashlib.sha256(data).hexdigest()


class MountedRoot(Conversation):
    settings = {"fetchTimeoutMs": 20000}

    def setUp(self):
        if not on_linux():
            self.skipTest("the Linux front end")
        super().setUp()
        if self.p.request("info")["result"]["frontEnd"] != "fuse":
            self.skipTest("FUSE cannot be used on this machine (no /dev/fuse, or the mount is refused)")
        self.assertTrue(self.mounted(), "connect mounts the front end over the root")
        self.contents = {}
        self.out = tempfile.mkdtemp(prefix="zcf-out-")
        self.addCleanup(shutil.rmtree, self.out, ignore_errors=True)

    def mounted(self):
        with open("/proc/self/mountinfo") as f:
            return any(line.split()[4] == os.path.realpath(self.root) for line in f)

    def placeholders(self, sizes, folder=None):
        """Placeholders with random content, named by `sizes` ({name: size}); returns their paths."""
        base = self.root if folder is None else os.path.join(self.root, folder)
        if folder is not None and not os.path.isdir(base):
            self.assertEqual(self.p.request("create", items=[{"dir": self.root, "name": folder, "folder": True}])
                             ["result"], {"failed": []})
        paths = []
        for name, size in sizes.items():
            path, content = self.place(name if folder is None else os.path.join(folder, name), size)
            self.contents[os.path.realpath(path)] = content
            paths.append(path)
        return paths

    def place(self, name, size, identity="id-1"):
        head, tail = os.path.split(name)
        answer = self.p.request("create", items=[{"dir": os.path.join(self.root, head) if head else self.root,
                                                  "name": tail, "size": size, "identity": name}])
        self.assertEqual(answer["result"], {"failed": []})
        return os.path.join(self.root, name), self.rng.randbytes(size)

    def serve(self, done, fail=(), timeout=60):
        """Answers every "fetch" from the contents (or "fail"s those for paths in `fail`) until
        done() is true; returns the fetches."""
        fetches = []
        deadline = time.monotonic() + timeout
        while not done():
            self.assertLess(time.monotonic(), deadline, "the readers did not finish")
            try:
                fetch = self.p.next_event("fetch", timeout=0.05)
            except queue.Empty:
                continue
            fetches.append(fetch)
            if fetch["path"] in fail:
                self.p.request("fail", req=fetch["req"])
                continue
            self.answer(fetch, self.contents[fetch["path"]], MIB)
        return fetches

    def run_program(self, argv, fail=(), **kwargs):
        """Runs an ordinary program while serving its fetches; returns (exit code, stdout, stderr, fetches)."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            proc = subprocess.Popen(argv, stdout=out, stderr=err, **kwargs)
            fetches = self.serve(lambda: proc.poll() is not None, fail)
            out.seek(0)
            err.seek(0)
            return proc.returncode, out.read(), err.read(), fetches

    def test_cat_cp_tar_and_dd_get_the_real_bytes(self):
        big, small, odd = self.placeholders({"big.bin": 3 * MIB + 123, "small.txt": 100, "odd.bin": 300000},
                                            folder="Docs")
        code, out, _, fetches = self.run_program(["cat", big])
        self.assertEqual((code, digest(out)), (0, digest(self.contents[big])))
        # Progressive: the first read asks for the rest of the file, the later reads wait for it.
        self.assertEqual([(f["process"], f["offset"], f["length"]) for f in fetches],
                         [(os.path.realpath("/usr/bin/cat"), 0, (3 * MIB + 123 + 4095) // 4096 * 4096)])
        copy = os.path.join(self.out, "copies")
        os.makedirs(copy)
        # cp asks for holes first (SEEK_DATA/SEEK_HOLE): missing content is no hole, so it reads.
        self.assertEqual(self.run_program(["cp", small, odd, copy])[0], 0)
        for path in (small, odd):
            with open(os.path.join(copy, os.path.basename(path)), "rb") as f:
                self.assertEqual(digest(f.read()), digest(self.contents[path]), path)
        self.assertEqual(self.run_program(["dd", "if=" + odd, "of=" + os.path.join(self.out, "dd"), "bs=4096",
                                           "skip=20", "count=3", "status=none"])[0], 0)
        with open(os.path.join(self.out, "dd"), "rb") as f:
            self.assertEqual(f.read(), self.contents[odd][20 * 4096:23 * 4096])
        archive = os.path.join(self.out, "docs.tar")
        code, _, err, _ = self.run_program(["tar", "-C", self.root, "-cf", archive, "Docs"])
        self.assertEqual(code, 0, err)
        unpacked = os.path.join(self.out, "unpacked")
        os.makedirs(unpacked)
        subprocess.run(["tar", "-C", unpacked, "-xf", archive], check=True)
        for path in (big, small, odd):
            with open(os.path.join(unpacked, "Docs", os.path.basename(path)), "rb") as f:
                self.assertEqual(digest(f.read()), digest(self.contents[path]), path)

    def test_stat_du_ls_and_find_show_placeholders_without_fetching(self):
        paths = self.placeholders({"a.bin": 200000, "b.bin": 5000}, folder="Photos")
        code, out, _, fetches = self.run_program(["stat", "-c", "%n %s %b", *paths])
        self.assertEqual((code, fetches), (0, []))
        self.assertEqual(out.decode().split("\n")[:2], ["%s 200000 0" % paths[0], "%s 5000 0" % paths[1]])
        # Beneath, an online-only file has no read permission (the read guard); programs see it with.
        modes = self.run_program(["stat", "-c", "%A", *paths])[1].decode().split()
        self.assertEqual([m[:3] for m in modes], ["-rw", "-rw"])
        code, out, _, _ = self.run_program(["du", "-k", *paths])
        self.assertEqual(out.split()[0::2], [b"0", b"0"])  # online-only files take no space
        listing = self.run_program(["ls", "-l", os.path.join(self.root, "Photos")])[1].decode()
        self.assertRegex(listing, r" 200000 .* a\.bin")
        found = self.run_program(["find", self.root])[1].decode().split()
        self.assertEqual(sorted(found), sorted([self.root, os.path.join(self.root, "Photos")] + paths))
        self.assertEqual(self.run_program(["cat", paths[1]])[0], 0)
        self.assertGreater(os.stat(paths[1]).st_blocks, 0)  # present now: it takes space

    def test_a_tree_larger_than_the_descriptor_limit_lists(self):
        # Files cost the front end no descriptor of their own: 1,500 of them list with 256.
        resource.prlimit(self.p.proc.pid, resource.RLIMIT_NOFILE, (256, 256))
        for folder in ("A", "B"):
            self.assertEqual(self.p.request("create", items=[{"dir": self.root, "name": folder, "folder": True}])
                             ["result"], {"failed": []})
            items = [{"dir": os.path.join(self.root, folder), "name": "f%04d" % i, "size": 1000 + i}
                     for i in range(750)]
            self.assertEqual(self.p.request("create", items=items)["result"], {"failed": []})
        code, out, err, fetches = self.run_program(["ls", "-lR", self.root])
        self.assertEqual((code, fetches), (0, []), err)
        sizes = [int(line.split()[4]) for line in out.decode().splitlines() if line.endswith(tuple("0123456789"))
                 and line.startswith("-")]
        self.assertEqual(sorted(sizes), sorted([1000 + i for i in range(750)] * 2))
        [path] = self.placeholders({"f0007": 1007}, folder="C")
        code, out, _, _ = self.run_program(["cat", path])
        self.assertEqual((code, digest(out)), (0, digest(self.contents[path])))

    def test_names_follow_renames_links_and_unlinks(self):
        [path] = self.placeholders({"report.bin": 100000}, folder="Old")
        content = self.contents[path]
        # A renamed folder and file: the inode the kernel holds reaches the file by its new name.
        held = os.open(path, os.O_RDONLY)
        self.addCleanup(os.close, held)
        os.rename(os.path.join(self.root, "Old"), os.path.join(self.root, "New"))
        moved = os.path.join(self.root, "New", "renamed.bin")
        os.rename(os.path.join(self.root, "New", "report.bin"), moved)
        self.contents[os.path.realpath(moved)] = content
        os.setxattr(moved, "user.note", b"kept")
        self.assertEqual(os.getxattr(moved, "user.note"), b"kept")
        code, out, _, fetches = self.run_program(["cat", moved])
        self.assertEqual((code, digest(out)), (0, digest(content)))
        self.assertEqual([f["path"] for f in fetches], [os.path.realpath(moved)])
        # A second name, then the first one gone: the file is reached by the second.
        linked = os.path.join(self.root, "linked.bin")
        os.link(moved, linked)
        os.unlink(moved)
        with open(linked, "rb") as f:
            self.assertEqual(digest(f.read()), digest(content))
        self.assertEqual(os.stat(linked).st_size, 100000)
        # A file open while its last name goes is still read and stat'ed through its descriptor,
        # and a new file under the old name is another file.
        os.unlink(linked)
        self.assertEqual(os.fstat(held).st_size, 100000)
        self.assertEqual(os.pread(held, 10, 5000), content[5000:5010])
        with open(moved, "wb") as f:
            f.write(b"new file")
        with open(moved, "rb") as f:
            self.assertEqual(f.read(), b"new file")
        self.assertEqual(os.fstat(held).st_size, 100000)

    def test_listings_and_extended_attributes_through_the_mount(self):
        [first] = self.placeholders({"one.bin": 10}, folder="Box")
        box = os.path.dirname(first)
        self.assertEqual(os.listdir(box), ["one.bin"])
        # Placeholders created beneath the mount are listed at once.
        self.placeholders({"two.bin": 20}, folder="Box")
        self.assertEqual(sorted(os.listdir(box)), ["one.bin", "two.bin"])
        os.unlink(first)
        self.assertEqual(os.listdir(box), ["two.bin"])
        # User attributes pass through; the placeholder's own are not listed; ACLs and labels are
        # not carried, and are not listed.
        two = os.path.join(box, "two.bin")
        os.setxattr(two, "user.color", b"blue")
        self.assertEqual(os.listxattr(two), ["user.color"])
        self.assertEqual(os.getxattr(two, "user.color"), b"blue")
        for name in ("security.selinux", "system.posix_acl_access"):
            with self.assertRaises(OSError) as caught:
                os.getxattr(two, name)
            self.assertEqual(caught.exception.errno, errno.EOPNOTSUPP, name)
        self.assertEqual(self.run_program(["ls", "-l", two])[0], 0)

    def test_mmap_reads_fetch_the_content(self):
        [path] = self.placeholders({"mapped.bin": 2 * MIB + 5})
        script = ("import mmap,sys,hashlib\nf=open(sys.argv[1],'rb')\nm=mmap.mmap(f.fileno(),0,access=mmap.ACCESS_READ)\n"
                  "sys.stdout.write(hashlib.sha256(m[:]).hexdigest())")
        code, out, err, _ = self.run_program([sys.executable, "-c", script, path])
        self.assertEqual((code, out.decode()), (0, digest(self.contents[path])), err)

    def test_eight_readers_of_one_file_at_once(self):
        [path] = self.placeholders({"shared.bin": 4 * MIB})
        with tempfile.TemporaryDirectory() as d:
            outs = [open(os.path.join(d, str(i)), "wb+") for i in range(8)]
            procs = [subprocess.Popen(["cat", path], stdout=o) for o in outs]
            fetches = self.serve(lambda: all(p.poll() is not None for p in procs))
            self.assertEqual(len(fetches), 1, fetches)  # the other readers wait for the first one's
            for p, o in zip(procs, outs):
                o.seek(0)
                self.assertEqual((p.returncode, digest(o.read())), (0, digest(self.contents[path])))
                o.close()

    def test_a_failed_fetch_gives_the_reader_eio(self):
        [path] = self.placeholders({"gone.bin": 10000})
        code, _, err, fetches = self.run_program(["cat", path], fail={os.path.realpath(path)})
        self.assertNotEqual(code, 0)
        self.assertIn(b"Input/output error", err)
        self.assertTrue(self.attrs(path)["onlineOnly"])

    def test_a_reader_killed_while_it_waits_cancels_its_fetch(self):
        [path] = self.placeholders({"slow.bin": 50000})
        reader = subprocess.Popen(["cat", path], stdout=subprocess.DEVNULL)
        fetch = self.p.next_event("fetch")
        reader.send_signal(signal.SIGKILL)
        self.assertEqual(self.p.next_event("cancel")["reqs"], [fetch["req"]])
        self.assertEqual(reader.wait(timeout=10), -signal.SIGKILL)
        self.assertEqual(self.data(fetch["req"], self.contents[os.path.realpath(path)], 0, 50000)["result"],
                         {"stale": True})

    def test_disconnect_while_a_read_waits(self):
        [path] = self.placeholders({"waiting.bin": 20000})
        with tempfile.TemporaryFile() as err:
            reader = subprocess.Popen(["cat", path], stdout=subprocess.DEVNULL, stderr=err)
            self.p.next_event("fetch")
            self.assertEqual(self.p.request("disconnect")["result"], {})
            self.assertNotEqual(reader.wait(timeout=10), 0)
            err.seek(0)
            self.assertIn(b"Input/output error", err.read())
        self.assertFalse(self.mounted())
        self.assertEqual(sorted(os.listdir(self.root)), ["waiting.bin"])  # the raw files again

    def test_a_new_connect_recovers_the_mount_of_a_killed_program(self):
        [path] = self.placeholders({"kept.bin": 8192})
        self.assertEqual(self.run_program(["cat", path])[0], 0)
        state_dir = self.p.state_dir
        self.p.proc.kill()
        self.p.proc.wait()
        with self.assertRaises(OSError):  # the mount of a process that is gone answers nothing
            os.listdir(self.root)
        second = Program(state_dir=state_dir)
        self.addCleanup(second.kill)
        self.assertEqual(second.request("connect", root=self.root)["result"], {})
        with open(path, "rb") as f:  # present already: no fetch
            self.assertEqual(digest(f.read()), digest(self.contents[os.path.realpath(path)]))
        self.assertEqual(second.request("disconnect")["result"], {})


class TimedOut(MountedRoot):
    settings = {"fetchTimeoutMs": 300}

    def test_an_unanswered_fetch_times_out_with_eio(self):
        [path] = self.placeholders({"late.bin": 4096})
        with tempfile.TemporaryFile() as err:
            code = subprocess.run(["cat", path], stdout=subprocess.DEVNULL, stderr=err, timeout=20).returncode
            err.seek(0)
            self.assertIn(b"Input/output error", err.read())
        self.assertNotEqual(code, 0)
        self.assertEqual(len(self.p.next_event("cancel")["reqs"]), 1)


def load_tests(loader, tests, pattern):
    suite = unittest.TestSuite()
    for cls in (MountedRoot, TimedOut):
        names = [n for n in vars(cls) if n.startswith("test_")]
        suite.addTests(cls(n) for n in names)
    return suite


if __name__ == "__main__":
    unittest.main()
