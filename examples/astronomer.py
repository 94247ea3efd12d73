"""Three exposures to FITS and three seconds of video to SER, with the first camera.

    python examples/astronomer.py [OUTPUT_FOLDER]
"""

from __future__ import annotations

import sys
from pathlib import Path

from brevalo.vra_qel_python_bindings.camera import Camera, Roi
from brevalo.vra_qel_python_bindings.ser import SerWriter


def show(fraction: float) -> None:
    print(f"\r  {fraction:4.0%}", end="", flush=True)


def main(folder: Path) -> None:
    folder.mkdir(parents=True, exist_ok=True)
    with Camera(0) as cam:
        print(cam.description.name, "controls:", ", ".join(f"{k} {v}" for k, v in cam.controls.items()))
        cam.roi = cam.full_frame(bin=2)  # RAW16, the whole sensor binned 2x2
        cam.gain = 100
        cam.offset = 10
        if cam.description.cooler:
            cam.target_temperature = -10
            cam.cooler_on = True

        for number in range(1, 4):
            print(f"exposure {number}:")
            frame = cam.expose(0.5, progress=show)
            frame.write_fits(folder / f"light_{number:03d}.fits", overwrite=True)
            print(f"  start {frame.start:%H:%M:%S.%f} UTC, {frame.temperature} C, mean {frame.array.mean():.0f}")

        cam.roi = Roi(320, 240, bin=1)  # a planet's worth, centred on the sensor
        cam.exposure = 0.01
        path = folder / "video.ser"
        writer = None
        try:
            for frame in cam.video(seconds=3):
                if writer is None:
                    writer = SerWriter.for_frame(path, frame, observer="me")
                writer.write_frame(frame)
        finally:
            if writer is not None:
                writer.close()
        print(f"{path}: {writer.count if writer else 0} frames, {frame.dropped} dropped")


if __name__ == "__main__":
    main(Path(sys.argv[1] if len(sys.argv) > 1 else "capture"))
