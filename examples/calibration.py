"""Draws a simulated calibration of an arm: docs/calibration.png.

Usage: python examples/calibration.py [--output PATH] [--seed N]

An arm is built off its nominal geometry (arcs off by about 0.02 rad, joint
offsets of about 0.04 rad, the tracker mounted 4 degrees off the body frame);
it is measured, with 1 mrad of noise, at the poses suggest_poses chooses for
the nominal arm; fit_arm recovers its geometry. Three panels:

(a) each pose's error before the fit (the nominal model), in the joint plane;
(b) the same poses' errors after the fit, on the same colour scale;
(c) each fitted parameter minus its true value, with two standard errors.
"""

from __future__ import annotations

import argparse
import math
from dataclasses import dataclass
from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # files only: no display needed

import matplotlib.pyplot as plt
import numpy as np
from matplotlib.colors import LogNorm
from numpy.typing import NDArray

import velmora_torso_batch as vb
from velmora_torso_calibration import ArmFit, fit_arm, suggest_poses
from velmora_torso_kinematics import VelmoraArmKinematics

Floats = NDArray[np.float64]

DEFAULT_OUTPUT = Path(__file__).resolve().parents[1] / "docs" / "calibration.png"
POSES = 200
NOISE = 1e-3  # radians, the tracker's
# The arm as built: what the fit should find.
TRUE_ARCS = (0.7 + 0.021, 0.5 - 0.017)
TRUE_OFFSETS = (0.034, -0.041)
TRUE_MOUNT = np.radians(4.0) * np.array([0.48, -0.6, 0.64])  # rotation vector, 4 degrees
ERROR_RANGE = (1e-4, 0.3)  # radians, the colour scale of (a) and (b)


def rotation(vector: Floats) -> Floats:
    """The rotation matrix of a rotation vector (Rodrigues' formula)."""
    angle = float(np.linalg.norm(vector))
    k = np.array([[0.0, -vector[2], vector[1]], [vector[2], 0.0, -vector[0]], [-vector[1], vector[0], 0.0]]) / angle
    result: Floats = np.eye(3) + math.sin(angle) * k + (1.0 - math.cos(angle)) * (k @ k)
    return result


def angles_between(a: Floats, b: Floats) -> Floats:
    unit_a = a / np.linalg.norm(a, axis=-1, keepdims=True)
    unit_b = b / np.linalg.norm(b, axis=-1, keepdims=True)
    angles: Floats = np.arctan2(np.linalg.norm(np.cross(unit_a, unit_b), axis=-1),
                                np.einsum("ni,ni->n", unit_a, unit_b))
    return angles


@dataclass(frozen=True)
class Calibration:
    poses: Floats              # [N, 2] joint readings
    before: Floats             # [N] each pose's error under the nominal model, radians
    fit: ArmFit
    truth: Floats              # the true values of fit.parameter_names


def simulate(seed: int = 1) -> Calibration:
    nominal = VelmoraArmKinematics.default_left()
    poses = suggest_poses(nominal, POSES)
    real = VelmoraArmKinematics(*TRUE_ARCS)
    joints_a, joints_b = poses[:, 0] + TRUE_OFFSETS[0], poses[:, 1] + TRUE_OFFSETS[1]
    pointing = vb.direction(real, joints_a, joints_b)[0] @ rotation(TRUE_MOUNT).T
    # Noise across each direction: a small random tangent step.
    rng = np.random.default_rng(seed)
    step = rng.normal(scale=NOISE / math.sqrt(2.0), size=pointing.shape)
    step -= np.einsum("ni,ni->n", step, pointing)[:, None] * pointing
    measured = pointing + step
    before = angles_between(vb.direction(nominal, poses[:, 0], poses[:, 1])[0], measured)
    fit = fit_arm(poses[:, 0], poses[:, 1], directions=measured)
    truth = np.array([*TRUE_ARCS, *TRUE_OFFSETS, *TRUE_MOUNT])
    return Calibration(poses, before, fit, truth)


def draw(calibration: Calibration, output: Path) -> None:
    fig, axes = plt.subplots(1, 3, figsize=(15.0, 5.2), dpi=100, layout="constrained",
                             gridspec_kw={"width_ratios": [1, 1, 1.3]})
    norm = LogNorm(*ERROR_RANGE)
    fit = calibration.fit
    for ax, errors, title in ((axes[0], calibration.before, f"(a) the {POSES} suggested poses, before the fit"),
                              (axes[1], fit.residuals, "(b) the same poses, after the fit")):
        image = ax.scatter(calibration.poses[:, 0], calibration.poses[:, 1], c=np.clip(errors, *ERROR_RANGE),
                           norm=norm, cmap="viridis", s=18, edgecolors="none")
        rms = math.sqrt(float(np.mean(errors**2)))
        ax.set_title(f"{title}\nrms error {rms * 1e3:.2f} mrad", fontsize=10)
        ax.set_xlabel("θ_A reading (rad)")
        if ax is axes[0]:
            ax.set_ylabel("θ_B reading (rad)")
        ax.set_aspect("equal")
        ax.grid(True, alpha=0.3)
    fig.colorbar(image, ax=axes[1], shrink=0.8, label="error per pose (rad)")

    ax = axes[2]
    names = fit.parameter_names
    position = np.arange(len(names))
    difference = (fit.parameters - calibration.truth) * 1e3
    ax.axhline(0.0, color="#303030", linewidth=0.8)
    ax.errorbar(position, difference, yerr=2e3 * fit.std_errors, fmt="o", color="#d7301f", ecolor="#d7301f",
                capsize=4)
    ax.set_xticks(position, names, rotation=35, ha="right", fontsize=9)
    ax.set_ylabel("fitted − true (mrad), bars: ± 2 standard errors")
    ax.set_title(f"(c) fitted values against the truth\n{POSES} suggested poses, {NOISE * 1e3:g} mrad noise",
                 fontsize=10)
    ax.grid(True, axis="y", alpha=0.3)
    fig.savefig(output)
    plt.close(fig)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--output", type=Path, default=DEFAULT_OUTPUT)
    parser.add_argument("--seed", type=int, default=1, help="the measurement noise's seed")
    arguments = parser.parse_args()
    calibration = simulate(arguments.seed)
    draw(calibration, arguments.output)
    fit = calibration.fit
    for name, value, true, error in zip(fit.parameter_names, fit.parameters, calibration.truth, fit.std_errors):
        print(f"{name:12s} fitted {value: .6f}  true {true: .6f}  standard error {error:.1e}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
