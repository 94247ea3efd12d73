"""FITS bytes of a frame for the image BLOB, and the files of local uploads."""

from __future__ import annotations

import os
import re
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    from ..camera import Frame

BLOCK = 2880


def fits_bytes(frame: Frame) -> bytes:
    """The frame as a FITS file in memory, with the camera layer's header.

    The pixels are converted to FITS's big-endian order in the one pass that the format needs
    (16-bit data as signed values with BZERO 32768, which the header from the camera layer declares),
    and joined with the header: no temporary file and no second copy of the image.
    """
    header = frame.fits_header()
    array: Any = frame.array
    if array.dtype == np.uint16:
        data = np.empty(array.shape, dtype=">u2")
        np.bitwise_xor(array, 0x8000, out=data, casting="unsafe")  # v - 32768 as a 16-bit pattern
    elif array.dtype == np.uint8 and array.ndim == 2:
        data = np.ascontiguousarray(array)
    else:  # the driver reads RAW8 and RAW16 only
        raise ValueError(f"no FITS image for {array.dtype} data of {array.ndim} axes")
    head = header.tostring().encode("ascii")
    return b"".join((head, data.data.cast("B"), bytes(-data.nbytes % BLOCK)))


def warm_up() -> None:
    """Load astropy's FITS code now, so that the first image does not wait a second for it."""
    from ..fits import _fits

    _fits().PrimaryHDU(np.zeros((2, 8), dtype=np.uint16)).header.tostring()


def upload_path(folder: str, prefix: str, extension: str = ".fits") -> str:
    """The next free file for a local upload: ``XXX`` in the prefix counts up from 001."""
    os.makedirs(folder, exist_ok=True)
    if "XXX" not in prefix:
        prefix += "_XXX"
    pattern = re.compile(re.escape(prefix).replace("XXX", r"(\d+)") + re.escape(extension) + "$")
    taken = [int(m.group(1)) for m in map(pattern.match, os.listdir(folder)) if m]
    number = max(taken, default=0) + 1
    return os.path.join(folder, prefix.replace("XXX", f"{number:03d}") + extension)
