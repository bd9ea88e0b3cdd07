"""Change events of the Windows build under Wine, against the cldapi.dll double (for "connect"):
ReadDirectoryChangesW on real files changed in the prefix's drive Z:. Wine has no
ReadDirectoryChangesExW (the plain records are used), stores no pin attributes, and reports nothing
inside folders that existed before the watch began (nor what is made in a new folder before Wine
has seen the folder made), so these tests change the root's own entries and a new folder's.
Skipped unless ZCF_PLATFORM=windows."""

import os
import queue
import signal
import unittest

from harness import stop
from test_windows_platform import WithCldapiDouble, windows_path

QUIET = 1.0


def load_tests(loader, tests, pattern):
    return unittest.TestSuite(WineWatch(name) for name in vars(WineWatch) if name.startswith("test_"))


class WineWatch(WithCldapiDouble):
    def setUp(self):
        self.start_with()
        self.root = os.path.join(self.tmp, "root")
        self.outside = os.path.join(self.tmp, "outside")
        os.makedirs(self.root)
        os.makedirs(self.outside)
        self.assertEqual(self.answer("connect", root=windows_path(self.root), watch=True)["result"], {})

    def event_path(self, *parts):
        """As events name files: from the volume root, without the drive."""
        return windows_path(os.path.join(self.root, *parts))[2:]

    def events(self, count):
        got = [self.p.next_event() for _ in range(count)]
        with self.assertRaises(queue.Empty, msg="one event too many after %r" % got):
            self.p.next_event(timeout=QUIET)
        return got

    def test_changes_to_the_roots_entries(self):
        a, b = os.path.join(self.root, "a.txt"), os.path.join(self.root, "b.txt")
        open(a, "x").close()
        self.assertEqual(self.events(1), [{"event": "created", "folder": False, "path": self.event_path("a.txt")}])
        with open(a, "wb") as out:
            out.write(b"content")
        state = self.answer("attrs", path=windows_path(a))["result"]
        self.assertEqual(self.events(1), [dict(state, event="changed", path=self.event_path("a.txt"))])
        os.chmod(a, 0o444)  # Wine's READONLY
        [event] = self.events(1)
        self.assertEqual((event["event"], event["attributes"] & 1), ("changed", 1))
        os.rename(a, b)
        self.assertEqual(self.events(1), [{"event": "renamed", "from": self.event_path("a.txt"),
                                           "path": self.event_path("b.txt")}])
        os.rename(b, os.path.join(self.outside, "b.txt"))
        self.assertEqual(self.events(1), [{"event": "deleted", "path": self.event_path("b.txt")}])
        os.rename(os.path.join(self.outside, "b.txt"), a)
        self.assertEqual(self.events(1), [{"event": "created", "folder": False, "path": self.event_path("a.txt")}])
        os.mkdir(os.path.join(self.root, "sub"))
        self.assertEqual(self.events(1), [{"event": "created", "folder": True, "path": self.event_path("sub")}])
        # Wine watches a folder made during the watch once it has seen it made (not one made before).
        open(os.path.join(self.root, "sub", "f.txt"), "x").close()
        self.assertEqual(self.events(1), [{"event": "created", "folder": False, "path": self.event_path("sub", "f.txt")}])
        os.chmod(a, 0o644)
        os.remove(a)  # the change waiting for its interval goes with the file
        self.assertEqual(self.events(1), [{"event": "deleted", "path": self.event_path("a.txt")}])
        self.assertEqual(self.answer("disconnect")["result"], {})
        open(a, "x").close()
        self.events(0)

    def test_a_flood_the_buffer_cannot_hold_is_a_rescan(self):
        # Stopped, the program issues no read: the changes pile up beyond the 64 KiB buffer.
        stop(self.p.proc.pid)
        try:
            for i in range(3000):
                open(os.path.join(self.root, "flood-with-a-long-name-%05d.txt" % i), "x").close()
        finally:
            os.kill(self.p.proc.pid, signal.SIGCONT)
        self.assertEqual(self.events(1), [{"event": "rescan", "path": self.event_path()}])


if __name__ == "__main__":
    unittest.main()
