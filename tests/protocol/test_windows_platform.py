"""The Windows build under Wine, where its commands reach cldapi.dll and the Windows Runtime.

Two Wine prefixes are used:
- the plain one (ZCF_WINEPREFIX): Wine has no cldapi.dll and no storage-provider runtime classes,
  so the Cloud Files commands answer the loader's error and "register" the runtime's, while the
  program keeps answering;
- the prefix with the cldapi.dll test double in its system32 (tests/windows/cldapi_double): the
  double records every call with its decoded arguments as JSON lines and answers with scripted
  results, and its CfHydratePlaceholder runs the registered fetch callback and waits for the
  program's transfers.

Skipped unless ZCF_PLATFORM=windows.
"""

import base64
import json
import os
import shutil
import subprocess
import tempfile
import unittest

import harness
from harness import Program, on_windows

NOT_BUILT = "0x80004001"
HERE = os.path.dirname(os.path.abspath(__file__))
PREPARE = os.path.join(HERE, "..", "windows", "prepare-cldapi-prefix")
PLAIN_PREFIX = os.environ.get("ZCF_WINEPREFIX", "")
CLDAPI_PREFIX = os.environ.get("ZCF_CLDAPI_WINEPREFIX") or (PLAIN_PREFIX + "-cldapi" if PLAIN_PREFIX else "")
DOUBLE = os.path.join(os.path.dirname(harness.PROGRAM), "cldapi_double", "cldapi.dll") if harness.PROGRAM else ""


def windows_path(path):
    """A Unix path as the program under Wine sees it (the prefix maps / to drive Z:)."""
    return "Z:" + path.replace("/", "\\")


def carries_code(error, code):
    """Whether an "error" text is the rendering of `code`: the message and the code in parentheses,
    or the code alone when the system has no message for it (Wine has none for most codes)."""
    code = "0x%08X" % int(code, 16)
    return error == code or error.endswith(" (%s)" % code)


def same_path(recorded, path):
    """Whether a path the double recorded names `path` (Wine may spell the drive in either case)."""
    return recorded is not None and recorded.lower().endswith(path.replace("/", "\\").lower())


