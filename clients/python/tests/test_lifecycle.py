"""The program's life: start and version check, its death mid-call (kill -9), restarts, lines of
64 MiB both ways, and many callers at once."""

from __future__ import annotations

import asyncio
import os
import signal
import stat
import sys
import unittest
from typing import List
from unittest import mock

from support import MIB, PROGRAM, ProgramCase, Work, until

from zembra_cloud_files import (Client, CommandError, Event, ExitEvent, FetchEvent, Item, ProgramExited, ReadyEvent,
                                VersionMismatch, ZcfError, find_program)

FAKE = """#!%s
import json, sys
print(json.dumps({"event": "ready", "pid": 1}), flush=True)
for line in sys.stdin:
    seq = json.loads(line)["seq"]
    print(json.dumps({"ok": True, "result": {"frontEnd": "fuse", "platform": "linux", "version": sys.argv[1]}, "seq": seq}), flush=True)
""" % sys.executable


class Starting(unittest.IsolatedAsyncioTestCase):
    def setUp(self) -> None:
        self.work = Work()
        self.addCleanup(self.work.remove)

    def fake(self, version: str) -> List[str]:
        """A stand-in that says "ready" and answers every request as "info" with `version`."""
        path = os.path.join(self.work.top, "fake.py")
        with open(path, "w") as f:
            f.write(FAKE)
        return [sys.executable, path, version]

    async def test_the_version_is_checked(self) -> None:
        for version in ("1.0.0", "0.3.9", "zero"):
            with self.assertRaises(VersionMismatch):
                await Client.start(self.fake(version)[-1], argv_prefix=self.fake(version)[:-1])
        argv = self.fake("0.4.7")
        client = Client(argv, env=self.work.env)
        await client._launch()
        self.assertEqual(client.program_info.version, "0.4.7")  # type: ignore[union-attr]
        self.assertEqual(await client.close(10), 0)
        unchecked = Client(self.fake("9.9.9"), check_version=False)
        await unchecked._launch()
        self.assertIsNone(unchecked.program_info)
        await unchecked.close(10)

    async def test_a_program_that_ends_at_once(self) -> None:
        for restart in (False, True):  # not started again: it never came up
            with self.assertRaises(ProgramExited) as caught:
                await Client.start("/bin/false", restart=restart)
            self.assertEqual((caught.exception.returncode, caught.exception.signal), (1, None))
        with self.assertRaises(FileNotFoundError):
            await Client.start(os.path.join(self.work.top, "no-such-program"))

    def test_the_program_is_found_on_path_then_in_the_build(self) -> None:
        folder = os.path.join(self.work.top, "bin")
        os.makedirs(folder)
        on_path = os.path.join(folder, "zembra_cloud_files")
        os.symlink(PROGRAM, on_path)
        self.assertEqual(find_program("/x/given"), "/x/given")
        with mock.patch.dict(os.environ, {"PATH": folder}):
            self.assertEqual(find_program(), on_path)
        with mock.patch.dict(os.environ, {"PATH": self.work.top}):
            self.assertEqual(os.path.realpath(find_program()),
                             os.path.realpath(os.path.join(os.path.dirname(__file__), "..", "..", "..", "build",
                                                           "native", "zembra_cloud_files")))
        self.assertTrue(os.stat(on_path).st_mode & stat.S_IXUSR)


class Crash(ProgramCase):
    connect = False

    async def test_a_killed_program_fails_every_waiting_call_at_once(self) -> None:
        c, w = self.client, self.work
        exits: List[Event] = []
        stopped = asyncio.Event()

        async def stuck(event: FetchEvent) -> None:
            try:
                await asyncio.sleep(60)
            except asyncio.CancelledError:
                stopped.set()
                raise
        c.on("fetch", stuck)
        c.on("exit", exits.append)
        stream = c.events()
        await c.create([Item(w.root, "a.bin", "a", size=10)])
        hydrate = asyncio.ensure_future(c.hydrate(w.path("a.bin")))
        async for event in stream:
            if isinstance(event, FetchEvent):
                break
        os.kill(c.pid, signal.SIGKILL)  # type: ignore[arg-type]
        with self.assertRaises(ProgramExited) as caught:
            await asyncio.wait_for(hydrate, 10)
        e = caught.exception
        self.assertEqual((e.returncode, e.signal), (None, signal.SIGKILL))
        self.assertIn("program exited", str(e))
        self.assertIn('"hydrate"', str(e))
        await asyncio.wait_for(stopped.wait(), 10)  # the handler was stopped
        rest = [event async for event in stream]
        self.assertEqual(rest, [ExitEvent({}, None, signal.SIGKILL, False)])
        self.assertEqual(exits, rest)
        with self.assertRaises(ProgramExited):
            await c.attrs(w.root)  # at once: nothing is sent any more
        self.assertEqual(await c.close(), -signal.SIGKILL)
        self.assertFalse(c.running)


