"""The Alpaca camera server, served on loopback and driven like the field's programs drive it: through
the official client alpyca (the camera checks of ASCOM's conformance checker), raw HTTP (the protocol's
rules), property-based bad input, a client that leaves mid-download, the console script's signals and
the setup page in a headless browser."""

from __future__ import annotations

import datetime as dt
import json
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

pytest.importorskip("falcon", reason="the alpaca extra is not installed")
pytest.importorskip("waitress", reason="the alpaca extra is not installed")
requests = pytest.importorskip("requests", reason="alpyca (a test dependency) is not installed")
alpyca_camera = pytest.importorskip("alpaca.camera", reason="alpyca (a test dependency) is not installed")
from alpaca import exceptions as ascom  # noqa: E402
from hypothesis import HealthCheck, given, settings, strategies as st  # noqa: E402

from helpers import CAMERAS  # noqa: E402

from brevalo.vra_qel_python_bindings import core  # noqa: E402
from brevalo.vra_qel_python_bindings.alpaca.device import CameraDevice  # noqa: E402
from brevalo.vra_qel_python_bindings.alpaca.discovery import DiscoveryResponder  # noqa: E402
from brevalo.vra_qel_python_bindings.alpaca.management import unique_id  # noqa: E402
from brevalo.vra_qel_python_bindings.alpaca.server import AlpacaServer  # noqa: E402

pytestmark = pytest.mark.external

M1, C2 = 0, 1
TIMEOUT = 10  # s: the longest any request or wait of these tests may take


def serving():
    """The server of the test cameras on a free loopback port, serving from a thread."""
    alpaca = AlpacaServer("127.0.0.1", 0, 0).open()
    thread = threading.Thread(target=alpaca.serve, daemon=True)
    thread.start()
    yield alpaca
    alpaca.stop()
    thread.join(TIMEOUT)
    alpaca.close()


@pytest.fixture
def server(sim):
    yield from serving()


@pytest.fixture
def stepped_server(sim, monkeypatch):
    """The server on the stepped clock, the cameras' timers with it: time moves only with sim.advance."""
    sim.configure("clock = stepped\n" + CAMERAS)
    monkeypatch.setattr(core, "clock", lambda: sim.now_us() / 1e6)
    yield from serving()


def client(server, number):
    cam = alpyca_camera.Camera(f"127.0.0.1:{server.port}", number)
    cam.Connected = True
    return cam


def wait_ready(cam):
    end = time.monotonic() + TIMEOUT
    while not cam.ImageReady:
        assert time.monotonic() < end, "no image"
        time.sleep(0.01)


def api(server, number, member):
    return f"{server.url}/api/v1/camera/{number}/{member}"


# ---- the conformance checker's camera checks, through alpyca


def test_first_use_has_no_last_exposure_and_no_image(server):
    cam = alpyca_camera.Camera(f"127.0.0.1:{server.port}", M1)
    with pytest.raises(ascom.NotConnectedException):
        cam.CameraState
    cam.Connect()  # interface version 4: asynchronous, with Connecting
    assert cam.Connecting is False and cam.Connected is True and cam.InterfaceVersion == 4
    state = {row["Name"]: row["Value"] for row in cam.DeviceState}
    assert state["CameraState"] == 0 and state["ImageReady"] is False and "TimeStamp" in state
    assert cam.ImageReady is False
    for member in ("LastExposureDuration", "LastExposureStartTime", "ImageArray"):
        with pytest.raises((ascom.ValueNotSetException, ascom.InvalidOperationException)):
            getattr(cam, member)


def test_every_binning_reads_the_whole_binned_sensor(server, sim):
    sim.set_clock_speed(100)
    for number in (M1, C2):
        cam = client(server, number)
        assert cam.BinX == 1 and cam.MaxBinX == cam.MaxBinY
        for bad in (0, cam.MaxBinX + 1):
            with pytest.raises(ascom.InvalidValueException):
                cam.BinX = bad
        for b in range(1, cam.MaxBinX + 1):
            cam.BinX = cam.BinY = b
            cam.StartX = cam.StartY = 0
            # at bin 3 the 2048-pixel sensor is 682 wide: wider than any SDK region at that bin
            cam.NumX, cam.NumY = cam.CameraXSize // b, cam.CameraYSize // b
            cam.StartExposure(0.01, True)
            wait_ready(cam)
            raw, info = cam.ImageArrayRaw, cam.ImageArrayInfo
            assert (info.Rank, info.Dimension1, info.Dimension2) == (2, cam.NumX, cam.NumY), (number, b)
            assert len(raw) == cam.NumX * cam.NumY
            assert 0 < max(raw) <= cam.MaxADU
            # a binned pixel gathers b*b pixels' charge, but reports no more than one: its sum is clipped
            assert cam.FullWellCapacity == pytest.approx(cam.MaxADU * cam.ElectronsPerADU)
            if number == M1 and b == cam.MaxBinX:
                assert max(raw) == cam.MaxADU  # the brightest 4x4 sum at the clip already after 0.01 s


