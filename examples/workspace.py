"""Draws an arm's workspace: docs/workspace.png.

Usage: python examples/workspace.py [--geometry JSON] [--output PATH] [--small]

Two panels, computed with velmora_torso_batch:

(a) every pointing direction of the sphere, in the Lambert azimuthal equal-area
    projection centred between the two input axes (each pixel is the same area
    of the sphere, so areas compare), coloured by how many joint pairs point v_3
    that way: direction_solutions' count, 0 to 4;
(b) the joint plane (theta_A, theta_B) in [-pi, pi]^2, coloured by the
    singularity measure (the smallest singular value of J_v); blank where the
    loop does not close.

Both show the closure-singular curve, where the coupler's two segments are
stretched into one plane (the angle between the elbows is 2 coupler_arc), and the
README's example pose (0.3, -0.2). --geometry takes the document of
VelmoraArmKinematics.from_json (default: the left preset), so that arcs can be
compared; --small renders a coarse grid, for tests.
"""

from __future__ import annotations

import argparse
import math
import sys
from dataclasses import dataclass
from pathlib import Path

import contourpy
import matplotlib

matplotlib.use("Agg")  # files only: no display needed

import matplotlib.pyplot as plt
import numpy as np
from matplotlib.axes import Axes
from matplotlib.colors import BoundaryNorm, ListedColormap, LogNorm
from matplotlib.figure import Figure
from matplotlib.image import AxesImage
from matplotlib.patches import Rectangle
from numpy.typing import NDArray

import velmora_torso_batch as vb
from velmora_torso_kinematics import VelmoraArmKinematics

Floats = NDArray[np.float64]

DEFAULT_OUTPUT = Path(__file__).resolve().parents[1] / "docs" / "workspace.png"
EXAMPLE_POSE = (0.3, -0.2)  # the README's first example
# Full size: 720^2 pixels hold 407,000 directions of the disk; the joint plane
# at 0.01 rad.
SPHERE_SIDE, JOINT_SIDE = 720, 629
SMALL_SPHERE_SIDE, SMALL_JOINT_SIDE = 120, 91
COUNT_COLOURS = ["#ececec", "#fdd49e", "#fc8d59", "#d7301f", "#7f0000"]
EDGE_COLOUR, EXAMPLE_COLOUR, AXIS_COLOUR = "#1565c0", "white", "#303030"


@dataclass(frozen=True)
class Projection:
    """Lambert azimuthal equal-area projection about `centre`, seen from outside the sphere."""

    centre: Floats
    right: Floats  # e_x: the picture's x axis at the centre
    up: Floats  # e_y

    @staticmethod
    def between_axes(arm: VelmoraArmKinematics) -> Projection:
        # Centred halfway between v_1 = +z and v_5 = (m, 0, 0): the workspace lies around there.
        m = -1.0 if arm.mirror() else 1.0
        centre = np.array([m, 0.0, 1.0]) / math.sqrt(2.0)
        up = np.array([-m, 0.0, 1.0]) / math.sqrt(2.0)
        return Projection(centre, np.cross(up, centre), up)

    def to_plane(self, v: Floats) -> Floats:
        """Unit vectors [..., 3] to points [..., 2] of the disk of radius 2."""
        scale = np.sqrt(2.0 / np.maximum(1.0 + v @ self.centre, 1e-300))
        plane: Floats = np.stack([v @ self.right, v @ self.up], axis=-1) * scale[..., None]
        return plane

    def to_sphere(self, x: Floats, y: Floats) -> Floats:
        """Points of the plane to unit vectors [..., 3]; NaN outside the disk."""
        rho_squared = x * x + y * y
        inside = rho_squared <= 4.0
        along = np.sqrt(np.where(inside, 1.0 - rho_squared / 4.0, np.nan))
        v: Floats = ((1.0 - rho_squared / 2.0)[..., None] * self.centre
                     + along[..., None] * (x[..., None] * self.right + y[..., None] * self.up))
        return v


