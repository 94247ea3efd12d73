"""Frame rate of the simulated cameras at full resolution in RAW16: achieved / advertised.

For each camera of the simulator: full sensor, bin 1, RAW16, the shortest exposure and all the USB
bandwidth, so the advertised rate is the readout rate. Frames are fetched for a few seconds of real
time on the simulator's real-time clock; achieved counts the frames that arrived. The producer's
capacity (frames it can synthesise per second with the clock sped up) shows the headroom.

    .venv/bin/python bench/sim_framerate.py [seconds]
"""

from __future__ import annotations

import ctypes
import sys
import time

from brevalo.vra_qel_python_bindings import sim

RAW16, EXPOSURE, BANDWIDTH = 2, 1, 6


class CameraInfo(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char * 64), ("camera_id", ctypes.c_int), ("max_height", ctypes.c_int),
                ("max_width", ctypes.c_int), ("rest", ctypes.c_char * 164)]


def check(rc: int) -> None:
    if rc != 0:
        raise RuntimeError(f"result code {rc}")


def measure(lib, camera_id: int, info: CameraInfo, seconds: float, speed: float) -> tuple[float, int]:
    """Frames per second of simulated time that arrived, and the frames dropped meanwhile."""
    sim.set_clock_speed(speed)
    size = info.max_width * info.max_height * 2
    buffer = (ctypes.c_ubyte * size)()
    check(lib.QELStartVideoCapture(camera_id))
    check(lib.QELGetVideoData(camera_id, buffer, size, -1))  # the first frame: the pipeline is full
    start_real, start_sim, frames = time.perf_counter(), sim.now_us(), 0
    while time.perf_counter() - start_real < seconds:
        check(lib.QELGetVideoData(camera_id, buffer, size, -1))
        frames += 1
    elapsed_sim = (sim.now_us() - start_sim) / 1e6
    dropped = ctypes.c_int()
    check(lib.QELGetDroppedFrames(camera_id, ctypes.byref(dropped)))
    check(lib.QELStopVideoCapture(camera_id))
    return frames / elapsed_sim, dropped.value


def main() -> None:
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 3.0
    sim.reset()
    lib = sim.library()
    lib.QELGetVideoData.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_int, ctypes.c_int]
    print(f"{'camera':<24} {'advertised':>10} {'achieved':>10} {'ratio':>6} {'dropped':>8} {'capacity':>9}")
    for index in range(lib.QELGetNumOfConnectedCameras()):
        info = CameraInfo()
        check(lib.QELGetCameraProperty(ctypes.byref(info), index))
        cam = info.camera_id
        check(lib.QELOpenCamera(cam))
        check(lib.QELInitCamera(cam))
        check(lib.QELSetROIFormat(cam, info.max_width, info.max_height, 1, RAW16))
        check(lib.QELSetControlValue(cam, EXPOSURE, 32, 0))
        check(lib.QELSetControlValue(cam, BANDWIDTH, 100, 0))
        _, interval_us = sim.timing(cam)
        advertised = 1e6 / interval_us
        achieved, dropped = measure(lib, cam, info, seconds, 1.0)
        # Sped up a hundredfold the producer cannot keep up: what arrives per real second is what
        # one core can synthesise (and the caller copy).
        capacity_sim, _ = measure(lib, cam, info, seconds / 2, 100.0)
        capacity = capacity_sim * 100
        print(f"{info.name.decode():<24} {advertised:>8.1f}/s {achieved:>8.1f}/s {achieved / advertised:>6.3f} "
              f"{dropped:>8} {capacity:>7.0f}/s")
        check(lib.QELCloseCamera(cam))
    sim.reset()


if __name__ == "__main__":
    main()
