"""Folders on demand and confirmed deletes and renames through the real program, where every
platform answers alike: answers to requests that are not outstanding, and, on the Linux build (which
does not fill folders on demand or ask before deletes and renames yet), the refusals of what it
cannot do. The Windows side runs end to end in test_windows_on_demand.py."""

import os
import unittest

from harness import ProgramTest, on_linux

NOT_SUPPORTED = "0x80070032"


class AnswersWithoutARequest(ProgramTest):
    def test_answers_for_requests_never_issued_are_stale(self):
        for cmd, args in (("entries", {"items": [{"name": "a"}]}), ("allow", {}), ("deny", {}), ("fail", {})):
            for req in (0, 77, "1", None):
                self.assertEqual(self.p.request(cmd, req=req, **args)["result"], {"stale": True}, (cmd, req))


@unittest.skipUnless(on_linux(), "the Linux build's refusals")
class NotYetOnLinux(ProgramTest):
    def setUp(self):
        super().setUp()
        self.root = self.path("root")
        os.makedirs(self.root)

    def test_population_on_demand_is_refused_and_full_population_registers(self):
        answer = self.p.request("register", root=self.root, id="Zembra!od", population="onDemand")
        self.assertEqual(answer["code"], NOT_SUPPORTED, answer)
        self.assertEqual(self.p.request("connect", root=self.root)["code"], "0x80070186")
        self.assertEqual(self.p.request("register", root=self.root, id="Zembra!od", population="full")["result"], {})

    def test_connect_with_confirm_is_refused_and_connects_without(self):
        self.assertEqual(self.p.request("register", root=self.root, id="Zembra!cf")["result"], {})
        for confirm in (["delete"], ["rename"], ["delete", "rename"]):
            answer = self.p.request("connect", root=self.root, confirm=confirm)
            self.assertEqual(answer["code"], NOT_SUPPORTED, (confirm, answer))
        # Nothing of the refused attempts is left: a connect without "confirm" works.
        self.assertEqual(self.p.request("connect", root=self.root, confirm=[], watch=False)["result"], {})
        self.assertEqual(self.p.request("disconnect")["result"], {})
