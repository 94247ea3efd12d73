"""Writing SER video files, the format that planetary and occultation software reads.

Layout (all little-endian): a 178-byte header, the frames one after the other, then one 64-bit UTC
time stamp per frame. The header holds the file id ``LUCAM-RECORDER`` (14 bytes), LuID, ColorID,
LittleEndian, ImageWidth, ImageHeight, PixelDepthPerPlane and FrameCount (32-bit integers), Observer,
Instrument and Telescope (40-byte texts), DateTime (local) and DateTime_UTC (64-bit counts of 100 ns
since 0001-01-01). The frame count is written when the file is closed.
"""

from __future__ import annotations

import datetime as _dt
import os
import struct
from types import TracebackType
from typing import TYPE_CHECKING, BinaryIO, Optional, Union

if TYPE_CHECKING:
    from .camera import Frame

HEADER = struct.Struct("<14s7i40s40s40sqq")
assert HEADER.size == 178
FILE_ID = b"LUCAM-RECORDER"

# ColorID values
MONO = 0
BAYER = {"RGGB": 8, "GRBG": 9, "GBRG": 10, "BGGR": 11}
RGB = 100
BGR = 101

_EPOCH = _dt.datetime(1, 1, 1, tzinfo=_dt.timezone.utc)


def ticks(moment: _dt.datetime) -> int:
    """A time as 100 ns ticks since 0001-01-01 (a naive time counts as it reads)."""
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=_dt.timezone.utc)
    delta = moment - _EPOCH
    return (delta.days * 86_400 + delta.seconds) * 10_000_000 + delta.microseconds * 10


def _text(value: str) -> bytes:
    return value.encode("utf-8", "replace")[:40]


class SerWriter:
    """Writes frames of one size and format into a SER file; a context manager that closes it.

    The header's dates are ``start``, or else the first frame's time stamp. ``planes`` is 1 for mono and Bayer data, 3 for colour (``color_id`` RGB or BGR); ``depth`` is 8 or
    16 bits per plane (16-bit samples little-endian). Closing writes the frame count and the time
    stamps; frames written only in part (a write cut short) are dropped, so the file stays readable.
    """

    def __init__(
        self,
        path: Union[str, os.PathLike[str]],
        width: int,
        height: int,
        depth: int = 16,
        color_id: int = MONO,
        observer: str = "",
        instrument: str = "",
        telescope: str = "",
        start: Optional[_dt.datetime] = None,
    ) -> None:
        if depth not in (8, 16):
            raise ValueError(f"SER depth {depth} is not 8 or 16")
        if width <= 0 or height <= 0:
            raise ValueError(f"SER frame size {width}x{height} is not positive")
        self.path = os.fspath(path)
        self.width, self.height, self.depth, self.color_id = width, height, depth, color_id
        self.planes = 3 if color_id in (RGB, BGR) else 1
        self.frame_size = width * height * self.planes * (2 if depth > 8 else 1)
        self.count = 0
        self._stamps: list[int] = []
        self._texts = (_text(observer), _text(instrument), _text(telescope))
        self._start = start
        self._dates = self._dates_of(start if start is not None else _dt.datetime.now(_dt.timezone.utc))
        self._file: Optional[BinaryIO] = open(self.path, "wb")
        self._file.write(self._header())

    @staticmethod
    def _dates_of(moment: _dt.datetime) -> tuple[int, int]:
        if moment.tzinfo is None:
            moment = moment.replace(tzinfo=_dt.timezone.utc)
        return ticks(moment.astimezone().replace(tzinfo=None)), ticks(moment)

    def _header(self) -> bytes:
        return HEADER.pack(
            FILE_ID, 0, self.color_id, 1, self.width, self.height, self.depth, self.count, *self._texts, *self._dates
        )

    @classmethod
    def for_frame(cls, path: Union[str, os.PathLike[str]], frame: Frame, observer: str = "", telescope: str = "") -> SerWriter:
        """A writer for frames like this one: its size, bit depth and colour layout."""
        from .camera import ImgType

        fmt = frame.roi.format
        color_id = MONO
        if fmt == ImgType.IMG_RGB24:
            color_id = RGB
        elif frame.bayer_pattern is not None:
            color_id = BAYER[frame.bayer_pattern]
        depth = 16 if fmt == ImgType.IMG_RAW16 else 8
        return cls(path, frame.width, frame.height, depth, color_id, observer, frame.camera.name, telescope)

    def write(self, data: bytes, utc: _dt.datetime) -> None:
        """Add one frame (``frame_size`` bytes, little-endian samples) and its UTC time stamp."""
        if self._file is None:
            raise ValueError(f"{self.path}: the SER file is closed")
        if len(data) < self.frame_size:
            raise ValueError(f"{self.path}: frame of {len(data)} bytes, expected {self.frame_size}")
        self._file.write(memoryview(data)[: self.frame_size])
        if not self._stamps and self._start is None:
            self._dates = self._dates_of(utc)
        self._stamps.append(ticks(utc))
        self.count += 1

    def write_frame(self, frame: Frame) -> None:
        self.write(frame.data, frame.start)

    def close(self) -> None:
        """Write the time stamps and the frame count; closing twice does nothing."""
        if self._file is None:
            return
        file, self._file = self._file, None
        try:
            file.flush()
            # a write cut short leaves a partial frame (or a stamp without its frame): keep whole ones
            whole = min((file.tell() - HEADER.size) // self.frame_size, len(self._stamps))
            self.count = whole
            file.seek(HEADER.size + whole * self.frame_size)
            file.truncate()
            file.write(struct.pack(f"<{whole}q", *self._stamps[:whole]))
            file.seek(0)
            file.write(self._header())
        finally:
            file.close()

    def __enter__(self) -> SerWriter:
        return self

    def __exit__(
        self, kind: Optional[type[BaseException]], value: Optional[BaseException], traceback: Optional[TracebackType]
    ) -> None:
        self.close()
