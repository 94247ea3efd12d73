"""What reading a single exposure costs the caller: the module's get_data_after_exp and the SDK's
QELGetDataAfterExp of a full frame, against a memcpy of the same size, in one process.

For each camera of the simulator at full resolution (RAW16 and RAW8, bin 1): start a short exposure,
wait until its status reads success, then time the read alone, through the SDK (into a buffer of the
caller's, reused) and through the module (which makes a new zeroed bytes object of the image's size
for the SDK to write into). A read that is a copy costs about what the memcpy costs; one that renders
the frame costs tens of milliseconds. Minimum and median of the repeats are printed, as ratios to the
memcpy's (the minimum is what the work costs; the median adds the machine's load).

    .venv/bin/python bench/sim_readout.py [repeats]
"""

from __future__ import annotations

import ctypes
import statistics
import sys
import time

from brevalo.vra_qel_python_bindings import qel, sim

RAW8, RAW16, EXPOSURE, SUCCESS, WORKING = 0, 2, 1, 2, 1


class CameraInfo(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char * 64), ("camera_id", ctypes.c_int), ("max_height", ctypes.c_int),
                ("max_width", ctypes.c_int), ("rest", ctypes.c_char * 164)]


def check(rc: int) -> None:
    if rc != 0:
        raise RuntimeError(f"result code {rc}")


def expose(lib, cam: int) -> None:
    """A finished exposure, not yet read."""
    status = ctypes.c_int()
    check(lib.QELStartExposure(cam, 0))
    while True:
        check(lib.QELGetExpStatus(cam, ctypes.byref(status)))
        if status.value != WORKING:
            break
        time.sleep(0.001)
    assert status.value == SUCCESS, status.value


def timed_reads(lib, cam: int, size: int, repeats: int) -> tuple[list[float], list[float]]:
    """Seconds of each QELGetDataAfterExp and of each qel.get_data_after_exp, the exposure done before
    the clock starts."""
    buffer = (ctypes.c_ubyte * size)()
    sdk, module = [], []
    for _ in range(repeats):
        expose(lib, cam)
        start = time.perf_counter()
        check(lib.QELGetDataAfterExp(cam, buffer, size))
        sdk.append(time.perf_counter() - start)
        expose(lib, cam)
        start = time.perf_counter()
        qel.get_data_after_exp(cam, size)
        module.append(time.perf_counter() - start)
    return sdk, module


def timed_copies(size: int, repeats: int) -> list[float]:
    source, target = (ctypes.c_ubyte * size)(), (ctypes.c_ubyte * size)()
    ctypes.memset(source, 7, size)
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        ctypes.memmove(target, source, size)
        times.append(time.perf_counter() - start)
    return times


def main() -> None:
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    sim.reset()
    sim.set_clock_speed(1000)  # the exposures and readouts pass quickly; the read is timed on the host's clock
    lib = sim.library()
    lib.QELGetDataAfterExp.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_int]
    print(f"{'camera':<24} {'format':<6} {'bytes':>9} {'memcpy min':>10} {'median':>7}   "
          f"{'SDK read / memcpy min':>21} {'median':>6}   {'module read / memcpy min':>24} {'median':>6}")
    for index in range(lib.QELGetNumOfConnectedCameras()):
        info = CameraInfo()
        check(lib.QELGetCameraProperty(ctypes.byref(info), index))
        cam = info.camera_id
        check(lib.QELOpenCamera(cam))
        check(lib.QELInitCamera(cam))
        check(lib.QELSetControlValue(cam, EXPOSURE, 1000, 0))
        for name, img_type, bpp in [("RAW16", RAW16, 2), ("RAW8", RAW8, 1)]:
            check(lib.QELSetROIFormat(cam, info.max_width, info.max_height, 1, img_type))
            size = info.max_width * info.max_height * bpp
            (sdk, module), copies = timed_reads(lib, cam, size, repeats), timed_copies(size, repeats)
            c_min, c_med = min(copies), statistics.median(copies)
            print(f"{info.name.decode():<24} {name:<6} {size:>9} {c_min * 1e3:>8.2f}ms {c_med * 1e3:>5.2f}ms   "
                  f"{min(sdk) / c_min:>21.1f} {statistics.median(sdk) / c_med:>6.1f}   "
                  f"{min(module) / c_min:>24.1f} {statistics.median(module) / c_med:>6.1f}")
        check(lib.QELCloseCamera(cam))
    sim.reset()


if __name__ == "__main__":
    main()
