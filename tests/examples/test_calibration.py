"""examples/calibration.py: its simulated calibration recovers the arm it built, and it
writes the committed picture."""

from __future__ import annotations

import importlib
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[2]
SCRIPT = ROOT / "examples" / "calibration.py"
COMMITTED = ROOT / "docs" / "calibration.png"

pyplot = pytest.importorskip("matplotlib.pyplot")
pytest.importorskip("scipy")

sys.path.insert(0, str(SCRIPT.parent))
example = importlib.import_module(SCRIPT.stem)  # the script's own computation, as it plots it


def test_the_fit_finds_the_arm_that_was_built():
    calibration = example.simulate()
    fit = calibration.fit
    assert fit.parameter_names == ("arm_arc", "coupler_arc", "offset_a", "offset_b", "mount_x", "mount_y", "mount_z")
    assert np.all(np.abs(fit.parameters - calibration.truth) < 3 * fit.std_errors)
    assert fit.rms < 1.5 * example.NOISE < 0.05 * np.sqrt(np.mean(calibration.before**2))
    assert not fit.warnings and fit.closed.all() and fit.converged
    # The poses held out are fitted as well as the noise and the fit's own error allow.
    assert calibration.held_out.shape == (example.HELD_OUT, 2)
    assert calibration.held_out_rms < 1.3 * example.NOISE


def test_committed_picture_is_the_scripts_output(tmp_path):
    output = tmp_path / "calibration.png"
    completed = subprocess.run([sys.executable, str(SCRIPT), "--output", str(output)], capture_output=True,
                               text=True, timeout=300, check=False)
    assert completed.returncode == 0, completed.stderr
    assert "arm_arc" in completed.stdout
    fresh, committed = np.asarray(pyplot.imread(output)), np.asarray(pyplot.imread(COMMITTED))
    assert committed.shape == fresh.shape == (520, 1500, 4)
    differing = np.any(np.abs(committed - fresh) > 0.1, axis=-1).mean()
    assert differing < 0.002, f"{differing:.2%} of the pixels differ: rerun {SCRIPT.name}"
    # A drawing, not a blank: the error bars' red is there.
    red = (fresh[..., 0] > 0.7) & (fresh[..., 1] < 0.35) & (fresh[..., 2] < 0.3)
    assert red.sum() > 300
