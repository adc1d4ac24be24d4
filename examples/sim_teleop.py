"""The followers driving the simulated torso: docs/sim.png and a report.

Usage: python examples/sim_teleop.py OUTPUT.png [SECONDS]

A 500 Hz teleoperation loop (20 s unless SECONDS is given): each tick the
tracker's pointing directions for both arms and the operator's head rotation go
through velmora_torso_batch's ArmFollower and NeckFollower, whose commands are
the targets of the position actuators of velmora_torso_sim's MuJoCo torso, which
MuJoCo then simulates with gravity, the links' masses and the loops closed by
its constraint solver (four 0.5 ms steps per tick). Printed: how closely the
simulated joints follow the commands, how far the simulated end effectors point
from the targets, the actuators' effort, and how often a loop's closure residual
exceeds 1e-6. The picture shows, over time, the left arm's commands and
simulated joints, both arms' pointing errors and the loops' residuals.
"""

from __future__ import annotations

import sys

import matplotlib

matplotlib.use("Agg")  # files only: no display needed

import matplotlib.pyplot as plt
import mujoco  # type: ignore[import-untyped]
import numpy as np
from matplotlib.figure import Figure
from numpy.typing import NDArray

import velmora_torso_batch as vb
from velmora_torso_kinematics import VelmoraArmKinematics
from velmora_torso_sim import TorsoSim

RATE = 500.0  # ticks per second
SUBSTEPS = 4  # simulator steps per tick
MAX_STEP = 4.0 / RATE  # 4 rad/s motors
ARM_LIMITS = ((-1.5, 1.5), (-1.5, 1.2))
NECK_LIMITS = ((-2.5, 2.5), (-1.0, 1.0), (-0.8, 0.8))
GAINS = {"kp": 200.0, "kv": 1.5}  # N m per rad and per rad/s: near critical damping on these links
TURN_Z = np.diag([-1.0, -1.0, 1.0])  # the right arm is the left one turned half a turn about z


def streams(t: NDArray[np.float64]) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]:
    """The tracker's directions for the left and right arm, and the head's rotations:
    sweeps with 1 mrad of jitter, and a quick turn of the operator's head at 8 s."""
    rng = np.random.default_rng(26)
    centre, across, up = np.array([0.6, 0.25, 0.6]), np.array([1.0, 0.0, -1.0]), np.array([-0.25, 1.2, -0.25])
    left: NDArray[np.float64] = (centre + np.sin(0.7 * t)[:, None] * 0.25 * across
                                 + np.sin(0.45 * t + 1.0)[:, None] * 0.2 * up)
    right: NDArray[np.float64] = (centre + np.sin(0.5 * t + 2.0)[:, None] * 0.25 * across
                                  + np.sin(0.8 * t)[:, None] * 0.25 * up) @ TURN_Z
    left += rng.normal(0.0, 1e-3, size=left.shape)
    right += rng.normal(0.0, 1e-3, size=right.shape)
    yaw = 0.6 * np.sin(0.3 * t) + np.where(t >= 8.0, 0.8, 0.0)
    angles = np.stack([yaw, 0.3 * np.sin(0.5 * t), 0.2 * np.sin(0.9 * t)], axis=-1)
    head = np.asarray(vb.neck_fk(angles + rng.normal(0.0, 1e-3, size=angles.shape)), dtype=np.float64)
    return left, right, head


def angle_between(a: NDArray[np.float64], b: NDArray[np.float64]) -> NDArray[np.float64]:
    """The angle between rows of unit vectors, accurate near 0."""
    return np.asarray(2.0 * np.arcsin(np.clip(np.linalg.norm(a - b, axis=-1) / 2.0, 0.0, 1.0)), dtype=np.float64)


def run(seconds: float) -> dict[str, NDArray[np.float64]]:
    left_arm, right_arm = VelmoraArmKinematics.default_left(), VelmoraArmKinematics.default_right()
    t = np.arange(int(seconds * RATE)) / RATE
    targets = streams(t)
    starts = [arm.ik_from_direction(d[0].tolist()) for arm, d in zip((left_arm, right_arm), targets)]
    followers = [vb.ArmFollower(arm, start, max_step=MAX_STEP, limits=ARM_LIMITS)
                 for arm, start in zip((left_arm, right_arm), starts)]
    head_start = tuple(float(angle) for angle in vb.neck_ik(targets[2][0])[0])
    head = vb.NeckFollower((head_start[0], head_start[1], head_start[2]), max_step=MAX_STEP, limits=NECK_LIMITS)
    sim = TorsoSim(left_arm, right_arm, limits={"left": ARM_LIMITS, "right": ARM_LIMITS, "neck": NECK_LIMITS},
                   timestep=1.0 / (RATE * SUBSTEPS), **GAINS)
    sim.settle(left=starts[0], right=starts[1], neck=head_start)
    inputs = ["left_theta_a", "left_theta_b", "right_theta_a", "right_theta_b", "neck_yaw", "neck_pitch", "neck_roll"]
    qpos = [int(sim.model.jnt_qposadr[sim.model.joint(name).id]) for name in inputs]
    actuators = [int(sim.model.actuator(name).id) for name in inputs]

    command, joints, effort = (np.empty((len(t), 7)) for _ in range(3))
    pointing, head_error, residual = np.empty((len(t), 2, 2)), np.empty(len(t)), np.empty((len(t), 2))
    for tick in range(len(t)):
        (left_pair, _), (right_pair, _) = (follower.step(d[tick].tolist()) for follower, d in zip(followers, targets[:2]))
        angles, _ = head.step(targets[2][tick].tolist())
        command[tick] = (*left_pair, *right_pair, *angles)
        sim.data.ctrl[actuators] = command[tick]
        for _ in range(SUBSTEPS):
            mujoco.mj_step(sim.model, sim.data)
        mujoco.mj_kinematics(sim.model, sim.data)  # the body frames of the state just reached
        joints[tick] = sim.data.qpos[qpos]
        effort[tick] = sim.data.actuator_force[actuators]
        for index, (side, d, arm, pair) in enumerate(zip(("left", "right"), targets[:2], (left_arm, right_arm),
                                                         (left_pair, right_pair))):
            pointing[tick, index] = angle_between(sim.rotation(side)[:, 2], np.array(
                [d[tick] / np.linalg.norm(d[tick]), arm.direction(*pair)]))
            residual[tick, index] = sim.residual(side)
        head_error[tick] = float(np.linalg.norm(sim.rotation("head") - targets[2][tick], 2))
    return {"t": t, "command": command, "joints": joints, "effort": effort, "pointing": pointing,
            "head": head_error, "residual": residual}


