"""Control of the simulated Camera SDK that ships beside the extension.

The simulator is the library ``QELCamera2`` that the extension ``qel`` links. Beside the Camera SDK's
entry points it exports a control API (functions prefixed ``QELSim``): reset, fault injection and a
journal of the calls that reached it. This module wraps that API with ctypes and works only against
the simulator, not against a vendor's library.
"""

from __future__ import annotations

import ctypes
import os
import sys
from dataclasses import dataclass
from typing import Optional

__all__ = [
    "Journal",
    "SimulatorError",
    "calls",
    "clear_faults",
    "clear_journal",
    "entry_points",
    "inject_fault",
    "journal",
    "library",
    "library_path",
    "reset",
]

JOURNAL_MAX_ARGS = 8
JOURNAL_TEXT = 1024


class SimulatorError(RuntimeError):
    """The Camera SDK beside the extension is not the simulator, or refused a control call."""


class _JournalEntry(ctypes.Structure):
    _fields_ = [
        ("calls", ctypes.c_longlong),
        ("nargs", ctypes.c_int),
        ("last_result", ctypes.c_int),
        ("args", ctypes.c_longlong * JOURNAL_MAX_ARGS),
        ("id", ctypes.c_ubyte * 8),
        ("text_len", ctypes.c_int),
        ("text", ctypes.c_char * JOURNAL_TEXT),
    ]


@dataclass(frozen=True)
class Journal:
    """What the simulator recorded of one entry point since the last reset."""

    calls: int
    args: tuple[int, ...]  # the last call's arguments; pointers as addresses, 0 for null
    last_result: int
    id: bytes  # QELSetID: the 8 bytes passed by value
    text: Optional[bytes]  # QELEnableDarkSubtract: the path as the SDK saw it, None for a null path


def library_path() -> str:
    """Path of the Camera SDK library installed beside the extension."""
    here = os.path.dirname(os.path.abspath(__file__))
    if sys.platform == "win32":
        name = "QELCamera2.dll"
    elif sys.platform == "darwin":
        name = "libQELCamera2.dylib"
    else:
        name = "libQELCamera2.so"
    return os.path.join(here, name)


_library: Optional[ctypes.CDLL] = None


def library() -> ctypes.CDLL:
    """The simulator, loaded once; the same library instance that the extension uses."""
    global _library
    if _library is None:
        # Importing the extension first makes the loader hand back the copy it already mapped.
        from . import qel  # noqa: F401

        lib = ctypes.CDLL(library_path())
        if not hasattr(lib, "QELSimReset"):
            raise SimulatorError(f"{library_path()} is not the simulated Camera SDK")
        lib.QELSimReset.argtypes = []
        lib.QELSimReset.restype = None
        lib.QELSimEntryPointCount.argtypes = []
        lib.QELSimEntryPointCount.restype = ctypes.c_int
        lib.QELSimEntryPointName.argtypes = [ctypes.c_int]
        lib.QELSimEntryPointName.restype = ctypes.c_char_p
        lib.QELSimInjectFault.argtypes = [
            ctypes.c_char_p,
            ctypes.c_int,
            ctypes.c_int,
            ctypes.c_int,
            ctypes.c_void_p,
            ctypes.c_int,
        ]
        lib.QELSimInjectFault.restype = ctypes.c_int
        lib.QELSimClearFaults.argtypes = []
        lib.QELSimClearFaults.restype = None
        lib.QELSimJournal.argtypes = [ctypes.c_char_p, ctypes.POINTER(_JournalEntry)]
        lib.QELSimJournal.restype = ctypes.c_int
        lib.QELSimClearJournal.argtypes = []
        lib.QELSimClearJournal.restype = None
        _library = lib
    return _library


def _entry_point(name: str) -> bytes:
    return (name if name.startswith("QEL") else "QEL" + name).encode()


def reset() -> None:
    """Restore the built-in cameras and forget every journal entry, fault and camera state."""
    library().QELSimReset()


def entry_points() -> list[str]:
    """Names of the Camera SDK entry points, in the order of the SDK header."""
    lib = library()
    return [lib.QELSimEntryPointName(i).decode() for i in range(lib.QELSimEntryPointCount())]


def inject_fault(
    entry_point: str,
    code: int,
    times: int = 1,
    data: Optional[bytes] = None,
    arg: int = -1,
) -> None:
    """Make ``entry_point`` return ``code`` for its next ``times`` calls instead of doing its work.

    With ``data``, those bytes are written into output argument ``arg`` (0-based position among the
    C arguments; -1 for the first output), at most as many as the argument holds. For
    QELGetSDKVersion, ``data`` becomes the returned text, and without ``data`` it returns a null
    pointer. Entry points that return a count or a bool return ``code`` itself.
    """
    buffer = ctypes.create_string_buffer(data, len(data)) if data is not None else None
    rc = library().QELSimInjectFault(
        _entry_point(entry_point), code, times, arg, buffer, len(data) if data is not None else 0
    )
    if rc != 0:
        raise SimulatorError(f"cannot inject a fault into {entry_point!r} (argument {arg})")


def clear_faults() -> None:
    library().QELSimClearFaults()


def journal(entry_point: str) -> Journal:
    """The journal of one entry point: its call count and the last call's arguments."""
    entry = _JournalEntry()
    if library().QELSimJournal(_entry_point(entry_point), ctypes.byref(entry)) != 0:
        raise SimulatorError(f"no entry point {entry_point!r}")
    text: Optional[bytes]
    if entry.text_len < 0:
        text = None
    else:
        text = ctypes.string_at(ctypes.addressof(entry) + _JournalEntry.text.offset, min(entry.text_len, JOURNAL_TEXT - 1))
    return Journal(
        calls=entry.calls,
        args=tuple(entry.args[: entry.nargs]),
        last_result=entry.last_result,
        id=bytes(entry.id),
        text=text,
    )


def calls(entry_point: str) -> int:
    """How often ``entry_point`` was called since the last reset."""
    return journal(entry_point).calls


def clear_journal() -> None:
    library().QELSimClearJournal()
