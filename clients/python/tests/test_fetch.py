"""Answering fetches: the sources, chunking from the fetch's offset, "fail" for a source that cannot
deliver, refused chunks, automatic progress, and cancellation by the program."""

from __future__ import annotations

import asyncio
import os
from typing import Dict, List, Optional

from support import MIB, ProgramCase, until

from zembra_cloud_files import ALIGN, CancelEvent, CommandError, FetchEvent, FetchResult, FileSource, Item
from zembra_cloud_files.fetch import check_chunk_size, chunk_ranges


class Chunks(ProgramCase):
    connect = False

    def test_chunk_ranges(self) -> None:
        self.assertEqual(chunk_ranges(3 * ALIGN, 3 * ALIGN + 2 * MIB + 5, MIB),
                         [(3 * ALIGN, MIB), (3 * ALIGN + MIB, MIB), (3 * ALIGN + 2 * MIB, 5)])
        self.assertEqual(chunk_ranges(0, 0, MIB), [])
        for bad in (0, -4096, 1000, MIB + 1):
            with self.assertRaises(ValueError):
                check_chunk_size(bad)

    async def test_sources_memory_file_and_functions(self) -> None:
        c, w = self.client, self.work
        content = os.urandom(4 * MIB + 5000)
        store = os.path.join(w.top, "store.bin")
        with open(store, "wb") as out:
            out.write(b"\xff" * 12345 + content)

        async def from_async(offset: int, length: int) -> bytes:
            await asyncio.sleep(0)
            return content[offset:offset + length]

        sources = {"memory ✓": content, "file": FileSource(store, 12345), "async": from_async,
                   "plain": lambda offset, length: content[offset:offset + length],
                   "memoryview": memoryview(bytearray(content))}
        results: Dict[str, FetchResult] = {}
        c.serve_fetches(lambda event: sources[event.identity], progress_every=2,
                        on_result=lambda event, result: results.__setitem__(event.identity, result))
        names = {identity: "Größe %d – 文件.bin" % i for i, identity in enumerate(sources)}
        self.assertEqual(await c.create([Item(w.root, names[i], i, size=len(content)) for i in sources]), [])
        await asyncio.gather(*(c.hydrate(w.path(names[i])) for i in sources))
        await until(lambda: len(results) == len(sources))
        for identity in sources:
            with open(w.path(names[identity]), "rb") as f:
                self.assertTrue(f.read() == content, identity)
            r = results[identity]
            self.assertEqual((r.status, r.chunks, r.bytes, r.stale, r.progress_reports, r.fail_sent),
                             ("done", 5, len(content), 0, 3, False), identity)  # progress before chunks 0, 2 and 4

    async def test_a_read_in_the_middle_is_answered_from_its_offset(self) -> None:
        c, w = self.client, self.work
        if (await c.info()).front_end != "fuse":
            self.skipTest("only the mount turns a program's read into a fetch")
        content = os.urandom(6 * MIB)
        fetches: List[FetchEvent] = []

        async def answer(event: FetchEvent) -> None:
            fetches.append(event)
            await c.answer_fetch(event, content, chunk_size=256 * 1024)
        c.on("fetch", answer)
        await c.create([Item(w.root, "mid.bin", "mid", size=len(content))])

        def read_middle() -> bytes:
            with open(w.path("mid.bin"), "rb") as f:
                return os.pread(f.fileno(), 100, 5 * MIB + 10)
        got = await asyncio.get_running_loop().run_in_executor(None, read_middle)
        self.assertEqual(got, content[5 * MIB + 10:5 * MIB + 110])
        self.assertEqual(fetches[0].offset % ALIGN, 0)
        self.assertGreater(fetches[0].offset, 0)

    async def test_sources_that_cannot_deliver_end_in_fail(self) -> None:
        c, w = self.client, self.work

        def broken(offset: int, length: int) -> bytes:
            raise OSError("the store lost it")
        sources = {"raises": broken, "short": b"x" * (MIB + 10), "none": None}
        results: Dict[str, FetchResult] = {}
        c.serve_fetches(lambda event: sources[event.identity],
                        on_result=lambda event, result: results.__setitem__(event.identity, result))
        await c.create([Item(w.root, i, i, size=2 * MIB) for i in sources])
        for identity in sources:
            with self.assertRaises(CommandError) as caught:
                await c.hydrate(w.path(identity))
            self.assertEqual(caught.exception.name, "NOT_A_CLOUD_FILE")  # what the reader of a failed fetch sees
            self.assertTrue((await c.attrs(w.path(identity))).online_only)
        await until(lambda: len(results) == len(sources))
        self.assertEqual({i: (r.status, r.fail_sent, type(r.error).__name__) for i, r in results.items()},
                         {"raises": ("failed", True, "OSError"), "short": ("failed", True, "EOFError"),
                          "none": ("failed", True, "FileNotFoundError")})
        self.assertEqual(results["short"].chunks, 1)  # the first MiB was there and taken

    async def test_a_refused_chunk_fails_the_fetch(self) -> None:
        # After "disconnect" the program still remembers the fetch, but the system refuses its data.
        c, w = self.client, self.work
        go = asyncio.Event()

        async def late(offset: int, length: int) -> bytes:
            await go.wait()
            return bytes(length)
        results: List[FetchResult] = []
        c.serve_fetches(lambda event: late, on_result=lambda event, result: results.append(result))
        await c.create([Item(w.root, "late.bin", "late", size=10000)])
        fetches = c.events("fetch")
        hydrate = asyncio.ensure_future(c.hydrate(w.path("late.bin")))
        await asyncio.wait_for(fetches.__anext__(), 30)
        await c.disconnect()
        go.set()
        with self.assertRaises(CommandError) as caught:
            await asyncio.wait_for(hydrate, 30)
        self.assertEqual(caught.exception.name, "PROVIDER_TERMINATED")
        await until(lambda: results)
        r = results[0]
        self.assertEqual((r.status, r.fail_sent, r.chunks), ("failed", True, 0))
        assert isinstance(r.error, CommandError)
        self.assertEqual((r.error.cmd, r.error.name), ("data", "INVALID_REQUEST"))