def report(result: dict[str, NDArray[np.float64]]) -> str:
    error = np.abs(result["joints"] - result["command"])
    lines = [f"{len(result['t'])} ticks at {RATE:.0f} Hz, {SUBSTEPS} simulator steps per tick",
             "joint                 |command - simulated| rms, max (mrad)   effort rms, max (N m)"]
    names = ["left_theta_a", "left_theta_b", "right_theta_a", "right_theta_b", "neck_yaw", "neck_pitch", "neck_roll"]
    for index, name in enumerate(names):
        e, f = error[:, index], result["effort"][:, index]
        lines.append(f"{name:<22}{1e3 * np.sqrt(np.mean(e * e)):>10.3f} {1e3 * e.max():>9.3f}"
                     f"{np.sqrt(np.mean(f * f)):>24.4f} {np.abs(f).max():>8.4f}")
    for index, side in enumerate(("left", "right")):
        target, commanded = result["pointing"][:, index].T
        lines.append(f"{side} end effector from its target: median {1e3 * np.median(target):.2f} mrad, "
                     f"max {1e3 * target.max():.2f}; from its command's direction: median "
                     f"{1e3 * np.median(commanded):.2f} mrad, max {1e3 * commanded.max():.2f}")
    lines.append(f"head from its target rotation: median {1e3 * np.median(result['head']):.2f} mrad")
    residual = result["residual"]
    lines.append(f"loop residual above 1e-6: left {np.mean(residual[:, 0] > 1e-6):.1%}, "
                 f"right {np.mean(residual[:, 1] > 1e-6):.1%} of ticks; largest {residual.max():.2e}")
    return "\n".join(lines)


def render(result: dict[str, NDArray[np.float64]]) -> Figure:
    t = result["t"]
    figure, axes = plt.subplots(3, 1, figsize=(11, 7), dpi=100, sharex=True, layout="constrained")
    for joint, (name, colour) in enumerate((("θ_A", "#1f5fbf"), ("θ_B", "#c0392b"))):
        axes[0].plot(t, result["command"][:, joint], color="#202020", linewidth=2.6, alpha=0.35,
                     label=f"left {name}, command")
        axes[0].plot(t, result["joints"][:, joint], color=colour, linewidth=0.9, label=f"left {name}, simulated")
    axes[0].set_ylabel("joint (rad)")
    axes[0].legend(loc="upper right", fontsize=8, ncols=2)
    for side, colour, index in (("left", "#1f5fbf", 0), ("right", "#c0392b", 1)):
        axes[1].semilogy(t, 1e3 * np.maximum(result["pointing"][:, index, 0], 1e-6), color=colour, linewidth=2.4,
                         alpha=0.3, label=f"{side}, from the target")
        axes[1].semilogy(t, 1e3 * np.maximum(result["pointing"][:, index, 1], 1e-6), color=colour, linewidth=0.8,
                         label=f"{side}, from the command's direction")
        axes[2].semilogy(t, np.maximum(result["residual"][:, index], 1e-16), color=colour, linewidth=0.8,
                         label=f"{side} loop")
    axes[1].set_ylabel("pointing error (mrad)")
    axes[1].legend(loc="upper right", fontsize=8, ncols=2)
    axes[2].axhline(1e-6, color="#202020", linewidth=0.8, linestyle="--", label="1e-6")
    axes[2].set_ylabel("loop residual")
    axes[2].set_xlabel("time (s)")
    axes[2].legend(loc="upper right", fontsize=8, ncols=3)
    axes[0].set_title(f"The simulated torso driven by the followers at {RATE:.0f} Hz (MuJoCo, position actuators)")
    for ax in axes:
        ax.grid(alpha=0.3)
    return figure


def main(argv: list[str]) -> int:
    if len(argv) not in (2, 3):
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    result = run(float(argv[2]) if len(argv) == 3 else 20.0)
    print(report(result))
    render(result).savefig(argv[1], metadata={"Software": None})
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
