"""Example photos of the detection utilities: small scenes drawn with NumPy, stored as JPEG files in the
folder layout that the detection check and load_random_example_image read."""
from __future__ import annotations

from pathlib import Path

from .core import Sample, fail, seed_of

EXAMPLE_IMAGES_DIR = "examples_utils/example_images"


def samples() -> list[Sample]:
    sizes = {"scene_square": (320, 320), "scene_wide": (360, 480), "scene_tall": (400, 200)}
    return [
        Sample(name, f"{EXAMPLE_IMAGES_DIR}/{name}.JPEG", "image", build_example_image,
               {"loader": "image", "height": h, "width": w, "channels": 3},
               f"{h} x {w} colour photo for the detection utilities", None)
        for name, (h, w) in sizes.items()
    ]


def _draw_scene(sample: Sample):
    import numpy as np

    h, w = sample.contract["height"], sample.contract["width"]
    rng = np.random.default_rng(seed_of(sample))
    yy, xx = np.mgrid[0:h, 0:w]
    img = np.empty((h, w, 3), np.uint8)  # blue, green, red
    img[..., 0] = (255 * yy / max(h - 1, 1)).astype(np.uint8)
    img[..., 1] = (255 * xx / max(w - 1, 1)).astype(np.uint8)
    img[..., 2] = 96
    for _ in range(4):
        y0, x0 = int(rng.integers(0, h // 2)), int(rng.integers(0, w // 2))
        img[y0:y0 + h // 3, x0:x0 + w // 3] = rng.integers(0, 256, 3, dtype=np.uint8)
    cy, cx, r = h // 2, w // 2, min(h, w) // 5
    img[(yy - cy) ** 2 + (xx - cx) ** 2 <= r * r] = (255, 255, 255)
    return img


def build_example_image(sample: Sample, dest: Path) -> dict:
    import cv2

    ok, data = cv2.imencode(".jpg", _draw_scene(sample), [cv2.IMWRITE_JPEG_QUALITY, 90])
    if not ok:
        fail(sample, "JPEG encoding failed")
    dest.write_bytes(data.tobytes())
    return {}


def verify_image(sample: Sample, path: Path) -> dict:
    import cv2

    img = cv2.imread(str(path))
    c = sample.contract
    if img is None or img.shape != (c["height"], c["width"], c["channels"]):
        fail(sample, f"unreadable or of the wrong shape: {None if img is None else img.shape}")
    return {}


VERIFIERS = {"image": verify_image}  # by the contract's loader