@pytest.mark.parametrize(
    "region, duration",
    [((0, 0, 0, 10), 0.01), ((0, 0, 10, 0), 0.01), ((-1, 0, 10, 10), 0.01), ((2041, 0, 8, 8), 0.01),
     ((0, 1530, 8, 8), 0.01), ((0, 0, 10, 10), -1.0), ((0, 0, 10, 10), 3000.0)],
)
def test_a_bad_region_or_duration_is_refused_at_start_exposure(server, region, duration):
    cam = client(server, M1)
    cam.StartX, cam.StartY, cam.NumX, cam.NumY = region  # the setters take anything
    with pytest.raises(ascom.InvalidValueException):
        cam.StartExposure(duration, True)
    assert cam.CameraState == 0 and cam.ImageReady is False


def test_an_exposure_goes_idle_exposing_idle_and_the_image_is_ready_only_at_the_end(server):
    cam = client(server, M1)
    cam.NumX, cam.NumY = 64, 48
    started = dt.datetime.now(dt.timezone.utc).replace(tzinfo=None)
    began = time.monotonic()
    cam.StartExposure(2.0, True)  # real time, the checker's length: a busy machine still sees it expose
    assert time.monotonic() - began < 1.5  # returns while the camera exposes
    seen = []
    while time.monotonic() - began < TIMEOUT:
        ready = cam.ImageReady
        state = cam.CameraState  # read after: once the image is ready the camera is idle
        seen.append(state)
        if ready:
            break
        assert 0 <= cam.PercentCompleted <= 100
        time.sleep(0.05)
    assert ready and seen[-1] == 0 and 2 in seen and set(seen) <= {0, 2, 3, 4}
    assert time.monotonic() - began >= 2.0
    assert abs(cam.LastExposureDuration - 2.0) <= 0.04
    stamp = cam.LastExposureStartTime
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{1,7})?", stamp)
    assert abs((dt.datetime.fromisoformat(stamp) - started).total_seconds()) <= 2


@pytest.mark.parametrize("name", ["Gain", "Offset"])
def test_gain_and_offset_take_their_range_and_refuse_beyond_it(server, name):
    cam = client(server, M1)
    low, high = getattr(cam, name + "Min"), getattr(cam, name + "Max")
    assert low < high
    for value in (low, high):
        setattr(cam, name, value)
        assert getattr(cam, name) == value
    for value in (low - 1, high + 1):
        with pytest.raises(ascom.InvalidValueException):
            setattr(cam, name, value)
    with pytest.raises(ascom.NotImplementedException):
        getattr(cam, name + "s")  # value mode, not index mode


def test_cooler_toggles_and_its_setpoint_keeps_to_its_range(server):
    cam = client(server, M1)
    assert cam.CanSetCCDTemperature and cam.CanGetCoolerPower
    cam.SetCCDTemperature = 0.0
    assert cam.SetCCDTemperature == 0.0
    for bad in (-280.0, 100.0, 31.0, -41.0):
        with pytest.raises(ascom.InvalidValueException):
            cam.SetCCDTemperature = bad
    original = cam.CoolerOn
    for wanted in (not original, original):
        cam.CoolerOn = wanted
        assert cam.CoolerOn is wanted
    assert -50 < cam.CCDTemperature < 40 and 0 <= cam.CoolerPower <= 100
    colour = client(server, C2)
    assert colour.CanSetCCDTemperature is False
    with pytest.raises(ascom.NotImplementedException):
        colour.CoolerOn = True


