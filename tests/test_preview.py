"""``qel-capture preview``: a stretch that shows the stars of a real field (make demo's preview)."""

from __future__ import annotations

import os
from pathlib import Path

import numpy as np
import pytest

from brevalo.vra_qel_python_bindings import cli
from stars import background, detect

ROOT = Path(__file__).resolve().parents[1]
SKY_FILE = Path(os.environ.get("QEL_TEST_SKY_FILE", ROOT / "build" / "sky" / "tycho2.qsky"))
# What make demo runs for its preview (DEMO_PREVIEW in the Makefile).
DEMO_PREVIEW = ["preview", "--simulator-config", str(ROOT / "examples" / "pleiades.ini"), "--camera", "1",
                "--exposure", "5", "--gain", "350", "--format", "RAW16"]


class Frame:
    def __init__(self, array):
        self.array = array


def test_the_stretch_puts_the_sky_just_above_black_and_keeps_the_noise_grey():
    # A grey sky with independent noise in each channel, and one red star.
    rng = np.random.default_rng(1)
    sky = rng.normal(100, 4, (200, 300, 3))
    yy, xx = np.mgrid[:200, :300]
    star = 3000 * np.exp(-((xx - 150) ** 2 + (yy - 100) ** 2) / 8.0)
    sky[..., 0] += star
    sky[..., 1] += 0.5 * star
    sky[..., 2] += 0.3 * star
    out = cli.stretch(Frame(np.clip(sky, 0, 65535).astype(np.uint16))).astype(float)
    grey = out[:80]
    assert 0.2 <= np.median(grey) / 255 <= 0.3  # the sky's median at a quarter of full scale
    assert 0.001 <= (grey.mean(axis=2) == 0).mean() <= 0.02  # black just under the sky: few pixels clip
    noise = grey - np.median(grey, axis=(0, 1))
    assert np.corrcoef(noise[..., 0].ravel(), noise[..., 1].ravel())[0, 1] > 0.9
    r, g, b = out[100, 150]
    assert r == 255 and r > g > b  # the star keeps its colour, its core at full scale


@pytest.mark.external
def test_the_demo_preview_shows_the_stars_of_a_real_field(tmp_path, monkeypatch):
    if not SKY_FILE.exists():
        pytest.skip(f"no star catalogue file {SKY_FILE} (make sky builds it)")
    from PIL import Image

    monkeypatch.setenv("QELSIM_SKY_CATALOGUE", str(SKY_FILE))
    path = tmp_path / "preview.png"
    try:
        assert cli.main([*DEMO_PREVIEW, "--output", str(path)]) == 0
    finally:
        monkeypatch.setenv("QELSIM_SKY_CATALOGUE", "none")
        from brevalo.vra_qel_python_bindings import sim

        sim.reset()
    with Image.open(path) as image:
        pixels = np.asarray(image).astype(float)
    luminance = pixels.mean(axis=2)
    found = detect(luminance, nsigma=5)
    level, sigma = background(luminance)
    quiet = luminance < level + 2 * sigma
    noise = pixels[quiet] - np.median(pixels[quiet], axis=0)
    corr = np.corrcoef(noise.T)
    print(f"demo preview: {len(found)} stars, background {level / 255:.1%}, channel noise correlation "
          f"{corr[0, 1]:.2f} {corr[1, 2]:.2f} {corr[0, 2]:.2f}")
    assert len(found) >= 50
    assert 0.10 <= level / 255 <= 0.40
    assert min(corr[0, 1], corr[1, 2], corr[0, 2]) > 0.8
