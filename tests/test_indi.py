"""The INDI driver indi_qel_ccd under a real indiserver on loopback, with Debian's indi tools and a
small client that records what arrives (tests/indi_client.py)."""

from __future__ import annotations

import datetime as dt
import io
import os
import select
import socket
import subprocess
import sys
import time

import numpy as np
import pytest

from helpers import TEST_CAMERAS
from indi_client import Client, Server, tools_missing

pytestmark = [pytest.mark.external, pytest.mark.skipif(tools_missing() is not None, reason=str(tools_missing()))]

fits = pytest.importorskip("astropy.io.fits")

M1, C2 = "QELSim M1 Mono Cooled", "QELSim C2 Colour GPS"
GPS_UTC = "2024-03-20T21:30:00"
# The test cameras; M1 without seeing jitter, so that guide pulses alone move its stars.
CONFIG = f"utc = {GPS_UTC}\n" + "".join(
    f"[camera]\nmodel = {m}\nserial = {serial}\nseed = {seed}\n" + ("seeing_jitter = 0\n" if m == "M1" else "")
    for m, serial, seed in TEST_CAMERAS
)


def start(tmp_path_factory: pytest.TempPathFactory, config: str, *drivers: str) -> Server:
    folder = tmp_path_factory.mktemp("indi")
    (folder / "cameras.conf").write_text(config)
    return Server(str(folder), list(drivers) or ["indi_qel_ccd"], env={"QELSIM_CONFIG": str(folder / "cameras.conf")})


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    server = start(tmp_path_factory, CONFIG)
    yield server
    server.stop()


@pytest.fixture(scope="module")
def client(server):
    client = Client(server.port)
    client.wait(lambda: {M1, C2} <= client.devices() and (C2, "STREAMING_EXPOSURE") in client.defs, 60,
                "both cameras")
    for device in (M1, C2):
        client.enable_blobs(device)
    time.sleep(0.2)
    yield client
    client.close()


@pytest.fixture(scope="module")
def driver_pid(server, client):
    """The driver's process id at start: indiserver restarts a driver that dies, with a new one."""
    pids = server.driver_pids()
    assert len(pids) == 1, server.log()
    return pids[0]


def expose(client: Client, device: str, seconds: float, timeout: float = 60) -> tuple[np.ndarray, object]:
    mark = client.set_number(device, "CCD_EXPOSURE", CCD_EXPOSURE_VALUE=seconds)
    data = client.blob_after(mark, device, timeout)
    answer = client.answer(device, "CCD_EXPOSURE", mark, timeout)
    assert answer.state == "Ok", answer
    with fits.open(io.BytesIO(data)) as hdus:
        return hdus[0].data.astype(np.float64), hdus[0].header.copy()


def region(client: Client, device: str, x: int, y: int, width: int, height: int, binning: int = 1) -> None:
    answer = client.answer(device, "CCD_BINNING", client.set_number(device, "CCD_BINNING", HOR_BIN=binning, VER_BIN=binning))
    assert answer.state == "Ok", answer
    answer = client.answer(device, "CCD_FRAME", client.set_number(device, "CCD_FRAME", X=x, Y=y, WIDTH=width, HEIGHT=height))
    assert answer.state == "Ok", answer


def peaks(image: np.ndarray, count: int = 25) -> np.ndarray:
    """(y, x) of the brightest local maxima well above the background."""
    background = np.median(image)
    noise = 1.4826 * np.median(np.abs(image - background)) + 1e-9
    inner = image[1:-1, 1:-1]
    top = inner > background + 15 * noise
    for dy in (-1, 0, 1):
        for dx in (-1, 0, 1):
            if dy or dx:
                top &= inner >= image[1 + dy : image.shape[0] - 1 + dy, 1 + dx : image.shape[1] - 1 + dx]
    ys, xs = np.nonzero(top)
    order = np.argsort(inner[ys, xs])[::-1][:count]
    return np.stack([ys[order] + 1, xs[order] + 1], axis=1)


