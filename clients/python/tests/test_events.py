"""Events: typed objects through handlers (plain and coroutine) and async iterators, with the change
events of a watched root, non-ASCII paths included."""

from __future__ import annotations

import asyncio
import os
from typing import List

from support import ProgramCase, until

from zembra_cloud_files import (ChangedEvent, CreatedEvent, DeletedEvent, Event, EventStream, Item, OpenedEvent, RenamedEvent,
                                ReadyEvent)
from zembra_cloud_files.model import parse_event


class ChangeEvents(ProgramCase):
    connect = True

    async def next_of(self, stream: EventStream, kind: type, path: str) -> Event:
        async for event in stream:
            if isinstance(event, kind) and getattr(event, "path") == path:
                return event
        raise AssertionError("the stream ended")

    async def test_handlers_and_iterators_see_the_same_typed_events(self) -> None:
        c, w = self.client, self.work
        created: List[Event] = []
        every: List[Event] = []
        later: List[Event] = []

        async def slow(event: Event) -> None:
            await asyncio.sleep(0.01)
            later.append(event)
        remove = c.on("created", created.append)
        c.on("*", every.append)
        c.on("renamed", slow)
        stream = c.events("created", "renamed", "deleted")
        first, second = w.path("Größe ✓.txt"), w.path("日本語 – ½.txt")
        with open(first, "w") as f:
            f.write("x")
        event = await asyncio.wait_for(self.next_of(stream, CreatedEvent, first), 30)
        self.assertEqual(event, CreatedEvent({}, first, False))
        self.assertEqual(event.raw["path"], first)
        os.rename(first, second)
        renamed = await asyncio.wait_for(self.next_of(stream, RenamedEvent, second), 30)
        self.assertEqual((renamed.from_path, renamed.path), (first, second))  # type: ignore[attr-defined]
        remove()
        os.remove(second)
        await asyncio.wait_for(self.next_of(stream, DeletedEvent, second), 30)
        os.mkdir(w.path("Photos"))
        folder = await asyncio.wait_for(self.next_of(stream, CreatedEvent, w.path("Photos")), 30)
        self.assertTrue(folder.folder)  # type: ignore[attr-defined]
        await until(lambda: later)
        self.assertEqual(created, [event])  # removed before the folder came
        self.assertEqual(later, [renamed])
        self.assertLess(every.index(event), every.index(renamed))
        stream.close()
        self.assertEqual([e async for e in stream], [])

    async def test_changed_events_carry_the_state(self) -> None:
        c, w = self.client, self.work
        await c.create([Item(w.root, "Ünï.txt", "u", size=5)])
        c.serve_fetches(lambda event: b"hello")
        stream = c.events("changed", "opened")
        os.setxattr(w.path("Ünï.txt"), "user.zcf.pin", b"1")  # as a user's "Always keep on this device"
        changed = await asyncio.wait_for(self.next_of(stream, ChangedEvent, w.path("Ünï.txt")), 30)
        a = changed.attrs  # type: ignore[attr-defined]
        self.assertEqual((a.pinned, a.online_only, a.identity, a.in_sync), (True, True, "u", True))
        await c.hydrate(w.path("Ünï.txt"))
        opened = await asyncio.wait_for(self.next_of(stream, OpenedEvent, w.path("Ünï.txt")), 30)
        self.assertEqual(opened.pid, c.pid)  # type: ignore[attr-defined]
        stream.close()

    def test_unknown_and_malformed_events_still_parse(self) -> None:
        self.assertEqual(parse_event({"event": "ready", "pid": 7}), ReadyEvent({}, 7))
        odd = parse_event({"event": "newer", "x": 1})
        self.assertEqual((odd.name, odd.raw["x"]), ("newer", 1))
        fetch = parse_event({"event": "fetch", "req": "1", "offset": 4096, "length": 8192, "fileSize": 5000})
        self.assertEqual((fetch.req, fetch.end), (0, 5000))  # type: ignore[attr-defined]
