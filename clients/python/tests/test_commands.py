"""Every command against the real program: typed results, and errors with their codes and names."""

from __future__ import annotations

import asyncio
import os

from support import MIB, ProgramCase

from zembra_cloud_files import CommandError, ErrorCode, FetchEvent, Item


class SyncRoots(ProgramCase):
    async def test_registration_and_connection(self) -> None:
        c, work = self.client, self.work
        missing = os.path.join(work.top, "missing")
        a_file = os.path.join(work.top, "file.txt")
        open(a_file, "w").close()
        refusals = []
        for call in (c.register(missing, "X!1"), c.register(a_file, "X!1"), c.unregister("X!nobody"),
                     c.connect(work.top)):
            with self.assertRaises(CommandError) as caught:
                await call
            refusals.append((caught.exception.cmd, caught.exception.name))
        self.assertEqual(refusals, [("register", "FILE_NOT_FOUND"), ("register", "DIRECTORY"),
                                    ("unregister", "NOT_FOUND"), ("connect", "NOT_UNDER_SYNC_ROOT")])
        await c.connect(work.root)
        with self.assertRaises(CommandError) as caught:
            await c.connect(work.root)
        e = caught.exception
        self.assertEqual((e.code, e.code_hex, e.name), (ErrorCode.ALREADY_CONNECTED, "0x8007017a", "ALREADY_CONNECTED"))
        self.assertTrue(e.message.endswith("(0x8007017A)"), e.message)
        self.assertEqual(e.answer["code"], "0x8007017a")
        await c.disconnect()
        await c.disconnect()  # nothing connected: still {}
        await c.unregister(self.root_id)
        with self.assertRaises(CommandError) as caught:
            await c.unregister(self.root_id)
        self.assertEqual(caught.exception.code, ErrorCode.NOT_FOUND)

    async def test_info_and_unknown_commands(self) -> None:
        info = await self.client.info()
        self.assertEqual(info, self.client.program_info)
        self.assertEqual(info.platform, "linux")
        self.assertIn(info.front_end, ("fuse", "simulated"))
        self.assertRegex(info.version, r"^\d+\.\d+\.\d+$")
        self.assertEqual(await self.client.request("Register", root="x"), {"unknown": "Register"})
        answer = await self.client.answer("pin", path="")
        self.assertIs(answer["ok"], False)
        self.assertEqual(answer["seq"], self.client._seq)


class Placeholders(ProgramCase):
    connect = False

    async def asyncSetUp(self) -> None:
        await super().asyncSetUp()
        self.content = os.urandom(MIB + 100)
        self.client.serve_fetches(lambda event: self.content)

    async def test_create_reports_each_failed_item(self) -> None:
        w = self.work
        failures = await self.client.create([
            Item(w.root, "Docs", "docs", folder=True),
            Item(w.path("Docs"), "a.txt", "docs/a.txt", size=10000, mtime_ms=1700000000000),
            Item(w.root, "a/b", size=1), Item(w.root, "neg", size=-1), Item(w.root, "Docs"),
            {"dir": w.path("nowhere"), "name": "x.txt"}, {"dir": w.root}])
        self.assertEqual([(f.dir, f.name, f.code_name) for f in failures],
                         [(w.root, "a/b", "INVALID_NAME"), (w.root, "neg", "INVALID_ARG"),
                          (w.root, "Docs", "ALREADY_EXISTS"), (w.root, None, "INVALID_NAME"),
                          (w.path("nowhere"), "x.txt", "PATH_NOT_FOUND")])  # grouped by "dir"
        self.assertTrue(failures[0].error.endswith("(0x8007007B)"))
        a = await self.client.attrs(w.path("Docs", "a.txt"))
        self.assertEqual((a.identity, a.in_sync, a.online_only, a.is_placeholder, a.is_dir), ("docs/a.txt", True, True, True, False))
        self.assertTrue((await self.client.attrs(w.path("Docs"))).is_dir)
        st = os.stat(w.path("Docs", "a.txt"))
        self.assertEqual((st.st_size, st.st_mtime), (10000, 1700000000))
        gone = await self.client.attrs(w.path("missing"))
        self.assertEqual((gone.exists, gone.identity, gone.is_dir), (False, None, False))

    async def test_pin_dehydrate_and_scan(self) -> None:
        c, w = self.client, self.work
        self.assertEqual(await c.create([Item(w.root, "Docs", "docs", folder=True),
                                         Item(w.path("Docs"), "f.bin", "docs/f.bin", size=len(self.content))]), [])
        f = w.path("Docs", "f.bin")
        scan = await c.scan(w.root)
        self.assertEqual([(e.path, e.identity) for e in scan.online_only], [("Docs/f.bin", "docs/f.bin")])
        await c.pin(w.path("Docs"), "pinned")
        self.assertTrue((await c.attrs(f)).pinned)
        await c.hydrate(f)
        with open(f, "rb") as data:
            self.assertEqual(data.read(), self.content)
        with self.assertRaises(CommandError) as caught:
            await c.dehydrate(f)
        self.assertEqual(caught.exception.name, "PINNED")
        self.assertEqual(await c.scan(w.root), type(scan)([], ["Docs", "Docs/f.bin"], []))
        await c.pin(w.path("Docs"), "unpinned")
        await c.dehydrate(f)
        a = await c.attrs(f)
        self.assertEqual((a.online_only, a.unpinned, a.pinned), (True, True, False))
        self.assertEqual((await c.scan(w.root)).unpinned, ["Docs", "Docs/f.bin"])
        await c.pin(f, None)
        a = await c.attrs(f)
        self.assertEqual((a.pinned, a.unpinned), (False, False))
        for call, name in ((c.dehydrate(w.path("Docs")), "INVALID_REQUEST"), (c.pin(w.path("nope"), "pinned"), "FILE_NOT_FOUND")):
            with self.assertRaises(CommandError) as caught:
                await call
            self.assertEqual(caught.exception.name, name)

    async def test_adopt_update_insync_and_revert(self) -> None:
        c, w = self.client, self.work
        local = w.path("notes.txt")
        with open(local, "wb") as f:
            f.write(b"written here")
        self.assertFalse((await c.attrs(local)).is_placeholder)
        await c.adopt(local, "notes.txt")
        self.assertEqual((await c.attrs(local)).identity, "notes.txt")
        usn = await c.update(local, identity="notes#2", size=len(self.content), mtime_ms=1700000100000, in_sync=True)
        usn2 = await c.update(local, dehydrate=True, if_in_sync=True, usn=usn)
        self.assertGreater(usn2, usn)
        a = await c.attrs(local)
        self.assertEqual((a.identity, a.online_only, os.stat(local).st_size), ("notes#2", True, len(self.content)))
        with self.assertRaises(CommandError) as caught:
            await c.update(local, identity="notes#3", usn=usn)  # the number has moved since
        self.assertEqual((caught.exception.code, caught.exception.name), (0x80070179, "NOT_IN_SYNC"))
        with self.assertRaises(CommandError) as caught:
            await c.revert(local)  # its content is not here
        self.assertEqual(caught.exception.name, "CLOUD_ACCESS_DENIED")
        await c.hydrate(local)
        current = await c.insync(local, False)
        self.assertFalse((await c.attrs(local)).in_sync)
        self.assertGreater(await c.insync(local, True, usn=current), current)
        with self.assertRaises(CommandError) as caught:
            await c.insync(local, True, usn=current)
        self.assertEqual(caught.exception.name, "NOT_IN_SYNC")
        await c.revert(local)
        self.assertIsNone((await c.attrs(local)).identity)
        with self.assertRaises(CommandError) as caught:
            await c.revert(local)
        self.assertEqual(caught.exception.name, "NOT_A_CLOUD_FILE")
        with open(local, "rb") as f:
            self.assertEqual(f.read(), self.content)


