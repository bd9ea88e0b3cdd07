"""Where the bytes of a fetch come from, how a fetch is cut into chunks, and what answering it did."""

from __future__ import annotations

import asyncio
import inspect
import os
from dataclasses import dataclass, field
from typing import Any, Awaitable, BinaryIO, Callable, List, Optional, Tuple, Union, cast

ALIGN = 4096  # chunks start on 4 KiB boundaries and cover whole pages, except the one ending the file
CHUNK = 1 << 20  # default bytes per "data" request


@dataclass(frozen=True)
class FileSource:
    """A file holding the placeholder's content from `offset` on: byte `offset` of the file is the
    placeholder's first byte."""

    path: Union[str, "os.PathLike[str]"]
    offset: int = 0


Chunk = Union[bytes, bytearray, memoryview]
ReadFunction = Callable[[int, int], Union[Chunk, Awaitable[Chunk]]]
Source = Union[bytes, bytearray, memoryview, str, "os.PathLike[str]", FileSource, ReadFunction]
"""The content to answer a fetch from: the whole file's bytes in memory; a file path (or FileSource
with an offset); or a function called with (offset, length) that returns exactly `length` bytes of
the placeholder from `offset` on. An async function is awaited on the event loop; a plain one is
called on a worker thread, so it may block."""


@dataclass
class FetchResult:
    """What answering one fetch came to.

    status: "done" (every chunk accepted), "cancelled" (a "cancel" event, or the program answered
    "stale": the request was gone), or "failed" (the source raised, gave too few bytes, or a chunk was
    refused; "fail" was then sent, and `error` is the exception or the CommandError of the chunk)."""

    req: int
    offset: int
    end: int
    status: str = "done"
    chunks: int = 0  # "data" requests the program took
    bytes: int = 0  # bytes in those
    stale: int = 0  # "data" requests answered "stale"
    progress_reports: int = 0  # "progress" requests the program took
    fail_sent: bool = False
    error: Optional[BaseException] = field(default=None, repr=False)


def chunk_ranges(offset: int, end: int, chunk_size: int) -> List[Tuple[int, int]]:
    """(offset, length) of the chunks that cover [offset, end), cut from the fetch's own offset."""
    return [(at, min(chunk_size, end - at)) for at in range(offset, end, chunk_size)]


def check_chunk_size(chunk_size: int) -> None:
    if chunk_size <= 0 or chunk_size % ALIGN:
        raise ValueError("chunk_size must be a positive multiple of 4096, not %r" % (chunk_size,))


class SourceReader:
    """Reads a source; open() before the first read, close() after the last."""

    async def open(self) -> None:
        pass

    async def read(self, offset: int, length: int) -> Chunk:
        raise NotImplementedError

    async def close(self) -> None:
        pass


class _MemoryReader(SourceReader):
    def __init__(self, data: Union[bytes, bytearray, memoryview]) -> None:
        self._view = memoryview(data).cast("B")

    async def read(self, offset: int, length: int) -> Chunk:
        return self._view[offset:offset + length]  # no copy: the writer encodes from the view


class _FileReader(SourceReader):
    def __init__(self, source: FileSource) -> None:
        self._source = source
        self._file: Optional[BinaryIO] = None

    async def open(self) -> None:
        self._file = await asyncio.get_running_loop().run_in_executor(None, open, self._source.path, "rb")

    def _read(self, offset: int, length: int) -> bytes:
        assert self._file is not None
        self._file.seek(self._source.offset + offset)
        return self._file.read(length)

    async def read(self, offset: int, length: int) -> Chunk:
        return await asyncio.get_running_loop().run_in_executor(None, self._read, offset, length)

    async def close(self) -> None:
        if self._file is not None:
            self._file.close()


class _FunctionReader(SourceReader):
    def __init__(self, fn: ReadFunction) -> None:
        self._fn = fn
        self._async = inspect.iscoroutinefunction(fn) or inspect.iscoroutinefunction(getattr(fn, "__call__", None))

    async def read(self, offset: int, length: int) -> Chunk:
        if self._async:
            result: Any = self._fn(offset, length)
        else:
            result = await asyncio.get_running_loop().run_in_executor(None, self._fn, offset, length)
        if inspect.isawaitable(result):
            result = await result
        return cast(Chunk, result)


def reader_for(source: Source) -> SourceReader:
    if isinstance(source, (bytes, bytearray, memoryview)):
        return _MemoryReader(source)
    if isinstance(source, FileSource):
        return _FileReader(source)
    if isinstance(source, (str, os.PathLike)):
        return _FileReader(FileSource(source))
    if callable(source):
        return _FunctionReader(source)
    raise TypeError("not a source of bytes: %r" % (type(source).__name__,))