def test_pulse_guides_return_at_once_and_end_after_their_time_not_before(stepped_server, sim):
    server = stepped_server
    cam = client(server, M1)
    assert cam.CanPulseGuide
    for direction in range(4):  # north, south, east, west
        began = time.monotonic()
        cam.PulseGuide(direction, 2000)
        assert time.monotonic() - began < 1.0  # at once, in real time
        assert cam.IsPulseGuiding is True
        sim.advance(1_999_000)
        cam.Gain  # a call through the camera's worker: its timers have seen the clock since
        assert cam.IsPulseGuiding is True  # not early
        sim.advance(1_000)
        cam.Gain
        assert cam.IsPulseGuiding is False
    colour = client(server, C2)
    assert colour.CanPulseGuide is False
    with pytest.raises(ascom.NotImplementedException):
        colour.PulseGuide(0, 100)


def test_sensor_type_and_bayer_offsets_follow_the_sensor(server):
    mono, colour = client(server, M1), client(server, C2)
    assert mono.SensorType == 0
    with pytest.raises(ascom.NotImplementedException):
        mono.BayerOffsetX
    assert (colour.SensorType, colour.BayerOffsetX, colour.BayerOffsetY) == (2, 0, 0)  # RGGB from (0, 0)
    assert "Colour (RGB)" in colour.ReadoutModes and len(mono.SensorName) <= 250


def test_actions_reach_what_alpaca_has_no_member_for(server, sim):
    sim.set_clock_speed(100)
    mono, colour = client(server, M1), client(server, C2)
    assert mono.SupportedActions == ["AntiDewHeater"]
    assert (mono.Action("AntiDewHeater", "on"), mono.Action("AntiDewHeater", "")) == ("on", "on")
    assert sorted(colour.SupportedActions) == ["GPSStatus", "TriggerMode"]
    modes = json.loads(colour.Action("TriggerMode", ""))
    assert modes["Mode"] == "normal" and "rise edge" in modes["Supported"]
    with pytest.raises(ascom.InvalidOperationException):
        colour.Action("TriggerMode", "rise edge")  # trigger modes give video, not exposures
    with pytest.raises(ascom.ActionNotImplementedException):
        mono.Action("GPSStatus", "")
    colour.NumX, colour.NumY = 16, 8
    colour.StartExposure(0.01, True)
    wait_ready(colour)
    gps = json.loads(colour.Action("GPSStatus", ""))
    assert gps["TimeSource"] == "GPS" and gps["Satellites"] > 0 and gps["Time"] == colour.LastExposureStartTime


# ---- the image


def test_imagebytes_and_json_carry_the_same_image_with_the_star_where_the_sky_puts_it(server, sim):
    sim.set_clock_speed(10)
    cam = client(server, M1)
    star = next(s for s in sim.stars(0) if 100 < s.x < 1900 and 100 < s.y < 1400)
    # a region not square, the star off its centre: a swapped axis or a mirror misses it
    x0, y0 = round(star.x) - 21, round(star.y) - 13
    cam.StartX, cam.StartY, cam.NumX, cam.NumY = x0, y0, 56, 40
    cam.StartExposure(0.5, True)
    wait_ready(cam)
    url = api(server, M1, "imagearray")
    binary = requests.get(url, headers={"Accept": "application/imagebytes"}, timeout=TIMEOUT)
    text = requests.get(url, timeout=TIMEOUT)
    assert binary.headers["Content-Type"] == "application/imagebytes"
    assert text.headers["Content-Type"].startswith("application/json")
    header = struct.unpack("<11i", binary.content[:44])
    assert header[4] == 44 and header[7:] == (2, 56, 40, 0)
    pixels = np.frombuffer(binary.content, "<u2", offset=44).reshape(56, 40)
    assert np.array_equal(pixels, np.array(text.json()["Value"]))
    background = np.median(pixels)
    weights = np.clip(pixels - background - (pixels.max() - background) / 2, 0, None)  # the star's core
    x, y = (np.indices(pixels.shape) * weights).sum(axis=(1, 2)) / weights.sum()  # [x][y]
    assert abs(x0 + x - star.x) <= 1 and abs(y0 + y - star.y) <= 1


