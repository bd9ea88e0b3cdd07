"""Errors raised by the client: a refused request, the program's end, a program of another version."""

from __future__ import annotations

import enum
import re
import signal as _signal
from typing import Any, Mapping, Optional


class ErrorCode(enum.IntEnum):
    """The common codes of error answers (HRESULTs; Win32 errors appear as 0x8007xxxx)."""

    FILE_NOT_FOUND = 0x80070002
    PATH_NOT_FOUND = 0x80070003
    ACCESS_DENIED = 0x80070005
    OUT_OF_MEMORY = 0x8007000E
    SHARING_VIOLATION = 0x80070020
    NOT_SUPPORTED = 0x80070032
    INVALID_ARG = 0x80070057
    INVALID_NAME = 0x8007007B
    ALREADY_EXISTS = 0x800700B7
    BUSY = 0x800700AA
    DIRECTORY = 0x8007010B
    PROVIDER_NOT_RUNNING = 0x8007016A
    NOT_A_CLOUD_FILE = 0x80070178
    NOT_IN_SYNC = 0x80070179
    ALREADY_CONNECTED = 0x8007017A
    INVALID_REQUEST = 0x8007017C
    NOT_UNDER_SYNC_ROOT = 0x80070186
    IN_USE = 0x80070187
    PINNED = 0x80070188
    UNSUCCESSFUL = 0x80070185
    CLOUD_ACCESS_DENIED = 0x8007018B
    REQUEST_CANCELED = 0x8007018E
    PROVIDER_TERMINATED = 0x80070194
    NOT_A_SYNC_ROOT = 0x80070195
    REQUEST_TIMEOUT = 0x800701AA
    NOT_FOUND = 0x80070490


_CODE_IN_TEXT = re.compile(r"\((0x[0-9A-Fa-f]{1,8})\)\s*$")


def code_of(answer: Mapping[str, Any]) -> Optional[int]:
    """The numeric code of an error answer: its "code", or the hex digits that end its "error"
    text (the late answer of "hydrate" and the failed items of "create" carry only the text)."""
    code = answer.get("code")
    if isinstance(code, str):
        try:
            return int(code, 16)
        except ValueError:
            pass
    text = answer.get("error")
    if isinstance(text, str):
        found = _CODE_IN_TEXT.search(text)
        if found:
            return int(found.group(1), 16)
    return None


def code_name(code: Optional[int]) -> Optional[str]:
    """The ErrorCode name of a code ("NOT_IN_SYNC"), or None for a code without one."""
    try:
        return ErrorCode(code).name if code is not None else None
    except ValueError:
        return None


def hex_code(code: Optional[int]) -> Optional[str]:
    """The code as the program writes it: "0x" and lowercase hex digits."""
    return None if code is None else "0x%x" % code


class ZcfError(Exception):
    """Base of every error this package raises."""


class CommandError(ZcfError):
    """A request was answered with "ok": false.

    `code` is the numeric code (None when the answer carries none, as a "bad command" answer),
    `code_hex` its text ("0x80070179"), `name` its ErrorCode name ("NOT_IN_SYNC") when it has one,
    `message` the program's "error" text and `answer` the whole answer object."""

    def __init__(self, cmd: str, answer: Mapping[str, Any]) -> None:
        self.cmd = cmd
        self.answer = dict(answer)
        self.message: str = str(answer.get("error", ""))
        self.code: Optional[int] = code_of(answer)
        self.code_hex: Optional[str] = hex_code(self.code)
        self.name: Optional[str] = code_name(self.code)
        label = " [%s]" % self.name if self.name else ""
        super().__init__('"%s" failed: %s%s' % (cmd, self.message, label))


class ProgramExited(ZcfError):
    """The program ended: every request still waiting raises this, and so does every later one.

    `returncode` is its exit code (None when it ended by a signal), `signal` the signal number
    that ended it (None when it exited)."""

    def __init__(self, returncode: Optional[int], signal: Optional[int], pending: Optional[str] = None) -> None:
        self.returncode = returncode
        self.signal = signal
        how = "code %s" % returncode
        if signal is not None:
            try:
                how = "signal %d, %s" % (signal, _signal.Signals(signal).name)
            except ValueError:
                how = "signal %d" % signal
        text = "program exited (%s)" % how
        if pending:
            text += " before answering %s" % pending
        super().__init__(text)


class VersionMismatch(ZcfError):
    """The program's "info" names a version this client does not speak."""
