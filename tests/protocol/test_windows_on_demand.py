"""Folders on demand and confirmed deletes and renames, end to end under Wine: the program against
the cldapi.dll double, which plays what a program does to the sync root (a listing of a folder that
is not filled, a delete, a rename) and calls the program's callbacks as the platform would, then
waits for the program's TRANSFER_PLACEHOLDERS, ACK_DELETE or ACK_RENAME.

Plays are lines in the double's control file (ZCF_CLDAPI_CONTROL); each ends with a "play.end"
record in its log, which says what the program that listed, deleted or renamed would have seen.

Skipped unless ZCF_PLATFORM=windows.
"""

import json
import os
import shutil
import subprocess
import tempfile
import time
import unittest

import test_windows_platform as wine
from test_windows_platform import carries_code, windows_path

TIMEOUT_HR = 0x800701AA  # ERROR_CLOUD_FILE_REQUEST_TIMEOUT
CANCELED_HR = 0x8007018E  # ERROR_CLOUD_FILE_REQUEST_CANCELED
DENIED_HR = 0x8007018B  # ERROR_CLOUD_FILE_ACCESS_DENIED
UNSUCCESSFUL_HR = 0x80070185  # ERROR_CLOUD_FILE_UNSUCCESSFUL


def volume_path(path):
    """A Unix path as callbacks name it under Wine: from the root of drive Z:, without the drive."""
    return path.replace("/", "\\")


def hr(value):
    """A logged HRESULT (signed 32 bits) as its unsigned value."""
    return value & 0xFFFFFFFF


