"""An arm's geometry as the model builder reads it, and the axes of its five
joints: what MJCF needs to place the hinges, and the closed pose from which the
solver starts."""

from __future__ import annotations

import json
import math
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

import velmora_torso_batch as vb
import velmora_torso_kinematics as vtk

Vector = NDArray[np.float64]


@dataclass(frozen=True)
class ArmGeometry:
    """One arm's five-bar: the arcs of input link A and B and of coupler A and
    B (radians), the angle between the input axes v_1 and v_5, the mirror flag
    and the closure branch ("positive" or "negative")."""

    arm_arcs: tuple[float, float]
    coupler_arcs: tuple[float, float]
    base_angle: float
    mirror: bool
    branch: str


def arm_geometry(arm: object, name: str = "arm") -> ArmGeometry:
    """The five-bar geometry that the model is built from.

    Parameters
    ----------
    arm : VelmoraArmKinematics or a general five-bar
        A `VelmoraArmKinematics` (its branch read through
        `velmora_torso_batch.arm_json`), or any object with the read-only
        attributes `arm_arcs`, `coupler_arcs`, `base_angle`, `mirror` and `branch`.
    name : str
        The argument named in errors.

    Returns
    -------
    ArmGeometry

    Raises
    ------
    TypeError
        An object of neither kind.
    ValueError
        Arcs that are not pairs of finite numbers, or another branch.
    """
    if isinstance(arm, vtk.VelmoraArmKinematics):
        document = json.loads(vb.arm_json(arm))
        arc, coupler = float(document["arm_arc"]), float(document["coupler_arc"])
        geometry = ArmGeometry((arc, arc), (coupler, coupler), math.pi / 2, bool(document["mirror"]),
                               str(document["branch"]))
    else:
        try:
            arm_arcs, coupler_arcs = arm.arm_arcs, arm.coupler_arcs  # type: ignore[attr-defined]
            base_angle, mirror, branch = arm.base_angle, arm.mirror, arm.branch  # type: ignore[attr-defined]
        except AttributeError:
            raise TypeError(f"'{name}' must be a VelmoraArmKinematics or an arm with arm_arcs, coupler_arcs, "
                            f"base_angle, mirror and branch, not '{type(arm).__name__}'") from None
        try:
            pairs = tuple(tuple(float(value) for value in pair) for pair in (arm_arcs, coupler_arcs))
        except (TypeError, ValueError):
            pairs = ()
        if len(pairs) != 2 or any(len(pair) != 2 for pair in pairs):
            raise ValueError(f"'{name}': arm_arcs and coupler_arcs must be pairs of numbers, "
                             f"not {arm_arcs!r} and {coupler_arcs!r}")
        branch = getattr(branch, "name", branch)
        if branch not in ("positive", "negative"):
            raise ValueError(f"'{name}': branch must be 'positive' or 'negative', not {branch!r}")
        geometry = ArmGeometry((pairs[0][0], pairs[0][1]), (pairs[1][0], pairs[1][1]), float(base_angle),
                               bool(mirror), str(branch))
    numbers = (*geometry.arm_arcs, *geometry.coupler_arcs, geometry.base_angle)
    if not all(math.isfinite(value) for value in numbers):
        raise ValueError(f"'{name}' has a non-finite arc or base angle: {numbers!r}")
    return geometry


def rotation(axis: Vector, angle: float) -> Vector:
    """Rot(axis, angle), right-handed (Rodrigues)."""
    x, y, z = axis
    cross = np.array([[0.0, -z, y], [z, 0.0, -x], [-y, x, 0.0]])
    return math.cos(angle) * np.eye(3) + math.sin(angle) * cross + (1.0 - math.cos(angle)) * np.outer(axis, axis)


Kinematics = Callable[[float, float], "Vector | None"]


def arm_kinematics(arm: object) -> Kinematics | None:
    """The arm's own forward kinematics, (θ_A, θ_B) -> its end-effector rotation or
    None where the loop does not close: the scalar module's `fk` for a
    `VelmoraArmKinematics`, the companion's `fk` for any other arm it takes, and
    None for an arm that neither module knows."""
    if isinstance(arm, vtk.VelmoraArmKinematics):
        def scalar(theta_a: float, theta_b: float) -> Vector | None:
            try:
                return np.array(arm.fk(theta_a, theta_b))
            except RuntimeError:
                return None
        return scalar
    try:
        vb.fk(arm, 0.0, 0.0)  # type: ignore[arg-type]
    except TypeError:
        return None

    def batch(theta_a: float, theta_b: float) -> Vector | None:
        rotation, ok = vb.fk(arm, theta_a, theta_b)  # type: ignore[arg-type]
        return np.asarray(rotation, dtype=np.float64) if bool(ok) else None
    return batch


