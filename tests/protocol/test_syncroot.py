"""Sync-root registration and connection through the real program on the Linux platform."""

import json
import os
import unittest

from harness import Program, ProgramTest, on_linux, on_windows

ICON = "%SystemRoot%\\system32\\imageres.dll,-1043"


def stored_roots(state_dir):
    with open(os.path.join(state_dir, "zembra-cloud-files", "sync-roots.json"), encoding="utf-8") as f:
        return {r["id"]: r for r in json.load(f)["roots"]}


class Info(ProgramTest):
    def test_info_names_the_platform_front_end_and_version(self):
        info = self.p.request("info")["result"]
        self.assertEqual(sorted(info), ["frontEnd", "platform", "version"])
        self.assertRegex(info["version"], r"^\d+\.\d+\.\d+$")
        if on_windows():
            self.assertEqual((info["platform"], info["frontEnd"]), ("windows", "cloud-files"))
        else:
            self.assertEqual(info["platform"], "linux")
            self.assertIn(info["frontEnd"], ("fuse", "simulated"))
            # The settings file chooses the front end of the next connect.
            settings = os.path.join(self.p.state_dir, "zembra-cloud-files")
            os.makedirs(settings, exist_ok=True)
            with open(os.path.join(settings, "sim.json"), "w") as f:
                json.dump({"frontEnd": "simulated"}, f)
            self.assertEqual(self.p.request("info")["result"]["frontEnd"], "simulated")


@unittest.skipUnless(on_linux(), "inspects the Linux platform's registration store")
class Registration(ProgramTest):
    def setUp(self):
        super().setUp()
        self.root = self.path("root")
        os.makedirs(self.root)

    def test_defaults_persist_and_a_second_process_unregisters(self):
        self.assertEqual(self.p.request("register", root=self.root, id="Zembra!one"),
                         {"ok": True, "result": {}, "seq": 1})
        record = stored_roots(self.p.state_dir)["Zembra!one"]
        self.assertEqual(record["path"], os.path.realpath(self.root))
        self.assertEqual(record["displayName"], "Zembra Sync")
        self.assertEqual(record["icon"], ICON)
        self.assertEqual(record["version"], "1")
        self.assertEqual([record[k] for k in ("hydrationPolicy", "hydrationPolicyModifier", "populationPolicy",
                                              "inSyncPolicy", "hardlinkPolicy", "showSiblingsAsGroup")],
                         [1, 4, 2, 0x80000000, 0, False])
        self.assertEqual(bytes.fromhex(record["context"]), b"zembra")
        self.assertEqual(self.p.finish()[0], 0)

        # The registration outlives the process: another one sees it and removes it.
        second = Program(state_dir=self.p.state_dir)
        self.addCleanup(second.kill)
        self.assertEqual(second.request("unregister", id="Zembra!one"), {"ok": True, "result": {}, "seq": 1})
        self.assertNotIn("Zembra!one", stored_roots(self.p.state_dir))
        answer = second.request("unregister", id="Zembra!one")
        self.assertEqual(answer["code"], "0x80070490")
        self.assertTrue(answer["error"].endswith(" (0x80070490)"), answer)

    def test_non_string_arguments_take_defaults(self):
        answer = self.p.request("register", root=self.root, id="r", name=5, icon=None, version=[])
        self.assertEqual(answer["result"], {})
        record = stored_roots(self.p.state_dir)["r"]
        self.assertEqual((record["displayName"], record["icon"], record["version"]), ("Zembra Sync", ICON, "1"))
        self.p.request("register", root=self.root, id="r", name="Mine", icon="x.dll,-1", version="2.5")
        record = stored_roots(self.p.state_dir)["r"]
        self.assertEqual((record["displayName"], record["icon"], record["version"]), ("Mine", "x.dll,-1", "2.5"))

    def test_missing_or_empty_root_fails_and_registers_nothing(self):
        for args in ({"id": "x"}, {"id": "x", "root": ""}, {"id": "x", "root": 7}):
            answer = self.p.request("register", **args)
            self.assertEqual(answer["code"], "0x80070057", args)
            self.assertIs(answer["ok"], False)
        answer = self.p.request("register", id="x", root=self.path("nowhere"))
        self.assertEqual(answer["code"], "0x80070002")
        self.assertFalse(os.path.exists(os.path.join(self.p.state_dir, "zembra-cloud-files", "sync-roots.json"))
                         and stored_roots(self.p.state_dir))

    def test_second_register_goes_to_the_platform(self):
        self.assertEqual(self.p.request("register", root=self.root, id="a")["result"], {})
        # The same id again replaces the record; another id for the same folder is refused.
        self.assertEqual(self.p.request("register", root=self.root, id="a", name="Again")["result"], {})
        self.assertEqual(stored_roots(self.p.state_dir)["a"]["displayName"], "Again")
        answer = self.p.request("register", root=self.root, id="b")
        self.assertEqual(answer["code"], "0x8007017c")
        self.assertEqual(set(stored_roots(self.p.state_dir)), {"a"})


@unittest.skipUnless(on_linux(), "needs the Linux platform's sync roots")
class Connection(ProgramTest):
    def setUp(self):
        super().setUp()
        self.root = self.path("root")
        os.makedirs(self.root)

    def test_connect_needs_a_registered_root(self):
        answer = self.p.request("connect", root=self.root)
        self.assertEqual(answer["code"], "0x80070186")  # not under a sync root
        self.assertTrue(answer["error"].endswith("(0x80070186)"))
        answer = self.p.request("connect")
        self.assertIs(answer["ok"], False)
        self.assertEqual(self.p.request("disconnect"), {"ok": True, "result": {}, "seq": 3})

    def test_connect_disconnect_and_a_second_provider(self):
        self.assertEqual(self.p.request("register", root=self.root, id="c")["result"], {})
        self.assertEqual(self.p.request("connect", root=self.root)["result"], {})
        # The same root cannot get a second provider, in this process or another.
        self.assertEqual(self.p.request("connect", root=self.root)["code"], "0x8007017a")
        other = Program(state_dir=self.p.state_dir)
        self.addCleanup(other.kill)
        self.assertEqual(other.request("connect", root=self.root)["code"], "0x8007017a")
        self.assertEqual(self.p.request("disconnect")["result"], {})
        self.assertEqual(self.p.request("disconnect")["result"], {})
        # Once this process let go, the other may connect.
        self.assertEqual(other.request("connect", root=self.root)["result"], {})


if __name__ == "__main__":
    unittest.main()
