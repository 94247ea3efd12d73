"""The Alpaca server's pure parts: region plans through the SDK's rules, ImageBytes, parameter rules,
discovery's address rule. (The server itself is tested in test_alpaca_server.py.)"""

from __future__ import annotations

import json
import struct

import numpy as np
import pytest

pytest.importorskip("falcon", reason="the alpaca extra is not installed")
hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings, strategies as st  # noqa: E402

from brevalo.vra_qel_python_bindings.alpaca import images, protocol  # noqa: E402
from brevalo.vra_qel_python_bindings.alpaca.discovery import DiscoveryResponder  # noqa: E402
from brevalo.vra_qel_python_bindings.alpaca.regions import plan_read  # noqa: E402


def sdk_bin(sensor: np.ndarray, b: int) -> np.ndarray:
    """The SDK's binning: sums of b x b blocks over the sensor from its corner."""
    h, w = sensor.shape[0] // b, sensor.shape[1] // b
    return sensor[: h * b, : w * b].reshape(h, b, w, b).sum(axis=(1, 3))


@st.composite
def regions(draw):
    width = 8 * draw(st.integers(1, 40))
    height = 2 * draw(st.integers(1, 60))
    bins = sorted({1} | set(draw(st.lists(st.integers(2, 6), max_size=3))))
    binning = draw(st.integers(1, max(bins)))
    wb, hb = width // binning, height // binning
    hypothesis.assume(wb >= 1 and hb >= 1)
    nx, ny = draw(st.integers(1, wb)), draw(st.integers(1, hb))
    # regions at the far edges are where the SDK's rounding leaves the sensor
    x = draw(st.one_of(st.just(wb - nx), st.integers(0, wb - nx)))
    y = draw(st.one_of(st.just(hb - ny), st.integers(0, hb - ny)))
    return (width, height), bins, binning, x, y, nx, ny


@settings(max_examples=150, deadline=None)
@given(regions())
def test_every_region_at_every_bin_reads_through_the_sdk_rules(case):
    (width, height), bins, binning, x, y, nx, ny = case
    plan = plan_read((width, height), bins, binning, x, y, nx, ny)
    # what the SDK accepts
    assert plan.bin in bins and binning == plan.bin * plan.factor
    assert plan.width % 8 == 0 and plan.height % 2 == 0 and plan.width > 0 and plan.height > 0
    assert 0 <= plan.x and plan.x + plan.width <= width // plan.bin
    assert 0 <= plan.y and plan.y + plan.height <= height // plan.bin
    # and the image cut out of that read is the region, pixel for pixel
    sensor = np.random.default_rng(width * height + x).integers(0, 50, (height, width), dtype=np.uint16)
    read = sdk_bin(sensor, plan.bin)[plan.y : plan.y + plan.height, plan.x : plan.x + plan.width].astype(np.uint16)
    wanted = sdk_bin(sensor, binning)[y : y + ny, x : x + nx]
    assert np.array_equal(plan.apply(read, 65535), wanted)


def test_a_region_wider_than_the_sdk_reads_at_that_bin_is_read_finer_and_summed_with_clipping():
    # 2048 / 3 = 682 columns, but the SDK's widths at bin 3 are multiples of 8: at most 680
    plan = plan_read((2048, 1536), [1, 2, 3, 4], 3, 0, 0, 682, 512)
    assert (plan.bin, plan.factor) == (1, 3)
    full = np.full((1536, 2048), 40000, np.uint16)
    image = plan.apply(full, 65532)
    assert image.shape == (512, 682) and image.dtype == np.uint16 and image.max() == 65532
    # a region that fits is read at the bin itself, as small as the rules allow
    plan = plan_read((2048, 1536), [1, 2, 3, 4], 3, 681, 511, 1, 1)
    assert (plan.bin, plan.width, plan.height) == (3, 8, 2)