def shift(before: np.ndarray, after: np.ndarray) -> np.ndarray:
    """(dy, dx) that moves `before` onto `after`, from the peak of their cross-correlation."""
    a, b = (np.clip(i - np.median(i), 0, None) for i in (before, after))
    correlation = np.fft.irfft2(np.conj(np.fft.rfft2(a)) * np.fft.rfft2(b), s=a.shape)
    y, x = np.unravel_index(np.argmax(correlation), correlation.shape)
    found = []
    for peak, axis, size in ((y, 0, a.shape[0]), (x, 1, a.shape[1])):
        index = [y, x]
        values = []
        for step in (-1, 0, 1):
            index[axis] = (peak + step) % size
            values.append(correlation[tuple(index)])
        left, middle, right = values
        offset = 0.5 * (left - right) / (left - 2 * middle + right)
        found.append((peak + offset + size / 2) % size - size / 2)
    return np.array(found)


def shape(update) -> tuple:
    return (update.attrib.get("perm"), update.tag, update.attrib.get("rule"), tuple(sorted(update.values)))


def test_cameras_appear_with_the_properties_of_the_ccd_simulator(tmp_path_factory, client):
    """Both cameras, with what their features call for; every property that the Debian CCD simulator
    also has is of the same type, permission, switch rule and elements there (CCD_COOLER is read-write here on purpose: it
    shows whether the cooler runs)."""
    simulator = start(tmp_path_factory, "", "indi_simulator_ccd")
    try:
        reference = Client(simulator.port)
        device = "CCD Simulator"
        reference.wait(lambda: (device, "CONNECTION") in reference.defs, 30, "the CCD simulator")
        reference.set_switch(device, "CONNECTION", "CONNECT")
        reference.wait(lambda: (device, "CCD_OFFSET") in reference.defs, 30, "the simulator's CCD properties")
        time.sleep(1)
        theirs = {name: shape(u) for (_d, name), u in reference.defs.items()}
        reference.close()
    finally:
        simulator.stop()
    wanted = {
        M1: {"CCD_TEMPERATURE", "CCD_COOLER", "CCD_COOLER_POWER", "TELESCOPE_TIMED_GUIDE_NS", "TELESCOPE_TIMED_GUIDE_WE"},
        C2: {"CCD_CFA"},
    }
    common = {"CONNECTION", "DRIVER_INFO", "CCD_EXPOSURE", "CCD_ABORT_EXPOSURE", "CCD_FRAME", "CCD_BINNING",
              "CCD_FRAME_RESET", "CCD_FRAME_TYPE", "CCD_INFO", "CCD_GAIN", "CCD_OFFSET", "CCD1", "UPLOAD_MODE",
              "CCD_VIDEO_STREAM", "STREAMING_EXPOSURE"}
    for device, extra in wanted.items():
        ours = {name: shape(u) for (d, name), u in client.defs.items() if d == device}
        assert common | extra <= set(ours), sorted(common | extra - set(ours))
        other = wanted[C2 if device == M1 else M1]
        assert not other & set(ours), f"{device} has {sorted(other & set(ours))}"
        differ = {n: (ours[n], theirs[n]) for n in set(ours) & set(theirs) if ours[n] != theirs[n]}
        cooler = ("defSwitchVector", "OneOfMany", ("COOLER_OFF", "COOLER_ON"))
        assert differ == ({"CCD_COOLER": (("rw", *cooler), ("wo", *cooler))} if device == M1 else {})
        assert set(ours) & set(theirs) >= common
    assert client.value(M1, "DRIVER_INFO", "DRIVER_INTERFACE") == "6"  # CCD and guider
    assert client.value(C2, "DRIVER_INFO", "DRIVER_INTERFACE") == "2"
    assert client.value(C2, "CCD_CFA", "CFA_TYPE") == "RGGB"
    # indi_getprop reads the same permissions through the server
    listed = subprocess.run(["indi_getprop", "-p", str(client.sock.getpeername()[1]), "-t", "5", "*.*._PERM"],
                            capture_output=True, text=True, timeout=30).stdout
    assert f"{M1}.CCD_EXPOSURE._PERM=rw" in listed and f"{C2}.CCD_INFO._PERM=ro" in listed, listed