@dataclass(frozen=True)
class Workspace:
    projection: Projection
    plane: Floats  # pixel centres of the projection, along x and along y
    directions: Floats  # [y, x, 3]: the direction at each pixel, NaN outside the disk
    counts: NDArray[np.int64]  # [y, x]: joint pairs reaching it; -1 outside the disk
    theta: Floats  # grid of the joint plane, along theta_A and along theta_B
    measure: Floats  # [theta_B, theta_A]: singularity measure, NaN where the loop does not close
    edge_joints: list[Floats]  # the closure-singular curve in the joint plane, pieces [n, 2]
    edge_directions: list[Floats]  # the same curve as pointing directions, pieces [n, 3]
    example_direction: Floats


def elbows(arm: VelmoraArmKinematics, theta_a: Floats, theta_b: Floats) -> tuple[Floats, Floats]:
    """v_2 and v_4, rebuilt from the arcs (the module returns v_3 only)."""
    m = -1.0 if arm.mirror() else 1.0
    s, c = math.sin(arm.arm_arc()), math.cos(arm.arm_arc())
    v_2 = np.stack([m * s * np.cos(theta_a), m * s * np.sin(theta_a), np.full_like(theta_a, c)], axis=-1)
    v_4 = np.stack([np.full_like(theta_b, m * c), -m * s * np.sin(theta_b), s * np.cos(theta_b)], axis=-1)
    return v_2, v_4


def closure_edge(arm: VelmoraArmKinematics, theta: Floats) -> list[Floats]:
    """Where the elbows are exactly 2 coupler_arc apart: the coupler circles touch and
    v_3 lies in the elbows' plane. Contoured on a grid finer than the picture's."""
    fine = np.linspace(-math.pi, math.pi, 4 * len(theta) - 3)
    a, b = np.meshgrid(fine, fine)
    v_2, v_4 = elbows(arm, a, b)
    stretch = np.einsum("...i,...i->...", v_2, v_4) - math.cos(2.0 * arm.coupler_arc())
    lines = contourpy.contour_generator(fine, fine, stretch, line_type=contourpy.LineType.Separate).lines(0.0)
    return [np.asarray(line, dtype=np.float64) for line in lines if len(line) > 1]


def compute(arm: VelmoraArmKinematics, sphere_side: int = SPHERE_SIDE, joint_side: int = JOINT_SIDE,
            workers: int = -1) -> Workspace:
    projection = Projection.between_axes(arm)
    plane = np.linspace(-2.0 + 2.0 / sphere_side, 2.0 - 2.0 / sphere_side, sphere_side)  # pixel centres
    x, y = np.meshgrid(plane, plane)
    directions = projection.to_sphere(x, y)
    _, counts = vb.direction_solutions(arm, directions, workers=workers)
    counts[np.isnan(directions[..., 0])] = -1

    theta = np.linspace(-math.pi, math.pi, joint_side)
    measure, _ = vb.singularity_measure(arm, theta[None, :], theta[:, None], workers=workers)
    edge_joints = closure_edge(arm, theta)
    edge_directions = []
    for piece in edge_joints:
        v_2, v_4 = elbows(arm, piece[:, 0], piece[:, 1])
        bisector = v_2 + v_4  # where the coupler segments are in one plane, v_3 is their bisector
        edge_directions.append(bisector / np.linalg.norm(bisector, axis=-1, keepdims=True))
    example, _ = vb.direction(arm, *EXAMPLE_POSE)
    return Workspace(projection, plane, directions, counts, theta, measure, edge_joints, edge_directions, example)


def pi_ticks(ax: Axes) -> None:
    ticks = [-math.pi, -math.pi / 2, 0.0, math.pi / 2, math.pi]
    labels = ["−π", "−π/2", "0", "π/2", "π"]
    ax.set_xticks(ticks, labels)
    ax.set_yticks(ticks, labels)


def count_image(ax: Axes, ws: Workspace) -> AxesImage:
    return ax.imshow(np.ma.masked_less(ws.counts, 0), origin="lower", extent=(-2.0, 2.0, -2.0, 2.0),
                     interpolation="nearest", cmap=ListedColormap(COUNT_COLOURS),
                     norm=BoundaryNorm(np.arange(-0.5, 5.0), 5))


