"""A blocking client for threaded sync engines: the asyncio Client on an event loop of its own thread."""

from __future__ import annotations

import asyncio
import concurrent.futures
import os
import queue
import threading
from typing import Any, Awaitable, Callable, Coroutine, Dict, Iterable, List, Mapping, Optional, Sequence, TypeVar, Union

from .client import Client, Trace, find_program
from .fetch import CHUNK, FetchResult, Source
from .model import Attrs, CreateFailure, Entry, Event, ExitEvent, FetchEvent, Info, Item, ScanResult

T = TypeVar("T")
_DEFAULT: Any = object()


class SyncClient:
    """The same commands as Client, as blocking methods that may be called from any thread.

    Event handlers (on()) run one at a time, in arrival order, on a thread of their own, and may call
    blocking methods: a "fetch" handler can answer its fetch (answer_fetch) while another thread waits
    for the "hydrate" that caused it, because answers are read on the client's own threads.
    Each blocking call waits at most `timeout` seconds (None: without limit) and then raises
    TimeoutError; submit() sends without waiting. `aio` is the underlying Client."""

    def __init__(self, program: Optional[Union[str, "os.PathLike[str]"]] = None, *,
                 env: Optional[Mapping[str, str]] = None, cwd: Optional[str] = None, stderr: Any = None,
                 trace: Optional[Trace] = None, restart: bool = False, check_version: bool = True,
                 ready_timeout: float = 30.0, timeout: Optional[float] = None, argv_prefix: Sequence[str] = ()) -> None:
        self.timeout = timeout
        self._handlers: Dict[str, List[Callable[[Any], Any]]] = {}
        self._events: "queue.Queue[Event]" = queue.Queue()
        self._loop = asyncio.new_event_loop()
        self._thread = threading.Thread(target=self._loop.run_forever, name="zcf-loop", daemon=True)
        self._thread.start()
        argv = list(argv_prefix) + [find_program(program)]

        async def start() -> Client:
            client = Client(argv, env=env, cwd=cwd, stderr=stderr, trace=trace, restart=restart,
                            check_version=check_version, ready_timeout=ready_timeout)
            client.on("*", self._events.put)  # before the "ready" line is read: no event is missed
            await client._launch()
            return client
        try:
            self.aio: Client = self._call(start(), None)
        except BaseException:
            self._stop_loop()
            raise
        self._dispatcher = threading.Thread(target=self._dispatch, name="zcf-events", daemon=True)
        self._dispatcher.start()

    # ---- plumbing ----
    def _call(self, coro: Coroutine[Any, Any, T], timeout: Optional[float] = _DEFAULT) -> T:
        if threading.current_thread() is self._thread:
            raise RuntimeError("a blocking call on the client's own event loop; use the aio client there")
        future = asyncio.run_coroutine_threadsafe(coro, self._loop)
        try:
            return future.result(self.timeout if timeout is _DEFAULT else timeout)
        except concurrent.futures.TimeoutError:
            future.cancel()
            raise TimeoutError("no answer within %s s" % (self.timeout if timeout is _DEFAULT else timeout)) from None

    def submit(self, method: Union[str, Callable[..., Awaitable[T]]], *args: Any, **kwargs: Any) -> "concurrent.futures.Future[T]":
        """Starts a call without waiting for it: `method` is a coroutine method of `aio` or its name
        (submit("hydrate", path)). The request is written before submit() returns only once the loop
        has taken it; calls submitted from one thread are written in submission order."""
        fn = getattr(self.aio, method) if isinstance(method, str) else method
        return asyncio.run_coroutine_threadsafe(fn(*args, **kwargs), self._loop)

    def _dispatch(self) -> None:
        while True:
            event = self._events.get()
            for handler in list(self._handlers.get(event.name, ())) + list(self._handlers.get("*", ())):
                try:
                    handler(event)
                except Exception as e:  # a handler's fault must not stop the other events
                    self.aio._problem('"%s" handler: %s: %s' % (event.name, type(e).__name__, e))
            if isinstance(event, ExitEvent) and not event.restarting:
                return

    def _stop_loop(self) -> None:
        async def shut() -> None:
            await self._loop.shutdown_default_executor()
        if self._loop.is_running():
            asyncio.run_coroutine_threadsafe(shut(), self._loop).result(30)
            self._loop.call_soon_threadsafe(self._loop.stop)
            self._thread.join(30)
        if not self._loop.is_running():
            self._loop.close()

    # ---- life ----
    @property
    def pid(self) -> Optional[int]:
        return self.aio.pid

    @property
    def program_info(self) -> Optional[Info]:
        return self.aio.program_info

    @property
    def problems(self) -> List[str]:
        return self.aio.problems

    @property
    def returncode(self) -> Optional[int]:
        return self.aio.returncode

    def close(self, timeout: Optional[float] = _DEFAULT) -> int:
        """Closes the program's input and returns its exit code; handlers finish their work first."""
        code = self._call(self.aio.close(self.timeout if timeout is _DEFAULT else timeout), None)
        self._finish()
        return code

    def kill(self) -> None:
        """Kills the program at once, if it still runs, and waits for its end."""
        if self._loop.is_closed():
            return
        self._loop.call_soon_threadsafe(self.aio.kill)
        self._call(self.aio.wait(), None)
        self._finish()

    def _finish(self) -> None:
        if threading.current_thread() is not self._dispatcher:
            self._dispatcher.join()
        if not self._loop.is_closed():
            self._stop_loop()

    def __enter__(self) -> "SyncClient":
        return self

    def __exit__(self, *exc: Any) -> None:
        if not self._loop.is_closed():
            self.close()

    # ---- events ----
    def on(self, name: str, handler: Callable[[Any], Any]) -> Callable[[], None]:
        """Calls handler(event) on the handler thread for every event of that name ("*": all), and
        returns a function that removes it. The last event is the ExitEvent of the program's end."""
        self._handlers.setdefault(name, []).append(handler)

        def remove() -> None:
            if handler in self._handlers.get(name, []):
                self._handlers[name].remove(handler)
        return remove

    def cancelled(self, req: int) -> bool:
        return self.aio.cancelled(req)

    # ---- commands ----
    def request(self, cmd: str, **args: Any) -> Any:
        return self._call(self.aio.request(cmd, **args))

    def answer(self, cmd: str, **args: Any) -> Dict[str, Any]:
        return self._call(self.aio.answer(cmd, **args))

    def register(self, root: str, id: str, *, name: Optional[str] = None, icon: Optional[str] = None,
                 version: Optional[str] = None, population: Optional[str] = None) -> None:
        self._call(self.aio.register(root, id, name=name, icon=icon, version=version, population=population))

    def unregister(self, id: str) -> None:
        self._call(self.aio.unregister(id))

    def connect(self, root: str, *, watch: bool = False, confirm: Iterable[str] = ()) -> None:
        self._call(self.aio.connect(root, watch=watch, confirm=list(confirm)))

    def disconnect(self) -> None:
        self._call(self.aio.disconnect())

    def info(self) -> Info:
        return self._call(self.aio.info())

    def create(self, items: Iterable[Union[Item, Mapping[str, Any]]]) -> List[CreateFailure]:
        return self._call(self.aio.create(list(items)))

    def pin(self, path: str, state: Optional[str]) -> None:
        self._call(self.aio.pin(path, state))

    def dehydrate(self, path: str) -> None:
        self._call(self.aio.dehydrate(path))

    def attrs(self, path: str) -> Attrs:
        return self._call(self.aio.attrs(path))

    def adopt(self, path: str, identity: str) -> None:
        self._call(self.aio.adopt(path, identity))

    def scan(self, root: str) -> ScanResult:
        return self._call(self.aio.scan(root))

    def update(self, path: str, *, identity: Optional[str] = None, size: Optional[int] = None,
               mtime_ms: Optional[int] = None, dehydrate: bool = False, in_sync: Optional[bool] = None,
               if_in_sync: bool = False, usn: int = 0, populated: Optional[bool] = None) -> int:
        return self._call(self.aio.update(path, identity=identity, size=size, mtime_ms=mtime_ms, dehydrate=dehydrate,
                                          in_sync=in_sync, if_in_sync=if_in_sync, usn=usn, populated=populated))

    def insync(self, path: str, in_sync: bool, *, usn: int = 0) -> int:
        return self._call(self.aio.insync(path, in_sync, usn=usn))

    def revert(self, path: str) -> None:
        self._call(self.aio.revert(path))

    def data(self, req: int, offset: int, data: Union[bytes, bytearray, memoryview]) -> bool:
        return self._call(self.aio.data(req, offset, data))

    def fail(self, req: int) -> bool:
        return self._call(self.aio.fail(req))

    def entries(self, req: int, items: Iterable[Union[Entry, Mapping[str, Any]]]) -> Optional[List[CreateFailure]]:
        return self._call(self.aio.entries(req, list(items)))

    def allow(self, req: int) -> bool:
        return self._call(self.aio.allow(req))

    def deny(self, req: int) -> bool:
        return self._call(self.aio.deny(req))

    def progress(self, req: int, total: int, completed: int) -> bool:
        return self._call(self.aio.progress(req, total, completed))

    def hydrate(self, path: str, timeout: Optional[float] = _DEFAULT) -> None:
        """Waits for the hydration's end; handlers answer its fetches meanwhile."""
        self._call(self.aio.hydrate(path), timeout)

    def answer_fetch(self, fetch: FetchEvent, source: Source, *, chunk_size: int = CHUNK,
                     progress_interval: Optional[float] = 10.0, progress_every: int = 0) -> FetchResult:
        """Client.answer_fetch, waiting for its end. A plain function as source is called on a worker thread."""
        return self._call(self.aio.answer_fetch(fetch, source, chunk_size=chunk_size, progress_interval=progress_interval,
                                                progress_every=progress_every), None)

    def serve_fetches(self, source_for: Callable[[FetchEvent], Optional[Source]], *,
                      on_result: Optional[Callable[[FetchEvent, FetchResult], None]] = None, chunk_size: int = CHUNK,
                      progress_interval: Optional[float] = 10.0, progress_every: int = 0) -> Callable[[], None]:
        """Client.serve_fetches with plain functions: source_for and on_result run on worker threads,
        so they may block; fetches are answered side by side, not on the handler thread."""
        loop = self._loop

        async def source(event: FetchEvent) -> Optional[Source]:
            return await loop.run_in_executor(None, source_for, event)

        async def result(event: FetchEvent, outcome: FetchResult) -> None:
            if on_result is not None:
                await loop.run_in_executor(None, on_result, event, outcome)

        async def register() -> Callable[[], None]:
            return self.aio.serve_fetches(source, on_result=result, chunk_size=chunk_size,
                                          progress_interval=progress_interval, progress_every=progress_every)
        remove = self._call(register(), None)

        def stop() -> None:
            loop.call_soon_threadsafe(remove)
        return stop