def test_the_colour_readout_mode_serves_rgb_planes_in_both_encodings(server, sim):
    sim.set_clock_speed(100)
    cam = client(server, C2)
    cam.ReadoutMode = cam.ReadoutModes.index("Colour (RGB)")
    cam.StartX, cam.StartY, cam.NumX, cam.NumY = 101, 33, 24, 10
    cam.StartExposure(0.01, True)
    wait_ready(cam)
    assert cam.SensorType == 1
    url = api(server, C2, "imagearray")
    binary = requests.get(url, headers={"Accept": "application/imagebytes"}, timeout=TIMEOUT).content
    assert struct.unpack("<11i", binary[:44])[5:] == (2, 6, 3, 24, 10, 3)
    planes = np.frombuffer(binary, np.uint8, offset=44).reshape(24, 10, 3)
    assert np.array_equal(planes, np.array(requests.get(url, timeout=TIMEOUT).json()["Value"]))


# ---- the protocol


@pytest.mark.parametrize(
    "path",
    ["/apx/v1/camera/0/name", "/api/1/camera/0/name", "/api/V1/camera/0/name", "/api/v2/camera/0/name",
     "/api/v1/telescope/0/name", "/api/v1/Camera/0/name", "/api/v1/camera/-1/name", "/api/v1/camera/99999/name",
     "/api/v1/camera/A/name", "/api/v1/camera/0/nam", "/api/v1/camera/0/Name", "/api/v1/camera/0", "/api/v1/camera/0/startexposure"],
)
def test_bad_paths_get_400(server, path):
    reply = requests.get(server.url + path, timeout=TIMEOUT)
    assert reply.status_code == 400 and reply.text


def test_transaction_ids_and_parameter_casing(server):
    session = requests.Session()
    url = api(server, M1, "connected")
    first = session.get(url, params={"clienttransactionid": 77, "CLIENTID": 3}, timeout=TIMEOUT).json()
    second = session.get(url, timeout=TIMEOUT).json()
    assert first["ClientTransactionID"] == 77 and second["ClientTransactionID"] == 0
    assert 1 <= first["ServerTransactionID"] < second["ServerTransactionID"]
    assert set(first) == {"Value", "ClientTransactionID", "ServerTransactionID", "ErrorNumber", "ErrorMessage"}
    done = session.put(url, data={"Connected": "True", "ClientTransactionID": 5, "Extra": "x"}, timeout=TIMEOUT)
    assert done.status_code == 200 and done.json()["ClientTransactionID"] == 5 and "Value" not in done.json()
    ignored = session.put(url, data={"Connected": "true", "clienttransactionid": 5}, timeout=TIMEOUT).json()
    assert ignored["ClientTransactionID"] == 0 and ignored["ErrorNumber"] == 0
    assert session.put(url, data={"connected": "true"}, timeout=TIMEOUT).status_code == 400
    for bad in ("", "1", "yes", "maybe"):
        assert session.put(url, data={"Connected": bad}, timeout=TIMEOUT).status_code == 400
    # a member of a disconnected device answers 0x407, one of a connected one its value
    session.put(url, data={"Connected": "false"}, timeout=TIMEOUT)
    assert session.get(api(server, M1, "camerastate"), timeout=TIMEOUT).json()["ErrorNumber"] == 0x407


@pytest.mark.parametrize("number", [M1, C2])
def test_every_property_answers_a_value_or_not_implemented(server, sim, number):
    sim.set_clock_speed(100)
    cam = client(server, number)
    cam.NumX, cam.NumY = 16, 8
    cam.StartExposure(0.01, True)
    wait_ready(cam)
    session = requests.Session()
    for method, name in sorted(CameraDevice.members):
        if method == "GET":
            answer = session.get(api(server, number, name), timeout=TIMEOUT).json()
            assert answer["ErrorNumber"] in (0, 0x400), (name, answer)
            assert ("Value" in answer) == (answer["ErrorNumber"] == 0), name


def test_management_and_content_types(server):
    def get(path):
        reply = requests.get(server.url + path, timeout=TIMEOUT)
        assert reply.status_code == 200
        return reply

    assert get("/management/apiversions").json()["Value"] == [1]
    assert get("/management/v1/description").headers["Content-Type"].startswith("application/json")
    devices = get("/management/v1/configureddevices").json()["Value"]
    assert [(d["DeviceType"], d["DeviceNumber"]) for d in devices] == [("Camera", 0), ("Camera", 1)]
    assert len({d["UniqueID"] for d in devices}) == 2
    assert get("/setup").headers["Content-Type"].startswith("text/html")
    assert get("/setup/v1/camera/1/setup").headers["Content-Type"].startswith("text/html")