class OnDemand(wine.WineTest):
    """The program against the double in its prefix, with a control file for the plays."""

    @classmethod
    def prefix_path(cls):
        return wine.CLDAPI_PREFIX

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        if not os.path.exists(wine.DOUBLE):
            raise unittest.SkipTest("the cldapi.dll double is not built: " + wine.DOUBLE)
        subprocess.run([wine.PREPARE, wine.CLDAPI_PREFIX, wine.DOUBLE], check=True)

    def calls(self, fn=None):
        if not os.path.exists(self.log):
            return []
        with open(self.log, encoding="utf-8") as lines:
            records = [json.loads(line) for line in lines]
        return [r for r in records if fn is None or r["fn"] == fn]

    def start_playing(self, confirm=None, watch=False, script=None):
        self.work = tempfile.mkdtemp(prefix="zcf-cf-")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.log = os.path.join(self.work, "calls.jsonl")
        self.control = os.path.join(self.work, "plays.jsonl")
        open(self.control, "w").close()
        self.start({"ZCF_CLDAPI_LOG": windows_path(self.log), "ZCF_CLDAPI_SCRIPT": json.dumps(script or {}),
                    "ZCF_CLDAPI_CONTROL": windows_path(self.control)})
        self.plays = 0
        args = {"root": windows_path(self.tmp)}
        if confirm is not None:
            args["confirm"] = confirm
        if watch:
            args["watch"] = True
        self.assertEqual(self.answer("connect", **args)["result"], {})

    def play(self, op, **args):
        """Starts a play and returns its id."""
        self.plays += 1
        line = dict(args, op=op, id=self.plays)
        with open(self.control, "a", encoding="utf-8") as out:
            out.write(json.dumps(line) + "\n")
        return self.plays

    def ended(self, play_id, timeout=30):
        """The "play.end" record of a play, once it has ended."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for record in self.calls("play.end"):
                if record.get("id") == play_id:
                    return record
            time.sleep(0.05)
        raise AssertionError("play %d did not end" % play_id)

    def folder(self, name, populated=False, identity=""):
        """An unfilled folder placeholder in the root (the double marks it for its first listing)."""
        reply = self.answer("create", items=[{"dir": windows_path(self.tmp), "name": name, "folder": True,
                                              "populated": populated, "identity": identity}])
        self.assertEqual(reply["result"], {"failed": []})
        os.makedirs(os.path.join(self.tmp, name), exist_ok=True)
        return volume_path(os.path.join(self.tmp, name))


class FoldersOnDemand(OnDemand):
    def test_listing_answered_with_entries_fills_the_folder_and_nested_folders_ask_in_turn(self):
        self.start_playing()
        [connect] = self.calls("CfConnectSyncRoot")
        self.assertEqual([e["type"] for e in connect["table"]], [0, 2, 5, 3, 4, 4294967295])
        docs = self.folder("Docs", identity="docs")
        [created] = self.calls("CfCreatePlaceholders")
        self.assertEqual(created["records"][0]["flags"], 2)  # in sync, not filled

        first = self.play("list", path=docs, pattern="*", identityHex="docs".encode().hex())
        event = self.p.next_event("list")
        self.assertEqual(set(event), {"event", "identity", "path", "pattern", "process", "req"})
        self.assertEqual((event["path"], event["pattern"], event["identity"]), (docs, "*", "docs"))
        self.assertEqual(event["process"], "\\Device\\HarddiskVolume3\\Apps\\explorer.exe")
        reply = self.answer("entries", req=event["req"], items=[
            {"name": "a.txt", "identity": "docs/a.txt", "size": 5000, "mtimeMs": 1700000000123},
            {"name": "Sub", "identity": "docs/sub", "folder": True, "populated": False},
            {"name": "Full", "identity": "docs/full", "folder": True}])
        self.assertEqual(reply, {"ok": True, "result": {"failed": []}, "seq": self.p._seq})
        end = self.ended(first)
        self.assertEqual((end["called"], end["result"], end["entries"]), (True, 0, ["a.txt", "Sub", "Full"]))
        [execute] = self.calls("CfExecute")
        self.assertEqual(execute["info"]["type"], 4)
        self.assertEqual(execute["info"]["requestKey"], end["requestKey"])
        params = execute["params"]
        self.assertEqual((params["paramSize"], params["flags"], params["completionStatus"]), (40, 2, 0))
        self.assertEqual((params["placeholderTotalCount"], params["placeholderCount"]), (3, 3))
        a, sub, full = params["records"]
        self.assertEqual((a["name"], a["attributes"], a["fileSize"], a["flags"]), ("a.txt", 0x80, 5000, 2))
        self.assertEqual(a["identityHex"], "docs/a.txt".encode().hex())
        self.assertEqual((sub["attributes"], sub["flags"]), (0x10, 2))
        self.assertEqual((full["attributes"], full["flags"]), (0x10, 3))

        # Filled: a second listing is the disk's. The nested unfilled folder asks in its turn; the
        # filled one does not.
        again = self.play("list", path=docs)
        self.assertFalse(self.ended(again)["called"])
        nested = self.play("list", path=docs + "\\Sub")
        event = self.p.next_event("list")
        self.assertEqual(event["path"], docs + "\\Sub")
        self.assertEqual(self.answer("entries", req=event["req"])["result"], {"failed": []})
        self.assertEqual(self.ended(nested)["result"], 0)
        self.assertFalse(self.ended(self.play("list", path=docs + "\\Full"))["called"])
        self.assertFalse(self.ended(self.play("list", path=docs + "\\Sub"))["called"])
        self.assertEqual(self.answer("entries", req=event["req"])["result"], {"stale": True})

    def test_children_the_platform_refuses_are_reported_and_the_folder_is_filled_anyway(self):
        self.start_playing(script={"transferResults": [0, "0x800700B7"]})
        docs = self.folder("Docs")
        first = self.play("list", path=docs)
        event = self.p.next_event("list")
        reply = self.answer("entries", req=event["req"], items=[{"name": "a"}, {"name": "a", "size": 3}])
        [failure] = reply["result"]["failed"]
        self.assertEqual((failure["dir"], failure["name"]), (docs, "a"))
        self.assertTrue(carries_code(failure["error"], "0x800700B7"), failure)
        self.assertEqual(self.ended(first)["entries"], ["a"])
        self.assertFalse(self.ended(self.play("list", path=docs))["called"])

    def test_a_failed_listing_leaves_the_folder_to_ask_again(self):
        self.start_playing()
        docs = self.folder("Docs")
        first = self.play("list", path=docs)
        event = self.p.next_event("list")
        self.assertEqual(self.answer("fail", req=event["req"])["result"], {})
        self.assertEqual(hr(self.ended(first)["result"]), UNSUCCESSFUL_HR)
        [execute] = self.calls("CfExecute")
        params = execute["params"]
        self.assertEqual((params["flags"], params["completionStatus"], params["placeholderCount"]), (0, 0xC000CF12, 0))
        self.assertFalse(params["arrayNull"])
        self.assertEqual(self.answer("fail", req=event["req"])["result"], {"stale": True})
        second = self.play("list", path=docs)
        event = self.p.next_event("list")
        self.assertEqual(self.answer("entries", req=event["req"], items=[{"name": "late.txt"}])["result"],
                         {"failed": []})
        self.assertEqual(self.ended(second)["entries"], ["late.txt"])

    def test_a_listing_nobody_answers_times_out_with_a_cancel_and_later_answers_are_stale(self):
        self.start_playing()
        docs = self.folder("Docs")
        first = self.play("list", path=docs, timeoutMs=500)
        event = self.p.next_event("list")
        cancel = self.p.next_event("cancel")
        self.assertEqual((cancel["path"], cancel["reqs"]), (docs, [event["req"]]))
        self.assertEqual(hr(self.ended(first)["result"]), TIMEOUT_HR)
        self.assertEqual(self.answer("entries", req=event["req"], items=[{"name": "a"}])["result"], {"stale": True})
        self.assertEqual(self.calls("CfExecute"), [])

    def test_a_listing_the_program_gives_up_is_cancelled(self):
        self.start_playing()
        docs = self.folder("Docs")
        first = self.play("list", path=docs, cancelAfterMs=300)
        event = self.p.next_event("list")
        cancel = self.p.next_event("cancel")
        self.assertEqual(cancel["reqs"], [event["req"]])
        self.assertEqual(hr(self.ended(first)["result"]), CANCELED_HR)
        self.assertEqual(self.answer("fail", req=event["req"])["result"], {"stale": True})
        # The folder was never filled: the next listing asks again, with a fresh id.
        self.play("list", path=docs)
        self.assertGreater(self.p.next_event("list")["req"], event["req"])

    def test_a_listing_of_ten_thousand_entries(self):
        self.start_playing()
        docs = self.folder("Big")
        first = self.play("list", path=docs)
        event = self.p.next_event("list")
        items = [{"name": "file-%05d.txt" % i, "identity": "big/%d" % i, "size": i} for i in range(10000)]
        started = time.monotonic()
        reply = self.answer("entries", req=event["req"], items=items, timeout=120)
        self.assertEqual(reply["result"], {"failed": []})
        end = self.ended(first, timeout=120)
        self.assertEqual(end["result"], 0)
        self.assertEqual(len(end["entries"]), 10000)
        self.assertEqual(end["entries"][9999], "file-09999.txt")
        [execute] = self.calls("CfExecute")
        self.assertEqual(execute["params"]["placeholderCount"], 10000)
        self.assertEqual(execute["params"]["records"][1234]["fileSize"], 1234)
        self.assertLess(time.monotonic() - started, 60)


class ConfirmedDeletesAndRenames(OnDemand):
    def file(self, name, content=b"x"):
        path = super().file(name, content)
        return path, volume_path(path)

    def test_without_confirm_nothing_is_asked(self):
        self.start_playing()
        path, volume = self.file("a.txt")
        end = self.ended(self.play("delete", path=volume))
        self.assertEqual((end["called"], end["result"]), (False, 0))
        self.assertFalse(os.path.exists(path))
        self.assertEqual(self.calls("CfExecute"), [])

    def test_allowed_and_denied_deletes_and_their_change_events(self):
        self.start_playing(confirm=["delete"], watch=True)
        [connect] = self.calls("CfConnectSyncRoot")
        self.assertEqual([e["type"] for e in connect["table"]], [0, 2, 5, 3, 4, 9, 4294967295])
        kept, kept_volume = self.file("kept.txt")
        gone, gone_volume = self.file("gone.txt")

        first = self.play("delete", path=gone_volume, identityHex="gone".encode().hex())
        event = self.p.next_event("deleting")
        self.assertEqual(set(event), {"event", "folder", "identity", "path", "req"})
        self.assertEqual((event["path"], event["identity"], event["folder"]), (gone_volume, "gone", False))
        self.assertEqual(self.answer("allow", req=event["req"])["result"], {})
        self.assertEqual(self.ended(first)["result"], 0)
        self.assertFalse(os.path.exists(gone))
        self.assertEqual(self.p.next_event("deleted")["path"], gone_volume)

        second = self.play("delete", path=kept_volume)
        event = self.p.next_event("deleting")
        self.assertEqual(self.answer("deny", req=event["req"])["result"], {})
        self.assertEqual(hr(self.ended(second)["result"]), DENIED_HR)
        self.assertTrue(os.path.exists(kept))
        allow, deny = self.calls("CfExecute")
        self.assertEqual(allow["info"]["type"], 6)
        self.assertEqual(allow["params"], {"paramSize": 16, "flags": 0, "completionStatus": 0})
        self.assertEqual(deny["params"], {"paramSize": 16, "flags": 0, "completionStatus": 0xC000CF18})
        self.assertEqual(self.answer("allow", req=event["req"])["result"], {"stale": True})

    def test_a_folder_delete_and_an_undelete(self):
        self.start_playing(confirm=["delete"])
        os.makedirs(os.path.join(self.tmp, "Old"))
        folder = volume_path(os.path.join(self.tmp, "Old"))
        first = self.play("delete", path=folder, folder=True)
        event = self.p.next_event("deleting")
        self.assertTrue(event["folder"])
        self.answer("allow", req=event["req"])
        self.assertEqual(self.ended(first)["result"], 0)
        self.assertFalse(os.path.exists(os.path.join(self.tmp, "Old")))
        # An undelete takes nothing away: let through without asking.
        path, volume = self.file("back.txt")
        end = self.ended(self.play("delete", path=volume, undelete=True))
        self.assertEqual((end["called"], end["result"]), (True, 0))
        self.assertTrue(os.path.exists(path))
        self.answer("info")  # every line written before its answer has been read
        self.assertNotIn("deleting", [e.get("event") for e in self.p.pending_events])
        self.assertEqual(self.calls("CfExecute")[-1]["params"]["completionStatus"], 0)

    def test_allowed_and_denied_renames(self):
        self.start_playing(confirm=["rename"], watch=True)
        [connect] = self.calls("CfConnectSyncRoot")
        self.assertEqual([e["type"] for e in connect["table"]], [0, 2, 5, 3, 4, 11, 4294967295])
        path, volume = self.file("a.txt")
        target = volume_path(os.path.join(self.tmp, "b.txt"))
        first = self.play("rename", path=volume, target=target)
        event = self.p.next_event("renaming")
        self.assertEqual(set(event), {"event", "folder", "identity", "path", "req", "target", "targetInRoot"})
        self.assertEqual((event["path"], event["target"], event["targetInRoot"], event["folder"]),
                         (volume, target, True, False))
        self.assertEqual(self.answer("allow", req=event["req"])["result"], {})
        self.assertEqual(self.ended(first)["result"], 0)
        self.assertTrue(os.path.exists(os.path.join(self.tmp, "b.txt")))
        renamed = self.p.next_event("renamed")
        self.assertEqual((renamed["from"], renamed["path"]), (volume, target))

        # A move out of the root, refused.
        outside = volume_path(os.path.join(self.work, "b.txt"))
        second = self.play("rename", path=target, target=outside, targetInRoot=False)
        event = self.p.next_event("renaming")
        self.assertFalse(event["targetInRoot"])
        self.assertEqual(self.answer("deny", req=event["req"])["result"], {})
        self.assertEqual(hr(self.ended(second)["result"]), DENIED_HR)
        self.assertTrue(os.path.exists(os.path.join(self.tmp, "b.txt")))
        self.assertEqual([c["info"]["type"] for c in self.calls("CfExecute")], [7, 7])

    def test_an_unanswered_delete_fails_after_the_time_out_and_a_late_answer_is_refused(self):
        self.start_playing(confirm=["delete", "rename"])
        path, volume = self.file("slow.txt")
        first = self.play("delete", path=volume, timeoutMs=500)
        event = self.p.next_event("deleting")
        self.assertEqual(hr(self.ended(first)["result"]), TIMEOUT_HR)
        self.assertTrue(os.path.exists(path))
        # The platform no longer knows the request: its refusal, once; then the request is gone.
        self.assert_error(self.answer("allow", req=event["req"]), "0x8007017C")
        self.assertEqual(self.answer("allow", req=event["req"])["result"], {"stale": True})


if __name__ == "__main__":
    unittest.main()
