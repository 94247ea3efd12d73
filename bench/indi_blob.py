"""The INDI driver's images: through indiserver to a client, against the same work in-process.

1. A full-frame M1 image (2048 x 1536, RAW16, 6 MB of FITS): a client asks indi_qel_ccd (under a
   loopback indiserver) for a 1 ms exposure and times request -> BLOB received. In this process the
   same camera takes the same exposure (`Camera.expose`) and writes the same FITS (`Frame.write_fits`).
   The ratio is (INDI time - exposure time) / FITS write time: what delivery through the driver, the
   server and the socket (base64 included, 4/3 of the bytes) costs against writing the file.
2. Streaming at 640 x 480 RAW8: frames a client receives per second, against the frames the camera
   itself gives in this process at the same exposure, for 5 to 30 frames per second.

    .venv/bin/python bench/indi_blob.py [repeats]

Needs Debian's indi-bin (indiserver) and the indi extra.
"""

from __future__ import annotations

import os
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

from indi_client import Client, Server, tools_missing  # noqa: E402

from brevalo.vra_qel_python_bindings import qel  # noqa: E402
from brevalo.vra_qel_python_bindings.camera import Camera, Roi  # noqa: E402

M1 = "QELSim M1 Mono Cooled"
CONFIG = "[camera]\nmodel = M1\nserial = SIMM0001\nseed = 1000003\n"
RATES = (5, 10, 20, 30)
STREAM_SECONDS = 3.0


def in_process(repeats: int, folder: str) -> tuple[float, float]:
    """Median seconds of a 1 ms full-frame exposure, and of writing its FITS file."""
    exposures, writes = [], []
    with Camera(0) as cam:
        cam.roi = cam.full_frame()
        for i in range(repeats):
            began = time.perf_counter()
            frame = cam.expose(0.001)
            exposures.append(time.perf_counter() - began)
            began = time.perf_counter()
            frame.write_fits(os.path.join(folder, f"frame{i}.fits"))
            writes.append(time.perf_counter() - began)
    return statistics.median(exposures), statistics.median(writes)


def camera_rate(exposure: float) -> float:
    """Frames per second the camera gives in this process at 640 x 480 RAW8."""
    with Camera(0) as cam:
        cam.roi = Roi(640, 480, 1, qel.ImgType.IMG_RAW8, 704, 528)
        cam.exposure = exposure
        frames = 0
        began = None
        for _frame in cam.video(wait=0.1):
            if began is None:
                began = time.perf_counter()  # the pipeline is full from here on
                continue
            frames += 1
            if time.perf_counter() - began >= STREAM_SECONDS:
                break
        assert began is not None
        return frames / (time.perf_counter() - began)


def main() -> None:
    missing = tools_missing()
    if missing:
        print(f"skipped: {missing}")
        return
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    with tempfile.TemporaryDirectory() as folder:
        config = os.path.join(folder, "cameras.conf")
        with open(config, "w") as out:
            out.write(CONFIG)
        os.environ["QELSIM_CONFIG"] = config  # this process's simulator (read at its first use) and the driver's
        server = Server(folder, ["indi_qel_ccd"], env={"QELSIM_CONFIG": config})
        try:
            client = Client(server.port)
            client.wait(lambda: (M1, "STREAMING_EXPOSURE") in client.defs, 60, "the camera")
            client.enable_blobs(M1)
            time.sleep(0.3)
            times = []
            size = 0
            for _ in range(repeats + 1):
                mark = client.set_number(M1, "CCD_EXPOSURE", CCD_EXPOSURE_VALUE=0.001)
                data = client.blob_after(mark, M1, 60)
                arrived = next(b[0] for b in client.blobs if b[0] >= mark and b[1] == M1)
                times.append(arrived - mark)
                size = len(data)
                client.answer(M1, "CCD_EXPOSURE", mark, 30)
            indi = statistics.median(times[1:])  # the first one warms up
            exposure, write = in_process(repeats, folder)
            print(f"full-frame M1 FITS ({size / 1e6:.1f} MB): through indiserver {indi * 1000:.0f} ms "
                  f"(exposure {exposure * 1000:.0f} ms in-process), FITS write in-process {write * 1000:.0f} ms")
            print(f"  delivery ratio (INDI - exposure) / write: {(indi - exposure) / write:.2f}")
            print(f"  end to end ratio INDI / (exposure + write): {indi / (exposure + write):.2f}")

            client.set_number(M1, "CCD_FRAME", X=704, Y=528, WIDTH=640, HEIGHT=480)
            time.sleep(0.3)
            for rate in RATES:
                exposure = 1 / rate
                client.set_number(M1, "STREAMING_EXPOSURE", STREAMING_EXPOSURE_VALUE=exposure)
                time.sleep(0.2)
                on = client.set_switch(M1, "CCD_VIDEO_STREAM", "STREAM_ON")
                client.blob_after(on, M1, 10)
                begin = time.monotonic()
                time.sleep(STREAM_SECONDS)
                end = time.monotonic()
                off = client.set_switch(M1, "CCD_VIDEO_STREAM", "STREAM_OFF")
                client.answer(M1, "CCD_VIDEO_STREAM", off, 10)
                received = sum(1 for b in client.blobs if begin < b[0] <= end and b[1] == M1) / (end - begin)
                camera = camera_rate(exposure)
                print(f"stream 640x480 RAW8 at {rate:2d} fps: client {received:5.1f} fps, camera {camera:5.1f} fps, "
                      f"ratio {received / camera:.2f}")
                time.sleep(0.5)
            client.close()
        finally:
            server.stop()


if __name__ == "__main__":
    main()
