#!/usr/bin/env python3
"""The sample generator's earlier command line, kept for scripts that call it by path:
`python tools/make_samples.py ARGS` runs `python -m tools.samples ARGS` from any folder."""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from tools.samples.runner import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main())
