"""Standard input and output of the driver, as indipydriver's communication object.

indipydriver's own reader polls a non-blocking standard input and cannot tell the end of the input
from a pause, so a driver on it would outlive its server. This object reads through the event loop
(end of input ends the driver) and writes each message whole through one buffered writer, so that a
number update sent while an image goes out lands after the image, never inside it.
"""

from __future__ import annotations

import asyncio
import logging
import os
import socket
import stat
import sys
import xml.etree.ElementTree as ET
from typing import Any, Awaitable, Callable, Optional

logger = logging.getLogger(__name__)

#: Bytes read from standard input at a time.
READ_SIZE = 1 << 16


def _start_tag(element: ET.Element) -> bytes:
    """``<tag attr="...">`` of an element, without its content."""
    text = ET.tostring(ET.Element(element.tag, attrib=element.attrib), short_empty_elements=False)
    return text[: text.rindex(b"</")]


def serialise(element: ET.Element) -> list[bytes]:
    """The bytes of one message. BLOB contents go out as they are (base64 text in one line, with no
    ``enclen`` attribute, which a server reads as plain XML); everything else through ElementTree."""
    if element.tag != "setBLOBVector" or not len(element):
        return [ET.tostring(element) + b"\n"]
    parts = [_start_tag(element)]
    for blob in element:
        parts += [_start_tag(blob), (blob.text or "").encode("ascii"), b"</oneBLOB>"]
    parts.append(b"</setBLOBVector>\n")
    return parts


class _FileWriter:
    """Standard output that is a file: written at once."""

    def __init__(self, out: Any) -> None:
        self._out = out

    def write(self, data: bytes) -> None:
        self._out.write(data)

    async def drain(self) -> None:
        pass

    def is_closing(self) -> bool:
        return False


class Pipes:
    """Reads INDI messages from standard input and writes the driver's to standard output.

    An INDI server may hand its driver one socket for both (a socket pair): it is then opened once as
    a stream, since asyncio's pipe writer watches its descriptor for readability to notice a closed
    reader, and would take the requests arriving on the same socket for that."""

    def __init__(self, handle: Callable[[ET.Element], Awaitable[None]], on_end: Callable[[], None]) -> None:
        self._handle = handle
        self._on_end = on_end
        self._reader: Optional[asyncio.StreamReader] = None
        self._writer: Optional[Any] = None
        self._opened = asyncio.Event()
        self._stopped = False

    async def _open(self) -> None:
        loop = asyncio.get_running_loop()
        fd_in, fd_out = sys.stdin.fileno(), sys.stdout.fileno()
        stat_in, stat_out = os.fstat(fd_in), os.fstat(fd_out)
        if stat.S_ISSOCK(stat_in.st_mode) and (stat_in.st_dev, stat_in.st_ino) == (stat_out.st_dev, stat_out.st_ino):
            sock = socket.socket(fileno=os.dup(fd_in))
            self._reader, self._writer = await asyncio.open_connection(sock=sock, limit=READ_SIZE * 4)
            return
        out = os.fdopen(os.dup(fd_out), "wb", buffering=0)
        try:
            transport, protocol = await loop.connect_write_pipe(asyncio.streams.FlowControlMixin, out)
        except (OSError, ValueError):  # a regular file
            self._writer = _FileWriter(out)
        else:
            self._writer = asyncio.StreamWriter(transport, protocol, None, loop)
        reader = asyncio.StreamReader(limit=READ_SIZE * 4)
        try:
            source = os.fdopen(os.dup(fd_in), "rb", buffering=0)
            await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), source)
        except (OSError, ValueError):  # a regular file: _chunks reads it in a thread
            return
        self._reader = reader

    async def _chunks(self) -> Any:
        """Chunks of standard input until it ends."""
        if self._reader is None:
            loop = asyncio.get_running_loop()
            while data := await loop.run_in_executor(None, os.read, sys.stdin.fileno(), READ_SIZE):
                yield data
            return
        while data := await self._reader.read(READ_SIZE):
            yield data

    async def run_rx(self) -> None:
        try:
            await self._open()
        finally:
            self._opened.set()
        parser = self._new_parser()
        depth = 1
        try:
            async for data in self._chunks():
                if self._stopped:
                    break
                try:
                    parser.feed(data)
                    events: list[tuple[str, Any]] = list(parser.read_events())
                except ET.ParseError as error:
                    logger.error("unreadable input, skipped: %s", error)
                    parser, depth = self._new_parser(), 1
                    continue
                for event, element in events:
                    if event == "start":
                        depth += 1
                        continue
                    depth -= 1
                    if depth == 1:
                        self._root.remove(element)
                        try:
                            await self._handle(element)
                        except Exception:  # a fault in one request must not end the driver
                            logger.exception("handling %s", element.tag)
        finally:
            if not self._stopped:
                self._on_end()

    def _new_parser(self) -> Any:
        parser: Any = ET.XMLPullParser(events=("start", "end"))
        parser.feed(b"<root>")
        self._root: Any = next(element for _event, element in parser.read_events())
        return parser

    async def run_tx(self, element: ET.Element) -> None:
        await self._opened.wait()
        writer = self._writer
        if self._stopped or writer is None or writer.is_closing():
            return
        for part in serialise(element):  # no await in between: the message stays whole
            writer.write(part)
        try:
            await writer.drain()
        except (ConnectionError, BrokenPipeError):
            self._on_end()

    def shutdown(self) -> None:
        self._stopped = True