class WineTest(unittest.TestCase):
    """Starts the program in a chosen prefix; self.tmp is the work directory of the test."""

    prefix = None  # set by subclasses

    @classmethod
    def setUpClass(cls):
        if not on_windows():
            raise unittest.SkipTest("Windows build only")
        if not harness.PROGRAM or not cls.prefix_path():
            raise unittest.SkipTest("ZCF_PROGRAM and ZCF_WINEPREFIX are needed")

    @classmethod
    def prefix_path(cls):
        return PLAIN_PREFIX

    def start(self, env=None):
        environment = {"ZCF_WINEPREFIX": self.prefix_path()}
        environment.update(env or {})
        self.p = Program(env=environment)
        self.tmp = self.p.tmp
        self.addCleanup(self.p.kill)

    def file(self, name, content=b""):
        path = os.path.join(self.tmp, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(content)
        return path

    def answer(self, cmd, **args):
        """The answer to one request; every command is built, so E_NOTIMPL is a failure."""
        reply = self.p.request(cmd, **args)
        self.assertNotEqual(reply.get("code"), NOT_BUILT, reply)
        return reply

    def assert_error(self, reply, code):
        self.assertFalse(reply["ok"], reply)
        self.assertEqual(reply["code"], code.lower(), reply)
        self.assertTrue(carries_code(reply["error"], code), reply)

    def assert_still_answers(self):
        reply = self.p.request("nothing-such")
        self.assertEqual(reply["result"], {"unknown": "nothing-such"})


class PlainWine(WineTest):
    """No Cloud Files API and no storage-provider classes: errors, and the program goes on."""

    def setUp(self):
        self.start()

    def test_connect_answers_the_loaders_error(self):
        reply = self.answer("connect", root=windows_path(self.tmp))
        self.assert_error(reply, "0x8007007E")
        self.assert_still_answers()
        # Nothing was connected, so there is nothing to disconnect.
        self.assertEqual(self.answer("disconnect"), {"ok": True, "result": {}, "seq": self.p._seq})

    def test_register_and_unregister_answer_the_runtimes_error(self):
        reply = self.answer("register", root=windows_path(self.tmp), id="Zembra!test")
        # Wine registers no Windows.Storage.Provider classes: activating the record fails.
        self.assert_error(reply, "0x80040154")
        self.assert_still_answers()
        reply = self.answer("unregister", id="Zembra!test")
        self.assert_error(reply, "0x80040154")
        self.assert_still_answers()

    def test_placeholder_commands_answer_the_loaders_error(self):
        path = self.file("a.txt", b"abc")
        self.assert_error(self.answer("pin", path=windows_path(path), state="pinned"), "0x8007007E")
        self.assert_error(self.answer("dehydrate", path=windows_path(path)), "0x8007007E")
        self.assert_error(self.answer("adopt", path=windows_path(path), identity="x"), "0x8007007E")
        created = self.answer("create", items=[{"dir": windows_path(self.tmp), "name": "b.txt"}])
        self.assertEqual(len(created["result"]["failed"]), 1)
        self.assertTrue(carries_code(created["result"]["failed"][0]["error"], "0x8007007E"))
        # The queries do not fail: without a placeholder query there is no placeholder state.
        attrs = self.answer("attrs", path=windows_path(path))["result"]
        self.assertIsNone(attrs["identity"])
        self.assertFalse(attrs["inSync"])
        self.assert_still_answers()

    def test_a_path_of_300_characters_is_answered_as_a_short_one(self):
        short = self.file("short.txt", b"abc")
        deep = self.tmp
        while len(windows_path(deep)) < 300:
            deep = os.path.join(deep, "d" * 60)
        long = self.file(os.path.join(deep, "long.txt"), b"abc")
        self.assertGreaterEqual(len(windows_path(long)), 300)
        short_attrs = self.answer("attrs", path=windows_path(short))
        long_attrs = self.answer("attrs", path=windows_path(long))
        self.assertTrue(long_attrs["ok"], long_attrs)
        self.assertEqual(long_attrs["result"], short_attrs["result"])
        # "pin" opens the file before it reaches the (missing) Cloud Files API.
        self.assert_error(self.answer("pin", path=windows_path(long), state="pinned"), "0x8007007E")

    def test_hydrate_answers_late_with_the_loaders_error(self):
        path = self.file("h.bin", b"x" * 10)
        self.p.send({"cmd": "hydrate", "seq": "h1", "path": windows_path(path)})
        late = self.p.wait_seq("h1")
        self.assertEqual(set(late), {"error", "ok", "seq"})
        self.assertTrue(carries_code(late["error"], "0x8007007E"), late)


class WithCldapiDouble(WineTest):
    """The program against the cldapi.dll double: what each command hands to cldapi.dll."""

    @classmethod
    def prefix_path(cls):
        return CLDAPI_PREFIX

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        if not os.path.exists(DOUBLE):
            raise unittest.SkipTest("the cldapi.dll double is not built: " + DOUBLE)
        subprocess.run([PREPARE, CLDAPI_PREFIX, DOUBLE], check=True)

    def start_with(self, script=None):
        self.work = tempfile.mkdtemp(prefix="zcf-cf-")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.log = os.path.join(self.work, "calls.jsonl")
        self.start({"ZCF_CLDAPI_LOG": windows_path(self.log), "ZCF_CLDAPI_SCRIPT": json.dumps(script or {})})

    def calls(self, fn=None):
        if not os.path.exists(self.log):
            return []
        with open(self.log, encoding="utf-8") as lines:
            records = [json.loads(line) for line in lines]
        return [r for r in records if fn is None or r["fn"] == fn]

    def test_connect_and_disconnect(self):
        self.start_with()
        root = windows_path(self.tmp)
        self.assertEqual(self.answer("connect", root=root)["result"], {})
        [call] = self.calls("CfConnectSyncRoot")
        self.assertEqual(call["path"], root)
        self.assertEqual(call["table"], [{"type": 0, "callback": True}, {"type": 2, "callback": True},
                                         {"type": 5, "callback": True}, {"type": 3, "callback": True},
                                         {"type": 4, "callback": True}, {"type": 4294967295, "callback": False}])
        self.assertIsNone(call["context"])
        self.assertEqual(call["flags"], 6)
        self.assertEqual(call["keyIn"], 0)
        self.assertEqual(self.answer("disconnect")["result"], {})
        [disconnect] = self.calls("CfDisconnectSyncRoot")
        self.assertEqual(disconnect["key"], call["key"])
        # The key is gone: a second disconnect does not reach the platform.
        self.assertEqual(self.answer("disconnect")["result"], {})
        self.assertEqual(len(self.calls("CfDisconnectSyncRoot")), 1)

    def test_second_connect_replaces_the_key(self):
        self.start_with()
        self.answer("connect", root=windows_path(self.tmp))
        self.answer("connect", root=windows_path(self.tmp))
        first, second = self.calls("CfConnectSyncRoot")
        self.assertNotEqual(first["key"], second["key"])
        self.answer("disconnect")
        self.assertEqual([c["key"] for c in self.calls("CfDisconnectSyncRoot")], [second["key"]])

    def test_connect_failure_keeps_the_earlier_key(self):
        self.start_with({"results": {"CfConnectSyncRoot": [0, "0x8007017A"]}})
        self.answer("connect", root=windows_path(self.tmp))
        self.assert_error(self.answer("connect", root=windows_path(self.tmp)), "0x8007017A")
        self.answer("disconnect")
        first = self.calls("CfConnectSyncRoot")[0]
        self.assertEqual([c["key"] for c in self.calls("CfDisconnectSyncRoot")], [first["key"]])

    def test_create_groups_by_directory_and_reports_failed_items(self):
        self.start_with({"createResults": [0, "0x800700B7", 0]})
        d1, d2 = windows_path(self.tmp + "/d1"), windows_path(self.tmp + "/d2")
        reply = self.answer("create", items=[
            {"dir": d1, "name": "a.txt", "identity": "id-a", "mtimeMs": 1700000000123, "size": 5000},
            {"dir": d2, "name": "sub", "folder": True, "size": 5000, "identity": "id-s"},
            {"dir": d1, "name": 7},
        ])
        first, second = self.calls("CfCreatePlaceholders")
        self.assertEqual((first["base"], first["count"], first["flags"]), (d1, 2, 0))
        self.assertEqual((second["base"], second["count"]), (d2, 1))
        self.assertTrue(first["entriesProcessedPointer"])
        a, unnamed = first["records"]
        self.assertEqual(a["name"], "a.txt")
        for key in ("creationTime", "lastAccessTime", "lastWriteTime", "changeTime"):
            self.assertEqual(a[key], 133444736001230000)
            self.assertEqual(unnamed[key], 116444736000000000)
        self.assertEqual((a["attributes"], a["fileSize"], a["flags"]), (0x80, 5000, 2))
        self.assertEqual((a["identityHex"], a["identityLength"]), ("id-a".encode().hex(), 4))
        self.assertEqual((a["resultIn"], a["createUsnIn"]), (0, 0))
        self.assertEqual(unnamed["name"], "")
        self.assertEqual(unnamed["identityLength"], 0)
        [folder] = second["records"]
        self.assertEqual((folder["attributes"], folder["fileSize"], folder["flags"]), (0x10, 0, 3))
        # The second record of the first call failed; records are reported in group order.
        self.assertEqual(len(reply["result"]["failed"]), 1)
        failed = reply["result"]["failed"][0]
        self.assertEqual((failed["dir"], failed["name"]), (d1, 7))
        self.assertTrue(carries_code(failed["error"], "0x800700B7"))

    def test_pin_and_dehydrate_pass_the_opened_file(self):
        self.start_with()
        path = self.file("p.txt", b"abc")
        for state, value in (("pinned", 1), ("unpinned", 2), ("Pinned", 0), (None, 0)):
            args = {"path": windows_path(path)}
            if state is not None:
                args["state"] = state
            self.assertEqual(self.answer("pin", **args)["result"], {})
            call = self.calls("CfSetPinState")[-1]
            self.assertTrue(same_path(call["handlePath"], path), call)
            self.assertEqual((call["pinState"], call["flags"], call["overlapped"]), (value, 1, False))
        self.assertEqual(self.answer("dehydrate", path=windows_path(path))["result"], {})
        [call] = self.calls("CfDehydratePlaceholder")
        self.assertTrue(same_path(call["handlePath"], path), call)
        self.assertEqual((call["offset"], call["length"], call["flags"], call["overlapped"]), (0, -1, 0, False))
        # A missing path fails at the open: no Cloud Files call.
        self.assert_error(self.answer("pin", path=windows_path(self.tmp + "/missing")), "0x80070002")
        self.assertEqual(len(self.calls("CfSetPinState")), 4)

    def test_pin_failure_is_the_platforms(self):
        self.start_with({"results": {"CfSetPinState": ["0x80070188"]}})
        path = self.file("p.txt")
        self.assert_error(self.answer("pin", path=windows_path(path), state="unpinned"), "0x80070188")

    def test_attrs_reads_the_placeholder_record(self):
        self.start_with({"placeholderInfo": {"inSyncState": 1, "identityHex": "61ff62"}})
        path = self.file("i.txt", b"abc")
        attrs = self.answer("attrs", path=windows_path(path))["result"]
        self.assertEqual(attrs["identity"], "a\ufffdb")
        self.assertTrue(attrs["inSync"])
        queries = self.calls("CfGetPlaceholderInfo")
        self.assertEqual(len(queries), 2)
        for query in queries:
            self.assertTrue(same_path(query["handlePath"], path), query)
            self.assertEqual((query["infoClass"], query["bufferLength"]), (0, 4128))
            self.assertTrue(query["bufferZeroed"])

    def test_adopt_converts_an_ordinary_file(self):
        self.start_with()
        path = self.file("plain.txt", b"content")
        self.assertEqual(self.answer("adopt", path=windows_path(path), identity="abc")["result"], {})
        names = [c["fn"] for c in self.calls() if c["fn"] not in ("CfReferenceProtectedHandle", "CfReleaseProtectedHandle")]
        self.assertEqual(names, ["CfOpenFileWithOplock", "CfGetWin32HandleFromProtectedHandle",
                                 "CfConvertToPlaceholder", "CfCloseHandle"])
        [opened] = self.calls("CfOpenFileWithOplock")
        self.assertEqual((opened["path"], opened["flags"]), (windows_path(path), 3))
        [handle] = self.calls("CfGetWin32HandleFromProtectedHandle")
        [convert] = self.calls("CfConvertToPlaceholder")
        self.assertEqual(convert["handle"], handle["win32Handle"])
        self.assertEqual((convert["identityHex"], convert["identityLength"], convert["flags"]), ("616263", 3, 1))
        self.assertFalse(convert["usnPointer"] or convert["overlapped"])
        [close] = self.calls("CfCloseHandle")
        self.assertEqual(close["handle"], opened["protectedHandle"])

    def test_adopt_of_a_missing_path_is_the_opens_error(self):
        self.start_with()
        self.assert_error(self.answer("adopt", path=windows_path(self.tmp + "/none"), identity="x"), "0x80070002")
        self.assertEqual(self.calls("CfConvertToPlaceholder") + self.calls("CfUpdatePlaceholder"), [])

    def hydrate_until_fetch(self, name, content_size):
        path = self.file(name, b"x" * content_size)
        self.assertEqual(self.answer("connect", root=windows_path(self.tmp))["result"], {})
        self.p.send({"cmd": "hydrate", "seq": "h", "path": windows_path(path)})
        return path, self.p.next_event("fetch")

    def test_hydrate_with_data_chunks(self):
        self.start_with({"hydrate": {"identityHex": "69642d37"}})
        path, fetch = self.hydrate_until_fetch("big.bin", 5000)
        self.assertEqual((fetch["fileSize"], fetch["offset"], fetch["length"]), (5000, 0, 5000))
        self.assertEqual(fetch["identity"], "id-7")
        self.assertEqual(fetch["process"], "\\Device\\HarddiskVolume3\\Apps\\reader.exe")
        self.assertTrue(same_path(fetch["path"], path[path.index("/", 1):]), fetch)
        first, rest = b"a" * 4096, b"b" * 904
        self.assertEqual(self.answer("data", req=fetch["req"], offset=0, b64=base64.b64encode(first).decode())["result"], {})
        self.assertEqual(self.answer("data", req=fetch["req"], offset=4096, b64=base64.b64encode(rest).decode())["result"], {})
        late = self.p.wait_seq("h")
        self.assertEqual(late, {"ok": True, "result": {}, "seq": "h"})
        [hydrate] = self.calls("CfHydratePlaceholder")
        self.assertTrue(same_path(hydrate["handlePath"], path), hydrate)
        self.assertEqual((hydrate["offset"], hydrate["length"], hydrate["flags"], hydrate["overlapped"]), (0, -1, 0, False))
        executes = self.calls("CfExecute")
        self.assertEqual(len(executes), 2)
        for execute, (offset, data) in zip(executes, ((0, first), (4096, rest))):
            self.assertEqual(execute["info"], {"structSize": 48, "type": 0, "connectionKey": hydrate["connectionKey"],
                                               "transferKey": hydrate["transferKey"], "correlationVectorNull": True,
                                               "syncStatusNull": True, "requestKey": hydrate["requestKey"]})
            params = execute["params"]
            self.assertEqual((params["paramSize"], params["flags"], params["completionStatus"]), (40, 0, 0))
            self.assertEqual((params["offset"], params["length"], params["dataHex"]), (offset, len(data), data.hex()))
        # The request is complete: a further chunk is stale and reaches nobody.
        self.assertEqual(self.answer("data", req=fetch["req"], b64="")["result"], {"stale": True})
        self.assertEqual(len(self.calls("CfExecute")), 2)

    def test_chunks_the_platform_refuses_are_error_answers_and_the_fetch_stays(self):
        self.start_with()
        _, fetch = self.hydrate_until_fetch("r.bin", 10000)
        page = base64.b64encode(b"p" * 4096).decode()
        refused = [
            {"offset": 100, "b64": page},                                           # off a 4 KiB boundary
            {"offset": 0, "b64": base64.b64encode(b"s" * 100).decode()},            # short of the end of file
            {"offset": 4096, "b64": ""},                                            # nothing
            {"offset": 8192, "b64": base64.b64encode(b"e" * 4096).decode()},        # past the end of file
        ]
        for chunk in refused:
            self.assert_error(self.answer("data", req=fetch["req"], **chunk), "0x8007017C")
        for offset, size in ((0, 4096), (4096, 4096), (8192, 1808)):
            reply = self.answer("data", req=fetch["req"], offset=offset, b64=base64.b64encode(b"d" * size).decode())
            self.assertEqual(reply["result"], {}, reply)
        self.assertEqual(self.p.wait_seq("h"), {"ok": True, "result": {}, "seq": "h"})
        self.assertEqual([c["result"] for c in self.calls("CfExecute")], [-2147024516] * 4 + [0] * 3)

    def test_hydrate_failed_by_the_parent(self):
        self.start_with()
        _, fetch = self.hydrate_until_fetch("f.bin", 100)
        self.assertEqual(self.answer("fail", req=fetch["req"])["result"], {})
        late = self.p.wait_seq("h")
        self.assertEqual(set(late), {"error", "ok", "seq"})
        self.assertTrue(carries_code(late["error"], "0x80070178"), late)
        [execute] = self.calls("CfExecute")
        params = execute["params"]
        self.assertEqual((params["paramSize"], params["completionStatus"]), (40, 0xC000CF07))
        self.assertEqual((params["offset"], params["length"]), (0, 100))

    def test_cancel_and_open_events(self):
        self.start_with({"hydrate": {"mode": "cancel", "openCompletion": True, "process": None}})
        path, fetch = self.hydrate_until_fetch("c.bin", 10)
        self.assertEqual(fetch["process"], "")
        opened = self.p.next_event("opened")
        self.assertEqual(opened["pid"], 0)
        cancel = self.p.next_event("cancel")
        self.assertEqual(cancel["reqs"], [fetch["req"]])
        self.assertEqual(cancel["path"], fetch["path"])
        late = self.p.wait_seq("h")
        self.assertTrue(carries_code(late["error"], "0x8007018E"), late)
        self.assertEqual(self.answer("fail", req=fetch["req"])["result"], {"stale": True})


if __name__ == "__main__":
    unittest.main()
