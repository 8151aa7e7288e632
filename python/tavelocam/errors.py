"""Exceptions: one class per named result code.

The codes, their names, their classes and their English texts come from
``results.tsv`` beside this module, the table the ``tavelo`` tool is built
with. Link and system failures also derive from the matching built-in
exception (``TimeoutError``, ``ConnectionRefusedError``, ``FileNotFoundError``,
``PermissionError``, ...), so ``except TimeoutError`` catches a camera that
does not answer.
"""

from __future__ import annotations

import builtins
import os
from typing import NamedTuple, Optional


class CameraError(Exception):
    """A failed library call.

    Attributes:
        code: the 32-bit result code (unsigned), or None for errors raised by
            this package itself (such as a closed camera).
        name: the code's name, such as ``CAM_E_BUSY``.
        message: the library's own message text for the code ("" when the
            library has none; its texts are in Simplified Chinese).
        function: the export that failed, such as ``TaveloGetFileData``.
        text: a one-line English text for the code ("" when unnamed).
    """

    def __init__(
        self,
        code: Optional[int],
        name: str,
        message: str = "",
        function: str = "",
    ) -> None:
        self.code = code
        self.name = name
        self.message = message
        self.function = function
        self.text = code_text(code) if code is not None else ""
        super().__init__(str(self))

    def __str__(self) -> str:
        where = f"{self.function}: " if self.function else ""
        code = f" (0x{self.code:08X})" if self.code is not None else ""
        text = f": {self.text or self.message}" if self.text or self.message else ""
        return f"{where}{self.name}{code}{text}"

    def __reduce__(self):  # keeps the attributes across pickling
        return (type(self), (self.code, self.name, self.message, self.function))


class CameraClosed(CameraError):
    """The camera was closed; it takes no further calls."""

    def __init__(self, function: str = "") -> None:
        super().__init__(None, "camera closed", "", function)

    def __reduce__(self):
        return (type(self), (self.function,))


class HostError(CameraError):
    """A host or link failure passed through as a Windows error (0x8007xxxx),
    for instance a download into a missing folder; ``winerror`` holds the
    Windows error number."""

    @property
    def winerror(self) -> int:  # type: ignore[override]
        return (self.code or 0) & 0xFFFF


class TransportError(CameraError):
    """A failure reported by the transport component or the platform."""


class Result(NamedTuple):
    """One row of the result table."""

    code: int
    name: str
    class_name: str
    builtin: str
    text: str


def _read_table() -> dict[int, Result]:
    rows: dict[int, Result] = {}
    path = os.path.join(os.path.dirname(__file__), "results.tsv")
    with open(path, encoding="utf-8") as table:
        for line in table:
            if line.strip() and not line.startswith("#"):
                code, name, class_name, builtin, text = line.rstrip("\n").split("\t")
                rows[int(code, 16)] = Result(int(code, 16), name, class_name, builtin, text)
    return rows


RESULTS: dict[int, Result] = _read_table()

_CLASSES: dict[int, type] = {}
for _row in RESULTS.values():
    if _row.class_name == "-":
        continue
    if _row.code & 0xFFFF0000 == 0xCFFA0000:
        _bases: tuple = (CameraError,)
    elif _row.code & 0xFFFF0000 == 0x80070000:
        _bases = (HostError,)
    else:
        _bases = (TransportError,)
    if _row.builtin != "-":
        _bases += (getattr(builtins, _row.builtin),)
    _class = type(_row.class_name, _bases, {"__doc__": f"{_row.name}: {_row.text}.", "__module__": __name__})
    globals()[_row.class_name] = _class
    _CLASSES[_row.code] = _class

# The classes by name, for `from tavelocam.errors import Busy`.
__all__ = ["CameraError", "CameraClosed", "HostError", "TransportError", "Result", "RESULTS",
           "code_name", "code_text", "error_class"]
__all__ += sorted(_class.__name__ for _class in _CLASSES.values())


def link_timeout_text() -> str:
    """The link timeout in force, as the library reads it: "10 s", "2.5 s"."""
    try:
        milliseconds = int(os.environ.get("TAVELO_LINK_TIMEOUT_MS", ""))
    except ValueError:
        milliseconds = 0
    if milliseconds <= 0:
        milliseconds = 10000
    return f"{milliseconds / 1000:g} s"


def code_name(code: int) -> str:
    """The name of a result code, such as ``CAM_E_BUSY`` or ``CAM_E_STATUS(20)``."""
    code &= 0xFFFFFFFF
    if code in RESULTS:
        return RESULTS[code].name
    if code & 0xFFFF0000 == 0xCFFA0000:
        return f"CAM_E_STATUS({code & 0xFFFF})"
    if code & 0xFFFF0000 == 0x80070000:
        return f"HRESULT_FROM_WIN32({code & 0xFFFF})"
    return "HRESULT"


def code_text(code: int) -> str:
    """The one-line English text of a result code ("" for an unnamed one)."""
    row = RESULTS.get(code & 0xFFFFFFFF)
    return row.text.replace("{timeout}", link_timeout_text()) if row else ""


def error_class(code: int) -> type:
    """The exception class for a (negative) result code."""
    code &= 0xFFFFFFFF
    if code in _CLASSES:
        return _CLASSES[code]
    if code & 0xFFFF0000 == 0xCFFA0000:
        return CameraError
    if code & 0xFFFF0000 == 0x80070000:
        return HostError
    return TransportError
