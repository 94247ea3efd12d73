"""Demo against the simulated Camera SDK: ``python -m brevalo.vra_qel_python_bindings.demo``."""

from __future__ import annotations

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


def main() -> None:
    list_cameras()
    print()
    list_enumerations()


if __name__ == "__main__":
    main()
