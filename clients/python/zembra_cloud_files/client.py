"""The asyncio client: starts the program, sends requests, matches answers and hands out events."""

from __future__ import annotations

import asyncio
import functools
import inspect
import json
import logging
import os
import shutil
import subprocess
from typing import (Any, Callable, Dict, Iterable, List, Mapping, Optional, Sequence, Set,
                    Tuple, Union)

from . import _pipes
from .errors import CommandError, ProgramExited, VersionMismatch, ZcfError
from .fetch import CHUNK, FetchResult, Source, SourceReader, check_chunk_size, chunk_ranges, reader_for
from .model import (Attrs, CancelEvent, CreateFailure, Entry, Event, ExitEvent, FetchEvent, Info, Item, ReadyEvent,
                    ScanResult, parse_event)

log = logging.getLogger("zembra_cloud_files")

PROGRAM_NAME = "zembra_cloud_files"
SUPPORTED_VERSIONS = ((0, 4), (1, 0))  # from 0.4.0 up to, not including, 1.0.0

Handler = Callable[[Any], Any]  # called with an event; may return an awaitable
Trace = Callable[[str, bytes], None]  # (">" or "<", one line without its LF)


def find_program(program: Optional[Union[str, "os.PathLike[str]"]] = None) -> str:
    """The program to start: `program` when given; else zembra_cloud_files on PATH; else the
    repository's own build (build/native, or build/windows on Windows) beside this package's folder."""
    if program is not None:
        return os.fspath(program)
    found = shutil.which(PROGRAM_NAME)
    if found:
        return found
    here = os.path.dirname(os.path.abspath(__file__))
    repository = os.path.normpath(os.path.join(here, os.pardir, os.pardir, os.pardir))
    built = os.path.join(repository, "build", "windows", PROGRAM_NAME + ".exe") if os.name == "nt" else \
        os.path.join(repository, "build", "native", PROGRAM_NAME)
    if os.path.isfile(built):
        return built
    raise FileNotFoundError("%s is neither on PATH nor built at %s; pass its path" % (PROGRAM_NAME, built))


def version_supported(version: str) -> bool:
    try:
        parts = tuple(int(p) for p in version.split("."))
    except ValueError:
        return False
    low, high = SUPPORTED_VERSIONS
    return len(parts) == 3 and low <= parts[:2] < high


def _retrieve(future: "asyncio.Future[Any]") -> None:
    """Marks a future's exception as seen: answers nobody waits for any more end quietly."""
    if not future.cancelled():
        future.exception()


def _dumps(obj: Mapping[str, Any]) -> bytes:
    # Raises before anything is sent when a text cannot be UTF-8 (a lone surrogate): a line that is
    # not UTF-8 would end the conversation.
    return json.dumps(obj, ensure_ascii=False, separators=(",", ":"), allow_nan=False).encode("utf-8") + b"\n"


class _Pending:
    __slots__ = ("future", "cmd", "ordered")

    def __init__(self, future: "asyncio.Future[Dict[str, Any]]", cmd: str, ordered: bool) -> None:
        self.future = future
        self.cmd = cmd
        self.ordered = ordered  # answered in request order (all but "hydrate")


class _End:
    pass


_END = _End()


class EventStream:
    """An async iterator over the events from its creation on (optionally only some names). After the
    program's final end it yields the ExitEvent and stops. Events wait in memory until taken: read
    them, or close() the stream."""

    def __init__(self, client: "Client", names: Sequence[str]) -> None:
        self._client = client
        self._names = frozenset(names)
        self._queue: "asyncio.Queue[Union[Event, _End]]" = asyncio.Queue()

    def _offer(self, item: Union[Event, _End]) -> None:
        if isinstance(item, _End) or not self._names or item.name in self._names or item.name == "exit":
            self._queue.put_nowait(item)

    def __aiter__(self) -> "EventStream":
        return self

    async def __anext__(self) -> Event:
        item = await self._queue.get()
        if isinstance(item, _End):
            self._queue.put_nowait(item)
            raise StopAsyncIteration
        return item

    def close(self) -> None:
        self._client._streams.discard(self)
        self._queue.put_nowait(_END)

    async def __aenter__(self) -> "EventStream":
        return self

    async def __aexit__(self, *exc: Any) -> None:
        self.close()


