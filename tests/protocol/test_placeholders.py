"""Placeholder commands through the real program: create, scan, attrs, pin, dehydrate, adopt.

Tests that need a sync root register one in the test's own state directory; they run on the
Linux platform (the Windows build's Cloud Files calls are covered against the cldapi.dll double in
test_windows_platform.py). Queries of paths outside any sync root run on both platforms.
"""

import os
import subprocess
import unittest

from harness import ProgramTest, on_linux, on_windows

NOT_BUILT = "0x80004001"
EMPTY_SCAN = {"onlineOnly": [], "pinned": [], "unpinned": []}

# Texts of the codes the Linux platform answers with (Windows' own English texts).
ALREADY_EXISTS = "Cannot create a file when that file already exists. (0x800700B7)"
INVALID_NAME = "The filename, directory name, or volume label syntax is incorrect. (0x8007007B)"
INVALID_ARG = "The parameter is incorrect. (0x80070057)"
PATH_NOT_FOUND = "The system cannot find the path specified. (0x80070003)"
NOT_UNDER_SYNC_ROOT = "The operation is only supported on files under a cloud sync root. (0x80070186)"


def sep():
    return "\\" if on_windows() else "/"


def rel(*parts):
    return sep().join(parts)


class PlaceholderTest(ProgramTest):
    def ok(self, cmd, **args):
        answer = self.p.request(cmd, **args)
        self.assertTrue(answer["ok"], answer)
        return answer["result"]

    def fails(self, cmd, code, **args):
        answer = self.p.request(cmd, **args)
        self.assertFalse(answer["ok"], answer)
        self.assertEqual(answer["code"], code, answer)
        return answer["error"]

    def make_root(self):
        """A registered sync root in the test's directory; skips where "register" is not built."""
        if not on_linux():
            self.skipTest("needs a sync root of the Linux platform")
        root = self.native("root")
        os.makedirs(root)
        answer = self.p.request("register", root=root, id="zembra-test-root")
        if not answer["ok"] and answer["code"] == NOT_BUILT:
            self.skipTest('"register" is not built in this tree yet')
        self.assertTrue(answer["ok"], answer)
        return root

    def native(self, *parts):
        """A path in the test's work directory as this test process spells it (self.path() is the
        program's spelling, which differs under Wine)."""
        return os.path.join(self.tmp, *parts)

    def write(self, path, data=b""):
        with open(path, "wb") as f:
            f.write(data)


