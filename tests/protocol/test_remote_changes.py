"""Remote changes on the Linux build: "update", "insync", "revert" and "progress" against the
Linux platform, their answers and what "attrs" and later reads show afterwards."""

import os
import threading
import time
import unittest

from harness import Program, on_linux
from test_hydration import Conversation, b64

NOT_IN_SYNC = "0x80070179"
NOT_A_CLOUD_FILE = "0x80070178"
ACCESS_DENIED = "0x8007018b"
REPARSE_POINT = 0x400


@unittest.skipUnless(on_linux(), "drives the Linux platform's Cloud Files rules")
class RemoteChanges(Conversation):
    settings = {"fetchTimeoutMs": 800}

    def ok(self, cmd, **args):
        answer = self.p.request(cmd, **args)
        self.assertTrue(answer["ok"], answer)
        return answer["result"]

    def refused(self, cmd, code, **args):
        answer = self.p.request(cmd, **args)
        self.assertEqual((answer["ok"], answer.get("code")), (False, code), answer)

    def hydrated(self, name, size, identity="id-1"):
        """A placeholder whose whole content has been fetched."""
        path, content = self.place(name, size, identity)
        self.read_all(path, content)
        self.assertTrue(self.attrs(path)["inSync"])  # the program's own writes are no local change
        return path, content

    def read_all(self, path, content, seq="h"):
        """Hydrates `path`, serving `content` to every fetch until the hydration ends."""
        self.hydrate(path, seq)
        while True:
            fetch = self.p.next_event("fetch")
            self.assertEqual(fetch["fileSize"], len(content), fetch)
            self.answer(fetch, content, 65536)
            if fetch["offset"] + fetch["length"] >= len(content):
                break
        self.assertEqual(self.late_answer(seq), {"ok": True, "result": {}, "seq": seq})
        self.assertEqual(self.on_disk(path), content)

    def test_update_with_dehydrate_then_a_read_fetches_the_new_version(self):
        path, _ = self.hydrated("doc.txt", 10000)
        before = os.stat(path).st_mtime_ns
        new = self.rng.randbytes(7000)
        usn = self.ok("update", path=path, identity="id-2", size=len(new), dehydrate=True, inSync=True)["usn"]
        self.assertGreater(usn, 0)
        state = self.attrs(path)
        self.assertEqual((state["identity"], state["inSync"], state["onlineOnly"]), ("id-2", True, True))
        self.assertEqual(os.path.getsize(path), 7000)
        self.assertEqual(os.stat(path).st_mtime_ns, before)  # no time given: the file keeps its own
        self.hydrate(path, "again")
        fetch = self.p.next_event("fetch")
        self.assertEqual((fetch["identity"], fetch["offset"], fetch["length"], fetch["fileSize"]),
                         ("id-2", 0, 8192, 7000))
        self.answer(fetch, new, 65536)
        self.assertEqual(self.late_answer("again")["ok"], True)
        self.assertEqual(self.on_disk(path), new)

    def test_a_local_write_takes_the_file_out_of_sync_and_guards_refuse(self):
        path, content = self.hydrated("edit.txt", 5000)
        usn = self.ok("insync", path=path, inSync=True)["usn"]
        with open(path, "r+b") as f:  # an edit that keeps the size
            f.write(b"local edit")
        self.assertFalse(self.attrs(path)["inSync"])
        self.refused("update", NOT_IN_SYNC, path=path, identity="id-9", ifInSync=True)
        self.refused("update", NOT_IN_SYNC, path=path, identity="id-9", usn=usn)
        self.refused("insync", NOT_IN_SYNC, path=path, inSync=True, usn=usn)
        # Dropping the content would lose the edit.
        self.refused("update", NOT_IN_SYNC, path=path, dehydrate=True)
        self.assertEqual(self.attrs(path)["identity"], "id-1")
        self.assertEqual(self.on_disk(path), b"local edit" + content[10:])
        # After the upload: marked in sync without a condition, then guarded by the new number.
        usn = self.ok("insync", path=path, inSync=True)["usn"]
        self.assertTrue(self.attrs(path)["inSync"])
        self.assertGreater(self.ok("update", path=path, identity="id-3", ifInSync=True, usn=usn)["usn"], usn)

    def test_every_change_moves_the_usn(self):
        path, content = self.place("n.bin", 9000)
        usn = self.ok("insync", path=path, inSync=True)["usn"]

        def write_locally():
            with open(path, "r+b") as f:
                f.write(b"x")

        changes = [
            ("a pin", lambda: self.ok("pin", path=path, state="pinned")),
            ("an unpin", lambda: self.ok("pin", path=path, state="unpinned")),
            ("a hydration", lambda: self.read_all(path, content)),
            ("a local write", write_locally),
            ("a dehydration", lambda: self.ok("dehydrate", path=path)),
            ("an update", lambda: self.ok("update", path=path, mtimeMs=1700000000000)),
            ("an in-sync mark", lambda: self.ok("insync", path=path, inSync=True)),
        ]
        for what, change in changes:
            change()
            self.refused("update", NOT_IN_SYNC, path=path, identity="stale", usn=usn)
            self.refused("insync", NOT_IN_SYNC, path=path, inSync=True, usn=usn)
            self.assertNotEqual(self.attrs(path)["identity"], "stale", what)
            # The number the program answers now guards the next change.
            fresh = self.ok("update", path=path, inSync=True)["usn"]
            self.assertGreater(fresh, usn, what)
            self.assertEqual(self.ok("insync", path=path, inSync=True, usn=fresh)["usn"] > fresh, True, what)
            usn = self.ok("update", path=path, inSync=True)["usn"]

    def test_pin_state_survives_every_kind_of_update(self):
        for pin in ("pinned", "unpinned"):
            path, content = self.hydrated(pin + ".bin", 6000)
            self.ok("pin", path=path, state=pin)
            for update in ({"identity": "id-2"}, {"size": 6000, "mtimeMs": 1600000000000}, {"inSync": False},
                           {"inSync": True}, {"identity": ""}, {"dehydrate": True}):
                self.ok("update", path=path, **update)
                state = self.attrs(path)
                self.assertEqual((state["pinned"], state["unpinned"]), (pin == "pinned", pin == "unpinned"),
                                 (pin, update))
            self.assertTrue(self.attrs(path)["onlineOnly"])
            self.read_all(path, content, seq=pin)  # a pinned file is hydrated again by the parent

    def test_progress_keeps_a_slow_fetch_alive_past_the_time_out(self):
        path, content = self.place("slow.bin", 20000)
        self.hydrate(path, "slow")
        fetch = self.p.next_event("fetch")
        self.assertEqual(self.ok("progress", req=fetch["req"], total=20000, completed=0), {})
        self.refused("progress", "0x80070057", req=fetch["req"], total=5, completed=6)
        started = time.monotonic()
        done = 0
        while time.monotonic() - started < 2.5:  # three time-outs and more
            time.sleep(0.2)
            done = min(done + 1000, 19000)
            self.assertEqual(self.ok("progress", req=fetch["req"], total=20000, completed=done), {})
        self.assertEqual([e for e in self.p.pending_events if e.get("event") == "cancel"], [])
        self.answer(fetch, content, 65536)
        self.assertEqual(self.late_answer("slow"), {"ok": True, "result": {}, "seq": "slow"})
        self.assertEqual(self.ok("progress", req=fetch["req"], total=20000, completed=20000), {"stale": True})

    def test_revert_of_a_partly_present_file_is_refused_and_loses_nothing(self):
        path, content = self.place("part.bin", 12288)
        self.hydrate(path, "p")
        fetch = self.p.next_event("fetch")
        self.assertEqual(self.data(fetch["req"], content, 0, 4096)["result"], {})
        self.ok("fail", req=fetch["req"])
        self.assertFalse(self.late_answer("p")["ok"])
        self.refused("revert", ACCESS_DENIED, path=path)
        state = self.attrs(path)
        self.assertEqual((state["identity"], state["onlineOnly"]), ("id-1", True))
        # Still a placeholder with its first 4 KiB: the next read fetches only the rest.
        self.hydrate(path, "rest")
        fetch = self.p.next_event("fetch")
        self.assertEqual((fetch["offset"], fetch["length"]), (4096, 8192))
        self.answer(fetch, content, 65536)
        self.assertEqual(self.late_answer("rest")["ok"], True)
        self.assertEqual(self.on_disk(path), content)
        self.assertEqual(self.ok("revert", path=path), {})
        self.assertEqual(self.on_disk(path), content)

    def test_revert_of_a_folder_of_hydrated_files(self):
        self.assertEqual(self.p.request("create", items=[{"dir": self.root, "name": "F", "folder": True,
                                                          "identity": "f"}])["result"], {"failed": []})
        folder = os.path.join(self.root, "F")
        files = []
        for name in ("a.txt", "b.txt"):
            self.assertEqual(self.p.request("create", items=[{"dir": folder, "name": name, "size": 3000,
                                                              "identity": name}])["result"], {"failed": []})
            content = self.rng.randbytes(3000)
            self.read_all(os.path.join(folder, name), content, seq=name)
            files.append((os.path.join(folder, name), content))
        self.ok("pin", path=folder, state="pinned")
        for path in [p for p, _ in files] + [folder]:
            self.assertEqual(self.ok("revert", path=path), {})
            state = self.attrs(path)
            self.assertEqual((state["attributes"] & REPARSE_POINT, state["identity"], state["inSync"],
                              state["pinned"]), (0, None, False, False), path)
            self.refused("revert", NOT_A_CLOUD_FILE, path=path)
            self.refused("insync", NOT_A_CLOUD_FILE, path=path, inSync=True)
        for path, content in files:
            self.assertEqual(self.on_disk(path), content)
        # Ordinary files now: nothing fetches or drops their content.
        self.refused("dehydrate", NOT_A_CLOUD_FILE, path=files[0][0])

    def test_insync_on_a_folder_and_its_refusals(self):
        self.assertEqual(self.p.request("create", items=[{"dir": self.root, "name": "D", "folder": True}])["result"],
                         {"failed": []})
        folder = os.path.join(self.root, "D")
        usn = self.ok("insync", path=folder, inSync=False)["usn"]
        self.assertFalse(self.attrs(folder)["inSync"])
        self.assertGreater(self.ok("update", path=folder, inSync=True, identity="d", usn=usn)["usn"], usn)
        self.assertEqual((self.attrs(folder)["inSync"], self.attrs(folder)["identity"]), (True, "d"))
        self.refused("update", "0x8007017c", path=folder, dehydrate=True)  # folders hold no content
        plain = os.path.join(self.root, "plain.txt")
        with open(plain, "wb") as f:
            f.write(b"plain")
        self.refused("insync", NOT_A_CLOUD_FILE, path=plain, inSync=True)
        self.refused("update", NOT_A_CLOUD_FILE, path=plain, inSync=True)


@unittest.skipUnless(on_linux(), "two programs share the platform's state on disk")
class SeenFromAnotherProgram(Conversation):
    settings = {"frontEnd": "simulated"}  # both programs on the raw files

    def test_a_file_being_hydrated_never_reads_as_changed_locally(self):
        other = Program(state_dir=self.p.state_dir)
        self.addCleanup(other.kill)
        size = 4 * 1024 * 1024
        path, content = self.place("big.bin", size)
        seen = set()
        stop = threading.Event()

        def poll():
            while not stop.is_set():
                seen.add(other.request("attrs", path=path)["result"]["inSync"])

        poller = threading.Thread(target=poll)
        poller.start()
        try:
            self.hydrate(path, "h")
            self.answer(self.p.next_event("fetch"), content, 16384)
            self.assertEqual(self.late_answer("h")["ok"], True)
        finally:
            stop.set()
            poller.join()
        self.assertEqual(seen, {True})
        self.assertEqual(self.on_disk(path), content)


if __name__ == "__main__":
    unittest.main()
