"""examples/workspace.py: its counts are the scalar module's answers, its
projection is equal-area, its closure-singular curve is the edge of the joint
workspace, and it writes the committed picture."""

from __future__ import annotations

import importlib
import json
import math
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import velmora_torso_batch as vb
import velmora_torso_kinematics as vtk

ROOT = Path(__file__).resolve().parents[2]
SCRIPT = ROOT / "examples" / "workspace.py"
COMMITTED = ROOT / "docs" / "workspace.png"

pyplot = pytest.importorskip("matplotlib.pyplot")
pytest.importorskip("contourpy")


sys.path.insert(0, str(SCRIPT.parent))
workspace = importlib.import_module(SCRIPT.stem)  # the script's own computation, as it plots it

ARMS = [
    pytest.param(vtk.VelmoraArmKinematics.default_left(), id="left preset"),
    pytest.param(vtk.VelmoraArmKinematics.from_json(json.dumps(
        {"arm_arc": 0.9, "coupler_arc": 0.7, "branch": "negative", "mirror": True})), id="negative mirrored"),
]


@pytest.fixture(scope="module", params=ARMS)
def computed(request):
    arm = request.param
    return arm, workspace.compute(arm, sphere_side=150, joint_side=91, workers=2)


def test_counts_are_the_scalar_answers(computed):
    arm, ws = computed
    inside = ws.counts >= 0
    # Every direction of the disk is a unit vector, and outside the disk there are none.
    assert np.allclose(np.linalg.norm(ws.directions[inside], axis=-1), 1.0, atol=1e-12)
    assert np.isnan(ws.directions[~inside]).all()
    rows, columns = np.nonzero(inside)
    rng = np.random.default_rng(11)
    for k in rng.choice(rows.size, size=1500, replace=False):
        direction = ws.directions[rows[k], columns[k]].tolist()
        count = int(ws.counts[rows[k], columns[k]])
        assert (count > 0) == arm.is_reachable_direction(direction), (direction, count)
        if count:
            # Each pair the count stands for is one the scalar inverse accepts:
            # asked for the pair nearest itself, it returns that very pair.
            pairs, listed = vb.direction_solutions(arm, direction)
            assert listed == count
            for pair in map(tuple, pairs[:count].tolist()):
                assert arm.ik_from_direction(direction, near=pair) == pair


def test_pixels_are_equal_areas_of_the_sphere(computed):
    # The reachable share of the pixels is the reachable share of the sphere,
    # measured with uniformly random directions.
    arm, ws = computed
    inside = ws.counts >= 0
    pixel_share = float(np.mean(ws.counts[inside] > 0))
    random = np.random.default_rng(3).normal(size=(20000, 3))
    sphere_share = float(np.mean(vb.direction_solutions(arm, random)[1] > 0))
    assert abs(pixel_share - sphere_share) < 0.01, (pixel_share, sphere_share)
    # The projection's inverse is its inverse.
    plane = ws.projection.to_plane(ws.directions[inside])
    x, y = np.meshgrid(ws.plane, ws.plane)
    assert np.allclose(plane, np.stack([x[inside], y[inside]], axis=-1), atol=1e-9)


def test_closure_curve_is_the_edge_of_the_joint_workspace(computed):
    arm, ws = computed
    assert ws.edge_joints and len(ws.edge_joints) == len(ws.edge_directions)
    around = 0.01 * np.array([[math.cos(t), math.sin(t)] for t in np.linspace(0, 2 * math.pi, 8, endpoint=False)])
    for piece in ws.edge_joints:
        near = piece[:, None, :] + around[None, :, :]
        _, closes = vb.fk(arm, near[..., 0], near[..., 1])
        # On every point of the curve the loop closes on one side and not on the other.
        assert np.all(closes.any(axis=1) & ~closes.all(axis=1))
    # The measure is blank exactly where the loop does not close (or is locked at the edge).
    _, closes = vb.fk(arm, ws.theta[None, :], ws.theta[:, None])
    assert np.array_equal(np.isfinite(ws.measure), vb.jacobian(arm, ws.theta[None, :], ws.theta[:, None])[2])
    assert np.all(closes[np.isfinite(ws.measure)])


def run(*arguments: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, str(SCRIPT), *arguments], capture_output=True, text=True,
                          timeout=300, check=False)


@pytest.mark.parametrize("geometry", [None, '{"arm_arc": 0.8, "coupler_arc": 0.6, "mirror": true}'])
def test_small_picture_is_written(tmp_path, geometry):
    output = tmp_path / "workspace.png"
    completed = run("--small", "--output", str(output), *(["--geometry", geometry] if geometry else []))
    assert completed.returncode == 0, completed.stderr
    pixels = np.asarray(pyplot.imread(output))[..., :3]
    assert pixels.shape == (720, 1800, 3)
    # The count colours of one, two and three pairs are all on the picture.
    for colour in workspace.COUNT_COLOURS[1:4]:
        rgb = np.array([int(colour[k:k + 2], 16) / 255 for k in (1, 3, 5)])
        assert np.sum(np.all(np.abs(pixels - rgb) < 0.02, axis=-1)) > 500, colour


def test_bad_geometry_is_reported_not_raised(tmp_path):
    completed = run("--small", "--output", str(tmp_path / "x.png"), "--geometry", '{"arm_arc": 1}')
    assert completed.returncode == 2 and "--geometry: Invalid arms.json" in completed.stderr
    assert not (tmp_path / "x.png").exists()


def test_committed_picture_is_the_full_size_output(tmp_path):
    output = tmp_path / "workspace.png"
    completed = run("--output", str(output))
    assert completed.returncode == 0, completed.stderr
    fresh, committed = np.asarray(pyplot.imread(output)), np.asarray(pyplot.imread(COMMITTED))
    assert committed.shape == fresh.shape
    differing = np.any(np.abs(committed - fresh) > 0.1, axis=-1).mean()
    assert differing < 0.002, f"{differing:.2%} of the pixels differ: rerun {SCRIPT.name}"