class ArmAxes:
    """The joint axes of one arm in its body frame: v_1 and v_5 fixed, the elbows
    v_2 and v_4 carried by the inputs, v_3 where the couplers meet. Where the loop
    closes and how the end effector turns come from the arm's own kinematics when
    a module knows the arm (`kinematics`), else from the geometry here."""

    def __init__(self, geometry: ArmGeometry, kinematics: Kinematics | None = None) -> None:
        self.geometry = geometry
        self.kinematics = kinematics
        m = -1.0 if geometry.mirror else 1.0
        self.sign = -1.0 if geometry.branch == "negative" else 1.0
        (arc_a, arc_b), gamma = geometry.arm_arcs, geometry.base_angle
        self.v1 = np.array([0.0, 0.0, 1.0])
        # At a right angle the axes are exact (cos(pi/2) is 6e-17 in doubles).
        right = gamma == math.pi / 2
        self.v5 = np.array([m, 0.0, 0.0]) if right else np.array([m * math.sin(gamma), 0.0, math.cos(gamma)])
        # At rest each elbow lies in the XZ plane, its input's arc from its axis toward the other axis.
        self.rest2 = np.array([m * math.sin(arc_a), 0.0, math.cos(arc_a)])
        self.rest4 = (np.array([m * math.cos(arc_b), 0.0, math.sin(arc_b)]) if right else
                      np.array([m * math.sin(gamma - arc_b), 0.0, math.cos(gamma - arc_b)]))

    def elbows(self, theta_a: float, theta_b: float) -> tuple[Vector, Vector]:
        return rotation(self.v1, theta_a) @ self.rest2, rotation(self.v5, theta_b) @ self.rest4

    def tip(self, v2: Vector, v4: Vector) -> Vector | None:
        """v_3: the point at coupler arc A from v_2 and B from v_4 on the branch's
        side of the great circle through them, or None where the loop cannot close."""
        coupler_a, coupler_b = self.geometry.coupler_arcs
        d = min(1.0, max(-1.0, float(v2 @ v4)))
        t = math.sqrt(1.0 - d * d)
        if t < 1e-12:
            return None
        ca, cb = math.cos(coupler_a), math.cos(coupler_b)
        along = (cb - d * ca) / t
        u = 1.0 - ca * ca - along * along
        if u < 0.0:
            return None
        normal = np.cross(v2, v4) / t
        tip: Vector = ca * v2 + along * np.cross(normal, v2) + self.sign * math.sqrt(u) * normal
        return tip

    def pose(self, theta_a: float, theta_b: float) -> tuple[Vector, Vector, Vector, Vector] | None:
        """(v_2, v_3, v_4, R) of a closing pair, R the end-effector frame [X | Y | v_3]
        with X toward the elbows' bisector; None where the loop does not close."""
        v2, v4 = self.elbows(theta_a, theta_b)
        if self.kinematics is not None:
            rotation = self.kinematics(theta_a, theta_b)
            return None if rotation is None else (v2, rotation[:, 2].copy(), v4, rotation)
        v3 = self.tip(v2, v4)
        if v3 is None:
            return None
        w = v2 + v4
        x = w - (w @ v3) * v3
        x /= np.linalg.norm(x)
        return v2, v3, v4, np.column_stack([x, np.cross(v3, x), v3])

    def reference_pair(self) -> tuple[float, float]:
        """A closing pair for the model's reference pose: (0, 0) when it closes,
        else the pair of a coarse grid whose elbows have the most room."""
        if self.pose(0.0, 0.0) is not None:
            return 0.0, 0.0
        spread = sum(self.geometry.coupler_arcs)
        best, best_pair = -math.inf, None
        for theta_a in np.linspace(-math.pi, math.pi, 73):
            for theta_b in np.linspace(-math.pi, math.pi, 73):
                v2, v4 = self.elbows(float(theta_a), float(theta_b))
                angle = math.acos(min(1.0, max(-1.0, float(v2 @ v4))))
                room = min(spread - angle, angle - abs(self.geometry.coupler_arcs[0] - self.geometry.coupler_arcs[1]))
                if room > best:
                    best, best_pair = room, (float(theta_a), float(theta_b))
        if best_pair is None or best <= 1e-6 or self.pose(*best_pair) is None:
            raise ValueError(f"the arm's loop closes nowhere: {self.geometry}")
        return best_pair

    def check(self) -> None:
        """The model's hinges follow this geometry's elbows; an arm whose own
        kinematics put v_3 elsewhere (another joint convention) would leave every
        loop open, so it is refused here."""
        pose = self.pose(*self.reference_pair())
        assert pose is not None
        v2, v3, v4, _ = pose
        expected = [math.cos(arc) for arc in self.geometry.coupler_arcs]
        if not np.allclose([v2 @ v3, v4 @ v3], expected, rtol=0.0, atol=1e-9):
            raise ValueError(f"the arm's kinematics put v_3 off its coupler arcs from the elbows of this "
                             f"model's joint convention: {self.geometry}")