class SlowFetches(ProgramCase):
    connect = False
    fetch_timeout_ms = 1500  # the system gives up on a fetch without progress for 1.5 s

    async def slow_hydrate(self, name: str, progress_interval: Optional[float]) -> FetchResult:
        c = self.client

        async def slow(offset: int, length: int) -> bytes:
            await asyncio.sleep(3.0)
            return bytes(length)
        results: List[FetchResult] = []

        async def answer(event: FetchEvent) -> None:
            results.append(await c.answer_fetch(event, slow, progress_interval=progress_interval))
        remove = c.on("fetch", answer)
        await c.create([Item(self.work.root, name, name, size=10000)])
        try:
            await c.hydrate(self.work.path(name))
        finally:
            await until(lambda: results)
            remove()
        return results[0]

    async def test_progress_reports_keep_a_slow_fetch_alive(self) -> None:
        result = await self.slow_hydrate("kept.bin", 0.25)
        self.assertEqual((result.status, result.chunks), ("done", 1))
        self.assertGreaterEqual(result.progress_reports, 5)
        # The same fetch without reports: the system gives up, and the source's work is cancelled.
        with self.assertRaises(CommandError) as caught:
            await self.slow_hydrate("dropped.bin", None)
        self.assertEqual(caught.exception.name, "REQUEST_TIMEOUT")

    async def test_a_cancel_cancels_the_source(self) -> None:
        c, w = self.client, self.work
        cancelled = asyncio.Event()

        async def never(offset: int, length: int) -> bytes:
            try:
                await asyncio.sleep(60)
            except asyncio.CancelledError:
                cancelled.set()
                raise
            return b""
        results: List[FetchResult] = []
        c.serve_fetches(lambda event: never, progress_interval=None, on_result=lambda e, r: results.append(r))
        cancels = c.events("cancel")
        await c.create([Item(w.root, "never.bin", "never", size=10000)])
        with self.assertRaises(CommandError) as caught:
            await c.hydrate(w.path("never.bin"))
        self.assertEqual(caught.exception.name, "REQUEST_TIMEOUT")
        cancel = await asyncio.wait_for(cancels.__anext__(), 30)
        assert isinstance(cancel, CancelEvent)
        await asyncio.wait_for(cancelled.wait(), 10)
        await until(lambda: results)
        self.assertEqual((results[0].status, results[0].fail_sent), ("cancelled", False))
        self.assertEqual(cancel.reqs, [results[0].req])
        self.assertFalse(c.cancelled(results[0].req))  # forgotten once dealt with
