"""``qel-capture``: list cameras, take exposures to FITS, video to SER and a PNG preview.

Exit status: 0 done, 1 a camera or file failure (one error line), 2 a bad option or value (the usage
line and one error line), 130 interrupted by Ctrl-C (files written so far are complete, the camera is
closed).
"""

from __future__ import annotations

import argparse
import datetime as _dt
import os
import re
import sys
import time
from typing import TYPE_CHECKING, Any, Callable, Optional, Sequence

from . import __version__

if TYPE_CHECKING:
    from rich.console import Console

    from .camera import Camera, Frame

PROG = "qel-capture"
EXTRA_HINT = "pip install 'brevalo-vra-qel-python-bindings[capture]'"
FORMATS = ("RAW16", "RAW8", "Y8", "RGB24")


class UsageError(Exception):
    """A bad option value found after parsing (exit status 2)."""


def _positive(kind: Callable[[str], Any]) -> Callable[[str], Any]:
    def convert(text: str) -> Any:
        value = kind(text)
        if not value > 0:
            raise argparse.ArgumentTypeError(f"{text} is not greater than 0")
        return value

    convert.__name__ = kind.__name__
    return convert


def _region(text: str) -> tuple[int, int, Optional[int], Optional[int]]:
    match = re.fullmatch(r"(\d+)x(\d+)(?:\+(\d+)\+(\d+))?", text)
    if match is None:
        raise argparse.ArgumentTypeError(f"{text!r} is not WIDTHxHEIGHT or WIDTHxHEIGHT+X+Y")
    w, h, x, y = match.groups()
    return int(w), int(h), None if x is None else int(x), None if y is None else int(y)


def build_parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--simulator-config", metavar="FILE", help="configuration of the simulated cameras")
    camera = argparse.ArgumentParser(add_help=False, parents=[common])
    camera.add_argument("--camera", type=int, default=0, metavar="INDEX", help="camera index (default 0)")
    camera.add_argument("--gain", type=int, help="gain, 0.1 dB steps")
    camera.add_argument("--offset", type=int, help="offset (black level)")
    camera.add_argument("--bin", type=_positive(int), default=1, help="binning (default 1)")
    camera.add_argument("--format", choices=FORMATS, default="RAW16", help="image format (default RAW16)")
    camera.add_argument("--region", type=_region, metavar="WxH[+X+Y]", help="region in binned pixels (default: all)")
    camera.add_argument("--cooler-target", type=float, metavar="C", help="switch the cooler on, to this temperature")

    parser = argparse.ArgumentParser(prog=PROG, description="Capture with QELCamera2 cameras.", parents=[common])
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    commands.add_parser("list", parents=[common], help="the connected cameras and their properties")
    expose = commands.add_parser("expose", parents=[camera], help="exposures to FITS files")
    expose.add_argument("--exposure", type=_positive(float), required=True, metavar="SECONDS")
    expose.add_argument("--count", type=_positive(int), default=1, metavar="N")
    expose.add_argument("--output", required=True, metavar="DIR", help="folder for the FITS files")
    expose.add_argument("--dark", action="store_true", help="dark frames (shutter closed)")
    expose.add_argument("--prefix", help="file name prefix (default: light or dark)")
    video = commands.add_parser("video", parents=[camera], help="video to a SER file")
    video.add_argument("--seconds", type=_positive(float), metavar="S", help="how long (default: until Ctrl-C)")
    video.add_argument("--exposure", type=_positive(float), metavar="SECONDS")
    video.add_argument("--output", required=True, metavar="FILE.ser")
    preview = commands.add_parser("preview", parents=[camera], help="one frame as a stretched PNG")
    preview.add_argument("--exposure", type=_positive(float), required=True, metavar="SECONDS")
    preview.add_argument("--output", required=True, metavar="FILE.png")
    return parser


