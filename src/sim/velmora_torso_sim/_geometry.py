"""An arm as the model builder reads it, and the axes of its five joints: where
MJCF places the hinges (the core's joint convention) and the closed pose from
which the solver starts (the core's kinematics, through `velmora_torso_batch`)."""

from __future__ import annotations

import math
from functools import cached_property

import numpy as np
from numpy.typing import NDArray

import velmora_torso_batch as vb
import velmora_torso_kinematics as vtk

Vector = NDArray[np.float64]

# The double nearest pi/2: the base angle at which v_5 is exactly (m, 0, 0).
RIGHT_ANGLE = 1.5707963267948966


def arm_geometry(arm: object, name: str = "arm") -> vb.FiveBar:
    """The arm that the model is built from, as the general arm.

    Parameters
    ----------
    arm : VelmoraArmKinematics, FiveBar or an object with FiveBar's attributes
        A `velmora_torso_batch.FiveBar` as it is; a `VelmoraArmKinematics` as
        `FiveBar.from_arm` gives it (the same bits in every function); or any
        object with the attributes `arm_arcs`, `coupler_arcs`, `base_angle`,
        `mirror` and `branch` (a record of a calibration, say), read into a
        `FiveBar`.
    name : str
        The argument named in errors.

    Returns
    -------
    velmora_torso_batch.FiveBar

    Raises
    ------
    TypeError
        An object of none of these kinds.
    ValueError
        Attributes that `FiveBar` refuses, with its reason.
    """
    if isinstance(arm, vb.FiveBar):
        return arm
    if isinstance(arm, vtk.VelmoraArmKinematics):
        return vb.FiveBar.from_arm(arm)
    try:
        fields = (arm.arm_arcs, arm.coupler_arcs, arm.base_angle, arm.mirror, arm.branch)  # type: ignore[attr-defined]
    except AttributeError:
        raise TypeError(f"'{name}' must be a velmora_torso_kinematics.VelmoraArmKinematics, a "
                        f"velmora_torso_batch.FiveBar or an arm with FiveBar's attributes, "
                        f"not '{type(arm).__name__}'") from None
    arm_arcs, coupler_arcs, base_angle, mirror, branch = fields
    try:
        return vb.FiveBar(arm_arcs, coupler_arcs, base_angle, mirror=bool(mirror),
                          branch=str(getattr(branch, "name", branch)))
    except (TypeError, ValueError) as error:
        raise type(error)(f"'{name}': {error}") from None


def rotation(axis: Vector, angle: float) -> Vector:
    """Rot(axis, angle), right-handed (Rodrigues)."""
    x, y, z = axis
    cross = np.array([[0.0, -z, y], [z, 0.0, -x], [-y, x, 0.0]])
    return math.cos(angle) * np.eye(3) + math.sin(angle) * cross + (1.0 - math.cos(angle)) * np.outer(axis, axis)


def turned(axis: Vector, rest: Vector, angles: Vector) -> Vector:
    """`rest` turned about unit `axis` by each of `angles`: shape (..., 3)."""
    c, s = np.cos(angles)[..., None], np.sin(angles)[..., None]
    result: Vector = c * rest + s * np.cross(axis, rest) + (1.0 - c) * float(axis @ rest) * axis
    return result


class ArmAxes:
    """The joint axes of one arm in its body frame, in the core's convention:
    v_1 = (0, 0, 1) and v_5 = (m sin γ, 0, cos γ) fixed, each elbow at rest in
    the XZ plane at its input link's arc from its axis toward the other axis,
    turned by its input. v_3 and the end-effector frame are `fk`'s."""

    def __init__(self, arm: vb.FiveBar) -> None:
        self.arm = arm
        m = -1.0 if arm.mirror else 1.0
        (arc_a, arc_b), tilt = arm.arm_arcs, arm.base_angle - RIGHT_ANGLE
        # v_5 turned by the tilt from (m, 0, 0) toward -z, as the core turns it:
        # at a right angle the axes are exact (cos(pi/2) is 6e-17 in doubles).
        self.v1 = np.array([0.0, 0.0, 1.0])
        self.v5 = np.array([m, 0.0, 0.0]) if tilt == 0.0 else np.array([m * math.cos(tilt), 0.0, -math.sin(tilt)])
        self.rest2 = np.array([m * math.sin(arc_a), 0.0, math.cos(arc_a)])
        self.rest4 = np.array([m * math.cos(arc_b - tilt), 0.0, math.sin(arc_b - tilt)])

    def elbows(self, theta_a: float, theta_b: float) -> tuple[Vector, Vector]:
        return rotation(self.v1, theta_a) @ self.rest2, rotation(self.v5, theta_b) @ self.rest4

    def pose(self, theta_a: float, theta_b: float) -> tuple[Vector, Vector, Vector, Vector] | None:
        """(v_2, v_3, v_4, R) of a closing pair, R = `fk(arm, θ_A, θ_B)`, v_3 its
        third column; None where the loop does not close."""
        frame, ok = vb.fk(self.arm, theta_a, theta_b)
        if not bool(ok):
            return None
        v2, v4 = self.elbows(theta_a, theta_b)
        rotation_: Vector = np.asarray(frame, dtype=np.float64)
        return v2, rotation_[:, 2].copy(), v4, rotation_

    @cached_property
    def reference(self) -> tuple[float, float]:
        """A closing pair for the model's reference pose: (0, 0) when it closes,
        else the pair of a coarse grid farthest from the closure's edge (largest
        |v_3 . (v_2 x v_4)|, zero where both branches meet)."""
        if self.pose(0.0, 0.0) is not None:
            return 0.0, 0.0
        grid = np.linspace(-math.pi, math.pi, 73)
        theta_a, theta_b = np.meshgrid(grid, grid, indexing="ij")
        frames, ok = vb.fk(self.arm, theta_a, theta_b)
        v2, v4 = turned(self.v1, self.rest2, theta_a), turned(self.v5, self.rest4, theta_b)
        room = np.where(ok, np.abs(np.einsum("...i,...i", frames[..., :, 2], np.cross(v2, v4))), -1.0)
        best = np.unravel_index(int(np.argmax(room)), room.shape)
        if room[best] <= 1e-6:
            raise ValueError(f"the arm's loop closes nowhere: {self.arm!r}")
        return float(theta_a[best]), float(theta_b[best])
