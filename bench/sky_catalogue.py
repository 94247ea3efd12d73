"""Loading the stars of a field from the Tycho-2 catalogue file: milliseconds per field.

For each of a few fields of a 2048 x 1536 camera at 3"/px (Orion, Scutum at the Galactic plane, the
pole, the Pleiades), the star field is built from scratch (a new configuration each time) with the
catalogue and no synthetic stars, and, as the baseline, with the synthetic stars of the same camera and
no catalogue. Prints the catalogue's time per field and its ratio to the baseline. Then the full-frame RAW16 video
capacity of the monochrome camera (frames synthesised per second of real time, the clock sped up so that
the producer cannot keep up) at the Galactic plane (Scutum) with the catalogue, against its default
field on the synthetic sky.

    .venv/bin/python bench/sky_catalogue.py [path of the catalogue file] [repeats]
"""

from __future__ import annotations

import sys
import time
from pathlib import Path

from brevalo.vra_qel_python_bindings import sim

FIELDS = {"orion": (83.8, -5.4), "scutum": (279.2, -6.3), "pole": (37.9, 89.2), "pleiades": (56.75, 24.12)}


def field_ms(text: str, repeats: int) -> tuple[float, int]:
    best, count = float("inf"), 0
    for _ in range(repeats):
        sim.configure(text)
        start = time.perf_counter()
        count = len(sim.stars(0))
        best = min(best, time.perf_counter() - start)
    return best * 1e3, count


def capacity(text: str, seconds: float) -> float:
    import ctypes

    sim.configure(text)
    lib = sim.library()
    lib.QELGetVideoData.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_int, ctypes.c_int]
    for call in (lib.QELOpenCamera, lib.QELInitCamera):
        assert call(0) == 0
    assert lib.QELSetROIFormat(0, 2048, 1536, 1, 2) == 0
    assert lib.QELSetControlValue(0, 1, 32, 0) == 0  # the shortest exposure
    assert lib.QELSetControlValue(0, 6, 100, 0) == 0  # the whole link
    sim.set_clock_speed(100)
    size = 2048 * 1536 * 2
    buffer = (ctypes.c_ubyte * size)()
    assert lib.QELStartVideoCapture(0) == 0
    assert lib.QELGetVideoData(0, buffer, size, -1) == 0
    start, frames = time.perf_counter(), 0
    while time.perf_counter() - start < seconds:
        assert lib.QELGetVideoData(0, buffer, size, -1) == 0
        frames += 1
    rate = frames / (time.perf_counter() - start)
    lib.QELStopVideoCapture(0)
    return rate


def main() -> None:
    path = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parents[1] / "build/sky/tycho2.qsky")
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    if not path.exists():
        print(f"no catalogue file {path}: make sky builds it")
        return
    camera = "[camera]\nmodel = M1\nwidth = 2048\nheight = 1536\npixel_scale = 3\nmag_limit = 20\n"
    print(f"{'field':<10} {'catalogue':>10} {'stars':>7} {'synthetic':>10} {'stars':>7} {'ratio':>6}")
    for name, (ra, dec) in FIELDS.items():
        where = f"ra = {ra}\ndec = {dec}\n"
        real, n_real = field_ms(f"sky_catalogue = {path}\n{camera}{where}star_density = 0\n", repeats)
        synthetic, n_syn = field_ms(f"sky_catalogue = none\n{camera}{where}", repeats)
        print(f"{name:<10} {real:>8.2f}ms {n_real:>7} {synthetic:>8.2f}ms {n_syn:>7} {real / synthetic:>6.3f}")
    base = capacity("sky_catalogue = none\n[camera]\nmodel = M1\n", 3)
    scutum = capacity(f"sky_catalogue = {path}\n[camera]\nmodel = M1\nra = 279.2\ndec = -6.3\n", 3)
    print(f"full-frame video capacity: synthetic sky {base:.1f}/s, Scutum with the catalogue {scutum:.1f}/s, "
          f"ratio {scutum / base:.3f}")
    sim.reset()


if __name__ == "__main__":
    main()
