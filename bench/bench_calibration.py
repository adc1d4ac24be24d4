"""Time to fit an arm to 1,000 samples with velmora_torso_calibration.fit_arm, beside
the fit of another revision (default: main) in the same run.

A simulated arm (arcs off nominal by 0.02 rad, joint offsets of 0.03 rad, a tracker
turned 4 degrees, 1 mrad of noise) measured at 1,000 suggested poses, fitted from
the nominal geometry: directions (arcs, offsets, mount: 7 parameters) and rotations
(with tool: 10 parameters), plain and robust (soft_l1, 5% gross outliers); and a
general arm (four unequal arcs, a base angle off a right angle, one gear ratio off
by 0.4%) fitted with the full model (four arcs, base angle, offsets, scales and
mount: 12 parameters; with tool 15), beside the other revision's fit of the same
data with today's model (two arcs, offsets, mount, tool). Each
time is the best of `--repeat` fits, alternating between the two revisions; beside
it the ratio, the number of model evaluations (residuals and Jacobian together) and
the time of one. The other revision's package is read with `git show` into a
temporary directory. Then the first fit again with LAPACK's own threads (fit_arm
keeps them to one), the batch kinematics one evaluation runs, and suggest_poses.

Run: .venv/bin/python bench/bench_calibration.py [--quick] [--against REVISION]
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import math
import subprocess
import sys
import tempfile
from pathlib import Path
from types import ModuleType

import numpy as np
from scipy.spatial.transform import Rotation
from timing import alternating, fastest

import velmora_torso_batch as vb
from velmora_torso_calibration import _fit, _model, fit_arm, suggest_poses
from velmora_torso_kinematics import VelmoraArmKinematics

SAMPLES = 1000
ROOT = Path(__file__).resolve().parents[1]
PACKAGE = "src/calibration/velmora_torso_calibration"


def best_of(repeat: int, call) -> float:
    """Seconds of the fastest of `repeat` calls."""
    return fastest(call, repeat) / 1e9


def other_revision(revision: str, directory: Path) -> ModuleType:
    """The calibration package as `revision` has it, importable as velmora_torso_calibration_other."""
    target = directory / "velmora_torso_calibration_other"
    target.mkdir()
    names = subprocess.run(["git", "ls-tree", "--name-only", f"{revision}:{PACKAGE}"], cwd=ROOT, check=True,
                           capture_output=True, text=True).stdout.split()
    for name in (name for name in names if name.endswith(".py")):
        text = subprocess.run(["git", "show", f"{revision}:{PACKAGE}/{name}"], cwd=ROOT, check=True,
                              capture_output=True, text=True).stdout
        (target / name).write_text(text, encoding="utf-8")
    sys.path.insert(0, str(directory))
    return importlib.import_module(target.name)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--against", default="main", help="the revision to time beside this tree (default main)")
    arguments = parser.parse_args()
    repeat = 2 if arguments.quick else 7
    rng = np.random.default_rng(0)
    nominal = VelmoraArmKinematics.default_left()
    poses = suggest_poses(nominal, SAMPLES)
    a, b = poses[:, 0] + 0.03, poses[:, 1] - 0.03
    real = VelmoraArmKinematics(0.72, 0.48)
    mount = Rotation.from_rotvec(np.radians(4.0) * np.array([0.48, -0.6, 0.64])).as_matrix()
    tool = Rotation.from_rotvec([0.02, -0.03, 0.01]).as_matrix()
    rotations = vb.fk(real, a, b)[0]
    noise = Rotation.from_rotvec(rng.normal(scale=1e-3 / math.sqrt(3), size=(SAMPLES, 3))).as_matrix()
    measured_rotations = noise @ mount @ rotations @ tool
    measured_directions = rotations[..., 2] @ mount.T + rng.normal(scale=1e-3 / math.sqrt(2), size=(SAMPLES, 3))
    corrupted = measured_directions.copy()
    corrupted[::20] = rng.normal(size=(SAMPLES // 20, 3))
    general = vb.FiveBar((0.72, 0.705), (0.48, 0.49), 1.574)
    general_rotations, closes = vb.fk(general, 1.004 * poses[:, 0] + 0.03, poses[:, 1] - 0.03)
    assert closes.all()
    general_rotations = noise @ mount @ general_rotations @ tool
    general_directions = general_rotations[..., 2] @ mount.T + rng.normal(scale=1e-3 / math.sqrt(2),
                                                                          size=(SAMPLES, 3))
    full = ("link_arcs", "base_angle", "offsets", "scales", "mount")

    today = ("arcs", "offsets", "mount")
    cases = [  # name, this tree's options, the other revision's
        ("directions, linear", dict(directions=measured_directions), {}),
        ("directions, soft_l1 + refit", dict(directions=corrupted, loss="soft_l1"), {}),
        ("rotations (with tool), linear", dict(rotations=measured_rotations, fit=today + ("tool",)), {}),
        ("directions, full model", dict(directions=general_directions, fit=full), dict(fit=today)),
        ("rotations, full model + tool", dict(rotations=general_rotations, fit=full + ("tool",)),
         dict(fit=today + ("tool",))),
    ]
    evaluate = _model.Model.evaluate
    with tempfile.TemporaryDirectory() as directory:
        other = other_revision(arguments.against, Path(directory))
        print(f"{'fit of 1,000 samples':32s} {'ms':>8s} {arguments.against + ' ms':>10s} {'ratio':>6s} "
              f"{'evaluations':>12s} {'ms each':>8s}")
        for name, options, theirs in cases:
            their_options = options | theirs
            calls = [0]

            def counted(self, *args, **kwargs):
                calls[0] += 1
                return evaluate(self, *args, **kwargs)

            _model.Model.evaluate = counted
            result = fit_arm(poses[:, 0], poses[:, 1], **options)
            assert result.converged and not result.warnings, (name, result.warnings)
            count = calls[0]
            _model.Model.evaluate = evaluate
            this, before = alternating({"this": lambda: fit_arm(poses[:, 0], poses[:, 1], **options),
                                        "other": lambda: other.fit_arm(poses[:, 0], poses[:, 1], **their_options)},
                                       repeat, lambda call: best_of(1, call)).values()
            model = _model.Model(poses[:, 0], poses[:, 1], directions=options.get("directions"),
                                 rotations=options.get("rotations"), mirror=False, branch="positive",
                                 initial={}, fit=tuple(options.get("fit", ("arcs", "offsets", "mount"))))
            x = model.start()

            def one() -> None:
                model.cache_key = None
                model.evaluate(x)

            each = best_of(repeat * 3, one)
            print(f"{name:32s} {this * 1e3:8.1f} {before * 1e3:10.1f} {this / before:6.2f} {count:12d} "
                  f"{each * 1e3:8.2f}")
    # The same fit with LAPACK's threads left as they are (fit_arm keeps them to one).
    limited = _fit.blas_for_fitting
    _fit.blas_for_fitting = contextlib.nullcontext
    threaded = best_of(repeat, lambda: fit_arm(poses[:, 0], poses[:, 1], directions=measured_directions))
    _fit.blas_for_fitting = limited
    print(f"{'directions, linear, LAPACK threaded':32s} {threaded * 1e3:8.1f}")
    kinematics = best_of(repeat * 3, lambda: (vb.fk(nominal, a, b), vb.jacobian(nominal, a, b),
                                              vb.geometry_jacobian(nominal, a, b)))
    print(f"{'batch kinematics, 1,000 pairs':32s} {kinematics * 1e3:8.2f}")
    this, before = alternating({"this": lambda: suggest_poses(nominal, SAMPLES),
                                "other": lambda: other.suggest_poses(nominal, SAMPLES)},
                               max(1, repeat // 3), lambda call: best_of(1, call)).values()
    print(f"{'suggest_poses(arm, 1000)':32s} {this * 1e3:8.1f} {before * 1e3:10.1f} {this / before:6.2f}")


if __name__ == "__main__":
    main()