class CreateAndList(PlaceholderTest):
    def create_tree(self, root):
        docs = os.path.join(root, "docs")
        sub = os.path.join(docs, "sub")
        media = os.path.join(root, "media")
        # Interleaved directories; each directory is created by an earlier group than its items.
        items = [
            {"dir": root, "name": "docs", "folder": True, "identity": "f-docs", "mtimeMs": 1700000000123},
            {"dir": docs, "name": "a.txt", "identity": "id-a", "size": 5000, "mtimeMs": 1700000000123},
            {"dir": root, "name": "top.txt", "identity": "id-top", "size": 10},
            {"dir": docs, "name": "b.txt", "identity": "id-\u00e9", "size": 1},
            {"dir": root, "name": "media", "folder": True, "size": 5000},
            {"dir": media, "name": "c.bin", "identity": "id-c", "size": 70000},
            {"dir": docs, "name": "sub", "folder": True, "identity": "f-sub"},
            {"dir": sub, "name": "d.txt", "identity": "id-d", "size": 3},
            {"dir": docs, "name": "empty.txt", "identity": "id-empty", "size": 0},
        ]
        self.assertEqual(self.ok("create", items=items), {"failed": []})
        return docs, sub, media

    def test_created_tree_is_listed_in_walk_order(self):
        root = self.make_root()
        docs, sub, media = self.create_tree(root)
        self.assertEqual(sorted(os.listdir(docs)), ["a.txt", "b.txt", "empty.txt", "sub"])
        self.assertEqual(os.path.getsize(os.path.join(media, "c.bin")), 70000)
        self.assertEqual(int(os.path.getmtime(os.path.join(docs, "a.txt")) * 1000), 1700000000123)

        # Root entries first, then the last subdirectory's subtree (media), then docs and its sub.
        # An empty file's content is wholly present, so it is not online-only.
        self.assertEqual(self.ok("scan", root=root), {
            "onlineOnly": [
                {"identity": "id-top", "path": "top.txt"},
                {"identity": "id-c", "path": rel("media", "c.bin")},
                {"identity": "id-a", "path": rel("docs", "a.txt")},
                {"identity": "id-\u00e9", "path": rel("docs", "b.txt")},
                {"identity": "id-d", "path": rel("docs", "sub", "d.txt")},
            ],
            "pinned": [],
            "unpinned": [],
        })
        # A root spelled with a trailing separator lists the same relative paths.
        self.assertEqual(self.ok("scan", root=root + sep())["onlineOnly"][1]["path"], rel("media", "c.bin"))

        file_attrs = self.ok("attrs", path=os.path.join(docs, "a.txt"))
        self.assertEqual(file_attrs, {"attributes": 0x20 | 0x400 | 0x400000, "identity": "id-a", "inSync": True,
                                      "onlineOnly": True, "pinned": False, "unpinned": False})
        folder_attrs = self.ok("attrs", path=docs)
        self.assertEqual(folder_attrs, {"attributes": 0x10 | 0x400, "identity": "f-docs", "inSync": True,
                                        "onlineOnly": False, "pinned": False, "unpinned": False})
        self.assertEqual(self.ok("attrs", path=media)["identity"], "")
        self.assertFalse(self.ok("attrs", path=os.path.join(docs, "empty.txt"))["onlineOnly"])

    def test_failures_are_reported_per_item_in_group_order(self):
        root = self.make_root()
        self.write(os.path.join(root, "exists.txt"), b"x")
        missing = os.path.join(root, "missing")
        outside = self.native("outside")
        os.makedirs(outside)
        items = [
            {"dir": missing, "name": "m1"},
            {"dir": root, "name": "exists.txt"},
            {"dir": outside, "name": "o1", "identity": "x"},
            {"dir": root, "name": "fine.txt", "size": 1},
            {"dir": missing, "name": 7},
            {"dir": root},
            {"dir": root, "name": "negative.bin", "size": -1},
            {"dir": root, "name": "folder", "folder": True, "size": -1},
            {"dir": root, "name": "ok.bin", "size": 1024.0},
            {"name": "nodir"},
        ]
        result = self.ok("create", items=items)
        self.assertEqual(result["failed"], [
            {"dir": missing, "error": PATH_NOT_FOUND, "name": "m1"},
            {"dir": missing, "error": PATH_NOT_FOUND, "name": 7},
            {"dir": root, "error": ALREADY_EXISTS, "name": "exists.txt"},
            {"dir": root, "error": INVALID_NAME, "name": None},
            {"dir": root, "error": INVALID_ARG, "name": "negative.bin"},
            {"dir": outside, "error": NOT_UNDER_SYNC_ROOT, "name": "o1"},
            {"dir": "", "error": result["failed"][6]["error"], "name": "nodir"},
        ])
        self.assertTrue(result["failed"][6]["error"].endswith(")"))
        # The items that did not fail exist; a folder's size is never read; 1024.0 is size 0.
        self.assertTrue(os.path.isdir(os.path.join(root, "folder")))
        self.assertEqual(os.path.getsize(os.path.join(root, "fine.txt")), 1)
        self.assertEqual(os.path.getsize(os.path.join(root, "ok.bin")), 0)
        self.assertEqual(os.listdir(outside), [])

    def test_what_a_creation_cut_short_leaves_is_never_listed_and_goes_at_the_next_create(self):
        root = self.make_root()
        ended = subprocess.Popen(["true"])
        ended.wait()
        # A placeholder file and a folder under construction by a process that has ended, and one
        # of a process that still runs (this one).
        names = [".zcf-create-%d-1" % ended.pid, ".zcf-create-%d-2" % ended.pid, ".zcf-create-%d-3" % os.getpid()]
        for name in (names[0], names[2]):
            with open(os.path.join(root, name), "wb") as f:
                f.truncate(5000)
        os.mkdir(os.path.join(root, names[1]))
        for name in names:
            os.setxattr(os.path.join(root, name), "user.zcf.state", b"v1;sync=1;pop=0;present=")
        self.assertEqual(self.ok("scan", root=root), EMPTY_SCAN)

        self.assertEqual(self.ok("create", items=[{"dir": root, "name": "new.txt", "identity": "n", "size": 10}]),
                         {"failed": []})
        self.assertEqual(sorted(os.listdir(root)), [names[2], "new.txt"])
        self.assertEqual(self.ok("scan", root=root)["onlineOnly"], [{"identity": "n", "path": "new.txt"}])

    def test_pin_is_recursive_and_seen_by_scan(self):
        root = self.make_root()
        docs, sub, media = self.create_tree(root)
        self.assertEqual(self.ok("pin", path=docs, state="pinned"), {})
        self.assertEqual(self.ok("pin", path=media, state="unpinned"), {})
        listing = self.ok("scan", root=root)
        self.assertEqual(listing["pinned"], ["docs", rel("docs", "a.txt"), rel("docs", "b.txt"),
                                             rel("docs", "empty.txt"), rel("docs", "sub"),
                                             rel("docs", "sub", "d.txt")])
        self.assertEqual(listing["unpinned"], ["media", rel("media", "c.bin")])
        # Pinned online-only files are listed twice: pinned, and online-only.
        self.assertIn({"identity": "id-d", "path": rel("docs", "sub", "d.txt")}, listing["onlineOnly"])
        attrs = self.ok("attrs", path=os.path.join(sub, "d.txt"))
        self.assertTrue(attrs["pinned"])
        self.assertFalse(attrs["unpinned"])

        # Any other state text, in another case too, returns the tree to the unspecified state.
        self.assertEqual(self.ok("pin", path=docs, state="Pinned"), {})
        listing = self.ok("scan", root=root)
        self.assertEqual(listing["pinned"], [])
        self.assertEqual(listing["unpinned"], ["media", rel("media", "c.bin")])

    def test_links_are_neither_listed_nor_walked(self):
        root = self.make_root()
        docs, sub, media = self.create_tree(root)
        os.symlink(root, os.path.join(sub, "loop"))
        os.symlink(media, os.path.join(docs, "to-media"))
        os.symlink(os.path.join(docs, "a.txt"), os.path.join(root, "a-link.txt"))
        self.assertEqual(self.ok("pin", path=docs, state="pinned"), {})
        listing = self.ok("scan", root=root)
        every_path = listing["pinned"] + listing["unpinned"] + [e["path"] for e in listing["onlineOnly"]]
        self.assertEqual([p for p in every_path if "loop" in p or "to-media" in p or "a-link" in p], [])
        self.assertEqual(len(listing["onlineOnly"]), 5)


