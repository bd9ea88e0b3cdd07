"""The Windows build under Wine against the cldapi.dll double: what "update", "insync", "revert" and
"progress" hand to cldapi.dll and what they answer. Files under Wine carry no pin or online
attributes, so the pin-state handling of "update" is left to the unit tests.
Skipped unless ZCF_PLATFORM=windows."""

import base64
import time
import unittest

from test_windows_platform import WithCldapiDouble, same_path, windows_path


def load_tests(loader, tests, pattern):
    """The tests of this file only: the class takes the double's fixture from WithCldapiDouble."""
    return unittest.TestSuite(RemoteChanges(name) for name in vars(RemoteChanges) if name.startswith("test_"))


class RemoteChanges(WithCldapiDouble):
    def test_update(self):
        self.start_with({"usns": {"CfUpdatePlaceholder": [777, 778]},
                         "results": {"CfUpdatePlaceholder": [0, 0, "0x80070179"]}})
        file = self.file("u.txt", b"0123456789")
        path = windows_path(file)
        self.assertEqual(self.answer("update", path=path, identity="id-2", size=5000, mtimeMs=1700000000123,
                                     inSync=True, ifInSync=True, usn=41)["result"], {"usn": 777})
        # A time alone keeps the size, read from the file; dehydration takes an exclusive handle.
        self.assertEqual(self.answer("update", path=path, mtimeMs=0, identity="", dehydrate=True)["result"],
                         {"usn": 778})
        self.assert_error(self.answer("update", path=path, usn=12), "0x80070179")
        first, second, refused = self.calls("CfUpdatePlaceholder")
        self.assertTrue(same_path(first["handlePath"], file), first)
        t = 133444736001230000
        self.assertEqual(first["metadata"], {"creationTime": t, "lastAccessTime": t, "lastWriteTime": t,
                                             "changeTime": t, "attributes": 0, "fileSize": 5000})
        self.assertEqual((first["identityHex"], first["identityLength"], first["ranges"], first["rangeCount"]),
                         ("id-2".encode().hex(), 4, None, 0))
        self.assertEqual((first["flags"], first["usnIn"], first["usnOut"], first["overlapped"]), (0x3, 41, 777, False))
        self.assertEqual((second["metadata"]["fileSize"], second["metadata"]["lastWriteTime"]), (10, 116444736000000000))
        self.assertEqual((second["identityNull"], second["flags"], second["usnIn"]), (True, 0x24, 0))
        [handle] = self.calls("CfGetWin32HandleFromProtectedHandle")
        self.assertEqual((self.calls("CfOpenFileWithOplock")[0]["flags"], second["handle"]), (3, handle["win32Handle"]))
        self.assertEqual((refused["metadata"], refused["usnIn"], refused["usnOut"]), (None, 12, 12))
        self.assertEqual(self.calls("CfSetPinState"), [])

    def test_insync_and_revert(self):
        self.start_with({"usns": {"CfSetInSyncState": [90, 91]},
                         "results": {"CfRevertPlaceholder": [0, "0x80070178"]}})
        file = self.file("s.txt", b"uploaded")
        path = windows_path(file)
        self.assertEqual(self.answer("insync", path=path, inSync=True, usn=89)["result"], {"usn": 90})
        self.assertEqual(self.answer("insync", path=path, inSync=False)["result"], {"usn": 91})
        self.assert_error(self.answer("insync", path=path, inSync="yes"), "0x80070057")
        calls = self.calls("CfSetInSyncState")
        self.assertEqual([(c["inSyncState"], c["flags"], c["usnIn"]) for c in calls], [(1, 0, 89), (0, 0, 0)])
        self.assertTrue(same_path(calls[0]["handlePath"], file), calls[0])
        self.assertEqual(self.answer("revert", path=path)["result"], {})
        self.assert_error(self.answer("revert", path=path), "0x80070178")
        self.assertEqual([(c["flags"], c["overlapped"]) for c in self.calls("CfRevertPlaceholder")], [(0, False)] * 2)

    def fetch_for(self, size, script):
        self.start_with(script)
        path = self.file("p.bin", b"x" * size)
        self.assertEqual(self.answer("connect", root=windows_path(self.tmp))["result"], {})
        self.p.send({"cmd": "hydrate", "seq": "h", "path": windows_path(path)})
        return self.p.next_event("fetch")["req"]

    def test_progress_reports_with_the_fetchs_keys_and_keeps_it_alive(self):
        timeout = 3.0
        req = self.fetch_for(100, {"hydrate": {"timeoutMs": int(timeout * 1000)}})
        self.assert_error(self.answer("progress", req=req, total=10, completed=11), "0x80070057")
        started = time.monotonic()
        while time.monotonic() - started < 2.5 * timeout:
            self.assertEqual(self.answer("progress", req=req, total=100, completed=40)["result"], {})
            time.sleep(timeout / 5)
        self.assertEqual(self.answer("data", req=req, b64=base64.b64encode(b"x" * 100).decode())["result"], {})
        self.assertEqual(self.p.wait_seq("h"), {"ok": True, "result": {}, "seq": "h"})  # never timed out
        self.assertEqual(self.answer("progress", req=req, total=100, completed=100)["result"], {"stale": True})
        [hydrate] = self.calls("CfHydratePlaceholder")
        progress = self.calls("CfReportProviderProgress")
        self.assertGreater(len(progress), 5)
        self.assertEqual(progress[0], {"fn": "CfReportProviderProgress", "connectionKey": hydrate["connectionKey"],
                                       "transferKey": hydrate["transferKey"], "total": 100, "completed": 40,
                                       "result": 0})


if __name__ == "__main__":
    unittest.main()