class Restart(ProgramCase):
    restart = True
    connect = False

    async def test_a_killed_program_is_started_again(self) -> None:
        c = self.client
        seen: List[Event] = []
        c.on("exit", seen.append)
        c.on("ready", seen.append)
        first = c.pid
        waiting = asyncio.ensure_future(c.hydrate(self.work.path("nothing")))
        await asyncio.sleep(0)
        os.kill(first, signal.SIGKILL)  # type: ignore[arg-type]
        with self.assertRaises(ProgramExited):
            await waiting
        await until(lambda: len(seen) == 2)
        self.assertEqual(seen[0], ExitEvent({}, None, signal.SIGKILL, True))
        self.assertIsInstance(seen[1], ReadyEvent)
        self.assertNotEqual(c.pid, first)
        self.assertEqual(seen[1].pid, c.pid)  # type: ignore[attr-defined]
        await c.connect(self.work.root)  # still registered; takes over the mount the killed program left
        self.assertTrue((await c.attrs(self.work.root)).exists)


class Lines(ProgramCase):
    connect = False

    async def test_64_mib_lines_both_ways(self) -> None:
        asyncio.get_running_loop().slow_callback_duration = 10  # encoding 64 MiB holds the loop a while
        name = "é" * (32 * MIB)  # 64 MiB of UTF-8 out, and its echo back
        self.assertEqual(await asyncio.wait_for(self.client.request(name), 120), {"unknown": name})
        del name
        # A real one: a 48 MiB chunk is a "data" line of 64 MiB.
        content = os.urandom(48 * MIB)
        self.client.serve_fetches(lambda event: content, chunk_size=48 * MIB)
        await self.client.create([Item(self.work.root, "big", "big", size=len(content))])
        await asyncio.wait_for(self.client.hydrate(self.work.path("big")), 120)
        with open(self.work.path("big"), "rb") as f:
            self.assertTrue(f.read() == content)

    async def test_many_callers_each_get_their_answer(self) -> None:
        c, w = self.client, self.work
        gate = asyncio.Event()
        c.serve_fetches(lambda event: self.after(gate, b"z" * 5))
        await c.create([Item(w.root, "late.bin", "late", size=5)] + [Item(w.root, "f%03d" % i, "id%03d" % i) for i in range(100)])
        late = asyncio.ensure_future(c.hydrate(w.path("late.bin")))  # answered after all of these
        calls = [c.attrs(w.path("f%03d" % i)) if i % 2 else c.request("cmd-%d-" % i + "x" * (i * 997)) for i in range(200)]
        answers = await asyncio.gather(*calls)
        for i, answer in enumerate(answers):
            if i % 2:
                self.assertEqual(answer.identity, "id%03d" % i if i < 100 else None)  # type: ignore[union-attr]
            else:
                self.assertEqual(answer, {"unknown": "cmd-%d-" % i + "x" * (i * 997)})
        self.assertFalse(late.done())
        gate.set()
        await asyncio.wait_for(late, 30)
        with self.assertRaises(ValueError):  # not UTF-8: refused before anything is sent
            await c.attrs("bad\udcff")
        self.assertEqual((await c.info()).platform, "linux")

    async def test_an_answer_without_seq_goes_to_the_oldest_request_answered_in_order(self) -> None:
        # Only a line the program cannot read is answered without "seq"; the client never writes one,
        # so one is slipped in here. The "hydrate" sent before it answers late and must not take it.
        c, w = self.client, self.work
        gate = asyncio.Event()
        c.serve_fetches(lambda event: self.after(gate, b"z" * 5))
        await c.create([Item(w.root, "late.bin", "late", size=5)])
        late = asyncio.ensure_future(c.hydrate(w.path("late.bin")))
        await asyncio.sleep(0)
        bad = c._submit("garbage", lambda seq: b'{"cmd":"pin"\n')
        answer = await asyncio.wait_for(bad, 30)
        self.assertNotIn("seq", answer)
        self.assertTrue(answer["error"].startswith("bad command: "), answer)
        self.assertEqual(await c.request("after"), {"unknown": "after"})
        self.assertFalse(late.done())
        gate.set()
        await asyncio.wait_for(late, 30)
        self.assertEqual(c.problems, [])

    @staticmethod
    async def after(gate: asyncio.Event, data: bytes) -> bytes:
        await gate.wait()
        return data

    async def test_close_waits_for_what_was_sent_and_ends_the_program(self) -> None:
        c = self.client
        pending = [asyncio.ensure_future(c.request("x%d" % i)) for i in range(20)]
        await asyncio.sleep(0)
        self.assertEqual(await c.close(30), 0)
        self.assertEqual([await p for p in pending], [{"unknown": "x%d" % i} for i in range(20)])
        with self.assertRaises(ZcfError):
            await c.info()
        with self.assertRaises(CommandError.__mro__[1]):  # ZcfError, the base of every error here
            await c.disconnect()