@pytest.mark.parametrize("shape, dtype, transmission", [((3, 5), np.uint16, 8), ((3, 5), np.uint8, 6), ((3, 5, 3), np.uint8, 6)])
def test_imagebytes_is_x_major_with_the_rightmost_index_fastest(shape, dtype, transmission):
    frame = np.arange(np.prod(shape), dtype=dtype).reshape(shape)  # (height, width[, planes])
    header = images.imagebytes_header(frame, 0, 7, 9)
    data = images.imagebytes_pixels(frame)
    fields = struct.unpack("<11i", header)
    rank = len(shape)
    assert fields == (1, 0, 7, 9, 44, 2, transmission, rank, shape[1], shape[0], shape[2] if rank == 3 else 0)
    dims = (shape[1], shape[0]) + shape[2:]
    decoded = np.frombuffer(data, dtype=np.dtype(dtype).newbyteorder("<")).reshape(dims)
    chunks = b"".join(images.json_chunks(frame, 7, 9))
    reply = json.loads(chunks)
    assert np.array_equal(decoded, np.array(reply["Value"]))  # the same [x][y] order as JSON
    assert decoded[4, 2].tolist() == frame[2, 4].tolist()  # x = 4, y = 2
    assert (reply["Type"], reply["Rank"], reply["ClientTransactionID"], reply["ServerTransactionID"]) == (2, rank, 7, 9)


class _Probe(protocol.Device):
    @protocol.put("binx", BinX=int)
    def put_bin(self, BinX: int) -> None: ...

    @protocol.get("ratio", Limit=float)
    def ratio(self, Limit: float) -> float: ...


BINX = _Probe.members[("PUT", "binx")]
RATIO = _Probe.members[("GET", "ratio")]


@pytest.mark.parametrize(
    "member, method, pairs, expected",
    [
        # GET: any case, for values and ids
        (RATIO, "GET", [("limit", "2.5"), ("clienttransactionid", "12")], ({"Limit": 2.5}, 12)),
        (RATIO, "GET", [("LIMIT", "nan")], ("nan", 0)),
        # PUT: exact names; an id in another case is ignored, an unknown parameter too
        (BINX, "PUT", [("BinX", "2"), ("ClientTransactionID", "5")], ({"BinX": 2}, 5)),
        (BINX, "PUT", [("BinX", "2"), ("clienttransactionid", "5"), ("Extra", "x")], ({"BinX": 2}, 0)),
        (BINX, "PUT", [("binx", "2")], None),
        (BINX, "PUT", [("BinX", "2"), ("BINX", "3")], None),
        (BINX, "PUT", [], None),
        (BINX, "PUT", [("BinX", "2.0")], None),
        (BINX, "PUT", [("BinX", "")], None),
        (BINX, "PUT", [("BinX", "1"), ("ClientTransactionID", "-1")], None),
        (BINX, "PUT", [("BinX", "1"), ("ClientTransactionID", str(2**32))], None),
        (RATIO, "GET", [("Limit", "1,5")], None),
    ],
)
def test_parameters(member, method, pairs, expected):
    if expected is None:
        with pytest.raises(protocol.BadRequest):
            protocol.parse_params(member, method, pairs)
        return
    call = protocol.parse_params(member, method, pairs)
    values, transaction = expected
    if values == "nan":
        assert call.values["Limit"] != call.values["Limit"]
    else:
        assert call.values == values
    assert call.client_transaction == transaction


@pytest.mark.parametrize(
    "accept, expected",
    [("application/imagebytes", True), ("application/json, application/imagebytes;q=0.9", True),
     ("application/imagebytes;q=0", False), ("*/*", False), (None, False), ("application/json", False)],
)
def test_imagebytes_only_when_named(accept, expected):
    assert protocol.wants_imagebytes(accept) is expected


@pytest.mark.parametrize(
    "serves_network, sender, data, answers",
    [(False, "127.0.0.1", b"alpacadiscovery1", True), (False, "127.3.4.5", b"alpacadiscovery1", True),
     (False, "192.0.2.7", b"alpacadiscovery1", False), (True, "192.0.2.7", b"alpacadiscovery1", True),
     (True, "127.0.0.1", b"alpacadiscoverx1", False)],
)
def test_discovery_answers_other_machines_only_when_serving_the_network(serves_network, sender, data, answers):
    responder = DiscoveryResponder(0, 11111, serves_network)
    try:
        assert responder.answers(data, sender) is answers
    finally:
        responder.stop()
