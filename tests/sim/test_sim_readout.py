"""The read-out of single exposures: the camera renders the image when the exposure ends, into its own
buffer; the status reads success once the image is there, and reading it is a copy."""

from __future__ import annotations

import numpy as np
import pytest

from . import sdk
from .sdk import MONO, lib

FIELD = (83.0, 22.0)  # the test camera's pointing


def small_exposure(sim, change, after_success):
    """A 64 x 64 RAW16 exposure of one star at the centre, with `change` made while it runs or after its
    status reads success."""
    sim.configure("clock = stepped\nutc = 2024-03-20T21:30:00\n[camera]\nmodel = M1\nseed = 5\n")
    sim.set_stars([(*FIELD, 9.0, 0.6)], replace=True)
    sdk.ready(MONO)
    sdk.ok(lib.QELSetROIFormat(MONO, 64, 64, 1, sdk.RAW16))
    sdk.set_control(MONO, sdk.EXPOSURE, 1_000_000)
    sdk.ok(lib.QELStartExposure(MONO, 0))
    if not after_success:
        sim.advance(500_000)
        change()
    assert sdk.exposure_status(MONO) == sdk.EXP_SUCCESS
    if after_success:
        change()
    buf = sdk.buffer(64 * 64 * 2)
    sdk.ok(lib.QELGetDataAfterExp(MONO, sdk.as_buf(buf), len(buf)))
    return bytes(buf)


@pytest.mark.parametrize(
    "change",
    [
        lambda sim: sim.set_stars([(*FIELD, 5.0, 0.6)], replace=True),  # the star far brighter
        lambda sim: sim.set_stars([], replace=True),  # the star gone
    ],
)
def test_the_image_is_what_the_sensor_held_when_the_exposure_ended(simulator, change):
    unchanged = small_exposure(simulator, lambda: None, after_success=False)
    # The sky changed while the exposure ran reaches the image; changed after its end it does not.
    assert small_exposure(simulator, lambda: change(simulator), after_success=False) != unchanged
    assert small_exposure(simulator, lambda: change(simulator), after_success=True) == unchanged


def full_frame_rendering(cam, offset):
    """Starts a shortest exposure of a full RAW8 frame and returns once its status reads working after its
    readout time, i.e. while the camera renders the image (a few tries: a host that holds this thread
    back past the render would see it done)."""
    info = sdk.info_by_index(cam)
    sdk.ok(lib.QELSetROIFormat(cam, info.max_width, info.max_height, 1, sdk.RAW8))
    sdk.set_control(cam, sdk.OFFSET, offset)
    sdk.set_control(cam, sdk.EXPOSURE, 32)
    for _ in range(20):
        sdk.ok(lib.QELStartExposure(cam, 0))
        if sdk.exposure_status(cam) == sdk.EXP_WORKING:
            return
        size = sdk.image_size(cam)
        sdk.ok(lib.QELGetDataAfterExp(cam, sdk.as_buf(sdk.buffer(size)), size))
    pytest.fail("every render was over before the status was asked")


def test_stop_and_close_while_the_image_is_rendered(simulator):
    simulator.set_clock_speed(1e5)  # the readout time passes in microseconds, the render takes milliseconds
    sdk.ready(MONO)
    full_frame_rendering(MONO, offset=40)
    sdk.ok(lib.QELStopExposure(MONO))
    assert sdk.exposure_status(MONO) == sdk.EXP_FAILED
    size = sdk.image_size(MONO)
    assert lib.QELGetDataAfterExp(MONO, sdk.as_buf(sdk.buffer(size)), size) == sdk.INVALID_SEQUENCE
    # The next exposure gets its own image, not the one rendered for the stopped exposure: its bias
    # (16 x offset, 3200 ADU) is five times the other's.
    sdk.set_control(MONO, sdk.OFFSET, 200)
    image = np.frombuffer(sdk.expose(MONO), dtype=np.uint8)
    assert abs(np.median(image) - 3200 / 256) <= 2
    # Closing while the read-out renders ends the exposure and lets the buffer go; the camera opens again.
    full_frame_rendering(MONO, offset=40)
    sdk.ok(lib.QELCloseCamera(MONO))
    sdk.ready(MONO)
    assert sdk.exposure_status(MONO) == sdk.EXP_IDLE
    sdk.ok(lib.QELSetROIFormat(MONO, 64, 64, 1, sdk.RAW8))
    assert abs(np.median(np.frombuffer(sdk.expose(MONO), dtype=np.uint8)) - 640 / 256) <= 2
