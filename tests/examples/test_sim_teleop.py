"""examples/sim_teleop.py drives the simulated torso on a short stream and draws
its picture; examples/torso_model.py renders docs/torso_model.png."""

from __future__ import annotations

import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[2]

pytest.importorskip("mujoco")
pyplot = pytest.importorskip("matplotlib.pyplot")


def run(script: str, *arguments: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, str(ROOT / "examples" / script), *arguments], capture_output=True,
                          text=True, timeout=300, check=False)


def test_the_followers_drive_the_simulated_torso(tmp_path: Path) -> None:
    output = tmp_path / "sim.png"
    completed = run("sim_teleop.py", str(output), "1.5")
    assert completed.returncode == 0, completed.stderr
    report = completed.stdout
    assert report.startswith("750 ticks at 500 Hz")
    # The simulated joints follow the commands within a few mrad, and the arms point where commanded.
    for name in ("left_theta_a", "left_theta_b", "right_theta_a", "right_theta_b", "neck_yaw", "neck_pitch",
                 "neck_roll"):
        rms, largest, effort_rms, effort_max = map(float, re.search(rf"^{name}\s+(\S+)\s+(\S+)\s+(\S+)\s+(\S+)$",
                                                                     report, re.M).groups())
        assert 0.0 < rms < 10.0 and largest < 50.0 and 0.0 < effort_rms <= effort_max < 10.0, name
    for side in ("left", "right"):
        commanded = float(re.search(rf"^{side} end effector .* from its command's direction: median (\S+) mrad",
                                    report, re.M).group(1))
        assert commanded < 5.0
    largest = float(re.search(r"largest (\S+)$", report, re.M).group(1))
    assert largest < 1e-3  # the loops stay closed to well under a milliradian while the motors push
    fresh, committed = pyplot.imread(output), pyplot.imread(ROOT / "docs" / "sim.png")
    assert fresh.shape == committed.shape == (700, 1100, 4)


def test_the_model_picture_is_mujocos_rendering(tmp_path: Path) -> None:
    output = tmp_path / "torso_model.png"
    completed = run("torso_model.py", str(output))
    if completed.returncode != 0 and re.search(r"EGL|OpenGL|GLX|OSMesa|gl_context", completed.stderr):
        pytest.skip(f"no offscreen OpenGL here: {completed.stderr.strip().splitlines()[-1]}")
    assert completed.returncode == 0, completed.stderr
    fresh, committed = np.asarray(pyplot.imread(output)), np.asarray(pyplot.imread(ROOT / "docs" / "torso_model.png"))
    assert fresh.shape == committed.shape == (900, 1200, 4)
    # The arms' colours are in the picture: both input links, the couplers and the end effectors.
    for colour in ((0.20, 0.45, 0.85), (0.85, 0.30, 0.25), (0.95, 0.75, 0.20), (0.15, 0.65, 0.35)):
        assert (np.linalg.norm(fresh[..., :3] - colour, axis=-1) < 0.15).sum() > 100, colour
    differing = np.any(np.abs(committed - fresh) > 0.1, axis=-1).mean()
    assert differing < 0.01, f"{differing:.2%} of the pixels differ: rerun torso_model.py"
