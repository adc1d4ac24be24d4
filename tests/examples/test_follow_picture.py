"""examples/follow.py renders the follower's teleoperation run, and
docs/follow.png is its output."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[2]
SCRIPT = ROOT / "examples" / "follow.py"

pyplot = pytest.importorskip("matplotlib.pyplot")


def test_committed_picture_is_the_scripts_output(tmp_path: Path) -> None:
    output = tmp_path / "follow.png"
    completed = subprocess.run([sys.executable, str(SCRIPT), str(output)], capture_output=True, text=True,
                               timeout=300, check=False)
    assert completed.returncode == 0, completed.stderr
    fresh = np.asarray(pyplot.imread(output))
    committed = np.asarray(pyplot.imread(ROOT / "docs" / "follow.png"))
    assert fresh.shape == committed.shape == (1100, 1100, 4)
    # Every status is drawn: tracking green, approaching orange, saturated blue, holding vermillion.
    for colour in ((0x00, 0x9e, 0x73), (0xe6, 0x9f, 0x00), (0x00, 0x72, 0xb2), (0xd5, 0x5e, 0x00)):
        assert np.all(np.abs(fresh[..., :3] - np.array(colour) / 255) < 0.02, axis=-1).sum() > 20, colour
    # Font rasterisation may differ between matplotlib builds; a changed run moves far more.
    differing = np.any(np.abs(committed - fresh) > 0.1, axis=-1).mean()
    assert differing < 0.002, f"{differing:.2%} of the pixels differ: rerun {SCRIPT.name}"