def test_exposure_gives_a_fits_blob_with_stars_and_binning_keeps_them(client):
    region(client, M1, 0, 0, 2048, 1536)
    mark = time.monotonic()
    full, header = expose(client, M1, 1.0)
    countdown = [float(u.values["CCD_EXPOSURE_VALUE"]) for u in client.since(mark, M1, "CCD_EXPOSURE") if u.state == "Busy"]
    assert len(countdown) >= 2 and countdown == sorted(countdown, reverse=True), countdown
    assert full.shape == (1536, 2048) and header["EXPTIME"] == 1.0 and header["XBINNING"] == 1
    assert header["INSTRUME"] == M1 and "DATE-OBS" in header and header["GAIN"] == 100
    stars = peaks(full)
    assert len(stars) >= 10, len(stars)
    region(client, M1, 512, 384, 1024, 768, binning=2)
    binned, header = expose(client, M1, 1.0)
    assert binned.shape == (384, 512) and header["XBINNING"] == 2
    reference = full[384:1152, 512:1536].reshape(384, 2, 512, 2).sum(axis=(1, 3))
    theirs = peaks(reference)
    ours = peaks(binned)
    matched = sum(np.min(np.abs(theirs - star).sum(axis=1)) <= 2 for star in ours)
    assert len(ours) >= 10 and matched >= 0.8 * len(ours), (matched, len(ours))
    region(client, M1, 0, 0, 2048, 1536)


def test_a_client_leaving_in_the_middle_of_an_image_changes_nothing_for_the_others(server, client, driver_pid):
    region(client, M1, 0, 0, 2048, 1536)
    leaver = socket.create_connection(("127.0.0.1", server.port), timeout=30)
    leaver.sendall(f"<getProperties version='1.7'/><enableBLOB device='{M1}'>Also</enableBLOB>".encode())
    time.sleep(0.5)
    mark = client.set_number(M1, "CCD_EXPOSURE", CCD_EXPOSURE_VALUE=0.1)
    seen = b""
    while b"<setBLOBVector" not in seen:
        seen = seen[-20:] + leaver.recv(1 << 16)
    leaver.close()  # a few kilobytes into the image
    data = client.blob_after(mark, M1)
    with fits.open(io.BytesIO(data)) as hdus:
        assert hdus[0].data.shape == (1536, 2048)
    for _ in range(2):
        image, _ = expose(client, M1, 0.1)
        assert image.shape == (1536, 2048)
    assert server.driver_pids() == [driver_pid]


def test_abort_ends_a_long_exposure_and_the_camera_takes_the_next(client):
    mark = client.set_number(M1, "CCD_EXPOSURE", CCD_EXPOSURE_VALUE=10)
    client.wait(lambda: any(u.state == "Busy" for u in client.since(mark, M1, "CCD_EXPOSURE")), 10, "Busy")
    aborted = client.set_switch(M1, "CCD_ABORT_EXPOSURE", "ABORT")
    answer = client.answer(M1, "CCD_EXPOSURE", aborted, 5)
    assert answer.state in ("Idle", "Alert") and answer.at - aborted < 1.0, answer
    region(client, M1, 768, 512, 512, 512)
    image, _ = expose(client, M1, 0.2, timeout=10)
    assert not [b for b in client.blobs if aborted <= b[0] and b[1] == M1 and len(b[2]) > 4_000_000]
    assert image.shape == (512, 512)


@pytest.mark.parametrize(
    "pulse, expected",
    [("TIMED_GUIDE_N", (-4.0, 0.0)), ("TIMED_GUIDE_W", (0.0, 4.0))],  # guide rate 2 px/s x 2 s
)
def test_guide_pulses_are_busy_for_their_length_and_move_the_stars(client, pulse, expected):
    name = "TELESCOPE_TIMED_GUIDE_NS" if pulse in ("TIMED_GUIDE_N", "TIMED_GUIDE_S") else "TELESCOPE_TIMED_GUIDE_WE"
    mark = client.new("Number", M1, name, {pulse: 500})
    busy = client.wait(lambda: next((u for u in client.since(mark, M1, name) if u.state == "Busy"), None), 5, "Busy")
    done = client.answer(M1, name, mark, 5)
    assert done.state == "Ok" and 0.35 <= done.at - busy.at <= 0.8, done.at - busy.at
    region(client, M1, 768, 512, 512, 512)
    before, _ = expose(client, M1, 0.3)
    mark = client.new("Number", M1, name, {pulse: 2000})
    assert client.answer(M1, name, mark, 10).state == "Ok"
    time.sleep(0.3)
    after, _ = expose(client, M1, 0.3)
    assert np.allclose(shift(before, after), expected, atol=0.6), shift(before, after)