def _subparser(parser: argparse.ArgumentParser, command: str) -> argparse.ArgumentParser:
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            found: argparse.ArgumentParser = action.choices[command]
            return found
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        from rich.console import Console
    except ImportError:
        print(f"{PROG}: error: the capture tool needs the 'capture' extra: {EXTRA_HINT}", file=sys.stderr)
        return 1
    # tables keep their columns when the output goes to a file or pipe
    out = Console(width=None if sys.stdout.isatty() else 160)
    err = Console(stderr=True, width=None if sys.stderr.isatty() else 160)
    try:
        from . import qel
    except ImportError as error:
        err.print(f"{PROG}: error: {error}", markup=False, highlight=False)
        return 1
    try:
        if args.simulator_config:
            from . import sim

            sim.load_config(args.simulator_config)
        handler = {"list": _list, "expose": _expose, "video": _video, "preview": _preview}[args.command]
        handler(args, out, err)
    except UsageError as error:
        _subparser(parser, args.command).error(str(error))  # exits with status 2
    except KeyboardInterrupt:
        err.print(f"{PROG}: interrupted", markup=False, highlight=False)
        return 130
    except (LookupError, OSError, ImportError, qel.QELError, RuntimeError, TimeoutError) as error:
        err.print(f"{PROG}: error: {error or type(error).__name__}", markup=False, highlight=False)
        return 1
    return 0


# ---- commands


def _list(args: argparse.Namespace, out: Console, err: Console) -> None:
    from rich.table import Table

    from .camera import cameras

    found = cameras()
    if not found:
        raise LookupError("no camera connected")
    table = Table(title="Cameras")
    for column in ("#", "name", "serial", "sensor", "pixel", "bits", "colour", "cooler", "ST4", "GPS", "bins", "formats"):
        table.add_column(column)
    for d in found:
        table.add_row(
            str(d.index),
            d.name,
            d.serial,
            f"{d.width}x{d.height}",
            f"{d.pixel_size:g} um",
            str(d.bit_depth),
            d.bayer_pattern or "mono",
            _yes(d.cooler),
            _yes(d.st4),
            _yes(d.gps),
            " ".join(map(str, d.bins)),
            " ".join(f.name.removeprefix("IMG_") for f in d.formats),
        )
    out.print(table)


def _yes(flag: bool) -> str:
    return "yes" if flag else "no"


def _open(args: argparse.Namespace, err: Console) -> Camera:
    """Open the camera of --camera and apply the settings of the options (ValueError: exit status 2)."""
    from . import qel
    from .camera import Camera, Roi

    camera = Camera(args.camera)
    try:
        err.print(f"camera {args.camera}: {camera.description.name}", markup=False, highlight=False)
        fmt = qel.ImgType["IMG_" + args.format]
        if args.region is None:
            camera.roi = camera.full_frame(args.bin, fmt)
        else:
            w, h, x, y = args.region
            camera.roi = Roi(w, h, args.bin, fmt, x, y)
        for attribute in ("gain", "offset"):
            if getattr(args, attribute) is not None:
                camera.set(attribute, getattr(args, attribute))
        if args.exposure is not None:
            camera.exposure = args.exposure
        if args.cooler_target is not None:
            camera.target_temperature = args.cooler_target
            camera.cooler_on = True
    except (ValueError, AttributeError) as error:
        camera.close()
        raise UsageError(str(error)) from error
    except BaseException:
        camera.close()
        raise
    return camera


def _progress(console: Console) -> Any:
    from rich.progress import BarColumn, Progress, TaskProgressColumn, TextColumn, TimeRemainingColumn

    return Progress(
        TextColumn("{task.description}"), BarColumn(), TaskProgressColumn(), TimeRemainingColumn(), console=console
    )


def _free_name(folder: str, prefix: str, number: int) -> tuple[str, int]:
    while True:
        path = os.path.join(folder, f"{prefix}_{number:04d}.fits")
        if not os.path.exists(path):
            return path, number
        number += 1