def test_unique_ids_stay_the_same_across_restarts(sim):
    ids = []
    for _ in range(2):
        with AlpacaServer("127.0.0.1", 0, 0) as alpaca:
            ids.append([unique_id(d, n) for n, d in enumerate(alpaca.devices)])
    assert ids[0] == ids[1] and len(set(ids[0])) == 2


def test_discovery_answers_a_broadcast_probe_on_loopback_from_every_server_on_the_port():
    first = DiscoveryResponder(0, 11111, False)
    second = DiscoveryResponder(first.port, 22222, False)  # the same UDP port, shared
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        first.start()
        second.start()
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        probe.settimeout(2)
        probe.sendto(b"alpacadiscovery1", ("127.255.255.255", first.port))
        answers = set()
        while len(answers) < 2:
            data, _sender = probe.recvfrom(1024)
            answers.add(json.loads(data)["AlpacaPort"])
        assert answers == {11111, 22222}
    finally:
        probe.close()
        first.stop()
        second.stop()


# ---- bad input and bad clients

MEMBERS = sorted({name for _method, name in CameraDevice.members})
OTHER_PATHS = ["/management/apiversions", "/management/v1/description", "/management/v1/configureddevices", "/setup",
               "/setup/v1/camera/0/setup", "/setup/v1/camera/1/preview.png", "/setup/v1/camera/7/setup", "/", "/api/v1/camera/0/"]
PARAMETERS = sorted({p for m in CameraDevice.members.values() for p, _kind in m.params} | {"ClientTransactionID", "ClientID"})
NASTY = st.one_of(
    st.sampled_from(["", "nan", "NaN", "inf", "-inf", "1e999", "-1", "0", "1", "2", "true", "False", "0x10",
                     "99999999999999999999999", "1.5", " 3", "\x00", "%", "[]", "null", "-0"]),
    st.integers(-(2**64), 2**64).map(str),
    st.floats(allow_nan=True, allow_infinity=True).map(repr),
    st.text(max_size=30),
    st.text(max_size=5).map(lambda s: s * 4000),
)


@settings(max_examples=80, deadline=None, suppress_health_check=list(HealthCheck))
@given(data=st.data())
def test_no_request_gets_a_server_error_and_the_server_answers_the_next(server, data):
    number = data.draw(st.sampled_from(["0", "1"]))
    member = data.draw(st.one_of(st.sampled_from(MEMBERS), st.sampled_from(MEMBERS), st.text(max_size=12)))
    names = data.draw(st.lists(st.one_of(st.sampled_from(PARAMETERS), st.sampled_from(PARAMETERS).map(str.lower)), max_size=4))
    fields = {name: data.draw(NASTY) for name in names}
    method = data.draw(st.sampled_from(["GET", "PUT", "PUT", "POST", "DELETE"]))
    if data.draw(st.booleans()):
        requests.put(api(server, number, "connected"), data={"Connected": "true"}, timeout=TIMEOUT)
    url = f"{server.url}/api/v1/camera/{number}/{requests.utils.quote(member, safe='')}"
    if data.draw(st.integers(0, 5)) == 0:
        url = server.url + data.draw(st.sampled_from(OTHER_PATHS))
    if method == "GET":
        reply = requests.get(url, params=fields, timeout=TIMEOUT)
    else:
        reply = requests.request(method, url, data=fields, timeout=TIMEOUT)
    assert reply.status_code < 500, (method, url, fields, reply.text)
    if reply.status_code == 200 and reply.headers["Content-Type"] == "application/json":
        answer = reply.json()
        assert set(answer) >= {"ClientTransactionID", "ServerTransactionID", "ErrorNumber", "ErrorMessage"}
        assert answer["ErrorNumber"] != 0x4FF, answer  # a fault of the server, not of the request
    assert requests.get(api(server, number, "name"), timeout=TIMEOUT).status_code == 200


def test_oversized_requests_are_refused(server):
    url = api(server, M1, "action")
    reply = requests.put(url, data={"Action": "x", "Parameters": "p" * (2 << 20)}, timeout=TIMEOUT)
    assert 400 <= reply.status_code < 500
    assert requests.get(api(server, M1, "name"), timeout=TIMEOUT).status_code == 200


