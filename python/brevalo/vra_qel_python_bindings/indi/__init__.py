"""``indi_qel_ccd``: the INDI driver of every connected camera, run by an INDI server.

    indiserver indi_qel_ccd

The server starts the driver and talks to it over standard input and output; clients connect to the
server (TCP port 7624). Each camera is one device, named by the camera (``name 2``, ``name 3`` ... when
names repeat), with the standard CCD properties (``properties.TABLE``). The driver ends when its
standard input closes, closing its cameras. Needs the ``indi`` extra (PyPI ``indipydriver``).
"""

from __future__ import annotations

import argparse
import asyncio
import logging
import os
import sys
import xml.etree.ElementTree as ET
from typing import Any, Optional

EXTRA_HINT = "pip install 'brevalo-vra-qel-python-bindings[indi]'"
#: Seconds between status updates (exposure countdown, temperature, finished images).
TICK = 0.1

logger = logging.getLogger("indi_qel_ccd")


def _import_library() -> Any:
    try:
        import indipydriver  # type: ignore[import-untyped]
    except ImportError as error:
        raise SystemExit(f"indi_qel_ccd needs indipydriver, which the 'indi' extra installs: {EXTRA_HINT}") from error
    return indipydriver


def unique_names(names: list[str]) -> list[str]:
    """Device names: a camera's name, with " 2", " 3" ... after the first where names repeat."""
    seen: dict[str, int] = {}
    found = []
    for name in names:
        name = name.encode("ascii", "replace").decode("ascii") or "camera"
        count = seen.get(name, 0) + 1
        seen[name] = count
        candidate = name if count == 1 else f"{name} {count}"
        while candidate in found:
            count += 1
            candidate = f"{name} {count}"
        found.append(candidate)
    return found


def make_driver(devices: list[Any]) -> Any:
    ipd = _import_library()
    from .device import CameraDevice
    from .transport import Pipes

    base: Any = ipd.IPyDriver

    class Driver(base):  # type: ignore[misc]
        """The driver of the cameras: requests go to their device; unknown properties and elements are
        answered, where indipydriver would drop them silently."""

        async def rxevent(self, event: Any) -> None:
            device = self.get(event.devicename)
            if isinstance(device, CameraDevice):
                await device.devrxevent(event)

        async def hardware(self) -> None:
            while not self.stop:
                for device in self.values():
                    await device.tick()
                await asyncio.sleep(TICK)

        async def _readdata(self, root: ET.Element) -> None:
            if root.tag in self._client_tags:
                device = self.get(root.get("device") or "")
                if isinstance(device, CameraDevice) and device.enable:
                    await self._request(device, root)
                    return
            await super()._readdata(root)

        async def _request(self, device: CameraDevice, root: ET.Element) -> None:
            name = root.get("name") or ""
            vector = device.get(name)
            if vector is None:
                await device.send_device_message(f"Unknown property {name!r} refused")
                return
            if vector.perm == "ro":
                await device.refuse(vector, f"{name} is read-only")
                return
            kind = root.tag[3:]  # newNumberVector -> NumberVector
            if kind != vector.vectortype:
                await device.refuse(vector, f"{name} is a {vector.vectortype}, not a {kind}")
                return
            unknown = [m.get("name") for m in root if m.get("name") not in vector]
            event = vector.create_event(root) if not unknown else None
            if event is None:
                what = f"unknown elements {unknown}" if unknown else "no readable elements"
                await device.refuse(vector, f"{name}: {what} refused")
                return
            await self.rxevent(event)

    driver = Driver(*devices)
    driver._commsobj = Pipes(driver._readdata, driver.shutdown)
    return driver


def main(argv: Optional[list[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="indi_qel_ccd",
        description="INDI driver of the connected cameras; an INDI server runs it: indiserver indi_qel_ccd",
    )
    parser.add_argument("--upload-dir", default=os.path.expanduser("~"), help="default folder of local uploads")
    parser.add_argument("-v", "--verbose", action="store_true", help="log requests to standard error")
    args = parser.parse_args(argv)
    logging.basicConfig(stream=sys.stderr, level=logging.INFO if args.verbose else logging.WARNING,
                        format="indi_qel_ccd: %(levelname)s %(message)s")
    _import_library()
    from ..camera import Camera, cameras
    from .device import CameraDevice
    from .images import warm_up

    warm_up()
    found = cameras()
    opened: list[Camera] = []
    devices = []
    try:
        for description in found:
            try:
                opened.append(Camera(description.index))
            except Exception as error:
                logger.error("%s: not opened: %s", description.name, error)
        for camera, name in zip(opened, unique_names([c.description.name for c in opened])):
            devices.append(CameraDevice(name, camera, args.upload_dir))
        if not devices:
            logger.warning("no camera found")
        driver = make_driver(devices)
        asyncio.run(driver.asyncrun())
    finally:
        for device in devices:
            try:
                device.close()
            except Exception:
                logger.exception("%s: closing", device.devicename)
        for camera in opened:
            if not camera.closed:
                camera.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