def draw_sphere_marks(ax: Axes, ws: Workspace, arm: VelmoraArmKinematics, legend: bool) -> None:
    # Circles of equal angle from the centre, 30 degrees apart: 90 is the edge of the
    # hemisphere facing the viewer, 180 (the disk's rim) the point opposite the centre.
    turn = np.linspace(0.0, 2.0 * math.pi, 721)
    for degrees in (30, 60, 90, 120, 150, 180):
        rho = 2.0 * math.sin(math.radians(degrees) / 2.0)
        solid = degrees in (90, 180)
        ax.plot(rho * np.cos(turn), rho * np.sin(turn), color="#9e9e9e", linewidth=1.0 if solid else 0.6,
                linestyle="-" if solid else ":")
    m = -1.0 if arm.mirror() else 1.0
    for axis, name in ((np.array([0.0, 0.0, 1.0]), "$v_1$ (joint A)"), (np.array([m, 0.0, 0.0]), "$v_5$ (joint B)"),
                       (np.array([0.0, 1.0, 0.0]), "+y")):
        x, y = ws.projection.to_plane(axis)
        ax.plot(x, y, marker="+", color=AXIS_COLOUR, markersize=10, markeredgewidth=1.5)
        ax.annotate(name, (x, y), xytext=(6, 6), textcoords="offset points", color=AXIS_COLOUR, fontsize=9,
                    annotation_clip=True)
    for index, piece in enumerate(ws.edge_directions):
        points = ws.projection.to_plane(piece)
        ax.plot(points[:, 0], points[:, 1], color=EDGE_COLOUR, linewidth=1.4,
                label="closure-singular curve (workspace edge)" if index == 0 and legend else None)
    x, y = ws.projection.to_plane(ws.example_direction)
    ax.plot(x, y, marker="*", color=EXAMPLE_COLOUR, markersize=14, markeredgecolor="black", linestyle="none",
            label="example pose (0.3, −0.2)" if legend else None)
    ax.set_aspect("equal")


def zoom_box(ws: Workspace) -> tuple[float, float, float, float]:
    """A square around the reachable directions, with a margin; the whole disk if none."""
    rows, columns = np.nonzero(ws.counts > 0)
    if rows.size == 0:
        return -2.0, 2.0, -2.0, 2.0
    x, y = ws.plane[columns], ws.plane[rows]
    centre_x, centre_y = (x.min() + x.max()) / 2, (y.min() + y.max()) / 2
    half = min(2.0, 0.55 * max(x.max() - x.min(), y.max() - y.min()) + 0.05)
    return centre_x - half, centre_x + half, centre_y - half, centre_y + half


def draw_sphere(whole: Axes, zoom: Axes, figure: Figure, ws: Workspace, arm: VelmoraArmKinematics) -> None:
    count_image(whole, ws)
    draw_sphere_marks(whole, ws, arm, legend=False)
    whole.set_xlim(-2.05, 2.05)
    whole.set_ylim(-2.05, 2.05)
    whole.set_axis_off()
    left, right, bottom, top = zoom_box(ws)
    whole.add_patch(Rectangle((left, bottom), right - left, top - bottom, fill=False, edgecolor="black",
                              linewidth=1.0, linestyle="--"))
    reached = ws.counts[ws.counts >= 0]
    whole.set_title(f"(a) every pointing direction, equal-area\n({reached.size:,} directions; "
                    f"{float(np.mean(reached > 0)):.1%} of the sphere reachable)", fontsize=11)

    image = count_image(zoom, ws)
    draw_sphere_marks(zoom, ws, arm, legend=True)
    zoom.set_xlim(left, right)
    zoom.set_ylim(bottom, top)
    zoom.set_xticks([])
    zoom.set_yticks([])
    zoom.legend(loc="lower right", fontsize=9, framealpha=0.9)
    zoom.set_title("(a) magnified (dashed square):\njoint pairs that point v_3 each way", fontsize=11)
    bar = figure.colorbar(image, ax=zoom, ticks=range(5), orientation="horizontal", shrink=0.9, pad=0.04)
    bar.set_ticklabels(["0\nout of reach", "1", "2", "3", "4"])
    bar.set_label("joint pairs reaching the direction (direction_solutions count)")


