"""Draws the geometry of both preset arms: docs/arm_geometry.png.

Usage: python examples/arm_geometry.py OUTPUT.png

Two views of the body frame, one at the rest pose (theta_a = theta_b = 0) and one
at an example pose. Each shows the unit sphere, the input axes v_1 and v_5, the
elbows v_2 and v_4 with their arcs, the pointing direction v_3 and the
end-effector frame (X, Y) of both arms: the left arm (mirror=False) and the right
arm (mirror=True) at the same joint angles.

The module returns v_3 and the end-effector frame; the elbows are not part of its
results, so they are rebuilt here from the arcs and angles by the formulas of the
user guide's conventions, and checked against the module's v_3.
"""

from __future__ import annotations

import math
import sys
from dataclasses import dataclass
from typing import Protocol, cast

import matplotlib

matplotlib.use("Agg")  # files only: no display needed

import matplotlib.pyplot as plt
import numpy as np
from matplotlib.figure import Figure
from matplotlib.lines import Line2D
from numpy.typing import NDArray

from velmora_torso_kinematics import VelmoraArmKinematics

Vector = NDArray[np.float64]

EXAMPLE_POSE = (0.6, -0.5)
LEFT_COLOUR, RIGHT_COLOUR = "#1f5fa8", "#c0392b"
FRAME_X_COLOUR, FRAME_Y_COLOUR = "#d68910", "#1e8449"
AXIS_COLOUR = "#303030"


class Axes3D(Protocol):
    """The part of matplotlib's 3-D axes used here (mpl_toolkits ships no types)."""

    def plot(self, xs: Vector, ys: Vector, zs: Vector, *, color: str, linewidth: float,
             linestyle: str = "-", alpha: float = 1.0, zorder: float = 0) -> object: ...
    def plot_wireframe(self, x: Vector, y: Vector, z: Vector, *, color: str, linewidth: float,
                       alpha: float, rstride: int, cstride: int) -> object: ...
    def quiver(self, x: float, y: float, z: float, u: float, v: float, w: float, *, color: str,
               linewidth: float, arrow_length_ratio: float) -> object: ...
    def scatter(self, xs: Vector, ys: Vector, zs: Vector, *, color: str, s: float,
                depthshade: bool) -> object: ...
    def text(self, x: float, y: float, z: float, s: str, *, color: str, fontsize: float,
             ha: str, va: str, fontweight: str = "normal") -> object: ...
    def set_title(self, label: str, *, fontsize: float, pad: float) -> object: ...
    def set_box_aspect(self, aspect: tuple[float, float, float], *, zoom: float) -> None: ...
    def set_xlim(self, left: float, right: float) -> object: ...
    def set_ylim(self, bottom: float, top: float) -> object: ...
    def set_zlim(self, bottom: float, top: float) -> object: ...
    def view_init(self, elev: float, azim: float) -> None: ...
    def set_axis_off(self) -> None: ...


def rotate(axis: Vector, angle: float, vector: Vector) -> Vector:
    """Right-handed rotation of `vector` by `angle` about the unit `axis` (Rodrigues)."""
    cos, sin = math.cos(angle), math.sin(angle)
    return cast(Vector, cos * vector + sin * np.cross(axis, vector)
                + (1 - cos) * np.dot(axis, vector) * axis)


@dataclass(frozen=True)
class ArmPose:
    v_1: Vector
    v_2: Vector
    v_3: Vector
    v_4: Vector
    v_5: Vector
    frame_x: Vector
    frame_y: Vector


def arm_pose(arm: VelmoraArmKinematics, theta_a: float, theta_b: float) -> ArmPose:
    m = -1.0 if arm.mirror() else 1.0
    alpha = arm.arm_arc()
    v_1, v_5 = np.array([0.0, 0.0, 1.0]), np.array([m, 0.0, 0.0])
    v_2 = rotate(v_1, theta_a, np.array([m * math.sin(alpha), 0.0, math.cos(alpha)]))
    v_4 = rotate(v_5, theta_b, np.array([m * math.cos(alpha), 0.0, math.sin(alpha)]))
    rotation = np.array(arm.fk(theta_a, theta_b))
    v_3 = rotation[:, 2]
    for elbow in (v_2, v_4):  # the rebuilt elbows must be the module's
        assert abs(math.acos(float(np.dot(elbow, v_3))) - arm.coupler_arc()) < 1e-9
    return ArmPose(v_1, v_2, v_3, v_4, v_5, rotation[:, 0], rotation[:, 1])


def great_arc(start: Vector, end: Vector, points: int = 40) -> Vector:
    """Points of the shorter great-circle arc from `start` to `end` (unit vectors)."""
    angle = math.acos(float(np.clip(np.dot(start, end), -1.0, 1.0)))
    steps = np.linspace(0.0, 1.0, points)[:, None]
    arc: Vector = (np.sin((1 - steps) * angle) * start + np.sin(steps * angle) * end) / math.sin(angle)
    return arc


def draw_sphere(ax: Axes3D) -> None:
    # The upper hemisphere and a little below: every vector drawn lies above the equator.
    u, v = np.meshgrid(np.linspace(0, 2 * np.pi, 37), np.linspace(0, 0.6 * np.pi, 13))
    ax.plot_wireframe(np.cos(u) * np.sin(v), np.sin(u) * np.sin(v), np.cos(v),
                      color="#9aa4b1", linewidth=0.4, alpha=0.35, rstride=1, cstride=1)
    equator = np.linspace(0, 2 * np.pi, 181)
    ax.plot(np.cos(equator), np.sin(equator), np.zeros_like(equator), color="#9aa4b1",
            linewidth=0.8, alpha=0.7)


