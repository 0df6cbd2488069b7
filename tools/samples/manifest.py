"""manifest.json of an output folder: per sample its path, hashes, recipe digest, detection and facts."""
from __future__ import annotations

import hashlib
import json
import os
from pathlib import Path

from .core import DETECTION_MARKERS, RECIPE_VERSION, Sample
from .registry import MANIFEST_NAME

# 2: an entry's "detected_as" is the runtime detector's answer, and "detected_by" says how it found it.
MANIFEST_FORMAT = 2
GENERATOR = "tools/samples"
# Earlier names of this generator, whose manifests this one reads and updates.
EARLIER_GENERATORS = ("tools/make_samples.py",)


def sha256_of(path: Path) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def load_manifest(out: Path) -> dict:
    p = out / MANIFEST_NAME
    if not p.exists():
        return {}
    try:
        data = json.loads(p.read_text())
    except (OSError, ValueError) as e:
        raise SystemExit(f"samples: {p} is not readable JSON ({e}); move it away to regenerate")
    if (not isinstance(data, dict) or data.get("generator") not in (GENERATOR, *EARLIER_GENERATORS)
            or not isinstance(data.get("samples"), dict)):
        raise SystemExit(f"samples: {p} is not a manifest of this generator; move it away to regenerate")
    return data


def write_manifest(out: Path, samples: dict) -> None:
    data = {
        "format": MANIFEST_FORMAT,
        "generator": GENERATOR,
        "recipe_version": RECIPE_VERSION,
        "detection_markers": {fw: marker for fw, marker in DETECTION_MARKERS},
        "samples": samples,
    }
    text = json.dumps(data, indent=2) + "\n"
    p = out / MANIFEST_NAME
    if p.exists() and p.read_text() == text:
        return
    tmp = out / f".{MANIFEST_NAME}.tmp-{os.getpid()}"
    tmp.write_text(text)
    os.replace(tmp, p)


def manifest_entry(sample: Sample, sha: str, size: int, facts: dict) -> dict:
    return {
        "path": sample.path,
        "framework": sample.framework,
        "sha256": sha,
        "size": size,
        "version": sample.version,
        "recipe": sample.recipe_digest(),
        "description": sample.description,
        "detected_as": sample.detected_as,
        "detected_by": sample.detected_by,
        "reproducible": sample.reproducible,
        "contract": sample.contract,
        "facts": facts,
    }


def is_current(sample: Sample, entry: dict | None, out: Path) -> bool:
    """The file is the one the entry records, built from the sample's present recipe."""
    if not entry or entry.get("recipe") != sample.recipe_digest() or entry.get("path") != sample.path:
        return False
    p = out / sample.path
    return p.is_file() and p.stat().st_size == entry.get("size") and sha256_of(p) == entry.get("sha256")


def detection_recorded(sample: Sample, entry: dict | None) -> bool:
    """The entry records the detection the sample declares (an entry written before may not)."""
    return (bool(entry) and "detected_by" in entry
            and (entry.get("detected_as"), entry["detected_by"]) == (sample.detected_as, sample.detected_by))