class FetchCommands(ProgramCase):
    connect = False

    async def test_data_fail_and_progress(self) -> None:
        c, w = self.client, self.work
        self.assertEqual((await c.data(77, 0, b""), await c.fail(77), await c.progress(77, 10, 5)), (False, False, False))
        await c.create([Item(w.root, "a.bin", "a.bin", size=10000)])
        fetches = c.events("fetch")
        hydrate = asyncio.ensure_future(c.hydrate(w.path("a.bin")))
        fetch = await asyncio.wait_for(fetches.__anext__(), 30)
        assert isinstance(fetch, FetchEvent)
        self.assertEqual((fetch.identity, fetch.offset, fetch.length, fetch.file_size, fetch.end),
                         ("a.bin", 0, 12288, 10000, 10000))
        for call, code in ((c.progress(fetch.req, 100, 150), ErrorCode.INVALID_ARG),
                           (c.data(fetch.req, 100, b"x" * 4096), ErrorCode.INVALID_REQUEST)):
            with self.assertRaises(CommandError) as caught:
                await call
            self.assertEqual(caught.exception.code, code)
        self.assertTrue(await c.progress(fetch.req, 10000, 0))
        self.assertTrue(await c.data(fetch.req, 0, b"\1" * 8192))
        self.assertTrue(await c.data(fetch.req, 8192, b"\2" * 1808))
        await asyncio.wait_for(hydrate, 30)
        self.assertFalse(await c.data(fetch.req, 0, b"\1" * 4096))  # stale: complete
        with open(w.path("a.bin"), "rb") as f:
            self.assertEqual(f.read(), b"\1" * 8192 + b"\2" * 1808)
        fetches.close()

    async def test_hydrate_failures_take_the_code_from_the_text(self) -> None:
        with self.assertRaises(CommandError) as caught:
            await self.client.hydrate(self.work.path("missing.bin"))
        e = caught.exception
        self.assertNotIn("code", e.answer)  # a late answer carries the text only
        self.assertEqual((e.code, e.code_hex, e.name), (0x80070002, "0x80070002", "FILE_NOT_FOUND"))
        await self.client.create([Item(self.work.root, "b.bin", size=1)])
        await self.client.disconnect()
        with self.assertRaises(CommandError) as caught:
            await self.client.hydrate(self.work.path("b.bin"))
        self.assertEqual(caught.exception.name, "PROVIDER_NOT_RUNNING")
