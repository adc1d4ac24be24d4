"""Draws a simulated calibration of an arm: docs/calibration.png.

Usage: python examples/calibration.py [--output PATH] [--seed N]

An arm is built off its nominal geometry (arcs off by about 0.02 rad, joint
offsets of about 0.04 rad, the tracker mounted 4 degrees off the body frame);
it is measured, with 1 mrad of noise, at the poses suggest_poses chooses for
the nominal arm; fit_arm recovers its geometry from 200 of them, and the other
50 are held out to judge it. Three panels:

(a) each pose's error before the fit (the nominal model), in the joint plane;
(b) each pose's error after the fit in units of the noise: the fitted poses and
    the held-out ones (validate), beside the error the fit predicts there;
(c) each fitted parameter minus its true value, in its standard errors.
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
HELD_OUT = 50
NOISE = 1e-3  # radians, the tracker's
# The arm as built: what the fit should find.
TRUE_ARCS = (0.7 + 0.021, 0.5 - 0.017)
TRUE_OFFSETS = (0.034, -0.041)
TRUE_MOUNT = np.radians(4.0) * np.array([0.48, -0.6, 0.64])  # rotation vector, 4 degrees
ERROR_RANGE = (1e-4, 0.3)  # radians, the colour scale of (a)
NORMALISED_RANGE = (0.0, 4.0)  # errors in units of the noise, the colour scale of (b)


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
    poses: Floats              # [N, 2] joint readings the fit used
    before: Floats             # [N] each pose's error under the nominal model, radians
    fit: ArmFit
    truth: Floats              # the true values of fit.parameter_names
    held_out: Floats           # [M, 2] joint readings kept out of the fit
    held_out_errors: Floats    # [M] the fitted model's error there, radians (ArmFit.validate)
    held_out_rms: float


def simulate(seed: int = 1) -> Calibration:
    nominal = VelmoraArmKinematics.default_left()
    every = suggest_poses(nominal, POSES + HELD_OUT)
    real = VelmoraArmKinematics(*TRUE_ARCS)
    joints_a, joints_b = every[:, 0] + TRUE_OFFSETS[0], every[:, 1] + TRUE_OFFSETS[1]
    pointing = vb.direction(real, joints_a, joints_b)[0] @ rotation(TRUE_MOUNT).T
    # Noise across each direction: a small random tangent step.
    rng = np.random.default_rng(seed)
    step = rng.normal(scale=NOISE / math.sqrt(2.0), size=pointing.shape)
    step -= np.einsum("ni,ni->n", step, pointing)[:, None] * pointing
    measured = pointing + step
    # Every fifth pose is held out.
    held = np.arange(len(every)) % 5 == 4
    poses = every[~held]
    before = angles_between(vb.direction(nominal, poses[:, 0], poses[:, 1])[0], measured[~held])
    fit = fit_arm(poses[:, 0], poses[:, 1], directions=measured[~held])
    truth = np.array([*TRUE_ARCS, *TRUE_OFFSETS, *TRUE_MOUNT])
    held_out_errors, held_out_rms = fit.validate(every[held, 0], every[held, 1], directions=measured[held])
    return Calibration(poses, before, fit, truth, every[held], held_out_errors, held_out_rms)


def draw(calibration: Calibration, output: Path) -> None:
    fig, axes = plt.subplots(1, 3, figsize=(15.0, 5.2), dpi=100, layout="constrained",
                             gridspec_kw={"width_ratios": [1, 1, 1.3]})
    fit = calibration.fit
    poses, held = calibration.poses, calibration.held_out
    ax = axes[0]
    image = ax.scatter(poses[:, 0], poses[:, 1], c=np.clip(calibration.before, *ERROR_RANGE),
                       norm=LogNorm(*ERROR_RANGE), cmap="viridis", s=18, edgecolors="none")
    rms = math.sqrt(float(np.mean(calibration.before**2)))
    ax.set_title(f"(a) the {POSES} fitted poses, before the fit\nrms error {rms * 1e3:.1f} mrad", fontsize=10)
    ax.set_ylabel("θ_B reading (rad)")
    fig.colorbar(image, ax=ax, shrink=0.8, label="error per pose (rad, log scale)")

    ax = axes[1]
    predicted = math.sqrt(float(np.mean(fit.predict_error(held[:, 0], held[:, 1]) ** 2)))
    image = ax.scatter(poses[:, 0], poses[:, 1], c=fit.residuals / NOISE, vmin=NORMALISED_RANGE[0],
                       vmax=NORMALISED_RANGE[1], cmap="magma_r", s=18, edgecolors="none")
    ax.scatter(held[:, 0], held[:, 1], c=calibration.held_out_errors / NOISE, vmin=NORMALISED_RANGE[0],
               vmax=NORMALISED_RANGE[1], cmap="magma_r", s=46, marker="^", edgecolors="#1f78b4", linewidths=0.8)
    ax.set_title(f"(b) after the fit, in units of the {NOISE * 1e3:g} mrad noise: {POSES} fitted poses (dots) "
                 f"rms {fit.rms / NOISE:.2f},\n{HELD_OUT} held-out poses (triangles) rms "
                 f"{calibration.held_out_rms / NOISE:.2f}; the fit's predicted error there {predicted / NOISE:.2f}",
                 fontsize=9)
    fig.colorbar(image, ax=ax, shrink=0.8, label="error per pose / noise")
    for ax in axes[:2]:
        ax.set_xlabel("θ_A reading (rad)")
        ax.set_aspect("equal")
        ax.grid(True, alpha=0.3)

    ax = axes[2]
    names = fit.parameter_names
    position = np.arange(len(names))
    ax.axhspan(-2.0, 2.0, color="#d0d0d0", alpha=0.5, linewidth=0)
    ax.axhline(0.0, color="#303030", linewidth=0.8)
    ax.plot(position, (fit.parameters - calibration.truth) / fit.std_errors, "o", color="#d7301f", markersize=8)
    ax.set_xticks(position, names, rotation=35, ha="right", fontsize=9)
    ax.set_ylim(-4.0, 4.0)
    ax.set_ylabel("(fitted − true) / standard error")
    ax.set_title(f"(c) each fitted value's error in its standard errors\n(grey: ±2, where about 19 in 20 "
                 f"should fall)", fontsize=10)
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
    print(f"rms {fit.rms * 1e3:.3f} mrad on the fitted poses, {calibration.held_out_rms * 1e3:.3f} mrad held out")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
