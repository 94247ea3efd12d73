"""The simulator's star catalogue file, made from the Tycho-2 catalogue's original files.

``python -m brevalo.vra_qel_python_bindings.skyfile DIR OUTPUT`` reads ``tyc2.dat.00`` .. ``19`` and
``suppl_1.dat`` (plain or gzipped, as distributed) from DIR and writes the file that the simulator
reads (``sky_catalogue`` in its configuration, or ``QELSIM_SKY_CATALOGUE``). ``read`` gives the stars of
such a file back (for tests and checks).

What the file holds, per star: the position (ICRS, epoch J2000, in milli-arcseconds), the proper motion
(milli-arcseconds per year, in RA * cos(dec) and in dec), V and B-V (milli-magnitudes). The catalogue's
own rules are applied here:

* main stars: the mean position at J2000 and the proper motion;
* stars without a mean position (flag 'X', about 109,000, e.g. Alcyone, Electra, Polaris): the observed
  position (epoch about J1991.5) and no motion: they stay where they were observed;
* supplement 1: positions at J1991.25, carried to J2000 with their proper motion (none when not given);
* V = VT - 0.09 (BT - VT), B-V = 0.85 (BT - VT). Rows with one magnitude take B-V = 0.65 (the sky's
  median colour, BT - VT = 0.765): only VT gives V = VT - 0.069, only BT gives V = BT - 0.834; rows with
  Hipparcos' Hp instead of VT (the brightest stars) take V = Hp and B-V = 0.65.

Layout (little-endian): a 32-byte header (magic ``QELSKY01``; then as uint32 the bands, cells and stars,
a band's height in milli-arcseconds, two zeros), the number of cells of each band
(uint32), the index of each cell's first star (uint32, cells + 1 of them), then the stars, 16 bytes each
(int32 ra, int32 dec, int16 pm_ra, int16 pm_dec, int16 V, int16 B-V), cell after cell, brightest first
in each cell. Bands are 1 degree of declination from -90; a band holds floor(360 cos(mid)) cells of
equal width in right ascension (at least 1).
"""

from __future__ import annotations

import gzip
import math
import os
import sys
from pathlib import Path
from typing import Any

MAGIC = b"QELSKY01"
BAND = 1.0  # degrees
BANDS = 180
DEFAULT_BV = 0.65
MAS = 3.6e6  # milli-arcseconds per degree

STAR_DTYPE = [("ra", "<i4"), ("dec", "<i4"), ("pm_ra", "<i2"), ("pm_dec", "<i2"), ("v", "<i2"), ("bv", "<i2")]


def cells_in_band(band: int) -> int:
    mid = math.radians(-90 + (band + 0.5) * BAND)
    return max(1, int(math.floor(360 * math.cos(mid) / BAND)))


def _read_rows(path: Path, width: int) -> Any:
    import numpy as np

    opener = gzip.open if path.suffix == ".gz" else open
    with opener(path, "rb") as f:
        data = f.read()
    lines = np.frombuffer(data, dtype=np.uint8)
    if len(lines) % width:
        raise ValueError(f"{path}: not rows of {width} bytes")
    return lines.reshape(-1, width)


def _column(rows: Any, first: int, last: int) -> Any:
    """Byte columns first..last (1-based, inclusive, as the catalogue's byte descriptions) as floats, NaN
    where blank."""
    import numpy as np

    text = np.ascontiguousarray(rows[:, first - 1:last]).view(f"S{last - first + 1}").ravel()
    blank = np.char.strip(text) == b""
    out = np.full(len(text), np.nan)
    out[~blank] = text[~blank].astype(float)
    return out


def _find(directory: Path, name: str) -> Path:
    for candidate in (directory / name, directory / (name + ".gz")):
        if candidate.exists():
            return candidate
    raise FileNotFoundError(f"no {name} (or {name}.gz) in {directory}")


def _photometry(bt: Any, vt: Any, hp_only: Any) -> tuple[Any, Any]:
    import numpy as np

    both = ~np.isnan(bt) & ~np.isnan(vt)
    d = np.where(both, bt - vt, DEFAULT_BV / 0.85)
    v = np.where(~np.isnan(vt), vt - 0.09 * d, bt - d - 0.09 * d)
    v = np.where(hp_only, vt, v)
    bv = np.where(both & ~hp_only, 0.85 * d, DEFAULT_BV)
    return v, bv