def test_a_client_leaving_mid_download_costs_the_others_nothing(server, sim):
    sim.set_clock_speed(100)
    cam = client(server, M1)
    cam.StartExposure(0.01, True)  # the full frame
    wait_ready(cam)
    url = api(server, M1, "imagearray")
    binary = {"Accept": "application/imagebytes"}
    whole = requests.get(url, headers=binary, timeout=TIMEOUT).content
    others = []
    other = threading.Thread(target=lambda: others.extend(requests.get(url, headers=binary, timeout=TIMEOUT).content for _ in range(3)))
    other.start()
    quitters = []
    for accept in ("application/json", "application/imagebytes"):
        s = socket.create_connection(("127.0.0.1", server.port), timeout=TIMEOUT)
        s.sendall(f"GET /api/v1/camera/0/imagearray HTTP/1.1\r\nHost: x\r\nAccept: {accept}\r\n\r\n".encode())
        s.recv(4096)
        quitters.append(s)
    for s in quitters:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))  # a reset, mid-reply
        s.close()
    other.join(TIMEOUT)
    others.append(requests.get(url, headers=binary, timeout=TIMEOUT).content)
    assert len(others) == 4
    for again in others:  # the same image (transaction ids aside)
        assert again[:8] == whole[:8] and again[16:] == whole[16:]
    cam.StartExposure(0.01, True)
    wait_ready(cam)
    assert len(cam.ImageArrayRaw) == cam.CameraXSize * cam.CameraYSize


# ---- the console script and the setup page


@pytest.mark.parametrize("stop, status", [(signal.SIGTERM, 0), (signal.SIGINT, 130)])
def test_qel_alpaca_serves_until_a_signal_then_stops_within_2_s(stop, status):
    script = os.path.join(os.path.dirname(sys.executable), "qel-alpaca")  # the installed console script
    if not os.path.exists(script):
        pytest.skip("qel-alpaca is not installed beside this interpreter")
    process = subprocess.Popen(
        [script, "--port", "0", "--discovery-port", "0"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    try:
        line = process.stdout.readline()
        match = re.search(r"http://127\.0\.0\.1:(\d+)", line)
        assert match, line + process.stderr.read()
        assert "2 cameras" in line
        port = int(match.group(1))
        reply = requests.get(f"http://127.0.0.1:{port}/management/v1/configureddevices", timeout=TIMEOUT)
        assert len(reply.json()["Value"]) == 2
        requests.put(f"http://127.0.0.1:{port}/api/v1/camera/0/connected", data={"Connected": "true"}, timeout=TIMEOUT)
        requests.put(f"http://127.0.0.1:{port}/api/v1/camera/0/startexposure", data={"Duration": "60", "Light": "true"}, timeout=TIMEOUT)
        began = time.monotonic()
        process.send_signal(stop)
        assert process.wait(TIMEOUT) == status
        assert time.monotonic() - began < 3  # 2 s, and a margin for a busy machine
    finally:
        process.kill()
        process.wait()
        process.stdout.close()
        process.stderr.close()


def _chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        if shutil.which(name):
            return shutil.which(name)
    return None


@pytest.mark.skipif(_chromium() is None, reason="no Chromium (Debian package chromium; make chromium installs it)")
def test_the_setup_page_shows_the_cameras_and_a_preview_in_a_browser(server, sim, tmp_path):
    sim.set_clock_speed(100)
    cam = client(server, M1)
    cam.StartExposure(0.01, True)
    wait_ready(cam)
    page = subprocess.run(
        [_chromium(), "--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
         f"--user-data-dir={tmp_path}", "--virtual-time-budget=2000", "--dump-dom", f"{server.url}/setup/v1/camera/0/setup"],
        capture_output=True, text=True, timeout=60,
    )
    assert "QELSim M1 Mono Cooled" in page.stdout, page.stderr[-2000:]
    loaded = re.search(r'data-loaded="(\d+)"', page.stdout)  # set by the image's onload: its natural width
    assert loaded and int(loaded.group(1)) > 0, page.stdout[-2000:]
    index = subprocess.run(
        [_chromium(), "--headless", "--no-sandbox", "--disable-gpu", f"--user-data-dir={tmp_path}", "--dump-dom", f"{server.url}/setup"],
        capture_output=True, text=True, timeout=60,
    )
    assert "QELSim M1 Mono Cooled" in index.stdout and "QELSim C2 Colour GPS" in index.stdout
