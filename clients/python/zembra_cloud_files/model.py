"""Typed results and events. Each is built from the program's JSON object; `raw` keeps that object."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Dict, List, Mapping, Optional, Type, Union

from .errors import code_name, code_of

INVALID_ATTRIBUTES = 0xFFFFFFFF  # what "attrs" reports for a path whose attributes cannot be read
DIRECTORY_ATTRIBUTE = 0x10


# ---- requests ----

@dataclass
class Item:
    """One placeholder for "create": `name` in the existing directory `dir`. A folder with
    `populated` False is filled on demand: its first listing asks with a "list" event (in a root
    registered with population "onDemand")."""

    dir: str
    name: str
    identity: str = ""
    folder: bool = False
    size: int = 0
    mtime_ms: int = 0
    populated: bool = True

    def to_json(self) -> Dict[str, Any]:
        item: Dict[str, Any] = {"dir": self.dir, "name": self.name, "identity": self.identity, "mtimeMs": self.mtime_ms}
        if self.folder:
            item["folder"] = True
            if not self.populated:
                item["populated"] = False
        else:
            item["size"] = self.size
        return item


@dataclass
class Entry:
    """One child of a listed folder, for "entries": an Item without "dir" (the folder is the listing's)."""

    name: str
    identity: str = ""
    folder: bool = False
    size: int = 0
    mtime_ms: int = 0
    populated: bool = True

    def to_json(self) -> Dict[str, Any]:
        item = Item("", self.name, self.identity, self.folder, self.size, self.mtime_ms, self.populated).to_json()
        del item["dir"]
        return item


# ---- results ----

@dataclass(frozen=True)
class Info:
    """The answer of "info"."""

    front_end: str  # "cloud-files", "fuse" or "simulated"
    platform: str  # "windows" or "linux"
    version: str  # "MAJOR.MINOR.PATCH"
    raw: Mapping[str, Any] = field(default_factory=dict, repr=False, compare=False)

    @classmethod
    def from_json(cls, o: Mapping[str, Any]) -> "Info":
        return cls(str(o.get("frontEnd", "")), str(o.get("platform", "")), str(o.get("version", "")), o)


@dataclass(frozen=True)
class Attrs:
    """The answer of "attrs" (and the state carried by a "changed" event)."""

    attributes: int
    identity: Optional[str]  # None: not a placeholder
    in_sync: bool
    online_only: bool
    pinned: bool
    unpinned: bool

    @property
    def exists(self) -> bool:
        """False when the attributes could not be read (a missing path)."""
        return self.attributes != INVALID_ATTRIBUTES

    @property
    def is_dir(self) -> bool:
        return self.exists and bool(self.attributes & DIRECTORY_ATTRIBUTE)

    @property
    def is_placeholder(self) -> bool:
        return self.identity is not None

    @classmethod
    def from_json(cls, o: Mapping[str, Any]) -> "Attrs":
        identity = o.get("identity")
        return cls(int(o.get("attributes", INVALID_ATTRIBUTES)), identity if isinstance(identity, str) else None,
                   bool(o.get("inSync")), bool(o.get("onlineOnly")), bool(o.get("pinned")), bool(o.get("unpinned")))


@dataclass(frozen=True)
class OnlineOnly:
    """One entry of the "onlineOnly" list of "scan"."""

    path: str  # relative to the scanned root, with the platform's separator
    identity: str  # "" when the file is not a placeholder


@dataclass(frozen=True)
class ScanResult:
    """The answer of "scan": relative paths, with the platform's separator."""

    online_only: List[OnlineOnly]
    pinned: List[str]
    unpinned: List[str]

    @classmethod
    def from_json(cls, o: Mapping[str, Any]) -> "ScanResult":
        return cls([OnlineOnly(str(e.get("path", "")), str(e.get("identity") or "")) for e in o.get("onlineOnly", [])],
                   [str(p) for p in o.get("pinned", [])], [str(p) for p in o.get("unpinned", [])])


@dataclass(frozen=True)
class CreateFailure:
    """An item that "create" did not create."""

    dir: str
    name: Optional[str]  # as sent (None when it was absent)
    error: str  # the system's message and the code in parentheses
    code: Optional[int]

    @property
    def code_name(self) -> Optional[str]:
        return code_name(self.code)

    @classmethod
    def from_json(cls, o: Mapping[str, Any]) -> "CreateFailure":
        name = o.get("name")
        return cls(str(o.get("dir", "")), name if isinstance(name, str) else None, str(o.get("error", "")), code_of(o))


# ---- events ----

@dataclass(frozen=True)
class Event:
    """Base of every event; `name` is the "event" text."""

    raw: Mapping[str, Any] = field(repr=False, compare=False)

    name = "event"


@dataclass(frozen=True)
class ReadyEvent(Event):
    """The program's first line; a restarted program sends it again."""

    pid: int = 0
    name = "ready"


@dataclass(frozen=True)
class FetchEvent(Event):
    """The system needs bytes [offset, end) of a placeholder: answer with "data" chunks or "fail"."""

    req: int = 0
    identity: str = ""
    path: str = ""
    offset: int = 0
    length: int = 0
    file_size: int = 0
    process: str = ""
    name = "fetch"

    @property
    def end(self) -> int:
        """The end of the required range: "length" may reach past the end of the file."""
        return min(self.offset + self.length, self.file_size)


@dataclass(frozen=True)
class CancelEvent(Event):
    """The system dropped these fetches; answers for them would be "stale"."""

    path: str = ""
    reqs: List[int] = field(default_factory=list)
    name = "cancel"


@dataclass(frozen=True)
class ListEvent(Event):
    """A program lists a folder that is not filled: answer with entries() (its children) or fail().
    A "cancel" naming `req` means the listing was given up; answers for it are then "stale"."""

    req: int = 0
    path: str = ""
    identity: str = ""
    pattern: str = ""  # the listing's file pattern, "*" for a plain listing
    process: str = ""
    name = "list"


@dataclass(frozen=True)
class DeletingEvent(Event):
    """A program is about to delete a placeholder (connected with confirm=["delete"]): allow() or
    deny() it; the program waits meanwhile."""

    req: int = 0
    path: str = ""
    identity: str = ""
    folder: bool = False
    name = "deleting"


@dataclass(frozen=True)
class RenamingEvent(Event):
    """A program is about to rename or move a placeholder to `target` (connected with
    confirm=["rename"]): allow() or deny() it. `target_in_root` is False for a move out of the root."""

    req: int = 0
    path: str = ""
    target: str = ""
    identity: str = ""
    folder: bool = False
    target_in_root: bool = True
    name = "renaming"


@dataclass(frozen=True)
class OpenedEvent(Event):
    path: str = ""
    pid: int = 0
    name = "opened"


@dataclass(frozen=True)
class ChangedEvent(Event):
    """A path's attributes, pin state or content changed; the state is the one when it was written."""

    path: str = ""
    attrs: Attrs = field(default_factory=lambda: Attrs.from_json({}))
    name = "changed"


@dataclass(frozen=True)
class CreatedEvent(Event):
    path: str = ""
    folder: bool = False
    name = "created"


@dataclass(frozen=True)
class DeletedEvent(Event):
    path: str = ""
    name = "deleted"


@dataclass(frozen=True)
class RenamedEvent(Event):
    """A rename within the root. `replaced_identity`: the identity of the placeholder the rename
    replaced, where the system can tell (the Linux mount); an edit saved by replacement."""

    from_path: str = ""
    path: str = ""
    replaced_identity: Optional[str] = None
    name = "renamed"


@dataclass(frozen=True)
class RescanEvent(Event):
    """Changes were dropped under this root: "scan" it again."""

    path: str = ""
    name = "rescan"


@dataclass(frozen=True)
class UnknownEvent(Event):
    """An event this client does not know (from a newer program)."""

    event: str = ""

    @property
    def name(self) -> str:  # type: ignore[override]
        return self.event


@dataclass(frozen=True)
class ExitEvent(Event):
    """Given by the client, not the program: the program ended. `restarting` is True when the client
    starts it again (a ReadyEvent follows); otherwise no event follows."""

    returncode: Optional[int] = None
    signal: Optional[int] = None
    restarting: bool = False
    name = "exit"


AnyEvent = Union[ReadyEvent, FetchEvent, CancelEvent, ListEvent, DeletingEvent, RenamingEvent, OpenedEvent,
                 ChangedEvent, CreatedEvent, DeletedEvent, RenamedEvent, RescanEvent, ExitEvent, UnknownEvent]

EVENT_NAMES = ("ready", "fetch", "cancel", "list", "deleting", "renaming", "opened", "changed", "created", "deleted",
               "renamed", "rescan", "exit")


def _int(o: Mapping[str, Any], key: str) -> int:
    value = o.get(key)
    return value if isinstance(value, int) and not isinstance(value, bool) else 0


def _str(o: Mapping[str, Any], key: str) -> str:
    value = o.get(key)
    return value if isinstance(value, str) else ""


def parse_event(o: Mapping[str, Any]) -> Event:
    """The typed event for one event object of the program."""
    kind = o.get("event")
    if kind == "fetch":
        return FetchEvent(o, _int(o, "req"), _str(o, "identity"), _str(o, "path"), _int(o, "offset"),
                          _int(o, "length"), _int(o, "fileSize"), _str(o, "process"))
    if kind == "list":
        return ListEvent(o, _int(o, "req"), _str(o, "path"), _str(o, "identity"), _str(o, "pattern"), _str(o, "process"))
    if kind == "deleting":
        return DeletingEvent(o, _int(o, "req"), _str(o, "path"), _str(o, "identity"), o.get("folder") is True)
    if kind == "renaming":
        return RenamingEvent(o, _int(o, "req"), _str(o, "path"), _str(o, "target"), _str(o, "identity"),
                             o.get("folder") is True, o.get("targetInRoot") is not False)
    if kind == "cancel":
        reqs = o.get("reqs")
        return CancelEvent(o, _str(o, "path"), [r for r in reqs if isinstance(r, int)] if isinstance(reqs, list) else [])
    if kind == "changed":
        return ChangedEvent(o, _str(o, "path"), Attrs.from_json(o))
    if kind == "created":
        return CreatedEvent(o, _str(o, "path"), o.get("folder") is True)
    if kind == "deleted":
        return DeletedEvent(o, _str(o, "path"))
    if kind == "renamed":
        replaced = o.get("replacedIdentity")
        return RenamedEvent(o, _str(o, "from"), _str(o, "path"), replaced if isinstance(replaced, str) else None)
    if kind == "rescan":
        return RescanEvent(o, _str(o, "path"))
    if kind == "opened":
        return OpenedEvent(o, _str(o, "path"), _int(o, "pid"))
    if kind == "ready":
        return ReadyEvent(o, _int(o, "pid"))
    return UnknownEvent(o, str(kind))


EVENT_TYPES: Dict[str, Type[Event]] = {
    "ready": ReadyEvent, "fetch": FetchEvent, "cancel": CancelEvent, "list": ListEvent, "deleting": DeletingEvent,
    "renaming": RenamingEvent, "opened": OpenedEvent, "changed": ChangedEvent,
    "created": CreatedEvent, "deleted": DeletedEvent, "renamed": RenamedEvent, "rescan": RescanEvent, "exit": ExitEvent,
}

