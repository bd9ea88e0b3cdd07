"""The program's process and its two pipes, served by one reader and one writer thread.

Threads rather than the event loop's own pipe support: they work the same under every event loop
(Windows needs the proactor loop for pipes, and asyncio cannot take the large input pipe that
Windows needs), and a line of any length is read and written without a stream's line limit."""

from __future__ import annotations

import asyncio
import binascii
import collections
import json
import os
import subprocess
import sys
import threading
from typing import Any, Callable, Deque, Iterator, List, Optional, Sequence, Union

READ_SIZE = 1 << 20  # bytes asked of the output pipe per read
WRITE_LIMIT = 4 << 20  # drain() waits while more than this is queued for the program's input
INPUT_PIPE_SIZE = 1 << 20  # the program's input pipe on Windows: "data" lines are a megabyte or more
# Base64 is made 48 KiB of bytes at a time (64 KiB of text): pieces below malloc's mmap threshold are
# reused from the heap, where a whole megabyte of text would be fresh pages faulted in every time.
PIECE = 3 << 14
WRITE_BATCH = 256 << 10  # bytes of pieces gathered into one write

Trace = Callable[[str, bytes], None]


def spawn(argv: Sequence[str], env: Optional[Any], cwd: Optional[str], stderr: Any) -> "subprocess.Popen[bytes]":
    """Starts the program with pipes on its standard input and output."""
    if sys.platform == "win32":
        return _spawn_windows(argv, env, cwd, stderr)
    return subprocess.Popen(list(argv), stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=stderr,
                            env=env, cwd=cwd, bufsize=0)


if sys.platform == "win32":
    import _winapi
    import msvcrt

    def _spawn_windows(argv: Sequence[str], env: Optional[Any], cwd: Optional[str],
                       stderr: Any) -> "subprocess.Popen[bytes]":
        """On Windows the parent chooses the buffer of the pipe the program reads; subprocess offers
        only the default of a few kilobytes, which throttles hydration. The pipe is made here with
        1 MiB, the program gets its read end, and Popen.stdin becomes the write end."""
        read_handle, write_handle = _winapi.CreatePipe(None, INPUT_PIPE_SIZE)
        read_fd = msvcrt.open_osfhandle(read_handle, os.O_RDONLY)
        write_fd = msvcrt.open_osfhandle(write_handle, 0)
        try:
            proc = subprocess.Popen(list(argv), stdin=read_fd, stdout=subprocess.PIPE, stderr=stderr, env=env,
                                    cwd=cwd, bufsize=0)
        except BaseException:
            os.close(write_fd)
            raise
        finally:
            os.close(read_fd)  # the program holds its own inherited copy
        proc.stdin = os.fdopen(write_fd, "wb", buffering=0)
        return proc


class Reader(threading.Thread):
    """Reads the program's output, cuts it into lines of any length, parses them and hands each batch
    to the event loop (`deliver(list of objects or (line, error) pairs)`). At the end of the output it
    waits for the process and hands over its return code (`ended(returncode)`)."""

    def __init__(self, proc: "subprocess.Popen[bytes]", loop: asyncio.AbstractEventLoop,
                 deliver: Callable[[List[Any]], None], ended: Callable[[int], None], trace: Optional[Trace]) -> None:
        super().__init__(name="zcf-reader", daemon=True)
        self._fd = proc.stdout.fileno()  # type: ignore[union-attr]
        self._proc = proc
        self._loop = loop
        self._deliver = deliver
        self._ended = ended
        self._trace = trace

    def run(self) -> None:
        pending: List[bytes] = []  # the pieces of a line not yet ended
        try:
            while True:
                try:
                    chunk = os.read(self._fd, READ_SIZE)
                except OSError:
                    break
                if not chunk:
                    break
                batch: List[Any] = []
                start = 0
                while True:
                    lf = chunk.find(b"\n", start)
                    if lf < 0:
                        break
                    if pending:
                        pending.append(chunk[start:lf])
                        line = b"".join(pending)
                        pending = []
                    else:
                        line = chunk[start:lf]
                    start = lf + 1
                    if self._trace:
                        _call_trace(self._trace, "<", line)
                    try:
                        batch.append(json.loads(line))
                    except ValueError as e:
                        batch.append(_Unreadable(line, str(e)))
                if start < len(chunk):
                    pending.append(chunk[start:])
                if batch:
                    self._post(self._deliver, batch)
        finally:
            try:
                self._proc.stdout.close()  # type: ignore[union-attr]
            except OSError:
                pass
            self._post(self._ended, self._proc.wait())

    def _post(self, fn: Callable[[Any], None], arg: Any) -> None:
        try:
            self._loop.call_soon_threadsafe(fn, arg)
        except RuntimeError:
            pass  # the loop is closed: nobody listens any more


