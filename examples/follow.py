"""Draws a teleoperation run of the left arm's follower: docs/follow.png.

Usage: python examples/follow.py OUTPUT.png

20 s of a 500 Hz control loop. The target is a tracker's pointing direction
that sweeps in and out of the arm's reach, with 1 mrad of jitter, a jump of the
operator's hand at 12 s and a burst of NaN samples at 6 s. velmora_torso_batch's
follow() (the loop of ArmFollower.step) turns it into commands of at most
MAX_STEP per tick whose step changes by at most MAX_STEP_CHANGE, inside LIMITS
and with the default closure margin. For each joint the picture shows, over
time, the limits, the target's solution nearest the command (a thin line,
absent while the target is out of reach) and the command, coloured by the
follower's status; below, the pointing error in degrees beside the least error
any admissible pose has (nearest_reachable), and the status as a strip. Grey
bands: the target is out of reach; hatched: not finite. Last, the neck: the
head's yaw, pitch and roll (thin) and NeckFollower's commands (neck_follow,
within NECK_LIMITS and MAX_STEP), the head turning past the yaw
stop and losing its tracker with the arm's, and the neck's status as a strip.
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
MAX_STEP_CHANGE = 100.0 / RATE**2  # 100 rad/s^2
LIMITS = ((-1.5, 1.5), (-1.5, 1.2))
# Okabe-Ito colours, told apart with any colour vision.
STATUS_COLOURS = {vb.TRACKING: ("#009e73", "tracking"), vb.APPROACHING: ("#e69f00", "approaching"),
                  vb.SATURATED: ("#0072b2", "saturated"), vb.HOLDING: ("#d55e00", "holding")}
EVENTS = {6.0: "NaN burst", 12.0: "hand jumps", 13.5: "and back"}
NECK_LIMITS = ((-2.0, 2.0), (-1.2, 1.2), (-0.6, 0.6))
NECK_COLOURS = ("#0072b2", "#e69f00", "#009e73")  # yaw, pitch, roll


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


def head(t: NDArray[np.float64]) -> NDArray[np.float64]:
    """The head's yaw, pitch and roll: a look round that turns past the yaw stop,
    a nod and a tilt, with jitter and the same NaN burst."""
    rng = np.random.default_rng(19)
    angles = np.stack([2.4 * np.sin(0.3 * t), 0.5 * np.sin(0.9 * t), 0.3 * np.sin(0.5 * t)], axis=-1)
    angles += rng.normal(0.0, 1e-3, size=angles.shape)
    angles[(t >= 6.0) & (t < 6.1)] = np.nan
    return angles


def spans(mask: NDArray[np.bool_], t: NDArray[np.float64]) -> list[tuple[float, float]]:
    """The time intervals where mask holds."""
    edges = np.flatnonzero(np.diff(np.concatenate([[0], mask.astype(np.int8), [0]])))
    return [(t[a], t[min(b, t.size - 1)]) for a, b in zip(edges[::2], edges[1::2])]


def degrees_between(v: NDArray[np.float64], w: NDArray[np.float64]) -> NDArray[np.float64]:
    w = w / np.linalg.norm(w, axis=-1, keepdims=True)
    return np.degrees(np.arctan2(np.linalg.norm(np.cross(v, w), axis=-1), (v * w).sum(axis=-1)))


def render() -> Figure:
    arm = VelmoraArmKinematics.default_left()
    t = np.arange(int(20 * RATE)) / RATE
    directions = targets(t)
    start = arm.ik_from_direction(directions[0].tolist())
    commands, status = vb.follow(arm, directions, start, max_step=MAX_STEP, limits=LIMITS,
                                 max_step_change=MAX_STEP_CHANGE)
    previous = np.vstack([start, commands[:-1]])
    nearest, reachable = vb.ik_from_direction(arm, directions, near=previous, limits=LIMITS, margin=0.02)
    finite = np.isfinite(directions).all(axis=1)
    pointing = vb.direction(arm, commands[:, 0], commands[:, 1])[0]
    error = np.where(finite, degrees_between(pointing, np.where(finite[:, None], directions, 1.0)), np.nan)
    best = np.full(t.size, np.nan)
    out = finite & ~reachable
    best[out] = np.degrees(vb.nearest_reachable(arm, directions[out], limits=LIMITS, margin=0.02)[2])
    best[finite & reachable] = 0.0

    looks = head(t)
    rotations = vb.neck_fk(looks)
    neck, neck_status = vb.neck_follow(rotations, looks[0], max_step=MAX_STEP, limits=NECK_LIMITS)

    figure, axes = plt.subplots(6, 1, figsize=(11, 11), dpi=100, sharex=True, layout="constrained",
                                height_ratios=[3, 3, 2, 0.4, 3, 0.4])
    for ax in (*axes[:3], axes[4]):
        for a, b in spans(out, t) if ax is not axes[4] else []:
            ax.axvspan(a, b, color="#d9d9d9", linewidth=0, zorder=0)
        for a, b in spans(~finite, t):
            ax.axvspan(a, b, facecolor="none", edgecolor="#7f7f7f", hatch="////", linewidth=0, zorder=0)
        for when in EVENTS:
            ax.axvline(when, color="#7f7f7f", linewidth=0.6, linestyle=":")
    for joint, (ax, name) in enumerate(zip(axes[:2], ("θ_A", "θ_B"))):
        for bound in LIMITS[joint]:
            ax.axhline(bound, color="#cc79a7", linewidth=1.0, linestyle="--")
        for code, (colour, label) in STATUS_COLOURS.items():
            chosen = status == code
            ax.scatter(t[chosen], commands[chosen, joint], s=9, color=colour, label=f"command, {label}",
                       linewidths=0, rasterized=True)
        ax.plot(t, np.where(reachable, nearest[:, joint], np.nan), color="#202020", linewidth=0.7,
                label="target's nearest solution")
        ax.set_ylabel(f"{name} (rad)")
        ax.grid(alpha=0.3)
    axes[0].plot([], [], color="#cc79a7", linestyle="--", label="limits")
    for when, text in EVENTS.items():
        axes[0].annotate(text, (when, 1.0), xycoords=("data", "axes fraction"), xytext=(3, -10),
                         textcoords="offset points", fontsize=8, color="#505050")
    axes[2].plot(t, error, color="#202020", linewidth=0.8, label="pointing error of the command")
    axes[2].plot(t, best, color="#56b4e9", linewidth=1.6, linestyle="--", label="least error of any admissible pose")
    axes[2].set_ylabel("error (°)")
    axes[2].grid(alpha=0.3)
    axes[2].legend(loc="upper left", fontsize=8)
    palette = [STATUS_COLOURS[code][0] for code in sorted(STATUS_COLOURS)]
    axes[3].imshow(status[None, :], aspect="auto", interpolation="nearest", extent=(t[0], t[-1], 0, 1),
                   cmap=matplotlib.colors.ListedColormap(palette), vmin=-0.5, vmax=len(palette) - 0.5)
    axes[3].set_yticks([])
    axes[3].set_ylabel("status", rotation=0, ha="right", va="center")
    for k, (name, colour) in enumerate(zip(("yaw", "pitch", "roll"), NECK_COLOURS)):
        axes[4].plot(t, looks[:, k], color=colour, linewidth=0.6, alpha=0.6)
        axes[4].plot(t, neck[:, k], color=colour, linewidth=1.6, label=f"{name} command")
        for bound in NECK_LIMITS[k]:
            axes[4].axhline(bound, color=colour, linewidth=0.8, linestyle="--")
    axes[4].plot([], [], color="#7f7f7f", linewidth=0.6, label="head (thin)")
    axes[4].plot([], [], color="#7f7f7f", linewidth=0.8, linestyle="--", label="its limits")
    axes[4].set_ylabel("neck (rad)")
    axes[4].grid(alpha=0.3)
    axes[4].legend(loc="lower left", fontsize=8, ncols=5)
    axes[4].set_title(f"Neck at max_step {MAX_STEP}: {np.mean(neck_status == vb.TRACKING):.0%} tracking, "
                      f"{np.mean(neck_status == vb.SATURATED):.0%} saturated at a stop", fontsize=10)
    axes[5].imshow(neck_status[None, :], aspect="auto", interpolation="nearest", extent=(t[0], t[-1], 0, 1),
                   cmap=matplotlib.colors.ListedColormap(palette), vmin=-0.5, vmax=len(palette) - 0.5)
    axes[5].set_yticks([])
    axes[5].set_ylabel("neck status", rotation=0, ha="right", va="center")
    axes[0].set_title(f"Left arm at {RATE:.0f} Hz, max_step {MAX_STEP}, max_step_change {MAX_STEP_CHANGE}, "
                      f"margin 0.02: {np.mean(status == vb.TRACKING):.0%} tracking, "
                      f"target reachable {reachable.mean():.0%}")
    handles, labels = axes[0].get_legend_handles_labels()
    axes[1].legend(handles, labels, loc="lower left", fontsize=8, markerscale=2, ncols=3)
    axes[5].set_xlabel("time (s)")
    return figure


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    render().savefig(argv[1], metadata={"Software": None})
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