def test_gps_camera_dates_its_frames_by_gps(client):
    region(client, C2, 0, 0, 640, 480)
    began = dt.datetime.now(dt.timezone.utc)
    _, header = expose(client, C2, 0.1)
    start = dt.datetime.fromisoformat(header["DATE-OBS"]).replace(tzinfo=dt.timezone.utc)
    gps_zero = dt.datetime.fromisoformat(GPS_UTC).replace(tzinfo=dt.timezone.utc)
    # GPS time is the configured time plus the simulated time since the driver started
    assert gps_zero <= start <= gps_zero + (dt.datetime.now(dt.timezone.utc) - began) + dt.timedelta(minutes=5)
    assert header["TIMESRC"] == "GPS" and header["BAYERPAT"] == "RGGB"


def test_streaming_sends_frames_until_switched_off(client):
    region(client, M1, 704, 528, 640, 480)
    client.set_number(M1, "STREAMING_EXPOSURE", STREAMING_EXPOSURE_VALUE=0.05)
    on = client.set_switch(M1, "CCD_VIDEO_STREAM", "STREAM_ON")
    time.sleep(2)
    off = client.set_switch(M1, "CCD_VIDEO_STREAM", "STREAM_OFF")
    assert client.answer(M1, "CCD_VIDEO_STREAM", off, 10).state == "Idle"
    settled = time.monotonic() + 0.5
    time.sleep(1.5)
    frames = [b for b in client.blobs if on <= b[0] <= settled and b[1] == M1]
    assert len(frames) >= 5, len(frames)
    assert not [b for b in client.blobs if b[0] > settled and b[1] == M1]
    with fits.open(io.BytesIO(frames[-1][2])) as hdus:
        assert hdus[0].data.shape == (480, 640) and hdus[0].header["BITPIX"] == 8
    # A switch-off ends a stream at once, not after the 60 s frame it waits for (just started, or waiting).
    client.set_number(M1, "STREAMING_EXPOSURE", STREAMING_EXPOSURE_VALUE=60)
    for pause in (0, 1):
        client.set_switch(M1, "CCD_VIDEO_STREAM", "STREAM_ON")
        time.sleep(pause)
        off = client.set_switch(M1, "CCD_VIDEO_STREAM", "STREAM_OFF")
        assert client.answer(M1, "CCD_VIDEO_STREAM", off, 30).state == "Idle"
        assert time.monotonic() - off < 10


# Each request is refused: the property goes to Alert with a message and keeps its values.
BAD_INPUT = [
    ("Number", "CCD_EXPOSURE", {"NO_SUCH_ELEMENT": 1}, "CCD_EXPOSURE_VALUE"),
    ("Number", "CCD_EXPOSURE", {"CCD_EXPOSURE_VALUE": "nan"}, "CCD_EXPOSURE_VALUE"),
    ("Number", "CCD_GAIN", {"GAIN": 100000}, "GAIN"),
    ("Number", "CCD_GAIN", {"GAIN": "abc"}, "GAIN"),
    ("Number", "CCD_FRAME", {"X": 1800, "WIDTH": 1024}, "WIDTH"),
    ("Number", "CCD_BINNING", {"HOR_BIN": 3, "VER_BIN": 3}, "HOR_BIN"),
    ("Switch", "CCD_FRAME_TYPE", {"FRAME_BOGUS": "On"}, "FRAME_LIGHT"),
    ("Number", "CCD_INFO", {"CCD_MAX_X": 10}, "CCD_MAX_X"),
    ("Switch", "CCD_GAIN", {"GAIN": "On"}, "GAIN"),
]