def line(ax: Axes3D, start: Vector, end: Vector, colour: str, width: float, style: str = "-") -> None:
    ax.plot(np.array([start[0], end[0]]), np.array([start[1], end[1]]),
            np.array([start[2], end[2]]), color=colour, linewidth=width, linestyle=style, zorder=5)


def label(ax: Axes3D, at: Vector, text: str, colour: str, size: float = 10, ha: str = "center") -> None:
    ax.text(float(at[0]), float(at[1]), float(at[2]), text, color=colour, fontsize=size,
            ha=ha, va="center", fontweight="bold")


def draw_arm(ax: Axes3D, pose: ArmPose, colour: str, side: str) -> None:
    # The input axes run through the centre; v_1 is shared by both arms.
    line(ax, np.zeros(3), 1.2 * pose.v_5, AXIS_COLOUR, 1.6, "--")
    label(ax, 1.24 * pose.v_5, f"$v_5$ {side}", AXIS_COLOUR, 9, ha="left" if pose.v_5[0] > 0 else "right")
    for start, end in ((pose.v_1, pose.v_2), (pose.v_5, pose.v_4)):
        arc = great_arc(start, end)
        ax.plot(arc[:, 0], arc[:, 1], arc[:, 2], color=colour, linewidth=3.2, zorder=6)
    for elbow in (pose.v_2, pose.v_4):
        arc = great_arc(elbow, pose.v_3)
        ax.plot(arc[:, 0], arc[:, 1], arc[:, 2], color=colour, linewidth=1.8, linestyle="--", zorder=6)
    joints = np.array([pose.v_2, pose.v_4, pose.v_3])
    ax.scatter(joints[:, 0], joints[:, 1], joints[:, 2], color=colour, s=28, depthshade=False)
    for elbow, name in ((pose.v_2, "$v_2$"), (pose.v_4, "$v_4$")):
        away = elbow - pose.v_3  # labels sit on the far side of each elbow from v_3
        label(ax, 1.05 * elbow + 0.14 * away / np.linalg.norm(away), name, colour)
    # The pointing direction from the centre, and the end-effector frame at its tip.
    ax.quiver(0, 0, 0, *(float(c) for c in pose.v_3), color=colour, linewidth=2.0,
              arrow_length_ratio=0.08)
    label(ax, 1.1 * pose.v_3 - 0.16 * pose.frame_x, "$v_3$", colour)
    tip = pose.v_3
    for axis, name, axis_colour in ((pose.frame_x, "X", FRAME_X_COLOUR), (pose.frame_y, "Y", FRAME_Y_COLOUR)):
        ax.quiver(*(float(c) for c in tip), *(0.28 * float(c) for c in axis), color=axis_colour,
                  linewidth=1.8, arrow_length_ratio=0.25)
        label(ax, tip + 0.38 * axis, name, axis_colour, 9)


def draw_view(ax: Axes3D, theta_a: float, theta_b: float, title: str) -> None:
    draw_sphere(ax)
    line(ax, np.zeros(3), np.array([0.0, 0.0, 1.35]), AXIS_COLOUR, 1.6, "--")
    label(ax, np.array([-0.06, 0.0, 1.3]), "$v_1$ = +z (both)", AXIS_COLOUR, 9, ha="right")
    line(ax, np.zeros(3), np.array([0.0, 1.25, 0.0]), "#8c8c8c", 1.2, ":")
    label(ax, np.array([0.0, 1.36, 0.0]), "+y", "#6c6c6c", 9)
    for arm, colour, side in ((VelmoraArmKinematics.default_left(), LEFT_COLOUR, "left = +x"),
                              (VelmoraArmKinematics.default_right(), RIGHT_COLOUR, "right = −x")):
        draw_arm(ax, arm_pose(arm, theta_a, theta_b), colour, side)
    ax.set_xlim(-1.1, 1.1)
    ax.set_ylim(-1.1, 1.1)
    ax.set_zlim(-0.3, 1.4)
    ax.set_box_aspect((2.2, 2.2, 1.7), zoom=1.25)
    ax.view_init(elev=50, azim=-96)
    ax.set_axis_off()
    ax.set_title(title, fontsize=12, pad=-8)


def render() -> Figure:
    figure = plt.figure(figsize=(13, 6.0), dpi=110)
    for index, (pose, title) in enumerate((((0.0, 0.0), "rest pose: θ_A = θ_B = 0"),
                                           (EXAMPLE_POSE, "example pose: θ_A = {:g}, θ_B = {:g}".format(*EXAMPLE_POSE).replace("-", "−")))):
        ax = cast(Axes3D, figure.add_subplot(1, 2, index + 1, projection="3d"))
        draw_view(ax, *pose, title)
    figure.legend(handles=[
        Line2D([], [], color=LEFT_COLOUR, linewidth=3, label="left arm (mirror=False)"),
        Line2D([], [], color=RIGHT_COLOUR, linewidth=3, label="right arm (mirror=True)"),
        Line2D([], [], color="#555555", linewidth=3, label="input arm arcs v_1→v_2, v_5→v_4"),
        Line2D([], [], color="#555555", linewidth=1.8, linestyle="--", label="coupler arcs v_2→v_3, v_4→v_3"),
        Line2D([], [], color=FRAME_X_COLOUR, linewidth=2, label="end-effector X"),
        Line2D([], [], color=FRAME_Y_COLOUR, linewidth=2, label="end-effector Y"),
    ], loc="lower center", ncols=3, frameon=False, fontsize=10)
    figure.suptitle("Both preset arms in the body frame (arm_arc 0.7, coupler_arc 0.5): "
                    "the right arm is the left turned 180° about z", fontsize=13, y=0.97)
    figure.subplots_adjust(left=0.08, right=0.92, bottom=0.06, top=0.9, wspace=0.3)
    return figure


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    render().savefig(argv[1], metadata={"Software": None})
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
