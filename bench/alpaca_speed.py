"""The Alpaca camera server's speed, against the same camera used in-process.

1. A 0.1 s full-frame 16-bit exposure of the M1 camera end to end through Alpaca (StartExposure, polls
   of ImageReady every 5 ms, the ImageBytes download, decoded to numpy), against ``Camera.expose(0.1)``
   in this process: the ratio of the medians (target: at most 1.5).
2. ``CameraState`` from 8 threads on an idle server (the baseline: what the machine allows), while another process downloads a full frame in a loop, and again
   while it exposes and downloads in a loop: the latencies' median and 99th percentile (target: p99
   under 50 ms) and the errors (target: none). The second includes the simulator's rendering of each
   frame, which holds the interpreter while the module reads the image.

The server runs as ``qel-alpaca`` in a process of its own, as an imaging program would meet it.

    .venv/bin/python bench/alpaca_speed.py [exposures] [seconds of polling]
"""

from __future__ import annotations

import os
import re
import statistics
import subprocess
import sys
import threading
import time

import numpy as np
import requests

from brevalo.vra_qel_python_bindings import camera, sim

EXPOSURE = 0.1
POLL_S = 0.005
THREADS = 8


def in_process(count: int) -> float:
    times = []
    with camera.Camera(0) as cam:
        cam.roi = cam.full_frame(1, camera.ImgType.IMG_RAW16)
        cam.expose(EXPOSURE)  # the first frame builds the sensor's maps
        for _ in range(count):
            began = time.perf_counter()
            frame = cam.expose(EXPOSURE)
            frame.array
            times.append(time.perf_counter() - began)
    return statistics.median(times)


class Server:
    def __init__(self) -> None:
        code = "from brevalo.vra_qel_python_bindings.alpaca import main; raise SystemExit(main())"
        self.process = subprocess.Popen([sys.executable, "-c", code, "--port", "0", "--discovery-port", "0"],
                                        stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        match = re.search(r"http://\S+", line)
        if match is None:
            self.process.kill()
            raise RuntimeError(f"qel-alpaca did not start: {line!r}")
        self.url = match.group(0) + "/api/v1/camera/0/"

    def close(self) -> None:
        self.process.terminate()
        self.process.wait(10)


def expose(session: requests.Session, url: str) -> np.ndarray:
    reply = session.put(url + "startexposure", data={"Duration": EXPOSURE, "Light": "true"}, timeout=30).json()
    if reply["ErrorNumber"]:
        raise RuntimeError(reply["ErrorMessage"])
    while not session.get(url + "imageready", timeout=30).json()["Value"]:
        time.sleep(POLL_S)
    content = session.get(url + "imagearray", headers={"Accept": "application/imagebytes"}, timeout=30).content
    dims = np.frombuffer(content, "<i4", 11)
    return np.frombuffer(content, "<u2", offset=44).reshape(dims[8], dims[9])


def through_alpaca(url: str, count: int) -> float:
    session = requests.Session()
    session.put(url + "connected", data={"Connected": "true"}, timeout=30)
    expose(session, url)
    times = []
    for _ in range(count):
        began = time.perf_counter()
        image = expose(session, url)
        times.append(time.perf_counter() - began)
    assert image.shape == (2048, 1536), image.shape
    return statistics.median(times)


def download(session: requests.Session, url: str) -> None:
    content = session.get(url + "imagearray", headers={"Accept": "application/imagebytes"}, timeout=30).content
    if len(content) != 44 + 2048 * 1536 * 2:
        raise RuntimeError(f"a download of {len(content)} bytes")


def load(url: str, mode: str, seconds: float) -> None:
    """Download (and expose) full frames in a loop for ``seconds``; prints how many."""
    session, count, end = requests.Session(), 0, time.monotonic() + seconds
    while time.monotonic() < end:
        if mode == "idle":
            time.sleep(seconds)
            break
        if mode == "expose":
            expose(session, url)
        else:
            download(session, url)
        count += 1
    print(count)


def state_latency(url: str, seconds: float, mode: str) -> tuple[list[float], int, int]:
    """CameraState's latencies from THREADS threads while another process loads the server."""
    code = "import sys; sys.path.insert(0, sys.argv[1]); import alpaca_speed as b; b.load(sys.argv[2], sys.argv[3], float(sys.argv[4]))"
    loader = subprocess.Popen([sys.executable, "-c", code, os.path.dirname(os.path.abspath(__file__)), url,
                               mode, str(seconds)], stdout=subprocess.PIPE, text=True)
    stop = threading.Event()
    latencies: list[float] = []
    errors = [0]

    def poll() -> None:
        session = requests.Session()
        mine = []
        while not stop.is_set():
            began = time.perf_counter()
            try:
                reply = session.get(url + "camerastate", timeout=10)
                if reply.status_code != 200 or reply.json()["ErrorNumber"]:
                    errors[0] += 1
            except requests.RequestException:
                errors[0] += 1
            mine.append(time.perf_counter() - began)
        latencies.extend(mine)

    threads = [threading.Thread(target=poll) for _ in range(THREADS)]
    for thread in threads:
        thread.start()
    out, _ = loader.communicate(timeout=seconds + 120)
    stop.set()
    for thread in threads:
        thread.join(60)
    return latencies, errors[0], int(out.split()[-1]) if out.split() else 0


def main() -> None:
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 10
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 8
    sim.reset()
    baseline = in_process(count)
    server = Server()
    try:
        alpaca = through_alpaca(server.url, count)
        loads = [(what, *state_latency(server.url, seconds, mode))
                 for what, mode in (("", "idle"), ("downloaded", "download"), ("exposed and downloaded", "expose"))]
    finally:
        server.close()
    print(f"full-frame 16-bit M1, {EXPOSURE:g} s exposure, median of {count}:")
    print(f"  Camera.expose in-process   {baseline * 1000:7.1f} ms")
    print(f"  through Alpaca (ImageBytes) {alpaca * 1000:7.1f} ms   ratio {alpaca / baseline:.2f} (target <= 1.5)")
    for what, latencies, errors, downloads in loads:
        lat = sorted(latencies)
        p50, p99 = lat[len(lat) // 2], lat[min(len(lat) - 1, int(len(lat) * 0.99))]
        load = f"while {downloads} full frames were {what}" if what else "on an idle server (the baseline)"
        print(f"CameraState from {THREADS} threads for {seconds:g} s {load}:")
        print(f"  {len(lat)} requests, median {p50 * 1000:.1f} ms, p99 {p99 * 1000:.1f} ms (target < 50), "
              f"max {lat[-1] * 1000:.1f} ms, errors {errors}")


if __name__ == "__main__":
    os.environ.setdefault("PYTHONUNBUFFERED", "1")
    main()
