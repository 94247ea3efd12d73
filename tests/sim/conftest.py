"""Fixtures of the simulated Camera SDK's own tests."""

from __future__ import annotations

import pytest

from brevalo.vra_qel_python_bindings import sim
from helpers import CAMERAS

from . import sdk


@pytest.fixture
def simulator():
    """The simulator with the test cameras: 0 the monochrome cooled ST4 model, 1 the colour GPS/trigger model."""
    sim.configure(CAMERAS)
    yield sim
    sim.reset()


@pytest.fixture
def stepped():
    """The test cameras on the stepped clock: simulated time moves only with exposures, frame waits and advance()."""
    sim.configure("clock = stepped\n" + CAMERAS)
    yield sim
    sim.reset()


@pytest.fixture
def fast(simulator):
    """A hundredfold clock: a second of exposure takes ten milliseconds."""
    simulator.set_clock_speed(100)
    return simulator


@pytest.fixture
def lib():
    return sdk.lib
