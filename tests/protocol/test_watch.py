"""Change events of a sync root connected with "watch", on the Linux platform: changes made by other
programs (this test) to real files, as inotify reports them. The Windows build's events under
Wine are in test_windows_watch.py."""

import json
import os
import signal
import queue
import unittest

from harness import ProgramTest, on_linux, stop

QUIET = 0.4  # well past the coalescing interval: an event still to come would have come


class WatchTest(ProgramTest):
    watch = True
    settings = None

    def setUp(self):
        if not on_linux():
            self.skipTest("the Linux platform's inotify watch")
        super().setUp()
        if self.settings:
            os.makedirs(os.path.join(self.p.state_dir, "zembra-cloud-files"), exist_ok=True)
            with open(os.path.join(self.p.state_dir, "zembra-cloud-files", "sim.json"), "w") as f:
                json.dump(self.settings, f)
        self.root = os.path.join(self.tmp, "root")
        self.outside = os.path.join(self.tmp, "outside")
        os.makedirs(self.root)
        os.makedirs(self.outside)
        self.ok("register", root=self.root, id="Watch!1")
        self.ok("create", items=[{"dir": self.root, "name": "Docs", "folder": True, "identity": "docs"},
                                 {"dir": self.root + "/Docs", "name": "a.txt", "identity": "a", "size": 10}])
        with open(self.at("own.txt"), "wb") as f:
            f.write(b"local content")
        self.ok("adopt", path=self.at("own.txt"), identity="own")
        self.ok("connect", root=self.root, watch=self.watch)
        self.events(0)  # nothing of what came before the connection

    def ok(self, cmd, **args):
        answer = self.p.request(cmd, **args)
        self.assertTrue(answer["ok"], answer)
        return answer["result"]

    def events(self, count):
        """The next `count` events, then none for a while."""
        got = []
        while len(got) < count:
            event = self.p.next_event()
            if event["event"] != "opened":  # a program's open of a placeholder through the front end
                got.append(event)
        try:
            while True:
                extra = self.p.next_event(timeout=QUIET)
                if extra["event"] != "opened":
                    self.fail("one event too many: %r after %r" % (extra, got))
        except queue.Empty:
            pass
        return got

    def changed(self, path):
        return dict(self.ok("attrs", path=path), event="changed", path=path)

    def at(self, *parts):
        return os.path.join(self.root, *parts)


class Watch(WatchTest):
    def test_pin_and_unpin_from_outside(self):
        a = self.at("Docs", "a.txt")
        for value, pinned, unpinned in ((b"1", True, False), (b"2", False, True)):
            os.setxattr(a, "user.zcf.pin", value)
            [event] = self.events(1)
            self.assertEqual(event, self.changed(a))
            self.assertEqual((event["pinned"], event["unpinned"], event["onlineOnly"], event["inSync"]),
                             (pinned, unpinned, True, True))
        os.removexattr(a, "user.zcf.pin")
        self.assertEqual(self.events(1), [self.changed(a)])

    def test_a_burst_of_writes_is_one_change_that_takes_the_file_out_of_sync(self):
        own = self.at("own.txt")
        with open(own, "ab") as f:
            for i in range(20):
                f.write(b"x")
                f.flush()
        [event] = self.events(1)
        self.assertEqual(event, self.changed(own))
        self.assertEqual((event["inSync"], event["onlineOnly"]), (False, False))

    def test_a_new_folders_files_are_reported_and_watched(self):
        os.makedirs(self.at("sub", "deep"))
        open(self.at("sub", "f1"), "x").close()
        open(self.at("sub", "deep", "f2"), "x").close()
        first, *rest = self.events(4)
        self.assertEqual(first, {"event": "created", "folder": True, "path": self.at("sub")})
        self.assertCountEqual(rest, [{"event": "created", "folder": True, "path": self.at("sub", "deep")},
                                     {"event": "created", "folder": False, "path": self.at("sub", "f1")},
                                     {"event": "created", "folder": False, "path": self.at("sub", "deep", "f2")}])
        os.rename(self.at("sub"), self.at("moved"))
        self.events(1)
        with open(self.at("moved", "deep", "f2"), "wb") as out:
            out.write(b"content")
        self.assertEqual(self.events(1), [self.changed(self.at("moved", "deep", "f2"))])

    def test_the_programs_own_changes_are_reported(self):
        self.ok("create", items=[{"dir": self.root, "name": "P", "folder": True},
                                 {"dir": self.root, "name": "p.txt", "size": 5}])
        self.assertEqual(self.events(2), [{"event": "created", "folder": True, "path": self.at("P")},
                                          {"event": "created", "folder": False, "path": self.at("p.txt")}])
        self.ok("pin", path=self.at("p.txt"), state="pinned")
        self.assertEqual(self.events(1), [self.changed(self.at("p.txt"))])

    def test_no_events_after_disconnect(self):
        self.ok("disconnect")
        open(self.at("after.txt"), "x").close()
        os.setxattr(self.at("Docs", "a.txt"), "user.zcf.pin", b"1")
        self.events(0)


class MovesAcrossTheRoot(WatchTest):
    # A rename into or out of the root: on the raw files. Through the front end the root is a file
    # system of its own, and such a move is a copy and a delete (EXDEV), reported as such.
    settings = {"frontEnd": "simulated"}

    def test_create_rename_move_out_move_in_and_delete(self):
        f, g = self.at("new.txt"), self.at("Docs", "renamed.txt")
        open(f, "x").close()
        self.assertEqual(self.events(1), [{"event": "created", "folder": False, "path": f}])
        os.rename(f, g)
        self.assertEqual(self.events(1), [{"event": "renamed", "from": f, "path": g}])
        os.rename(g, os.path.join(self.outside, "x"))
        self.assertEqual(self.events(1), [{"event": "deleted", "path": g}])
        os.rename(os.path.join(self.outside, "x"), f)
        self.assertEqual(self.events(1), [{"event": "created", "folder": False, "path": f}])
        os.remove(f)
        self.assertEqual(self.events(1), [{"event": "deleted", "path": f}])
        # A folder moved out takes its watch along: what happens in it is no longer reported.
        os.rename(self.at("Docs"), os.path.join(self.outside, "Docs"))
        self.assertEqual(self.events(1), [{"event": "deleted", "path": self.at("Docs")}])
        open(os.path.join(self.outside, "Docs", "later"), "x").close()
        self.events(0)


class WithoutWatch(WatchTest):
    watch = None

    def test_no_events_without_watch(self):
        open(self.at("new.txt"), "x").close()
        os.setxattr(self.at("Docs", "a.txt"), "user.zcf.pin", b"1")
        self.events(0)


class Overflow(WatchTest):
    # The raw files: through the front end, the flood would wait for the stopped program itself.
    settings = {"watchQueueLimit": 8, "frontEnd": "simulated"}

    def test_a_flood_while_the_program_cannot_read_is_one_rescan(self):
        # Stopped, the program cannot take the changes as they come: they pile up beyond the limit.
        stop(self.p.proc.pid)
        try:
            for i in range(50):
                open(self.at("flood-%d" % i), "x").close()
        finally:
            os.kill(self.p.proc.pid, signal.SIGCONT)
        self.assertEqual(self.events(1), [{"event": "rescan", "path": self.root}])
        open(self.at("after.txt"), "x").close()
        self.assertEqual(self.events(1), [{"event": "created", "folder": False, "path": self.at("after.txt")}])


if __name__ == "__main__":
    unittest.main()
