"""The program's process and its two pipes, served by one reader and one writer thread.

Threads rather than the event loop's own pipe support: they work the same under every event loop
(Windows needs the proactor loop for pipes, and asyncio cannot take the large input pipe that
Windows needs), and a line of any length is read and written without a stream's line limit."""

from __future__ import annotations

import asyncio
import collections
import json
import os
import subprocess
import threading
from typing import Any, Callable, Deque, List, Optional, Sequence

READ_SIZE = 1 << 20  # bytes asked of the output pipe per read
WRITE_LIMIT = 4 << 20  # drain() waits while more than this is queued for the program's input
INPUT_PIPE_SIZE = 1 << 20  # the program's input pipe on Windows: "data" lines are a megabyte or more

Trace = Callable[[str, bytes], None]


def spawn(argv: Sequence[str], env: Optional[Any], cwd: Optional[str], stderr: Any) -> subprocess.Popen:
    """Starts the program with pipes on its standard input and output."""
    if os.name == "nt":
        return _spawn_windows(argv, env, cwd, stderr)
    return subprocess.Popen(list(argv), stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=stderr,
                            env=env, cwd=cwd, bufsize=0)


def _spawn_windows(argv: Sequence[str], env: Optional[Any], cwd: Optional[str], stderr: Any) -> subprocess.Popen:
    """On Windows the parent chooses the buffer of the pipe the program reads; subprocess offers
    only the default of a few kilobytes, which throttles hydration. The pipe is made here with 1 MiB,
    the program gets its read end, and Popen.stdin becomes the write end."""
    import _winapi  # type: ignore[import-not-found]
    import msvcrt  # type: ignore[import-not-found]

    read_handle, write_handle = _winapi.CreatePipe(None, INPUT_PIPE_SIZE)
    read_fd = msvcrt.open_osfhandle(read_handle, os.O_RDONLY)
    write_fd = msvcrt.open_osfhandle(write_handle, 0)
    try:
        proc = subprocess.Popen(list(argv), stdin=read_fd, stdout=subprocess.PIPE, stderr=stderr, env=env, cwd=cwd,
                                bufsize=0)
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

    def __init__(self, proc: subprocess.Popen, loop: asyncio.AbstractEventLoop,
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
                        self._trace("<", line)
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


class Writer(threading.Thread):
    """Writes whole lines to the program's input in the order they were queued. put() is called on
    the event loop's thread and never blocks; drain() waits while much is queued."""

    def __init__(self, proc: subprocess.Popen, loop: asyncio.AbstractEventLoop) -> None:
        super().__init__(name="zcf-writer", daemon=True)
        self._stdin = proc.stdin
        self._fd = proc.stdin.fileno()  # type: ignore[union-attr]
        self._loop = loop
        self._lock = threading.Condition(threading.Lock())
        self._queue: Deque[Optional[bytes]] = collections.deque()  # None: close the input here
        self.queued = 0  # bytes in the queue
        self.broken = False  # a write failed: the program is gone
        self._waiters: List[asyncio.Future] = []

    def put(self, line: Optional[bytes]) -> None:
        with self._lock:
            if self.broken:
                return
            self._queue.append(line)
            if line is not None:
                self.queued += len(line)
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
                view = memoryview(line)
                while view:
                    view = view[os.write(self._fd, view):]
            except (OSError, ValueError):
                with self._lock:
                    self.broken = True
                    self._queue.clear()
                    self.queued = 0
                self._wake()
                self._close()
                return
            with self._lock:
                self.queued -= len(line)
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


def _resolve(waiter: asyncio.Future) -> None:
    if not waiter.done():
        waiter.set_result(None)
