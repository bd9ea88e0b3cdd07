"""What ordinary programs do to files through the Linux mount: change sizes, open write-only,
copy, allocate, use direct I/O, fail and retry, work as another user, and leave files behind while
nothing serves them. Each case checks the bytes a program gets, the fetches the parent sees, and
what "attrs" says. Skipped (and says so) where FUSE cannot be used."""

import errno
import json
import mmap
import os
import resource
import subprocess
import sys
import tempfile
import time
import unittest

from harness import Program, as_user
from test_fuse import MIB, MountedRoot, digest

USER = 65534


def spans(fetches):
    return [(f["offset"], f["offset"] + f["length"]) for f in fetches]


class Programs(MountedRoot):
    def read(self, path):
        """The file's bytes as a program reads them, serving its fetches; (bytes, fetches)."""
        code, out, err, fetches = self.run_program(["cat", path])
        self.assertEqual(code, 0, err)
        return out, fetches

    def python(self, script, *args, user=None):
        argv = [sys.executable, "-c", script, *args]
        code, out, err, fetches = self.run_program(as_user(user, argv) if user is not None else argv)
        self.assertEqual(code, 0, err)
        return out, fetches


class ProgramsThroughTheMount(Programs):
    def test_size_changes_keep_the_programs_bytes(self):
        shrunk, grown, mapped = self.placeholders({"shrunk.bin": 20000, "grown.bin": 9000, "mapped.bin": 5000})
        # Shrunk, then written past its end: the gap is the program's zeros, not the store's bytes.
        _, fetches = self.python("import os,sys\nf=os.open(sys.argv[1],os.O_RDWR)\nos.ftruncate(f,100)\n"
                                 "os.pwrite(f,b'X',15000)", shrunk)
        self.assertEqual(spans(fetches), [(0, 4096)])  # what it keeps, before it changed
        out, fetches = self.read(shrunk)
        self.assertEqual((out, fetches), (self.contents[shrunk][:100] + bytes(14900) + b"X", []))
        # Grown by ftruncate, and a mapped write into what it added.
        self.python("import os,sys\nf=os.open(sys.argv[1],os.O_RDWR)\nos.ftruncate(f,30000)", grown)
        self.python("import mmap,os,sys\nf=os.open(sys.argv[1],os.O_RDWR)\nos.ftruncate(f,12288)\n"
                    "m=mmap.mmap(f,12288)\nm[10000:10004]=b'MMAP'\nm.flush()", mapped)
        out, fetches = self.read(grown)
        self.assertEqual((out, fetches), (self.contents[grown] + bytes(21000), []))
        out, fetches = self.read(mapped)
        self.assertEqual((out, fetches), (self.contents[mapped] + bytes(5000) + b"MMAP" + bytes(2284), []))
        for path in (shrunk, grown, mapped):
            self.assertEqual({k: self.attrs(path)[k] for k in ("onlineOnly", "inSync")},
                             {"onlineOnly": False, "inSync": False}, path)

    def test_write_only_opens_fetch_what_they_need(self):
        appended, truncated, shortened, inplace, written = self.placeholders(
            {"appended.txt": 5000, "truncated.bin": 9000, "shortened.bin": 9000, "inplace.bin": 7000,
             "written.bin": 6000})
        self.assertEqual(self.run_program(["sh", "-c", "echo more >> " + appended])[0], 0)
        self.assertEqual(self.run_program(["truncate", "-s", "4000", truncated])[0], 0)
        self.python("import os,sys\nos.truncate(sys.argv[1],3000)", shortened)
        source = os.path.join(self.out, "inplace.bin")
        with open(source, "wb") as f:
            f.write(b"R" * 7000)
        code, _, err, _ = self.run_program(["rsync", "--inplace", "--no-whole-file", source, inplace])
        self.assertEqual(code, 0, err)
        _, fetches = self.python("import os,sys\nf=os.open(sys.argv[1],os.O_WRONLY)\nos.pwrite(f,b'W',10)\n"
                                 "os.ftruncate(f,20)", written)
        self.assertEqual(len(fetches), 1)
        expected = {appended: self.contents[appended] + b"more\n", truncated: self.contents[truncated][:4000],
                    shortened: self.contents[shortened][:3000], inplace: b"R" * 7000,
                    written: self.contents[written][:10] + b"W" + self.contents[written][11:20]}
        for path, content in expected.items():
            self.assertEqual(self.read(path), (content, []), path)
            self.assertFalse(self.attrs(path)["inSync"], path)

    def test_copies_are_plain_files(self):
        [original] = self.placeholders({"report.txt": 3000}, folder="Docs")
        self.assertEqual(self.p.request("pin", path=original, state="pinned")["result"], {})
        self.assertEqual(self.read(original)[0], self.contents[original])
        copies = {
            "cp": ["cp", "-a", original, os.path.join(self.root, "Docs", "cp.txt")],
            "rsync": ["rsync", "-aX", original, os.path.join(self.root, "Docs", "rsync.txt")],
            "tar": ["sh", "-c", "tar --xattrs -C %s -cf - report.txt | tar --xattrs -C %s -xf - --transform s/report/tar/"
                    % (os.path.dirname(original), self.out)],
        }
        for tool, argv in copies.items():
            code, _, err, _ = self.run_program(argv)
            self.assertEqual((code, err), (0, b""), tool)
        for copy in ("cp.txt", "rsync.txt"):
            path = os.path.join(self.root, "Docs", copy)
            attrs = self.attrs(path)
            self.assertEqual((attrs["identity"], attrs["pinned"], self.read(path)[0]),
                             (None, False, self.contents[original]), copy)
        self.assertEqual(os.listxattr(os.path.join(self.out, "tar.txt")), [])
        # The state is neither listed, read nor set through the mount; the pin is set by its name.
        self.assertEqual(os.listxattr(original), [])
        for name, code in (("user.zcf.identity", errno.ENODATA), ("user.zcf.state", errno.ENODATA)):
            with self.assertRaises(OSError) as caught:
                os.getxattr(original, name)
            self.assertEqual(caught.exception.errno, code, name)
        with self.assertRaises(OSError) as caught:
            os.setxattr(original, "user.zcf.identity", b"forged")
        self.assertEqual(caught.exception.errno, errno.EPERM)
        self.assertEqual(os.getxattr(original, "user.zcf.pin"), b"1")
        os.setxattr(original, "user.zcf.pin", b"2")
        self.assertEqual((self.attrs(original)["unpinned"], self.attrs(original)["identity"]), (True, "Docs/report.txt"))

    def test_reads_fetch_only_what_is_missing_and_never_mark_in_sync(self):
        [path] = self.placeholders({"touched.bin": 64 * 1024})
        content = self.contents[path]
        os.utime(path, (1, 1))
        self.assertFalse(self.attrs(path)["inSync"])
        code, out, _, fetches = self.run_program(["dd", "if=" + path, "bs=4096", "skip=5", "count=2", "status=none"])
        self.assertEqual((code, out, spans(fetches)), (0, content[20480:28672], [(20480, 65536)]))
        # The later read of the whole file asks for the part before only.
        out, fetches = self.read(path)
        self.assertEqual((out, spans(fetches)), (content, [(0, 20480)]))
        self.assertFalse(self.attrs(path)["inSync"])
        [other] = self.placeholders({"middle.bin": 64 * 1024})
        self.run_program(["dd", "if=" + other, "of=/dev/null", "bs=4096", "skip=4", "count=1", "iflag=direct"])
        out, fetches = self.read(other)
        self.assertEqual((out, spans(fetches)), (self.contents[other], [(0, 16384)]))

    def test_direct_io_reads_and_writes(self):
        [path] = self.placeholders({"direct.bin": 3 * 4096 + 100})
        code, out, err, fetches = self.run_program(["dd", "if=" + path, "bs=4096", "iflag=direct", "status=none"])
        self.assertEqual((code, out, len(fetches)), (0, self.contents[path], 1), err)
        target = os.path.join(self.root, "made.bin")
        code, _, err, _ = self.run_program(["dd", "if=/dev/zero", "of=" + target, "bs=4096", "count=4", "oflag=direct",
                                            "status=none"])
        self.assertEqual((code, os.path.getsize(target)), (0, 16384), err)
        code, _, err, _ = self.run_program(["dd", "if=/dev/zero", "of=" + path, "bs=4096", "count=1", "seek=1",
                                            "oflag=direct", "conv=notrunc", "status=none"])
        self.assertEqual(code, 0, err)
        content = self.contents[path]
        self.assertEqual(self.read(path)[0], content[:4096] + bytes(4096) + content[8192:])

    def test_fallocate_passes_through(self):
        punched, zeroed, kept = self.placeholders({"punched.bin": 5 * 4096, "zeroed.bin": 3 * 4096, "kept.bin": 5000})
        for argv in (["fallocate", "-p", "-o", "4096", "-l", "4096", punched],
                     ["fallocate", "-z", "-o", "100", "-l", "20000", zeroed],
                     ["fallocate", "-n", "-l", "1000000", kept],
                     ["fallocate", "-l", "100000", os.path.join(self.root, "new.bin")]):
            code, _, err, _ = self.run_program(argv)
            self.assertEqual(code, 0, (argv, err))
        c = self.contents
        self.assertEqual(self.read(punched)[0], c[punched][:4096] + bytes(4096) + c[punched][8192:])
        self.assertEqual(self.read(zeroed)[0], c[zeroed][:100] + bytes(20000))
        self.assertEqual({k: self.attrs(kept)[k] for k in ("onlineOnly", "inSync")},
                         {"onlineOnly": True, "inSync": True})  # allocation alone changes nothing
        self.assertEqual(self.read(kept)[0], c[kept])
        self.assertEqual(os.path.getsize(os.path.join(self.root, "new.bin")), 100000)
        # Bytes past the end are nothing of the file's: a hole punched there is not content, and a
        # later size from the store is fetched whole.
        [grown] = self.placeholders({"grown.bin": 0})
        self.assertEqual(self.run_program(["fallocate", "-p", "-o", "0", "-l", "8192", grown])[0], 0)
        self.contents[grown] = self.rng.randbytes(6000)
        self.assertEqual(self.p.request("update", path=grown, size=6000)["ok"], True)
        out, fetches = self.read(grown)
        self.assertEqual((out, len(fetches)), (self.contents[grown], 1))

    def test_files_made_by_another_user_are_theirs(self):
        os.chmod(self.tmp, 0o711)  # the user may pass through to the root
        shared = os.path.join(self.root, "shared")
        os.mkdir(shared)
        os.chmod(shared, 0o777)
        script = ("import os,sys\nd=sys.argv[1]\nos.umask(0o002)\nos.mkdir(d+'/dir')\nopen(d+'/file','w').write('x')\n"
                  "os.symlink('file',d+'/link')\nos.chmod(d+'/file',0o600)\n")
        self.python(script, shared, user=USER)
        for name in ("dir", "file", "link"):
            st = os.lstat(os.path.join(shared, name))
            self.assertEqual((st.st_uid, st.st_gid), (USER, USER), name)
        self.assertEqual(os.stat(os.path.join(shared, "dir")).st_mode & 0o777, 0o775)  # its umask, not ours
        self.assertEqual(os.stat(os.path.join(shared, "file")).st_mode & 0o777, 0o600)

    def test_roundabout_paths_reach_files_beneath_the_mount(self):
        os.mkdir(os.path.join(self.root, "sub"))
        paths = self.placeholders({"a.bin": 5000, "b.bin": 5000, "c.bin": 5000})
        for path, spelled in zip(paths, (self.root + "/./a.bin", self.root + "//b.bin", self.root + "/sub/../c.bin")):
            seq = self.p._seq = self.p._seq + 1
            self.p.send({"cmd": "hydrate", "seq": seq, "path": spelled})
            fetch = self.p.next_event("fetch")
            self.assertEqual(fetch["path"], os.path.realpath(path))
            self.answer(fetch, self.contents[path], MIB)
            self.assertEqual(self.p.wait_seq(seq)["result"], {}, spelled)
            self.assertFalse(self.attrs(spelled)["onlineOnly"], spelled)

    def test_what_another_program_wrote_while_nothing_served_is_kept(self):
        appended, replaced = self.placeholders({"appended.log": 10000, "replaced.txt": 10000})
        self.assertEqual(self.p.request("disconnect")["result"], {})
        with open(appended, "ab") as f:  # beneath: the guard withholds reading, not writing
            f.write(b"local tail")
        with open(replaced, "wb") as f:
            f.write(b"new and short")
        self.assertEqual(self.p.request("connect", root=self.root)["result"], {})
        out, fetches = self.read(appended)
        self.assertEqual((out, spans(fetches)), (self.contents[appended] + b"local tail", [(0, 10000)]))
        self.assertEqual(self.read(replaced), (b"new and short", []))
        for path in (appended, replaced):
            attrs = self.attrs(path)
            self.assertEqual((attrs["onlineOnly"], attrs["inSync"]), (False, False), path)


