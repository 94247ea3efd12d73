"""A simple star detector for the tests of images of the real sky (numpy only)."""

from __future__ import annotations

import numpy as np


def background(image: np.ndarray) -> tuple[float, float]:
    """Median and robust standard deviation (from the median absolute deviation)."""
    values = image.astype(float).ravel()
    median = float(np.median(values))
    return median, 1.4826 * float(np.median(np.abs(values - median)))


def detect(image: np.ndarray, nsigma: float = 8, box: int = 4, apart: int = 6) -> np.ndarray:
    """Stars of a 2-D image: rows of x, y (flux-weighted centroids, pixel centres at whole numbers) and
    the flux above the background in a (2 box + 1)^2 box, brightest first. A star is a local maximum
    above nsigma background deviations; maxima closer than `apart` pixels to a brighter one (the
    plateau of a saturated star) are the same star."""
    img = image.astype(float)
    median, sigma = background(img)
    h, w = img.shape
    core = img[1:-1, 1:-1]
    peak = core > median + nsigma * max(sigma, 1e-9)
    for dy in (-1, 0, 1):
        for dx in (-1, 0, 1):
            if dx or dy:
                peak &= core >= img[1 + dy:h - 1 + dy, 1 + dx:w - 1 + dx]
    ys, xs = np.nonzero(peak)
    ys, xs = ys + 1, xs + 1
    order = np.argsort(-img[ys, xs], kind="stable")
    taken = np.zeros((h // apart + 1, w // apart + 1), bool)
    rows = []
    for y, x in zip(ys[order], xs[order]):
        gy, gx = y // apart, x // apart
        if taken[max(0, gy - 1):gy + 2, max(0, gx - 1):gx + 2].any():
            continue
        taken[gy, gx] = True
        y0, y1, x0, x1 = max(0, y - box), min(h, y + box + 1), max(0, x - box), min(w, x + box + 1)
        patch = img[y0:y1, x0:x1] - median
        weight = np.clip(patch, 0, None)
        total = weight.sum()
        gy_, gx_ = np.mgrid[y0:y1, x0:x1]
        rows.append(((weight * gx_).sum() / total, (weight * gy_).sum() / total, patch.sum()))
    out = np.array(rows, float).reshape(-1, 3)
    return out[np.argsort(-out[:, 2], kind="stable")]