class _Unreadable:
    """A line that is not JSON (the program never writes one)."""

    __slots__ = ("line", "error")

    def __init__(self, line: bytes, error: str) -> None:
        self.line = line
        self.error = error


class DataLine:
    """A "data" request whose Base64 text the writer thread makes while writing it: the encoding,
    the client's largest cost, then overlaps the program's work, and never holds up the event loop."""

    __slots__ = ("data", "tail", "size")

    def __init__(self, data: Any, req: int, offset: int, seq: int) -> None:
        self.data = memoryview(data).cast("B")  # raises for what is not bytes, before anything is queued
        self.tail = b'","cmd":"data","offset":%d,"req":%d,"seq":%d}\n' % (offset, req, seq)
        self.size = (len(data) + 2) // 3 * 4 + len(self.tail) + 8

    def parts(self) -> Iterator[bytes]:
        yield b'{"b64":"'
        data = self.data
        for at in range(0, len(data), PIECE):
            yield binascii.b2a_base64(data[at:at + PIECE], newline=False)
        yield self.tail


Line = Union[bytes, DataLine]


class Writer(threading.Thread):
    """Writes whole lines to the program's input in the order they were queued. put() is called on
    the event loop's thread and never blocks; drain() waits while much is queued."""

    def __init__(self, proc: "subprocess.Popen[bytes]", loop: asyncio.AbstractEventLoop, trace: Optional[Trace]) -> None:
        super().__init__(name="zcf-writer", daemon=True)
        self._stdin = proc.stdin
        self._fd = proc.stdin.fileno()  # type: ignore[union-attr]
        self._loop = loop
        self._trace = trace
        self._lock = threading.Condition(threading.Lock())
        self._queue: Deque[Optional[Line]] = collections.deque()  # None: close the input here
        self.queued = 0  # bytes in the queue (as written)
        self.broken = False  # a write failed: the program is gone
        self._waiters: List["asyncio.Future[None]"] = []

    def put(self, line: Optional[Line]) -> None:
        with self._lock:
            if self.broken:
                return
            self._queue.append(line)
            if line is not None:
                self.queued += _size(line)
            self._lock.notify()

    def close_input(self) -> None:
        """The program's input ends once everything queued before is written."""
        self.put(None)

    async def drain(self) -> None:
        """Returns once at most WRITE_LIMIT bytes wait to be written."""
        while True:
            with self._lock:
                if self.queued <= WRITE_LIMIT or self.broken:
                    return
                waiter = self._loop.create_future()
                self._waiters.append(waiter)
            await waiter

    def run(self) -> None:
        while True:
            with self._lock:
                while not self._queue:
                    self._lock.wait()
                line = self._queue.popleft()
            if line is None:
                self._close()
                return
            try:
                parts = line.parts() if isinstance(line, DataLine) else iter((line,))
                if self._trace:
                    whole = b"".join(parts)
                    _call_trace(self._trace, ">", whole[:-1])
                    parts = iter((whole,))
                batch: List[bytes] = []
                size = 0
                for part in parts:
                    batch.append(part)
                    size += len(part)
                    if size >= WRITE_BATCH:
                        _write_all(self._fd, batch)
                        batch, size = [], 0
                if batch:
                    _write_all(self._fd, batch)
            except Exception:  # the program is gone; for anything else, ending its input ends it too
                with self._lock:
                    self.broken = True
                    self._queue.clear()
                    self.queued = 0
                self._wake()
                self._close()
                return
            del parts, batch
            with self._lock:
                self.queued -= _size(line)
                wake = bool(self._waiters) and self.queued <= WRITE_LIMIT
            if wake:
                self._wake()

    def _wake(self) -> None:
        with self._lock:
            waiters, self._waiters = self._waiters, []
        for waiter in waiters:
            try:
                self._loop.call_soon_threadsafe(_resolve, waiter)
            except RuntimeError:
                pass

    def _close(self) -> None:
        try:
            self._stdin.close()  # type: ignore[union-attr]
        except OSError:
            pass


def _call_trace(trace: Trace, direction: str, line: bytes) -> None:
    try:
        trace(direction, line)
    except Exception:
        pass  # a failing trace must not stop the conversation


def _size(line: Line) -> int:
    return line.size if isinstance(line, DataLine) else len(line)


def _write_all(fd: int, parts: List[bytes]) -> None:
    """Writes the parts as one line: gathered where the system can (no joined copy), else joined."""
    if hasattr(os, "writev"):
        views = [memoryview(p) for p in parts]
        while views:
            written = os.writev(fd, views)
            while views and written >= len(views[0]):
                written -= len(views[0])
                views.pop(0)
            if views and written:
                views[0] = views[0][written:]
    else:
        view = memoryview(b"".join(parts) if len(parts) > 1 else parts[0])
        while view:
            view = view[os.write(fd, view):]


def _resolve(waiter: "asyncio.Future[None]") -> None:
    if not waiter.done():
        waiter.set_result(None)
