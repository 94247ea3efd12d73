"""Pieces of the INDI driver that need no server: the FITS bytes of the image BLOB, device names,
local upload files, and a whole message through the driver's output."""

from __future__ import annotations

import asyncio
import base64
import io
import os
import xml.etree.ElementTree as ET

import numpy as np
import pytest

from brevalo.vra_qel_python_bindings import qel
from brevalo.vra_qel_python_bindings.camera import Camera, Roi

pytest.importorskip("indipydriver")
fits = pytest.importorskip("astropy.io.fits")

from brevalo.vra_qel_python_bindings.indi import unique_names  # noqa: E402
from brevalo.vra_qel_python_bindings.indi.images import fits_bytes, upload_path  # noqa: E402
from brevalo.vra_qel_python_bindings.indi.transport import serialise  # noqa: E402


@pytest.mark.parametrize("fmt", [qel.ImgType.IMG_RAW16, qel.ImgType.IMG_RAW8])
def test_fits_bytes_read_back_as_the_frame_with_its_header(sim, fmt):
    with Camera(1) as cam:
        cam.roi = Roi(64, 48, 1, fmt, 8, 6)
        frame = cam.expose(0.02)
    data = fits_bytes(frame)
    assert len(data) % 2880 == 0
    with fits.open(io.BytesIO(data)) as hdus:
        assert np.array_equal(hdus[0].data, frame.array) and hdus[0].data.dtype == frame.array.dtype
        header = hdus[0].header
    expected = frame.fits_header()
    for key in ("EXPTIME", "DATE-OBS", "XBINNING", "BAYERPAT", "GAIN", "OFFSET", "INSTRUME"):
        assert header[key] == expected[key], key


def test_device_names_are_unique_and_ascii():
    names = unique_names(["Cam", "Cam", "Cam 2", "Cam", "Kamera\u00e9"])
    assert len(set(names)) == 5 and names[:2] == ["Cam", "Cam 2"] and all(n.isascii() for n in names)


def test_local_uploads_count_on_from_the_highest_file(tmp_path):
    for name in ("IMAGE_001.fits", "IMAGE_007.fits", "OTHER_009.fits"):
        (tmp_path / name).write_bytes(b"")
    assert os.path.basename(upload_path(str(tmp_path), "IMAGE_XXX")) == "IMAGE_008.fits"
    assert os.path.basename(upload_path(str(tmp_path / "new"), "M42")) == "M42_001.fits"


def test_a_blob_goes_out_as_one_readable_message():
    """The driver writes the BLOB text as it is: without enclen (a server would read that as raw bytes)
    and parseable as plain XML, with the bytes intact."""
    import indipydriver as ipd

    payload = bytes(range(256)) * 300
    vector = ipd.BLOBVector("CCD1", "Image", "Info", "ro", "Idle", [ipd.BLOBMember("CCD1", "Image", blobformat=".fits")])
    device = ipd.Device("cam", [vector])
    sent: list[ET.Element] = []

    class Driver(ipd.IPyDriver):  # type: ignore[misc]
        async def send(self, xmldata: ET.Element) -> None:
            sent.append(xmldata)

    Driver(device)
    vector.set_blobsize("CCD1", len(payload))
    vector["CCD1"] = payload
    asyncio.run(vector.send_setVectorMembers(members=["CCD1"]))
    text = b"".join(serialise(sent[0]))
    assert b"enclen" not in text and text.endswith(b"</setBLOBVector>\n")
    blob = ET.fromstring(text)[0]
    assert blob.get("size") == str(len(payload)) and blob.get("format") == ".fits"
    assert base64.b64decode(blob.text or "") == payload
