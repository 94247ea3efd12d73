"""ASCOM regions at any binning, read through the SDK's region rules.

ASCOM lets a client read any rectangle of the binned sensor (``StartX``, ``StartY``, ``NumX``, ``NumY``
in binned pixels, at any bin from 1 to ``MaxBinX``). The SDK reads widths that are multiples of 8 and
heights that are multiples of 2, within the sensor at its bin, and only at the bins it lists. A plan
reads the smallest region the SDK can that covers the rectangle, at the largest listed bin that
divides the wanted one, and cuts the rectangle out of it; where the SDK bin is smaller than the wanted
one (a bin it lacks, or a rectangle as wide as a 2048-pixel sensor at bin 3, 682 pixels, which no SDK
region of bin 3 covers), the pixels are summed in blocks, as the SDK's own binning sums them, and
clipped at the format's largest value.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Optional, Sequence

import numpy as np


@dataclass(frozen=True)
class ReadPlan:
    """How to read one ASCOM region: the SDK region, then a block sum by ``factor``, then a cut."""

    bin: int  # the SDK's bin
    x: int  # SDK region, in pixels of the SDK's bin
    y: int
    width: int
    height: int
    factor: int  # wanted bin / SDK bin
    cut_x: int  # of the summed image, in wanted-bin pixels
    cut_y: int
    num_x: int
    num_y: int

    def apply(self, image: Any, maximum: int) -> Any:
        """The ASCOM image out of the SDK's image ((h, w) or (h, w, planes)); ``maximum`` clips sums."""
        k = self.factor
        if k > 1:
            h, w = image.shape[0] // k * k, image.shape[1] // k * k
            blocks = image[:h, :w].reshape(h // k, k, w // k, k, *image.shape[2:])
            image = np.minimum(blocks.sum(axis=(1, 3), dtype=np.uint32), maximum).astype(image.dtype)
        return image[self.cut_y : self.cut_y + self.num_y, self.cut_x : self.cut_x + self.num_x]


def _cover(start: int, end: int, step: int, grid: int, limit: int) -> Optional[tuple[int, int]]:
    """The smallest span [x, x + w) within 0..limit that covers start..end, with w a multiple of ``step``
    and x one of ``grid`` (``start`` is one): x moves down from ``start`` while the rounding of w
    overshoots the limit; the overshoot repeats after ``step`` moves."""
    x = start
    for _ in range(step):
        if x < 0:
            break
        span = -(-(end - x) // step) * step
        if x + span <= limit:
            return x, span
        x -= grid
    return None


def plan_read(
    sensor: tuple[int, int], bins: Sequence[int], binning: int, start_x: int, start_y: int, num_x: int, num_y: int
) -> ReadPlan:
    """The read of an ASCOM region (already checked to lie on the binned sensor)."""
    width, height = sensor
    for sdk_bin in sorted((b for b in bins if binning % b == 0), reverse=True):
        k = binning // sdk_bin
        across = _cover(start_x * k, (start_x + num_x) * k, 8, k, width // sdk_bin)
        down = _cover(start_y * k, (start_y + num_y) * k, 2, k, height // sdk_bin)
        if across is None or down is None:
            continue
        (x, w), (y, h) = across, down
        return ReadPlan(sdk_bin, x, y, w, h, k, start_x - x // k, start_y - y // k, num_x, num_y)
    raise ValueError(f"no SDK read covers {num_x}x{num_y}+{start_x}+{start_y} at bin {binning}")
