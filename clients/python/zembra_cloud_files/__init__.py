"""A client for zembra_cloud_files: start the program, send its requests as typed method calls,
receive its events, and answer its fetches.

    import asyncio
    from zembra_cloud_files import Client

    async def main():
        async with await Client.start() as client:
            print(await client.info())

    asyncio.run(main())

Client is the asyncio API; SyncClient the same for threaded code. See README.md beside this package.
"""

from .client import SUPPORTED_VERSIONS, Client, EventStream, find_program
from .errors import CommandError, ErrorCode, ProgramExited, VersionMismatch, ZcfError
from .fetch import ALIGN, CHUNK, FetchResult, FileSource, Source
from .model import (Attrs, CancelEvent, ChangedEvent, CreatedEvent, CreateFailure, DeletedEvent, DeletingEvent, Entry,
                    Event, ExitEvent, FetchEvent, Info, Item, ListEvent, OnlineOnly, OpenedEvent, ReadyEvent,
                    RenamedEvent, RenamingEvent, RescanEvent, ScanResult, UnknownEvent)
from .sync import SyncClient

__version__ = "0.4.0"

__all__ = [
    "Client", "SyncClient", "EventStream", "find_program", "SUPPORTED_VERSIONS",
    "CommandError", "ErrorCode", "ProgramExited", "VersionMismatch", "ZcfError",
    "ALIGN", "CHUNK", "FetchResult", "FileSource", "Source",
    "Attrs", "CreateFailure", "Entry", "Info", "Item", "OnlineOnly", "ScanResult",
    "Event", "ReadyEvent", "FetchEvent", "CancelEvent", "ListEvent", "DeletingEvent", "RenamingEvent", "OpenedEvent",
    "ChangedEvent", "CreatedEvent", "DeletedEvent", "RenamedEvent", "RescanEvent", "ExitEvent", "UnknownEvent",
]
