"""Demo against the simulated Camera SDK: ``python -m brevalo.vra_qel_python_bindings.demo``."""

from __future__ import annotations

import array
import sys
import time

from . import qel

ENUMERATIONS = [
    qel.BayerPattern,
    qel.ImgType,
    qel.ControlType,
    qel.CameraMode,
    qel.GuideDirection,
    qel.FlipStatus,
    qel.TrigOutput,
    qel.ExposureStatus,
]


def list_cameras() -> None:
    print("Camera SDK version:", qel.get_sdk_version())
    count = qel.get_number_of_connected_cameras()
    print("Connected cameras:", count)
    for index in range(count):
        info = qel.get_camera_property(index)
        print(f"  [{index}] {info!r}")
        print(f"      pixel size {info.pixel_size} um, {info.bit_depth}-bit, bins {info.supported_bins}")
        formats = ", ".join(f.name for f in info.supported_video_formats)
        print(f"      formats {formats}")
        colour = f"colour ({info.bayer_pattern.name})" if info.is_color_camera else "monochrome"
        print(f"      {colour}, cooler: {info.is_cooler_cam}, ST4: {info.st_4_port}, triggers: {info.is_trigger_cam}")


def list_enumerations() -> None:
    for enumeration in ENUMERATIONS:
        members = ", ".join(f"{m.name}={m.value}" for m in enumeration)
        print(f"{enumeration.__name__}: {members}")


def capture(camera_index: int = 0) -> None:
    """The typical capture: open, set gain and exposure, pick a region and format, expose, read, close."""
    info = qel.get_camera_property(camera_index)
    camera = info.camera_id
    qel.open_camera(camera)
    try:
        qel.init_camera(camera)
        controls = [qel.get_control_caps(camera, i) for i in range(qel.get_num_of_controls(camera))]
        print(f"{info.name}: {len(controls)} controls ({', '.join(c.name for c in controls)})")
        qel.set_control_value(camera, qel.ControlType.QEL_GAIN, 100, False)
        qel.set_control_value(camera, qel.ControlType.QEL_EXPOSURE, 20_000, False)  # microseconds

        width, height, binning, img_type = info.max_width // 2, info.max_height // 2, 2, qel.ImgType.IMG_RAW16
        qel.set_roi_format(camera, width, height, binning, img_type)
        width, height, binning, img_type = qel.get_roi_format(camera)

        started = time.perf_counter()
        qel.start_exposure(camera, False)
        while qel.get_exp_status(camera) == qel.ExposureStatus.QEL_EXP_WORKING:
            time.sleep(0.005)
        if qel.get_exp_status(camera) != qel.ExposureStatus.QEL_EXP_SUCCESS:
            raise RuntimeError("the exposure failed")
        image = qel.get_data_after_exp(camera, width * height * 2)
        took = time.perf_counter() - started

        pixels = array.array("H", image)
        if sys.byteorder != "little":
            pixels.byteswap()
        print(
            f"{width}x{height} bin {binning} {img_type.name}: {len(image)} bytes in {took * 1000:.0f} ms, "
            f"mean pixel value {sum(pixels) / len(pixels):.1f}"
        )
    finally:
        qel.close_camera(camera)


def main() -> None:
    list_cameras()
    print()
    capture()
    print()
    list_enumerations()


if __name__ == "__main__":
    main()