def convert(directory: str | os.PathLike[str]) -> Any:
    """The stars of the Tycho-2 files in ``directory``: a structured array of STAR_DTYPE."""
    import numpy as np

    directory = Path(directory)
    parts = []
    for k in range(20):
        rows = _read_rows(_find(directory, f"tyc2.dat.{k:02d}"), 207)
        x = rows[:, 13] == ord("X")
        ra = np.where(x, _column(rows, 153, 164), _column(rows, 16, 27))
        dec = np.where(x, _column(rows, 166, 177), _column(rows, 29, 40))
        pm_ra = np.where(x, 0.0, np.nan_to_num(_column(rows, 42, 48)))
        pm_dec = np.where(x, 0.0, np.nan_to_num(_column(rows, 50, 56)))
        v, bv = _photometry(_column(rows, 111, 116), _column(rows, 124, 129), np.zeros(len(rows), bool))
        parts.append((ra, dec, pm_ra, pm_dec, v, bv))
    rows = _read_rows(_find(directory, "suppl_1.dat"), 123)
    pm_ra = np.nan_to_num(_column(rows, 42, 48))
    pm_dec = np.nan_to_num(_column(rows, 50, 56))
    dec = _column(rows, 29, 40)
    years = 2000.0 - 1991.25
    ra = _column(rows, 16, 27) + pm_ra * years / MAS / np.maximum(np.cos(np.radians(dec)), 1e-6)
    dec = dec + pm_dec * years / MAS
    v, bv = _photometry(_column(rows, 84, 89), _column(rows, 97, 102), rows[:, 81] == ord("H"))
    parts.append((ra, dec, pm_ra, pm_dec, v, bv))

    ra, dec, pm_ra, pm_dec, v, bv = (np.concatenate(c) for c in zip(*parts))
    stars = np.zeros(len(ra), dtype=STAR_DTYPE)
    stars["ra"] = np.round(np.mod(ra, 360.0) * MAS).astype(np.int64) % int(360 * MAS)
    stars["dec"] = np.round(np.clip(dec, -90, 90) * MAS)
    stars["pm_ra"] = np.round(np.clip(pm_ra, -32767, 32767))
    stars["pm_dec"] = np.round(np.clip(pm_dec, -32767, 32767))
    stars["v"] = np.round(v * 1000)
    stars["bv"] = np.round(np.clip(bv, -1, 5) * 1000)
    return stars


def cell_of(stars: Any) -> tuple[Any, list[int]]:
    """Each star's cell, and the first cell of each band."""
    import numpy as np

    dec = stars["dec"] / MAS
    ra = stars["ra"] / MAS
    band = np.clip(np.floor((dec + 90) / BAND).astype(np.int64), 0, BANDS - 1)
    counts = np.array([cells_in_band(b) for b in range(BANDS)])
    first = np.concatenate([[0], np.cumsum(counts)])
    n = counts[band]
    cell = np.minimum(np.floor(ra * n / 360).astype(np.int64), n - 1)
    return first[band] + cell, [int(c) for c in counts]


def write(stars: Any, output: str | os.PathLike[str]) -> None:
    import numpy as np

    cell, counts = cell_of(stars)
    order = np.lexsort((stars["v"], cell))
    stars, cell = stars[order], cell[order]
    total = sum(counts)
    starts = np.searchsorted(cell, np.arange(total + 1)).astype("<u4")
    tmp = Path(str(output) + ".tmp")
    tmp.parent.mkdir(parents=True, exist_ok=True)
    with open(tmp, "wb") as f:
        f.write(MAGIC + np.array([BANDS, total, len(stars), int(BAND * MAS), 0, 0], "<u4").tobytes())
        f.write(np.array(counts, "<u4").tobytes())
        f.write(starts.tobytes())
        f.write(stars.tobytes())
    os.replace(tmp, output)


def read(path: str | os.PathLike[str]) -> Any:
    """Every star of a catalogue file, as a structured array with ra, dec (degrees, J2000), pm_ra,
    pm_dec (mas/yr), v and bv (magnitudes)."""
    import numpy as np

    data = Path(path).read_bytes()
    if data[:8] != MAGIC:
        raise ValueError(f"{path} is not a star catalogue file")
    bands, cells, count = np.frombuffer(data, "<u4", 3, 8)
    offset = 32 + 4 * int(bands) + 4 * (int(cells) + 1)
    raw = np.frombuffer(data, STAR_DTYPE, int(count), offset)
    out = np.zeros(len(raw), [("ra", "f8"), ("dec", "f8"), ("pm_ra", "f8"), ("pm_dec", "f8"), ("v", "f8"), ("bv", "f8")])
    out["ra"] = raw["ra"] / MAS
    out["dec"] = raw["dec"] / MAS
    out["pm_ra"] = raw["pm_ra"]
    out["pm_dec"] = raw["pm_dec"]
    out["v"] = raw["v"] / 1000
    out["bv"] = raw["bv"] / 1000
    return out


def main(argv: list[str] | None = None) -> int:
    args = sys.argv[1:] if argv is None else argv
    if len(args) != 2:
        print("usage: python -m brevalo.vra_qel_python_bindings.skyfile TYCHO2_DIR OUTPUT", file=sys.stderr)
        return 2
    stars = convert(args[0])
    write(stars, args[1])
    print(f"{args[1]}: {len(stars)} stars")
    return 0


if __name__ == "__main__":
    sys.exit(main())