class StateChanges(PlaceholderTest):
    def test_adopt_then_dehydrate_a_plain_file(self):
        root = self.make_root()
        plain = os.path.join(root, "plain.txt")
        self.write(plain, b"hello world")
        before = self.ok("attrs", path=plain)
        self.assertEqual((before["inSync"], before["identity"], before["attributes"]), (False, None, 0x20))

        self.assertEqual(self.ok("adopt", path=plain, identity="p-1"), {})
        adopted = self.ok("attrs", path=plain)
        self.assertEqual((adopted["inSync"], adopted["identity"], adopted["onlineOnly"]), (True, "p-1", False))
        with open(plain, "rb") as f:
            self.assertEqual(f.read(), b"hello world")  # content stays in place
        self.assertEqual(self.ok("scan", root=root), EMPTY_SCAN)

        self.assertEqual(self.ok("dehydrate", path=plain), {})
        dehydrated = self.ok("attrs", path=plain)
        self.assertEqual((dehydrated["inSync"], dehydrated["identity"], dehydrated["onlineOnly"]), (True, "p-1", True))
        self.assertEqual(os.path.getsize(plain), 11)
        self.assertEqual(self.ok("scan", root=root)["onlineOnly"], [{"identity": "p-1", "path": "plain.txt"}])

    def test_adopt_of_a_placeholder_replaces_its_identity_and_keeps_its_state(self):
        root = self.make_root()
        self.ok("create", items=[{"dir": root, "name": "ph.txt", "identity": "old", "size": 100}])
        path = os.path.join(root, "ph.txt")
        self.assertEqual(self.ok("adopt", path=path, identity="new"), {})
        attrs = self.ok("attrs", path=path)
        self.assertEqual((attrs["identity"], attrs["inSync"], attrs["onlineOnly"]), ("new", True, True))
        # Without "identity" the stored identity becomes empty.
        self.assertEqual(self.ok("adopt", path=path), {})
        self.assertEqual(self.ok("attrs", path=path)["identity"], "")

    def test_adopt_of_a_directory_and_without_identity(self):
        root = self.make_root()
        folder = os.path.join(root, "plain-dir")
        os.makedirs(folder)
        self.write(os.path.join(folder, "inner.txt"), b"x")
        self.assertEqual(self.ok("adopt", path=folder), {})
        attrs = self.ok("attrs", path=folder)
        self.assertEqual((attrs["identity"], attrs["inSync"], attrs["attributes"]), ("", True, 0x10 | 0x400))
        self.assertIsNone(self.ok("attrs", path=os.path.join(folder, "inner.txt"))["identity"])

    def test_dehydrate_refusals(self):
        root = self.make_root()
        items = [{"dir": root, "name": "f.txt", "identity": "f", "size": 10},
                 {"dir": root, "name": "d", "folder": True}]
        self.assertEqual(self.ok("create", items=items), {"failed": []})
        self.write(os.path.join(root, "plain.txt"), b"data")
        self.assertEqual(self.ok("pin", path=os.path.join(root, "f.txt"), state="pinned"), {})
        self.assertEqual(self.fails("dehydrate", "0x80070188", path=os.path.join(root, "f.txt")),
                         "The operation cannot be performed on pinned cloud files. (0x80070188)")
        self.fails("dehydrate", "0x8007017c", path=os.path.join(root, "d"))
        self.fails("dehydrate", "0x80070178", path=os.path.join(root, "plain.txt"))
        self.fails("dehydrate", "0x80070002", path=os.path.join(root, "missing.txt"))
        # Unpinned again, the online-only placeholder dehydrates (nothing to discard).
        self.assertEqual(self.ok("pin", path=os.path.join(root, "f.txt"), state="unpinned"), {})
        self.assertEqual(self.ok("dehydrate", path=os.path.join(root, "f.txt")), {})

    def test_commands_outside_a_sync_root_fail_with_the_platforms_code(self):
        if not on_linux():
            self.skipTest("codes of the Linux platform")
        plain = self.native("plain.txt")
        self.write(plain, b"x")
        self.fails("pin", "0x80070186", path=plain, state="pinned")
        self.fails("dehydrate", "0x80070186", path=plain)
        self.fails("adopt", "0x80070186", path=plain, identity="x")
        self.assertEqual(self.ok("attrs", path=plain)["identity"], None)