def _expose(args: argparse.Namespace, out: Console, err: Console) -> None:
    from rich.table import Table

    os.makedirs(args.output, exist_ok=True)
    prefix = args.prefix or ("dark" if args.dark else "light")
    written: list[tuple[str, Frame]] = []
    number = 1
    with _open(args, err) as camera, _progress(err) as progress:
        for index in range(args.count):
            task = progress.add_task(f"exposure {index + 1}/{args.count}", total=100)

            def show(fraction: float, task: Any = task) -> None:
                progress.update(task, completed=fraction * 100)

            frame = camera.expose(dark=args.dark, progress=show)
            path, number = _free_name(args.output, prefix, number)
            frame.write_fits(path)
            written.append((path, frame))
    table = Table(title=f"{len(written)} exposures of {args.exposure:g} s in {args.output}")
    for column in ("file", "start (UTC)", "exposure", "temperature", "mean"):
        table.add_column(column)
    for path, frame in written:
        temperature = "" if frame.temperature is None else f"{frame.temperature:.1f} C"
        table.add_row(
            path, frame.start.strftime("%H:%M:%S.%f")[:-3], f"{frame.exposure:g} s", temperature, f"{frame.array.mean():.1f}"
        )
    out.print(table)


def _video(args: argparse.Namespace, out: Console, err: Console) -> None:
    from rich.progress import BarColumn, Progress, TextColumn

    from . import qel
    from .camera import Frame
    from .ser import SerWriter

    with _open(args, err) as camera:
        d = camera.description
        flip = camera.flip if "flip" in camera.controls else qel.FlipStatus.QEL_FLIP_NONE
        mono_bin = camera.mono_bin if "mono_bin" in camera.controls else False
        now = _dt.datetime.now(_dt.timezone.utc)
        shape = Frame(b"", camera.roi, d, camera.exposure, now, now, "host clock", flip=flip, mono_bin=mono_bin)
        first = last = time.monotonic()
        dropped = 0
        with SerWriter.for_frame(args.output, shape) as writer, Progress(
            TextColumn("{task.description}"), BarColumn(), TextColumn("{task.fields[rate]}"), console=err
        ) as progress:
            task = progress.add_task("video", total=args.seconds, rate="")
            for frame in camera.video(seconds=args.seconds):
                writer.write_frame(frame)
                last = time.monotonic()
                dropped = frame.dropped
                rate = writer.count / (last - first) if last > first else 0.0
                progress.update(task, completed=last - first, rate=f"{writer.count} frames, {rate:.1f} fps, {dropped} dropped")
    seconds = last - first
    rate = writer.count / seconds if seconds > 0 else 0.0
    out.print(f"{args.output}: {writer.count} frames in {seconds:.1f} s ({rate:.1f} fps), {dropped} dropped", highlight=False)


def _box_blur(values: Any, radius: int) -> Any:
    """Mean over a (2 radius + 1)^2 box of a 2-D array (edges repeated)."""
    import numpy as np

    size = 2 * radius + 1
    padded = np.pad(values, radius, mode="edge")
    total = padded.cumsum(axis=0).cumsum(axis=1)
    total = np.pad(total, ((1, 0), (1, 0)))
    h, w = values.shape
    return (total[size:size + h, size:size + w] - total[:h, size:size + w] - total[size:size + h, :w] + total[:h, :w]) / size**2


def _cosmetic(mosaic: Any) -> Any:
    """A raw mosaic without its hot pixels: a pixel far above the sky whose four nearest neighbours
    (of the other colours) have under a twentieth of its light takes the mean of its four nearest
    neighbours of its own colour. A star, wider than a pixel, lights its neighbours."""
    import numpy as np

    m = mosaic.astype(np.float32)
    pad = np.pad(m, 2, mode="reflect")
    near = (pad[1:-3, 2:-2] + pad[3:-1, 2:-2] + pad[2:-2, 1:-3] + pad[2:-2, 3:-1]) / 4
    same = (pad[:-4, 2:-2] + pad[4:, 2:-2] + pad[2:-2, :-4] + pad[2:-2, 4:]) / 4
    level = float(np.median(m))
    deviation = max(1.4826 * float(np.median(np.abs(m - level))), 1.0)
    hot = (m - level > 8 * deviation) & (near - level < (m - level) / 20)
    m[hot] = same[hot]
    return m