class Failures(Programs):
    settings = {"fetchTimeoutMs": 1500}

    def test_one_failure_one_fetch(self):
        failed, late = self.placeholders({"failed.bin": 300000, "late.bin": 300000})
        code, _, err, fetches = self.run_program(["cat", failed], fail={os.path.realpath(failed)})
        self.assertEqual((code != 0, len(fetches)), (True, 1), err)
        started = time.monotonic()
        code = subprocess.run(["cat", late], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=20).returncode
        self.assertNotEqual(code, 0)
        self.assertLess(time.monotonic() - started, 2 * 1.5)  # one time-out, not two
        self.assertEqual(len(self.p.next_event("cancel")["reqs"]), 1)
        self.assertEqual(self.p.request("info")["ok"], True)  # every event of the read is in by now
        events = [e["event"] for e in self.p.pending_events if e.get("path") == os.path.realpath(late)]
        self.assertEqual(events.count("fetch"), 1, events)

    def test_nothing_reaches_standard_error_when_input_ends_during_reads(self):
        [path] = self.placeholders({"pending.bin": 100000})
        reader = subprocess.Popen(["cat", path], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.p.next_event("fetch")
        seq = self.p._seq = self.p._seq + 1
        self.p.send({"cmd": "hydrate", "seq": seq, "path": path})
        self.assertEqual(self.p.finish()[0], 0)
        reader.wait(timeout=20)
        self.assertEqual(self.p.proc.stderr.read(), b"")
        self.assertFalse(self.mounted())


class Recovery(Programs):
    def test_a_killed_programs_mount_is_recovered_before_any_command(self):
        [path] = self.placeholders({"kept.bin": 100})
        state_dir = self.p.state_dir
        self.p.proc.kill()
        self.p.proc.wait()
        second = Program(state_dir=state_dir)
        self.addCleanup(second.kill)
        folder = os.path.join(self.root, "More")
        self.assertEqual(second.request("create", items=[{"dir": self.root, "name": "More", "folder": True}])["result"],
                         {"failed": []})
        self.assertTrue(os.path.isdir(folder))
        entries = second.request("scan", root=self.root)["result"]
        self.assertEqual(sorted(os.path.basename(e["path"]) for e in entries["onlineOnly"]), ["kept.bin"])

    def test_more_folders_than_descriptors(self):
        resource.prlimit(self.p.proc.pid, resource.RLIMIT_NOFILE, (256, 256))
        items = [{"dir": self.root, "name": "d%03d" % i, "folder": True} for i in range(600)]
        self.assertEqual(self.p.request("create", items=items)["result"], {"failed": []})
        deep = self.root
        for level in range(40):
            deep = os.path.join(deep, "n%02d" % level)
        os.makedirs(deep)
        [path] = self.placeholders({"deep.bin": 5000}, folder=os.path.relpath(deep, self.root))
        code, out, err, _ = self.run_program(["find", self.root, "-type", "d"])
        self.assertEqual((code, len(out.split())), (0, 1 + 600 + 40), err)
        code, out, err, _ = self.run_program(["ls", "-lR", self.root])
        self.assertEqual(code, 0, err)
        self.assertEqual(self.read(path)[0], self.contents[path])


class SaveByReplacement(Programs):
    def setUp(self):
        super().setUp()
        self.assertEqual(self.p.request("disconnect")["result"], {})
        self.assertEqual(self.p.request("connect", root=self.root, watch=True)["result"], {})

    def test_a_rename_onto_a_placeholder_names_the_identity_it_replaced(self):
        [path] = self.placeholders({"notes.txt": 200})
        self.assertEqual(self.run_program(["sed", "-i", "s/./x/", path])[0], 0)
        renamed = self.p.next_event("renamed")
        self.assertEqual((renamed["path"], renamed["replacedIdentity"]), (os.path.realpath(path), "notes.txt"))
        self.assertIsNone(self.attrs(path)["identity"])  # a plain file: the edit is the parent's to adopt
        # A rename onto a plain file says nothing of an identity.
        with open(os.path.join(self.root, "new.txt"), "w") as f:
            f.write("x")
        os.rename(os.path.join(self.root, "new.txt"), path)
        self.assertNotIn("replacedIdentity", self.p.next_event("renamed"))


def load_tests(loader, tests, pattern):
    suite = unittest.TestSuite()
    for cls in (ProgramsThroughTheMount, Failures, Recovery, SaveByReplacement):
        suite.addTests(cls(n) for n in vars(cls) if n.startswith("test_"))
    return suite


if __name__ == "__main__":
    unittest.main()