class Queries(PlaceholderTest):
    def test_missing_empty_and_file_paths(self):
        self.write(self.native("plain.txt"), b"x")
        plain = self.path("plain.txt")
        self.assertNotEqual(self.ok("attrs", path=plain)["attributes"], 4294967295)
        for root in (self.path("missing"), "", plain, self.path("missing", "deeper")):
            self.assertEqual(self.ok("scan", root=root), EMPTY_SCAN, root)
        self.assertEqual(self.ok("scan"), EMPTY_SCAN)
        self.assertEqual(self.ok("scan", root=5), EMPTY_SCAN)
        for path in (self.path("missing"), ""):
            self.assertEqual(self.ok("attrs", path=path), {
                "attributes": 4294967295, "identity": None, "inSync": False,
                "onlineOnly": False, "pinned": False, "unpinned": False})

    def test_plain_tree_lists_nothing(self):
        os.makedirs(self.native("tree", "a", "b"))
        self.write(self.native("tree", "a", "b", "f.txt"), b"content")
        self.assertEqual(self.ok("scan", root=self.path("tree")), EMPTY_SCAN)
        attrs = self.ok("attrs", path=self.path("tree", "a"))
        self.assertNotEqual(attrs["attributes"], 4294967295)
        self.assertEqual(attrs["attributes"] & 0x10, 0x10)
        self.assertFalse(attrs["inSync"])
        self.assertIsNone(attrs["identity"])

    def test_pin_dehydrate_and_adopt_of_a_missing_path(self):
        missing = self.path("missing.txt")
        self.fails("pin", "0x80070002", path=missing, state="pinned")
        self.fails("dehydrate", "0x80070002", path=missing)
        if on_linux():
            self.fails("adopt", "0x80070002", path=missing, identity="x")


if __name__ == "__main__":
    unittest.main()