def _superpixels(mosaic: Any, pattern: str) -> Any:
    """Colour of a raw Bayer mosaic, one RGB value per 2 x 2 cell repeated over the cell's four pixels,
    hot pixels left out."""
    import numpy as np

    mosaic = _cosmetic(mosaic)
    h, w = mosaic.shape[0] // 2 * 2, mosaic.shape[1] // 2 * 2
    cells: dict[str, list[Any]] = {pattern[2 * dy + dx]: [] for dy in (0, 1) for dx in (0, 1)}
    for dy in (0, 1):
        for dx in (0, 1):
            cells[pattern[2 * dy + dx]].append(mosaic[dy:h:2, dx:w:2].astype(np.float32))
    rgb = np.stack([sum(cells[c]) / len(cells[c]) for c in "RGB"], axis=2)
    out = np.zeros(mosaic.shape + (3,), np.float32)
    out[:h, :w] = rgb.repeat(2, axis=0).repeat(2, axis=1)
    return out


def stretch(frame: Frame, background: float = 0.25) -> Any:
    """An 8-bit image of the frame for the eye, as astronomers stretch one.

    A raw colour frame (RAW8 or RAW16 of a Bayer sensor) shows its colours: each 2 x 2 cell of the
    mosaic gives one colour to its four pixels.
    Black just under the sky (its median less 2.8 robust deviations, from the median absolute
    deviation), white at the brightest pixel, and a midtone curve that puts the sky's median at
    `background` of full scale. Colour frames are stretched linked: the curve works on their luminance
    (the mean of the channels), and each pixel takes its colour from the channels' ratios to the
    luminance over a 5 x 5 box, above a grey floor of ten sky deviations: the noise stays grey and the
    stars keep their colours.
    """
    import numpy as np

    pattern = getattr(frame, "bayer_pattern", None)
    pixels = _superpixels(frame.array, pattern) if pattern else frame.array.astype(np.float32)
    luminance = pixels.mean(axis=2) if pixels.ndim == 3 else pixels
    median = float(np.median(luminance))
    deviation = 1.4826 * float(np.median(np.abs(luminance - median)))
    if deviation == 0:  # a coarsely quantised sky: the spread of the values above the median instead
        above = luminance[luminance > median]
        deviation = float(np.std(above)) if above.size else 1.0
    black = max(float(luminance.min()), median - 2.8 * deviation)
    white = max(float(luminance.max()), black + 1e-6)
    scaled = np.clip((luminance - black) / (white - black), 0.0, 1.0)
    # The midtone transfer function m(x) = (b - 1) x / ((2b - 1) x - b) maps the sky to `background`.
    sky = min(max((median - black) / (white - black), 1e-6), 0.999)
    balance = (background - 1) * sky / ((2 * background - 1) * sky - background)
    curve = (balance - 1) * scaled / ((2 * balance - 1) * scaled - balance)
    if pixels.ndim == 3:
        # Light above the black point, with a grey floor of ten deviations: the sky's noise stays grey,
        # a star's colour shows where its light stands above the floor.
        light = np.clip(pixels - black, 0.0, None) + 10 * deviation
        mean = _box_blur(light.mean(axis=2), 2)
        colour = np.stack([_box_blur(light[..., c], 2) / mean for c in range(pixels.shape[2])], axis=2)
        curve = curve[..., None] * colour
    return (np.clip(curve, 0.0, 1.0) * 255 + 0.5).astype(np.uint8)


def _preview(args: argparse.Namespace, out: Console, err: Console) -> None:
    try:
        from PIL import Image
    except ImportError as error:
        raise ImportError(f"writing PNG needs Pillow, which the 'capture' extra installs: {EXTRA_HINT}") from error

    with _open(args, err) as camera:
        frame = camera.expose()
    folder = os.path.dirname(os.path.abspath(args.output))
    os.makedirs(folder, exist_ok=True)
    temporary = args.output + ".part"
    Image.fromarray(stretch(frame)).save(temporary, format="PNG")
    os.replace(temporary, args.output)
    out.print(f"{args.output}: {frame.width}x{frame.height} preview of a {frame.exposure:g} s exposure", highlight=False)


if __name__ == "__main__":
    sys.exit(main())
