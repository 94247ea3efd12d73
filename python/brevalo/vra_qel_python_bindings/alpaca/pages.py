"""The setup pages: every camera's description, state, temperature and cooler, and its last image."""

from __future__ import annotations

import html
import threading
from typing import Any, Optional, Sequence

from ..camera import CameraState
from .device import CameraDevice, ascom_time

REFRESH_S = 3
STYLE = """body{font-family:sans-serif;margin:1.5em;background:#111;color:#ddd}a{color:#8cf}
table{border-collapse:collapse}td,th{padding:.2em .8em;text-align:left;border-bottom:1px solid #333}
img{max-width:100%;border:1px solid #444;margin-top:1em}.none{color:#888}"""


def _page(title: str, body: str, refresh: bool = False) -> str:
    meta = f'<meta http-equiv="refresh" content="{REFRESH_S}">' if refresh else ""
    return (f'<!DOCTYPE html><html lang="en"><head><meta charset="utf-8">{meta}<title>{html.escape(title)}</title>'
            f"<style>{STYLE}</style></head><body>{body}</body></html>")


def _rows(pairs: Sequence[tuple[str, Any]]) -> str:
    return "".join(f"<tr><th>{html.escape(k)}</th><td>{html.escape(str(v))}</td></tr>" for k, v in pairs)


class _Preview:
    """The PNG of a camera's last image, made once per image."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.frame: Any = None
        self.png = b""


class SetupPages:
    def __init__(self, cameras: Sequence[CameraDevice]) -> None:
        self.cameras = cameras
        self._previews = [_Preview() for _ in cameras]

    def _html(self, resp: Any, text: str) -> None:
        resp.content_type = "text/html; charset=utf-8"
        resp.text = text

    def _camera(self, number: str) -> Optional[CameraDevice]:
        if number.isascii() and number.isdigit() and int(number) < len(self.cameras):
            return self.cameras[int(number)]
        return None

    def on_get_index(self, req: Any, resp: Any) -> None:
        items = "".join(
            f'<li><a href="/setup/v1/camera/{n}/setup">Camera {n}: {html.escape(c.name)}</a> '
            f"&mdash; {html.escape(CameraState(int(c.camera.state)).name.lower())}</li>"
            for n, c in enumerate(self.cameras)
        )
        self._html(resp, _page("qel-alpaca", f"<h1>qel-alpaca cameras</h1><ul id=\"cameras\">{items or '<li>none</li>'}</ul>"))

    def on_get_camera(self, req: Any, resp: Any, number: str) -> None:
        device = self._camera(number)
        if device is None:
            resp.status = 404
            self._html(resp, _page("no such camera", "<p>No such camera.</p>"))
            return
        status = device.camera.status()
        d = device.info
        rows: list[tuple[str, Any]] = [
            ("Description", device.description),
            ("Connected (Alpaca)", "yes" if device.connected else "no"),
            ("State", CameraState(int(status.state)).name.lower()),
            ("Readout mode", device.mode.name),
            ("Binning", device.get_bin_x()),
        ]
        if status.temperature is not None:
            rows.append(("Sensor temperature", f"{status.temperature:.1f} C"))
        if d.cooler:
            cooler = "on" if status.cooler_on else "off"
            if status.cooler_on and status.cooler_target is not None:
                cooler += f", target {status.cooler_target:.1f} C"
            if status.cooler_power is not None:
                cooler += f", power {status.cooler_power:.0f} %"
            rows.append(("Cooler", cooler))
        frame = device.camera.last_frame
        if frame is not None:
            rows.append(("Last image", f"{frame.width} x {frame.height}, {frame.exposure:g} s, started {ascom_time(frame.start)} UTC"))
            image = (f'<img id="preview" alt="last image" src="/setup/v1/camera/{number}/preview.png?t={frame.start.timestamp():.6f}" '
                     f'onload="this.dataset.loaded=this.naturalWidth">')
        else:
            image = '<p class="none">No image yet.</p>'
        body = (f'<p><a href="/setup">All cameras</a></p><h1>Camera {number}: {html.escape(device.name)}</h1>'
                f"<table>{_rows(rows)}</table>{image}")
        self._html(resp, _page(f"Camera {number}: {device.name}", body, refresh=True))

    def on_get_preview(self, req: Any, resp: Any, number: str) -> None:
        device = self._camera(number)
        frame = device.camera.last_frame if device is not None else None
        if device is None or frame is None:
            resp.status = 404
            resp.content_type = "text/plain"
            resp.text = "no image"
            return
        from .images import preview_png

        preview = self._previews[int(number)]
        with preview.lock:
            if preview.frame is not frame:
                preview.png, preview.frame = preview_png(frame), frame
            png = preview.png
        resp.content_type = "image/png"
        resp.cache_control = ["no-cache"]
        resp.data = png
