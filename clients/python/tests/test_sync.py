"""The blocking client: handlers on a thread of their own that may block on requests, submit(),
time-outs, and the end of the program."""

from __future__ import annotations

import concurrent.futures
import os
import threading
import unittest
from typing import Any, List

from support import MIB, PROGRAM, Work

from zembra_cloud_files import CommandError, ExitEvent, FetchEvent, FetchResult, Item, SyncClient


class Blocking(unittest.TestCase):
    def setUp(self) -> None:
        self.work = Work()
        self.addCleanup(self.work.remove)
        self.client = SyncClient(PROGRAM, env=self.work.env, timeout=30)
        self.addCleanup(self.client.kill)
        self.client.register(self.work.root, "ZcfSyncTest!1")
        self.client.connect(self.work.root)

    def test_a_handler_answers_the_fetch_a_blocked_caller_waits_for(self) -> None:
        c, w = self.client, self.work
        content = os.urandom(3 * MIB + 7)
        seen: List[Any] = []

        def on_fetch(event: FetchEvent) -> None:
            seen.append((threading.current_thread().name, c.attrs(event.path).online_only))
            seen.append(c.answer_fetch(event, lambda offset, length: content[offset:offset + length]))
        c.on("fetch", on_fetch)
        ended: List[Any] = []
        c.on("exit", ended.append)
        self.assertEqual(c.create([Item(w.root, "a.bin", "a", size=len(content)),
                                   Item(w.root, "b.bin", "b", size=len(content))]), [])
        c.hydrate(w.path("a.bin"))
        future: "concurrent.futures.Future[None]" = c.submit("hydrate", w.path("b.bin"))
        self.assertIsInstance(future, concurrent.futures.Future)
        future.result(30)
        for name in ("a.bin", "b.bin"):
            with open(w.path(name), "rb") as f:
                self.assertTrue(f.read() == content)
        self.assertEqual(seen[0], ("zcf-events", True))
        result = seen[1]
        self.assertIsInstance(result, FetchResult)
        self.assertEqual((result.status, result.chunks, result.bytes), ("done", 4, len(content)))
        c.disconnect()
        self.assertEqual(c.close(), 0)
        self.assertEqual(ended, [ExitEvent({}, 0, None, False)])
        self.assertEqual(c.problems, [])

    def test_time_outs_errors_and_served_fetches(self) -> None:
        c, w = self.client, self.work
        c.create([Item(w.root, "slow.bin", "slow", size=10), Item(w.root, "ok.bin", "ok", size=10)])
        with self.assertRaises(TimeoutError):  # nobody answers its fetch yet
            c.hydrate(w.path("slow.bin"), timeout=0.5)
        results: List[FetchResult] = []
        c.serve_fetches(lambda event: b"0123456789" if event.identity == "ok" else None,
                        on_result=lambda event, result: results.append(result))
        c.hydrate(w.path("ok.bin"))
        with self.assertRaises(CommandError) as caught:
            c.hydrate(w.path("slow.bin"))  # this time its source is missing: "fail"
        self.assertEqual(caught.exception.name, "NOT_A_CLOUD_FILE")
        with self.assertRaises(CommandError) as caught:
            c.pin(w.path("missing"), "pinned")
        self.assertEqual(caught.exception.name, "FILE_NOT_FOUND")
        c.disconnect()
        self.assertEqual(c.close(), 0)
        self.assertEqual(sorted(r.status for r in results), ["done", "failed"])


if __name__ == "__main__":
    unittest.main()