class _FetchState:
    __slots__ = ("position", "sent", "reports", "checked")

    def __init__(self, position: int) -> None:
        self.position = position  # the end of what has been read from the source
        self.sent: List[Tuple["asyncio.Future[Dict[str, Any]]", int]] = []  # "data" answers and byte counts
        self.reports: List["asyncio.Future[Dict[str, Any]]"] = []  # "progress" answers
        self.checked = 0  # sent[:checked] are answered and were neither refused nor stale


class Client:
    """One running program, driven from asyncio. Make it with `await Client.start(...)`.

    Every command of the protocol is a method that returns its typed result or raises CommandError.
    Requests may be sent from any number of tasks at once: each line is written whole, in the order
    of the calls, and each answer goes to its caller by "seq". Events go to handlers (on()) and to
    async iterators (events()). If the program ends, every waiting call raises ProgramExited at once,
    and so does every later call; handlers get an ExitEvent. With restart=True a program that ends
    without close() is started again (an ExitEvent with restarting=True, then a ReadyEvent): register
    and connect again on that ReadyEvent.

    Methods must be called on the event loop the client was started on."""

    def __init__(self, argv: Sequence[str], *, env: Optional[Mapping[str, str]] = None, cwd: Optional[str] = None,
                 stderr: Any = None, trace: Optional[Trace] = None, restart: bool = False,
                 check_version: bool = True, ready_timeout: float = 30.0) -> None:
        self._loop = asyncio.get_running_loop()
        self._argv = list(argv)
        self._env = dict(env) if env is not None else None
        self._cwd = cwd
        self._stderr = stderr
        self._trace = trace
        self._restart = restart
        self._check_version = check_version
        self._ready_timeout = ready_timeout
        self.pid: Optional[int] = None  # the program's process id, from its "ready" event
        self.program_info: Optional[Info] = None  # its "info", when the version was checked
        self.returncode: Optional[int] = None  # after it ended: its exit code, or -signal
        self.problems: List[str] = []  # lines that fit no request, failing handlers: a sound run has none
        self._state = "starting"  # "running", "restarting", "exited"
        self._closing = False
        self._gen = 0  # counts the processes started, so that a late line of an old one is ignored
        self._proc: Optional["subprocess.Popen[bytes]"] = None
        self._writer: Optional[_pipes.Writer] = None
        self._seq = 0
        self._pending: Dict[int, _Pending] = {}
        self._handlers: Dict[str, List[Handler]] = {}
        self._streams: Set[EventStream] = set()
        self._tasks: Set["asyncio.Task[Any]"] = set()  # running coroutine handlers
        self._ready: Optional["asyncio.Future[ReadyEvent]"] = None
        self._up = asyncio.Event()  # set while running, and for good once exited
        self._exited: "asyncio.Future[int]" = self._loop.create_future()
        self._exit_error: Optional[ProgramExited] = None  # the last end: raised by calls until a restart is up
        self._live_fetches: Set[int] = set()  # fetch ids seen and neither cancelled nor answered
        self._cancelled: Set[int] = set()  # fetch ids a "cancel" named before they were answered
        self._fetch_tasks: Dict[int, "asyncio.Task[None]"] = {}

    # ------------------------------------------------------------------ life
    @classmethod
    async def start(cls, program: Optional[Union[str, "os.PathLike[str]"]] = None, *, env: Optional[Mapping[str, str]] = None,
                    cwd: Optional[str] = None, stderr: Any = None, trace: Optional[Trace] = None,
                    restart: bool = False, check_version: bool = True, ready_timeout: float = 30.0,
                    argv_prefix: Sequence[str] = ()) -> "Client":
        """Starts the program (find_program(program)), waits for its "ready" event and checks the
        version that "info" reports. `env` is the program's whole environment (on Linux give each
        run its own XDG_STATE_HOME in tests); `argv_prefix` a launcher to run it with."""
        client = cls(list(argv_prefix) + [find_program(program)], env=env, cwd=cwd, stderr=stderr, trace=trace,
                     restart=restart, check_version=check_version, ready_timeout=ready_timeout)
        await client._launch()
        return client

    async def __aenter__(self) -> "Client":
        return self

    async def __aexit__(self, *exc: Any) -> None:
        await self.close()

    async def _launch(self) -> None:
        self._gen += 1
        gen = self._gen
        self._state = "starting"
        self._ready = self._loop.create_future()
        self._ready.add_done_callback(_retrieve)
        proc = _pipes.spawn(self._argv, self._env, self._cwd, self._stderr)
        self._proc = proc
        self._writer = _pipes.Writer(proc, self._loop, self._trace)
        reader = _pipes.Reader(proc, self._loop, lambda batch: self._on_lines(gen, batch),
                               lambda code: self._on_exit(gen, code), self._trace)
        self._writer.start()
        reader.start()
        try:
            await asyncio.wait_for(asyncio.shield(self._ready), self._ready_timeout)
        except asyncio.TimeoutError:
            self.kill()
            await asyncio.shield(self._exited)
            raise ZcfError('no "ready" event from the program within %s s' % self._ready_timeout) from None
        self._state = "running"
        self._up.set()
        if self._check_version:
            info = await self.info()
            if not version_supported(info.version):
                self.kill()
                await asyncio.shield(self._exited)
                raise VersionMismatch("the program's version %s is not one this client speaks (%d.%d up to %d.%d)"
                                      % ((info.version,) + SUPPORTED_VERSIONS[0] + SUPPORTED_VERSIONS[1]))
            self.program_info = info

    @property
    def running(self) -> bool:
        return self._state == "running"

    async def close(self, timeout: Optional[float] = None) -> int:
        """Ends the program the protocol's way, by closing its input after every line sent before,
        and returns its exit code (0). It does not disconnect: send disconnect() first for an orderly
        end. Killed when it has not ended within `timeout` seconds."""
        self._closing = True
        if self._state == "restarting" or self._state == "starting" and self.pid is not None:
            await self._up.wait()  # a restart under way: end the new program
        if self._state != "exited" and self._writer is not None:
            self._writer.close_input()
        try:
            return await asyncio.wait_for(asyncio.shield(self._exited), timeout)
        except asyncio.TimeoutError:
            self.kill()
            return await asyncio.shield(self._exited)

    def kill(self) -> None:
        """Kills the program at once (no restart follows). Its mounts stay behind on Linux."""
        self._closing = True
        if self._proc is not None and self._proc.poll() is None:
            try:
                self._proc.kill()
            except OSError:
                pass

    async def wait(self) -> int:
        """Waits for the program's final end and returns its return code."""
        return await asyncio.shield(self._exited)

    # ------------------------------------------------------------------ events
    def on(self, name: str, handler: Handler) -> Callable[[], None]:
        """Calls handler(event) for every event of that name ("fetch", "changed", ..., "exit"; "*"
        for all) and returns a function that removes it. A plain function runs on the event loop
        and must not block; a coroutine function is started as a task per event (in arrival order,
        then running side by side). Exceptions are logged and kept in `problems`."""
        self._handlers.setdefault(name, []).append(handler)

        def remove() -> None:
            handlers = self._handlers.get(name, [])
            if handler in handlers:
                handlers.remove(handler)
        return remove

    def events(self, *names: str) -> EventStream:
        """An async iterator over the events from now on (of the given names; all when none)."""
        stream = EventStream(self, names)
        if self._state == "exited":
            stream._offer(_END)
        else:
            self._streams.add(stream)
        return stream

    def _on_lines(self, gen: int, batch: List[Any]) -> None:
        if gen != self._gen:
            return
        for message in batch:
            if isinstance(message, _pipes._Unreadable):
                self._problem("unreadable line: %r (%s)" % (message.line[:200], message.error))
            elif not isinstance(message, dict):
                self._problem("not an object: %r" % (message,))
            elif "event" in message:
                self._on_event(message)
            else:
                self._on_answer(message)

    def _on_answer(self, message: Dict[str, Any]) -> None:
        if "seq" in message:
            seq = message["seq"]
            pending = self._pending.pop(seq, None) if isinstance(seq, int) else None
        else:
            # Only a line the program could not read is answered without "seq"; answers come in request
            # order, so it belongs to the oldest request still waiting for an in-order answer.
            seq = next((s for s, p in self._pending.items() if p.ordered), None)
            pending = self._pending.pop(seq) if seq is not None else None
        if pending is None:
            self._problem("answer for no request: %s" % (json.dumps(message)[:300],))
        elif not pending.future.done():
            pending.future.set_result(message)

    def _on_event(self, message: Dict[str, Any]) -> None:
        event = parse_event(message)
        if isinstance(event, ReadyEvent):
            self.pid = event.pid  # before handlers hear of it
            if self._ready is not None and not self._ready.done():
                self._ready.set_result(event)
        elif isinstance(event, FetchEvent):
            self._live_fetches.add(event.req)
        elif isinstance(event, CancelEvent):
            for req in event.reqs:
                if req in self._live_fetches:
                    self._live_fetches.discard(req)
                    self._cancelled.add(req)
                task = self._fetch_tasks.get(req)
                if task is not None:
                    task.cancel()
        self._emit(event)

    def _emit(self, event: Event) -> None:
        for stream in list(self._streams):
            stream._offer(event)
        for handler in list(self._handlers.get(event.name, ())) + list(self._handlers.get("*", ())):
            try:
                outcome = handler(event)
            except Exception as e:
                self._problem('"%s" handler: %s: %s' % (event.name, type(e).__name__, e))
                continue
            if inspect.isawaitable(outcome):
                task = asyncio.ensure_future(outcome)
                self._tasks.add(task)
                task.add_done_callback(functools.partial(self._handler_done, name=event.name))

    def _handler_done(self, task: "asyncio.Task[Any]", name: str) -> None:
        self._tasks.discard(task)
        e = None if task.cancelled() else task.exception()
        if e is not None and not isinstance(e, ProgramExited):  # the end is told by the ExitEvent
            self._problem('"%s" handler: %s: %s' % (name, type(e).__name__, e))

    def _problem(self, text: str) -> None:
        self.problems.append(text)
        log.warning("%s", text)

    def _on_exit(self, gen: int, returncode: int) -> None:
        if gen != self._gen:
            return
        self.returncode = returncode
        code, sig = (None, -returncode) if returncode < 0 else (returncode, None)
        was_running = self._state == "running"  # else it ended while starting: _launch raises
        self._exit_error = ProgramExited(code, sig)
        self._state = "restarting"
        self._up.clear()
        pending, self._pending = self._pending, {}
        for p in pending.values():
            if not p.future.done():
                p.future.set_exception(ProgramExited(code, sig, '"%s"' % p.cmd))
        if self._ready is not None and not self._ready.done():
            self._ready.set_exception(ProgramExited(code, sig, 'with "ready"'))
        for task in list(self._fetch_tasks.values()):
            task.cancel()
        self._live_fetches.clear()
        self._cancelled.clear()
        restarting = self._restart and not self._closing and was_running
        handlers_before = list(self._tasks)
        self._emit(ExitEvent({}, code, sig, restarting))
        if restarting:
            self._loop.create_task(self._relaunch())
        else:
            self._finish(handlers_before)

    async def _relaunch(self) -> None:
        try:
            await self._launch()
        except Exception as e:  # the new program did not come up (its own end was told): the end
            self._problem("restart failed: %s: %s" % (type(e).__name__, e))
            if self._state != "exited":
                self._finish(list(self._tasks))

    def _finish(self, handlers: List["asyncio.Task[Any]"]) -> None:
        """The final end: handlers still running stop (those the ExitEvent started run on)."""
        self._state = "exited"
        self._up.set()  # wakes callers waiting for a restart: they raise
        for task in handlers:
            task.cancel()
        for stream in list(self._streams):
            stream._offer(_END)
        self._streams.clear()
        if not self._exited.done():
            self._exited.set_result(self.returncode if self.returncode is not None else -1)

    # ------------------------------------------------------------------ requests
    def _submit(self, cmd: str, make_line: Callable[[int], _pipes.Line], ordered: bool = True) -> "asyncio.Future[Dict[str, Any]]":
        """Writes one request now (in call order) and returns the future of its answer."""
        if self._state != "running":
            raise self._not_running(cmd)
        line = make_line(self._seq + 1)
        self._seq += 1
        future: "asyncio.Future[Dict[str, Any]]" = self._loop.create_future()
        future.add_done_callback(_retrieve)
        self._pending[self._seq] = _Pending(future, cmd, ordered)
        assert self._writer is not None
        self._writer.put(line)
        return future

    def _not_running(self, cmd: str) -> ZcfError:
        if self._exit_error is not None:
            return ProgramExited(self._exit_error.returncode, self._exit_error.signal, '"%s"' % cmd)
        return ZcfError('the program is not running (%s): "%s" not sent' % (self._state, cmd))

    async def _until_running(self, cmd: str) -> None:
        while self._state == "restarting" or self._state == "starting" and self.pid is not None:
            await self._up.wait()
            if self._state == "exited":
                break
        if self._state != "running":
            raise self._not_running(cmd)

    def _send(self, cmd: str, args: Mapping[str, Any], ordered: bool = True) -> "asyncio.Future[Dict[str, Any]]":
        body = dict(args)
        return self._submit(cmd, lambda seq: _dumps(dict(body, cmd=cmd, seq=seq)), ordered)

    async def answer(self, cmd: str, **args: Any) -> Dict[str, Any]:
        """Sends any request and returns its whole answer object, "ok" false included."""
        await self._until_running(cmd)
        return await self._send(cmd, args)

    async def request(self, cmd: str, **args: Any) -> Any:
        """Sends any request and returns its "result"; raises CommandError when it fails. An
        unknown command answers {"unknown": cmd}."""
        answer = await self.answer(cmd, **args)
        if answer.get("ok") is not True:
            raise CommandError(cmd, answer)
        return answer.get("result")

    # ------------------------------------------------------------------ commands
    async def register(self, root: str, id: str, *, name: Optional[str] = None, icon: Optional[str] = None,
                       version: Optional[str] = None, population: Optional[str] = None) -> None:
        """Registers the existing folder `root` as a sync root under `id` (on Windows by convention
        Provider!<user SID>!<account>). `name`, `icon` and `version` are shown by the shell.
        `population` "onDemand" lets folders created with populated=False be filled when first listed
        ("list" events); "full" (the default) never asks. The Linux build refuses "onDemand" for now
        (NOT_SUPPORTED)."""
        args: Dict[str, Any] = {"root": root, "id": id}
        for key, value in (("name", name), ("icon", icon), ("version", version), ("population", population)):
            if value is not None:
                args[key] = value
        await self.request("register", **args)

    async def unregister(self, id: str) -> None:
        """Removes a registration; the folder and its placeholders stay. NOT_FOUND for an unknown id."""
        await self.request("unregister", id=id)

    async def connect(self, root: str, *, watch: bool = False, confirm: Iterable[str] = ()) -> None:
        """Connects this program to the registered sync root as its provider; fetches may come at
        once. With `watch`, changes under the root come as change events until disconnect(). With
        `confirm` ("delete", "rename" or both) a program's delete or rename of a placeholder waits
        for allow() or deny() after a "deleting" or "renaming" event (refused on Linux for now)."""
        args: Dict[str, Any] = {"root": root}
        if watch:
            args["watch"] = True
        confirmations = list(confirm)
        if confirmations:
            args["confirm"] = confirmations
        await self.request("connect", **args)

    async def disconnect(self) -> None:
        """Ends the connection of the last connect() (and its watch); also fine when none."""
        await self.request("disconnect")

    async def info(self) -> Info:
        """What the program runs on: front end ("cloud-files", "fuse", "simulated"), platform, version."""
        return Info.from_json(await self.request("info"))

    async def create(self, items: Iterable[Union[Item, Mapping[str, Any]]]) -> List[CreateFailure]:
        """Creates placeholders (Item, or the protocol's item objects) and returns those that failed;
        an empty list when all were made."""
        wire = [i.to_json() if isinstance(i, Item) else dict(i) for i in items]
        result = await self.request("create", items=wire)
        return [CreateFailure.from_json(f) for f in result.get("failed", [])]

    async def pin(self, path: str, state: Optional[str]) -> None:
        """Sets the pin state of a file or of a whole tree: "pinned", "unpinned", or None for unspecified."""
        args: Dict[str, Any] = {"path": path}
        if state is not None:
            args["state"] = state
        await self.request("pin", **args)

    async def dehydrate(self, path: str) -> None:
        """Discards a file placeholder's local content (NOT_IN_SYNC, PINNED, IN_USE refuse it)."""
        await self.request("dehydrate", path=path)

    async def attrs(self, path: str) -> Attrs:
        """Attributes and placeholder state of any path; never fails (a missing path: exists False)."""
        return Attrs.from_json(await self.request("attrs", path=path))

    async def adopt(self, path: str, identity: str) -> None:
        """Turns an existing file or folder in the root into an in-sync placeholder with this identity."""
        await self.request("adopt", path=path, identity=identity)

    async def scan(self, root: str) -> ScanResult:
        """The tree's online-only, pinned and unpinned entries, as paths relative to `root`."""
        return ScanResult.from_json(await self.request("scan", root=root))

    async def update(self, path: str, *, identity: Optional[str] = None, size: Optional[int] = None,
                     mtime_ms: Optional[int] = None, dehydrate: bool = False, in_sync: Optional[bool] = None,
                     if_in_sync: bool = False, usn: int = 0, populated: Optional[bool] = None) -> int:
        """Applies a change from the store; only what is given changes. Returns the file's new usn.
        `populated` (folders): False makes the next listing ask again, True marks the folder filled."""
        args: Dict[str, Any] = {"path": path}
        for key, value in (("identity", identity), ("size", size), ("mtimeMs", mtime_ms), ("inSync", in_sync),
                           ("populated", populated)):
            if value is not None:
                args[key] = value
        if dehydrate:
            args["dehydrate"] = True
        if if_in_sync:
            args["ifInSync"] = True
        if usn:
            args["usn"] = usn
        return int((await self.request("update", **args))["usn"])

    async def insync(self, path: str, in_sync: bool, *, usn: int = 0) -> int:
        """Marks the placeholder in sync or not; returns the file's usn after it."""
        args: Dict[str, Any] = {"path": path, "inSync": bool(in_sync)}
        if usn:
            args["usn"] = usn
        return int((await self.request("insync", **args))["usn"])

    async def revert(self, path: str) -> None:
        """Turns a placeholder back into an ordinary file or folder (CLOUD_ACCESS_DENIED while online-only)."""
        await self.request("revert", path=path)

    async def data(self, req: int, offset: int, data: Union[bytes, bytearray, memoryview]) -> bool:
        """Supplies bytes for a fetch. True when the system took them, False when the request is no
        longer outstanding ("stale"); CommandError when the chunk was refused."""
        await self._until_running("data")
        return self._taken("data", await self._send_data(req, offset, data))

    async def fail(self, req: int) -> bool:
        """Fails a fetch or a listing. True when handed over, False when "stale"."""
        return self._taken("fail", await self.answer("fail", req=req))

    async def entries(self, req: int, items: Iterable[Union[Entry, Mapping[str, Any]]]) -> Optional[List[CreateFailure]]:
        """Answers a "list" event with the folder's children (Entry, or the protocol's item objects
        without "dir"); the folder is filled from then on. Returns the children that were not created
        (an empty list when all were), or None when the listing is no longer outstanding ("stale")."""
        wire = [i.to_json() if isinstance(i, Entry) else dict(i) for i in items]
        result = await self.request("entries", req=req, items=wire)
        if isinstance(result, dict) and result.get("stale") is True:
            return None
        return [CreateFailure.from_json(f) for f in result.get("failed", [])]

    async def allow(self, req: int) -> bool:
        """Lets the delete or rename of a "deleting" or "renaming" event go on. False when "stale"."""
        return self._taken("allow", await self.answer("allow", req=req))

    async def deny(self, req: int) -> bool:
        """Refuses it: the program that tried sees CLOUD_ACCESS_DENIED. False when "stale"."""
        return self._taken("deny", await self.answer("deny", req=req))

    async def progress(self, req: int, total: int, completed: int) -> bool:
        """Reports progress on a fetch (restarts its 60 s time-out). True when taken, False when "stale"."""
        return self._taken("progress", await self.answer("progress", req=req, total=total, completed=completed))

    async def hydrate(self, path: str) -> None:
        """Brings a whole file onto the disk; returns when the hydration has ended (the fetches it
        causes must be answered meanwhile: see answer_fetch and serve_fetches)."""
        await self._until_running("hydrate")
        answer = await self._send("hydrate", {"path": path}, ordered=False)
        if answer.get("ok") is not True:
            raise CommandError("hydrate", answer)

    @staticmethod
    def _taken(cmd: str, answer: Mapping[str, Any]) -> bool:
        if answer.get("ok") is not True:
            raise CommandError(cmd, answer)
        result = answer.get("result")
        return not (isinstance(result, dict) and result.get("stale") is True)

    def _send_data(self, req: int, offset: int, data: Union[bytes, bytearray, memoryview]) -> "asyncio.Future[Dict[str, Any]]":
        # Built by hand, on the writer thread: Base64 needs no JSON escaping, and json.dumps would
        # spend longer on a megabyte of text than the program does.
        return self._submit("data", lambda seq: _pipes.DataLine(data, req, offset, seq))

    async def drain(self) -> None:
        """Waits while much is queued for the program's input (backpressure for bulk senders)."""
        if self._writer is not None:
            await self._writer.drain()

    # ------------------------------------------------------------------ answering fetches
    def cancelled(self, req: int) -> bool:
        """True when a "cancel" event has named this fetch and it has not been answered since."""
        return req in self._cancelled

    async def answer_fetch(self, fetch: FetchEvent, source: Source, *, chunk_size: int = CHUNK,
                           progress_interval: Optional[float] = 10.0, progress_every: int = 0) -> FetchResult:
        """Answers one fetch from `source` (see Source): "data" chunks of `chunk_size` bytes from the
        fetch's offset to its end, written back to back while the pipe takes them, answers checked as
        they come. Sends "progress" each `progress_interval` seconds while the fetch is pending (None:
        never) and, with `progress_every` N, before every Nth chunk of a fetch longer than one chunk.
        A "cancel" for it cancels the work (an async source sees CancelledError); a source that raises
        or gives too few bytes, and a refused chunk, end in "fail". Returns what was done; raises
        ProgramExited if the program ends meanwhile."""
        check_chunk_size(chunk_size)
        req = fetch.req
        result = FetchResult(req, fetch.offset, fetch.end)
        if req in self._fetch_tasks:
            raise ZcfError("fetch %d is being answered already" % req)
        if req in self._cancelled:
            self._cancelled.discard(req)
            result.status = "cancelled"
            return result
        await self._until_running("data")
        state = _FetchState(fetch.offset)
        reader = reader_for(source)
        task = self._loop.create_task(self._transfer(fetch, reader, state, chunk_size, progress_every))
        self._fetch_tasks[req] = task
        keeper = self._loop.create_task(self._keep_alive(fetch, state, progress_interval)) if progress_interval else None
        try:
            await asyncio.wait({task})
        finally:
            if keeper is not None:
                keeper.cancel()
            if not task.done():
                task.cancel()
            self._fetch_tasks.pop(req, None)
            self._cancelled.discard(req)
            self._live_fetches.discard(req)
        if self._state != "running" and task.cancelled():
            raise self._not_running("data")
        source_error = None if task.cancelled() else task.exception()
        if source_error is not None and self._state != "running":
            raise self._not_running("data")
        if source_error is not None:
            result.status, result.error = "failed", source_error
            await self._send_fail(result)
        await self._settle(state, result)
        if task.cancelled() or result.stale:
            result.status = "cancelled" if result.status == "done" else result.status
        return result

    async def _transfer(self, fetch: FetchEvent, reader: SourceReader, state: _FetchState, chunk_size: int,
                        progress_every: int) -> None:
        req, offset, end = fetch.req, fetch.offset, fetch.end
        total = end - offset
        try:
            await reader.open()
            for index, (at, length) in enumerate(chunk_ranges(offset, end, chunk_size)):
                if req in self._cancelled or self._stopped_early(state):
                    return
                if progress_every and total > chunk_size and index % progress_every == 0:
                    state.reports.append(self._send("progress", {"req": req, "total": total, "completed": at - offset}))
                data = await reader.read(at, length)
                if len(data) != length:
                    raise EOFError("the source gave %d bytes for the %d at offset %d" % (len(data), length, at))
                state.position = at + length
                state.sent.append((self._send_data(req, at, data), length))
                del data
                assert self._writer is not None
                await self._writer.drain()
        finally:
            await reader.close()

    @staticmethod
    def _stopped_early(state: _FetchState) -> bool:
        """True once a chunk already answered was refused or "stale": sending more is pointless."""
        while state.checked < len(state.sent) and state.sent[state.checked][0].done():
            future = state.sent[state.checked][0]
            if future.exception() is not None:
                return True
            answer = future.result()
            result = answer.get("result")
            if answer.get("ok") is not True or isinstance(result, dict) and result.get("stale"):
                return True
            state.checked += 1
        return False

    async def _keep_alive(self, fetch: FetchEvent, state: _FetchState, interval: float) -> None:
        total = fetch.end - fetch.offset
        while True:
            await asyncio.sleep(interval)
            if self._state != "running":
                return
            state.reports.append(self._send("progress", {"req": fetch.req, "total": total,
                                                         "completed": state.position - fetch.offset}))

    async def _settle(self, state: _FetchState, result: FetchResult) -> None:
        """Counts the answers of what was sent; a refused chunk fails the fetch."""
        refused: Optional[CommandError] = None
        for future, count in state.sent:
            answer = await future  # ProgramExited when the program ended meanwhile
            if answer.get("ok") is not True:
                refused = refused or CommandError("data", answer)
            elif isinstance(answer.get("result"), dict) and answer["result"].get("stale"):
                result.stale += 1
            else:
                result.chunks += 1
                result.bytes += count
        for future in state.reports:
            answer = await future  # ProgramExited when the program ended meanwhile
            if answer.get("ok") is True and not (answer.get("result") or {}).get("stale"):
                result.progress_reports += 1
        if refused is not None and result.status == "done":
            result.status, result.error = "failed", refused
            await self._send_fail(result)

    async def _send_fail(self, result: FetchResult) -> None:
        result.fail_sent = True
        await self._send("fail", {"req": result.req})

    def serve_fetches(self, source_for: Callable[[FetchEvent], Any], *,
                      on_result: Optional[Callable[[FetchEvent, FetchResult], Any]] = None,
                      chunk_size: int = CHUNK, progress_interval: Optional[float] = 10.0,
                      progress_every: int = 0) -> Callable[[], None]:
        """Answers every fetch from now on, each in a task of its own: source_for(event) (plain or
        async) gives the Source, or None or an exception to fail the fetch. on_result(event, result)
        hears how each ended. Returns a function that stops serving."""
        check_chunk_size(chunk_size)

        async def serve(event: FetchEvent) -> None:
            try:
                source = source_for(event)
                if inspect.isawaitable(source):
                    source = await source
                if source is None:
                    raise FileNotFoundError("no source for %r" % event.identity)
            except Exception as e:
                result = FetchResult(event.req, event.offset, event.end, status="failed", error=e)
                self._live_fetches.discard(event.req)
                if self.running:
                    await self._send_fail(result)
            else:
                result = await self.answer_fetch(event, source, chunk_size=chunk_size,
                                                 progress_interval=progress_interval, progress_every=progress_every)
            if on_result is not None:
                outcome = on_result(event, result)
                if inspect.isawaitable(outcome):
                    await outcome
        return self.on("fetch", serve)