@pytest.mark.parametrize("kind, name, values, kept", BAD_INPUT, ids=[f"{r[1]}-{list(r[2].items())[0]}" for r in BAD_INPUT])
def test_bad_input_is_refused_and_the_last_good_values_kept(client, driver_pid, server, kind, name, values, kept):
    device = C2 if name == "CCD_BINNING" else M1
    before = client.value(device, name, kept)
    mark = client.new(kind, device, name, values)
    answer = client.answer(device, name, mark, 10)
    assert answer.state == "Alert" and answer.message, answer
    assert client.value(device, name, kept) == before
    assert server.driver_pids() == [driver_pid]


def test_the_driver_answers_after_bad_input(client, driver_pid, server):
    mark = time.monotonic()
    client.send("<newNumberVector device='%s' name='NO_SUCH_PROPERTY'><oneNumber name='X'>1</oneNumber>"
                "</newNumberVector>" % M1)
    client.wait(lambda: any(at >= mark and "NO_SUCH_PROPERTY" in text for at, _d, text in client.messages), 10,
                "a message on the unknown property")
    time.sleep(0.5)
    mark = client.set_number(M1, "CCD_GAIN", GAIN=150)
    answer = client.answer(M1, "CCD_GAIN", mark, 10)
    assert answer.state == "Ok" and float(answer.values["GAIN"]) == 150
    client.set_number(M1, "CCD_GAIN", GAIN=100)
    assert server.driver_pids() == [driver_pid] and server.process.poll() is None


def test_cooling_to_minus_ten(tmp_path_factory):
    """On a clock 100 times as fast, the cooler's minute-long settling takes about a second."""
    server = start(tmp_path_factory, "speed = 100\n[camera]\nmodel = M1\nserial = SIMM0001\n")
    try:
        client = Client(server.port)
        client.wait(lambda: (M1, "STREAMING_EXPOSURE") in client.defs, 60, "M1")
        mark = client.set_number(M1, "CCD_TEMPERATURE", CCD_TEMPERATURE_VALUE=-10)
        assert client.answer(M1, "CCD_COOLER", mark, 10).values["COOLER_ON"] == "On"
        busy = client.wait(lambda: [u for u in client.since(mark, M1, "CCD_TEMPERATURE") if u.state == "Busy"], 10)
        assert float(busy[0].values["CCD_TEMPERATURE_VALUE"]) > -9
        reached = client.wait(
            lambda: next((u for u in client.since(mark, M1, "CCD_TEMPERATURE") if u.state == "Ok"), None), 60, "Ok"
        )
        assert abs(float(reached.values["CCD_TEMPERATURE_VALUE"]) + 10) <= 0.5
        assert float(client.value(M1, "CCD_COOLER_POWER", "CCD_COOLER_VALUE")) > 0
        client.close()
    finally:
        server.stop()


def test_the_driver_reads_on_after_broken_xml_and_ends_when_its_input_closes(tmp_path):
    (tmp_path / "cameras.conf").write_text(CONFIG)
    driver = subprocess.Popen(
        [os.path.join(os.path.dirname(sys.executable), "indi_qel_ccd")],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        env={**os.environ, "QELSIM_CONFIG": str(tmp_path / "cameras.conf")},
    )
    try:
        assert select.select([driver.stdout], [], [], 30)[0], "the driver never wrote"  # it reads now
        driver.stdin.write(b"<newSwitchVector device='x'><<<>\n")
        driver.stdin.flush()
        time.sleep(0.5)
        driver.stdin.write(b"<getProperties version='1.7'/>")
        driver.stdin.flush()
        seen = b""
        deadline = time.monotonic() + 30
        while b"<defNumberVector" not in seen and time.monotonic() < deadline:
            if select.select([driver.stdout], [], [], 1)[0]:
                seen += os.read(driver.stdout.fileno(), 1 << 16)
        assert b"<defNumberVector" in seen, seen[-500:]
        driver.stdin.close()
        assert driver.wait(15) == 0, driver.stderr.read()
    finally:
        if driver.poll() is None:
            driver.kill()
            driver.wait()
