"""An ASCOM Alpaca server for the cameras (``qel-alpaca``); needs the ``alpaca`` extra.

``protocol`` holds the rules of Alpaca's HTTP interface for any device, ``device`` maps the ICameraV4
members onto ``camera.Camera``, ``errors`` turns exceptions into ASCOM's error numbers, ``regions``
reads ASCOM regions through the SDK's region rules, ``images`` writes ImageArray (JSON, ImageBytes),
``management``, ``discovery`` and ``pages`` the rest, and ``server`` puts them on waitress.
"""

from __future__ import annotations

from typing import Optional, Sequence


def main(argv: Optional[Sequence[str]] = None) -> int:
    from .server import main as run

    return run(argv)
