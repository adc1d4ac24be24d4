"""Draws a teleoperation run of the left arm's follower: docs/follow.png.

Usage: python examples/follow.py OUTPUT.png

20 s of a 500 Hz control loop. The target is a tracker's pointing direction
that sweeps in and out of the arm's reach, with 1 mrad of jitter, a jump of the
operator's hand at 12 s and a burst of NaN samples at 6 s. velmora_torso_batch's
follow() (the loop of ArmFollower.step) turns it into commands of at most
MAX_STEP per tick. For each joint the picture shows, over time, the target's
solution nearest the command (a thin line, absent while the target is out of reach)
and the command, coloured by the follower's status.
"""

from __future__ import annotations

import sys

import matplotlib

matplotlib.use("Agg")  # files only: no display needed

import matplotlib.pyplot as plt
import numpy as np
from matplotlib.figure import Figure
from numpy.typing import NDArray

import velmora_torso_batch as vb
from velmora_torso_kinematics import VelmoraArmKinematics

RATE = 500.0  # ticks per second
MAX_STEP = 4.0 / RATE  # 4 rad/s motors
STATUS_COLOURS = {vb.TRACKING: ("#1e8449", "tracking"), vb.APPROACHING: ("#d68910", "approaching"),
                  vb.HOLDING: ("#c0392b", "holding")}


def targets(t: NDArray[np.float64]) -> NDArray[np.float64]:
    """The tracker's directions: a sweep about the middle of the workspace, out to
    where it ends, with jitter, a jump and a NaN burst."""
    rng = np.random.default_rng(18)
    centre, across, up = np.array([0.6, 0.25, 0.6]), np.array([1.0, 0.0, -1.0]), np.array([-0.25, 1.2, -0.25])
    sweep: NDArray[np.float64] = centre + np.sin(0.7 * t)[:, None] * 0.3 * across + np.sin(0.45 * t + 1.0)[:, None] * 0.36 * up
    sweep[(t >= 12.0) & (t < 13.5)] += 0.25 * across  # the hand jumps aside and back
    sweep += rng.normal(0.0, 1e-3, size=sweep.shape)
    sweep[(t >= 6.0) & (t < 6.1)] = np.nan
    return sweep


def render() -> Figure:
    arm = VelmoraArmKinematics.default_left()
    t = np.arange(int(20 * RATE)) / RATE
    directions = targets(t)
    start = arm.ik_from_direction(directions[0].tolist())
    commands, status = vb.follow(arm, directions, start, max_step=MAX_STEP)
    previous = np.vstack([start, commands[:-1]])
    nearest, reachable = vb.ik_from_direction(arm, directions, near=previous)

    figure, axes = plt.subplots(2, 1, figsize=(11, 5.5), dpi=100, sharex=True, layout="constrained")
    for joint, (ax, name) in enumerate(zip(axes, ("θ_A", "θ_B"))):
        for code, (colour, label) in STATUS_COLOURS.items():
            chosen = status == code
            ax.scatter(t[chosen], commands[chosen, joint], s=9, color=colour, label=f"command, {label}",
                       linewidths=0, rasterized=True)
        ax.plot(t, np.where(reachable, nearest[:, joint], np.nan), color="#202020", linewidth=0.7,
                label="target's nearest solution")
        ax.set_ylabel(f"{name} (rad)")
        ax.grid(alpha=0.3)
    axes[0].set_title(f"Left arm follower at {RATE:.0f} Hz, max_step {MAX_STEP} rad: "
                      f"{np.mean(status == vb.TRACKING):.0%} tracking, target reachable {reachable.mean():.0%}")
    axes[0].legend(loc="upper right", fontsize=8, markerscale=2, ncols=2)
    axes[1].set_xlabel("time (s)")
    return figure


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    render().savefig(argv[1], metadata={"Software": None})
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