def draw_joint_plane(ax: Axes, figure: Figure, ws: Workspace) -> None:
    # Pixels centred on the grid's joint pairs.
    half_step = math.pi / (len(ws.theta) - 1)
    span = (-math.pi - half_step, math.pi + half_step, -math.pi - half_step, math.pi + half_step)
    image = ax.imshow(np.ma.masked_invalid(ws.measure), origin="lower", extent=span, interpolation="nearest",
                      cmap="viridis", norm=LogNorm(vmin=1e-2, vmax=3.0))
    for index, piece in enumerate(ws.edge_joints):
        ax.plot(piece[:, 0], piece[:, 1], color=EDGE_COLOUR, linewidth=1.2,
                label="closure-singular curve" if index == 0 else None)
    ax.plot(*EXAMPLE_POSE, marker="*", color=EXAMPLE_COLOUR, markersize=14, markeredgecolor="black",
            linestyle="none", label="example pose (0.3, −0.2)")
    ax.plot([], [], color=plt.get_cmap("viridis")(0.0), linewidth=2.0, label="pointing-singular (measure 0)")
    ax.set_xlim(-math.pi, math.pi)
    ax.set_ylim(-math.pi, math.pi)
    ax.set_aspect("equal")
    pi_ticks(ax)
    ax.set_xlabel("θ_A (rad)")
    ax.set_ylabel("θ_B (rad)")
    ax.grid(color="#bdbdbd", linewidth=0.4, linestyle=":")
    ax.legend(loc="upper right", fontsize=9, framealpha=0.9)
    closes = float(np.mean(np.isfinite(ws.measure)))
    ax.set_title(f"(b) joint plane: singularity measure (smallest singular value of J_v);\n"
                 f"blank where the loop does not close ({1 - closes:.0%} of the plane)", fontsize=11)
    bar = figure.colorbar(image, ax=ax, orientation="horizontal", shrink=0.9, pad=0.1, extend="both")
    bar.set_label("singularity measure; dark curves: pointing-singular (joint rates grow as 1 / measure)")


def render(ws: Workspace, arm: VelmoraArmKinematics) -> Figure:
    figure = plt.figure(figsize=(18, 7.2), dpi=100)
    whole, zoom, joints = (figure.add_subplot(1, 3, k) for k in (1, 2, 3))
    draw_sphere(whole, zoom, figure, ws, arm)
    draw_joint_plane(joints, figure, ws)
    figure.suptitle(f"Workspace of the arm with arm_arc {arm.arm_arc():g}, coupler_arc {arm.coupler_arc():g}"
                    f"{', mirrored' if arm.mirror() else ''}", fontsize=13)
    figure.subplots_adjust(left=0.01, right=0.97, bottom=0.06, top=0.86, wspace=0.1)
    return figure


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--geometry", help="the arm as a JSON document for VelmoraArmKinematics.from_json "
                                           "(default: the left preset)")
    parser.add_argument("--output", type=Path, default=DEFAULT_OUTPUT, help="the PNG to write")
    parser.add_argument("--small", action="store_true", help="a coarse grid (for tests)")
    options = parser.parse_args(argv[1:])
    try:
        arm = (VelmoraArmKinematics.from_json(options.geometry) if options.geometry
               else VelmoraArmKinematics.default_left())
    except ValueError as error:
        parser.error(f"--geometry: {error}")
    sides = (SMALL_SPHERE_SIDE, SMALL_JOINT_SIDE) if options.small else (SPHERE_SIDE, JOINT_SIDE)
    render(compute(arm, *sides), arm).savefig(options.output, metadata={"Software": None})
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
