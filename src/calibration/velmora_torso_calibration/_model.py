"""The measurement model of an arm and its derivatives, over arrays of samples.

Parameters are grouped: the arm's geometry, either today's two arcs (arm_arc,
coupler_arc, each for both sides) or the four link arcs (arm_arc_a, arm_arc_b,
coupler_arc_a, coupler_arc_b), and the base angle between the input axes;
the joints' offsets and scales (a joint is scale * reading + offset); mount
(the tracker frame's rotation relative to the body frame, as a rotation
vector) and tool (the sensor's rotation on the end effector, as a rotation
vector). A direction sample is explained as mount @ v_3(geometry, joints), a
rotation sample as mount @ fk(geometry, joints) @ tool.

Derivatives are analytic: with respect to the joints and the geometry from the
core (the batch `jacobian` and `geometry_jacobian`); with respect to the
rotations from cross products. This module composes them with the mount, the
tool, the offsets and the scales.

`pose` is the one place that computes the arm. Everything above it (the
groups' columns, the residuals, the fit) reads only its `Pose`.
"""

from __future__ import annotations

import json
import math
from collections.abc import Callable, Mapping
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt
from scipy.spatial.transform import Rotation  # type: ignore[import-untyped]

import velmora_torso_batch as vb
from velmora_torso_kinematics import VelmoraArmKinematics

Array = npt.NDArray[np.float64]

# Below this rotation angle the closed forms of the SO(3) Jacobians lose
# digits to cancellation; their Taylor series are exact to rounding there.
SMALL_ANGLE = 1e-4


def make_arm(arm_arc: float, coupler_arc: float, branch: str, mirror: bool) -> VelmoraArmKinematics:
    """An arm of any branch (the constructor makes only positive ones); json
    writes floats in their shortest round-trip form, so the arcs are exact."""
    return VelmoraArmKinematics.from_json(json.dumps(
        {"arm_arc": float(arm_arc), "coupler_arc": float(coupler_arc), "branch": branch, "mirror": bool(mirror)}))


def skew(v: Array) -> Array:
    """[v]x for v[..., 3]: skew(v) @ w == cross(v, w)."""
    out = np.zeros(v.shape + (3,))
    out[..., 0, 1], out[..., 0, 2] = -v[..., 2], v[..., 1]
    out[..., 1, 0], out[..., 1, 2] = v[..., 2], -v[..., 0]
    out[..., 2, 0], out[..., 2, 1] = -v[..., 1], v[..., 0]
    return out


def left_jacobian(phi: Array) -> Array:
    """J_l(phi): d exp(phi) = [J_l(phi) dphi]x exp(phi)."""
    angle = math.sqrt(float(phi @ phi))
    k = skew(phi)
    if angle < SMALL_ANGLE:
        a, b = 0.5 - angle**2 / 24.0, 1.0 / 6.0 - angle**2 / 120.0
    else:
        a, b = (1.0 - math.cos(angle)) / angle**2, (angle - math.sin(angle)) / angle**3
    return np.eye(3) + a * k + b * (k @ k)


def inverse_left_jacobian(phi: Array) -> Array:
    """J_l(phi)^-1 for phi[..., 3]: the rotation vector of exp(w) exp(phi) is
    phi + J_l(phi)^-1 w to first order."""
    angle = np.linalg.norm(phi, axis=-1)
    small = angle < SMALL_ANGLE
    safe = np.where(small, 1.0, angle)
    c = np.where(small, 1.0 / 12.0 + angle**2 / 720.0,
                 1.0 / safe**2 - (1.0 + np.cos(safe)) / (2.0 * safe * np.sin(safe)))
    k = skew(phi)
    return np.eye(3) - 0.5 * k + c[..., None, None] * (k @ k)


def dot(a: Array, b: Array) -> Array:
    return np.asarray(np.einsum("...i,...i->...", a, b), dtype=float)


Arm = VelmoraArmKinematics | vb.FiveBar


@dataclass
class Pose:
    """Forward kinematics of N joint pairs and the core's derivatives of v_3 and
    of the end-effector frame's angular velocity (body frame) with respect to the
    five geometry parameters and the two joints. `ok` is False where the loop
    does not close or is locked."""

    rotation: Array        # [N, 3, 3]
    v3: Array              # [N, 3]
    geometry_v3: Array     # [N, 3, 5]: columns arm_arcs (A, B), coupler_arcs (A, B), base_angle
    geometry_omega: Array  # [N, 3, 5]
    joint_v3: Array        # [N, 3, 2]: columns theta_a, theta_b
    joint_omega: Array     # [N, 3, 2]
    closure: Array         # [N]: |v_3 . (v_2 x v_4)|, zero where the loop does not close or is locked
    ok: npt.NDArray[np.bool_]


def closure_of(arm: Arm, theta_a: Array, theta_b: Array, ok: npt.NDArray[np.bool_]) -> Array:
    """The core's |v_3 . (v_2 x v_4)| where `ok`, zero elsewhere."""
    return np.where(ok, vb.closure_margin(arm, theta_a, theta_b), 0.0)


def closure(arm: Arm, theta_a: Array, theta_b: Array) -> tuple[Array, npt.NDArray[np.bool_]]:
    """|v_3 . (v_2 x v_4)| and where the loop closes, unlocked."""
    _, _, ok = vb.geometry_jacobian(arm, theta_a, theta_b)
    return closure_of(arm, theta_a, theta_b, ok), ok


def pose(arm: Arm, theta_a: Array, theta_b: Array) -> Pose:
    """The one place that computes the arm: the batch kinematics and derivatives."""
    rotation, closes = vb.fk(arm, theta_a, theta_b)
    j_omega, j_v, unlocked = vb.jacobian(arm, theta_a, theta_b)
    g_v3, g_omega, _ = vb.geometry_jacobian(arm, theta_a, theta_b)
    ok = closes & unlocked
    return Pose(rotation, rotation[..., 2], g_v3, g_omega, j_v, j_omega,
                closure_of(arm, theta_a, theta_b, ok), ok)


def tangent_bases(directions: Array) -> Array:
    """Two unit vectors orthogonal to each unit direction and to each other, [N, 2, 3]:
    a direction residual is the model's direction seen along them, radians to first order."""
    helper = np.where(np.abs(directions[:, :1]) < 0.9, [[1.0, 0.0, 0.0]], [[0.0, 1.0, 0.0]])
    first = np.cross(directions, helper)
    first /= np.linalg.norm(first, axis=-1, keepdims=True)
    second = np.cross(directions, first)
    return np.stack([first, second], axis=1)


@dataclass(frozen=True)
class Evaluation:
    """What every group's columns share at one estimate."""

    solved: Pose
    readings: tuple[Array, Array]  # the samples' joint readings (theta_a, theta_b)
    values: Mapping[str, Array]
    mount: Array     # [3, 3]
    pointing: Array  # [n, 3]: mount @ v_3, the modelled direction in the tracker's frame
    body: Array      # [n, 3, 3]: mount @ fk


# How the arm moves per unit of a group's parameters: (dv_3 [n, 3, k], the
# frame's angular velocity [n, 3, k]), body frame, from the pose and the readings.
Moves = Callable[[Pose, tuple[Array, Array]], tuple[Array, Array]]


@dataclass(frozen=True)
class Group:
    """One group of fitted parameters: its names, the value it has when neither
    fitted nor given, how it moves the arm in the body frame (None for the
    tracker's and sensor's rotations, which do not), and its columns of the
    model's derivative at an evaluation: of the modelled direction ([n, 3, k];
    None where directions cannot determine it) and of the modelled rotation's
    spatial angular velocity ([n, 3, k])."""

    names: tuple[str, ...]
    default: tuple[float, ...]
    rotation: bool  # given as a rotation (vector or matrix), fitted as a rotation vector
    moves: Moves | None
    pointing: Callable[[Evaluation], Array] | None
    spin: Callable[[Evaluation], Array]


def _geometry(columns: Array) -> Moves:
    """A geometry group: its parameters map onto the core's five (arm_arcs,
    coupler_arcs, base_angle) by `columns` [5, k]."""
    return lambda solved, readings: (solved.geometry_v3 @ columns, solved.geometry_omega @ columns)


def _offsets(solved: Pose, readings: tuple[Array, Array]) -> tuple[Array, Array]:
    return solved.joint_v3, solved.joint_omega


def _scales(solved: Pose, readings: tuple[Array, Array]) -> tuple[Array, Array]:
    """joint = scale * reading + offset: a scale moves its joint by the reading."""
    per_joint = np.stack(readings, axis=-1)[:, None, :]
    return solved.joint_v3 * per_joint, solved.joint_omega * per_joint


def _arm_group(names: tuple[str, ...], default: tuple[float, ...], moves: Moves) -> Group:
    """A group that moves the arm, seen through the tracker's mount."""
    def pointing(e: Evaluation) -> Array:
        return np.asarray(np.einsum("ij,njc->nic", e.mount, moves(e.solved, e.readings)[0]), dtype=float)

    def spin(e: Evaluation) -> Array:
        return np.asarray(np.einsum("ij,njc->nic", e.mount, moves(e.solved, e.readings)[1]), dtype=float)

    return Group(names, default, False, moves, pointing, spin)


RIGHT_ANGLE = 1.5707963267948966  # the double nearest pi/2: today's arm's base angle, v_5 exactly on x
# "arcs" ties each pair of the four arcs to one value: (arm_arc, coupler_arc) -> (a, a, c, c).
PAIRED = np.array([[1.0, 0.0], [1.0, 0.0], [0.0, 1.0], [0.0, 1.0], [0.0, 0.0]])

# The fitted groups, in the order of the parameter vector; a reading's offset
# moves the model as its joint does, its scale as the joint times the reading.
# A new group is one row here (and, for geometry, its place in `five_bar`).
GROUPS: dict[str, Group] = {
    "arcs": _arm_group(("arm_arc", "coupler_arc"), (0.7, 0.5), _geometry(PAIRED)),
    "link_arcs": _arm_group(("arm_arc_a", "arm_arc_b", "coupler_arc_a", "coupler_arc_b"), (0.7, 0.7, 0.5, 0.5),
                            _geometry(np.eye(5)[:, :4])),
    "base_angle": _arm_group(("base_angle",), (RIGHT_ANGLE,), _geometry(np.eye(5)[:, 4:])),
    "offsets": _arm_group(("offset_a", "offset_b"), (0.0, 0.0), _offsets),
    "scales": _arm_group(("scale_a", "scale_b"), (1.0, 1.0), _scales),
    # d(mount @ v_3) per mount rotation vector: -[u]x J_l(mount); the rotation turns by J_l(mount).
    "mount": Group(("mount_x", "mount_y", "mount_z"), (0.0, 0.0, 0.0), True, None,
                   lambda e: -skew(e.pointing) @ left_jacobian(e.values["mount"]),
                   lambda e: np.broadcast_to(left_jacobian(e.values["mount"]), (e.pointing.shape[0], 3, 3))),
    "tool": Group(("tool_x", "tool_y", "tool_z"), (0.0, 0.0, 0.0), True, None, None,
                  lambda e: e.body @ left_jacobian(e.values["tool"])),
}
# The groups beyond today's model of equal arcs and a right angle: fitted or
# given, they make the fitted arm a FiveBar.
GENERAL = ("link_arcs", "base_angle")


def rotation_matrix(rotation_vector: Array) -> Array:
    return np.asarray(Rotation.from_rotvec(rotation_vector).as_matrix(), dtype=float)


def known_values(arm: Arm) -> dict[str, Array]:
    """An arm's geometry as group values: "arcs" for one of today's arms, the
    four "link_arcs" and the "base_angle" for a general one."""
    if isinstance(arm, VelmoraArmKinematics):
        return {"arcs": np.array([arm.arm_arc(), arm.coupler_arc()])}
    return {"link_arcs": np.array(arm.arm_arcs + arm.coupler_arcs), "base_angle": np.array([arm.base_angle])}


def arm_of(values: Mapping[str, Array], general: bool, four: bool, branch: str, mirror: bool) -> Arm:
    """The arm of the group values: a FiveBar with the base angle when `general`,
    else one of today's arms; its arcs the four link arcs when `four`, else the
    two arcs, each for both sides."""
    if not general:
        return make_arm(float(values["arcs"][0]), float(values["arcs"][1]), branch, mirror)
    a_a, a_b, c_a, c_b = (float(v) for v in (values["link_arcs"] if four else np.repeat(values["arcs"], 2)))
    return vb.FiveBar((a_a, a_b), (c_a, c_b), float(values["base_angle"][0]), mirror=mirror, branch=branch)


def joints(values: Mapping[str, Array], theta_a: Array, theta_b: Array) -> tuple[Array, Array]:
    """The model's joints of readings: scale * reading + offset (a unit scale
    leaves the reading's bits as they are)."""
    (scale_a, scale_b), (offset_a, offset_b) = (float(v) for v in values["scales"]), \
        (float(v) for v in values["offsets"])
    return scale_a * theta_a + offset_a, scale_b * theta_b + offset_b


class Model:
    """Residuals and their Jacobian for one data set and one choice of fitted groups.

    `initial` holds the given groups' values (mount and tool as rotation
    vectors); the groups not fitted keep theirs, or their defaults. The four
    link arcs start from the two arcs' values when not given. Residual rows are
    divided by each sample's `sigma`, so that the solver and the covariance see
    unit noise.
    """

    def __init__(self, theta_a: Array, theta_b: Array, *, directions: Array | None, rotations: Array | None,
                 mirror: bool, branch: str, initial: Mapping[str, Array], fit: tuple[str, ...],
                 sigma: Array | None = None) -> None:
        self.theta_a, self.theta_b = theta_a, theta_b
        self.mirror, self.branch = mirror, branch
        self.kind = "directions" if directions is not None else "rotations"
        if directions is not None:
            # Scaled before the norm, so that no length overflows or underflows.
            scaled = directions / np.abs(directions).max(axis=-1, keepdims=True)
            self.targets = scaled / np.linalg.norm(scaled, axis=-1, keepdims=True)
            self.bases = tangent_bases(self.targets)
        else:
            assert rotations is not None
            self.targets = rotations
        self.per_sample = 2 if directions is not None else 3
        self.sigma = np.ones(theta_a.shape) if sigma is None else sigma
        self.groups = tuple(group for group in GROUPS if group in fit)
        self.names = tuple(name for group in self.groups for name in GROUPS[group].names)
        self.initial = {group: np.array(initial.get(group, GROUPS[group].default), dtype=float) for group in GROUPS}
        if "link_arcs" not in initial:
            self.initial["link_arcs"] = np.repeat(self.initial["arcs"], 2)
        self.four = "link_arcs" in fit or "link_arcs" in initial
        self.general = any(group in fit or group in initial for group in GENERAL)
        self.cache_key: bytes | None = None
        self.cached: tuple[Array, Array, npt.NDArray[np.bool_]] | None = None

    def start(self) -> Array:
        return np.array([value for group in self.groups for value in self.initial[group]], dtype=float)

    def unpack(self, x: Array) -> dict[str, Array]:
        values = dict(self.initial)
        at = 0
        for group in self.groups:
            values[group] = x[at:at + len(GROUPS[group].names)]
            at += len(GROUPS[group].names)
        return values

    def arm(self, values: Mapping[str, Array]) -> Arm:
        return arm_of(values, self.general, self.four, self.branch, self.mirror)

    def solve_pose(self, values: Mapping[str, Array], samples: npt.NDArray[np.intp] | slice) -> Pose:
        return pose(self.arm(values), *joints(values, self.theta_a[samples], self.theta_b[samples]))

    def evaluate(self, x: Array, samples: npt.NDArray[np.intp] | slice = slice(None)
                 ) -> tuple[Array, Array, npt.NDArray[np.bool_]]:
        """(residuals [n, k], jacobian [n, k, p], ok [n]) of the chosen samples at x,
        divided by their sigma; NaN rows where the loop does not close."""
        key = x.tobytes() + repr(samples).encode() if isinstance(samples, slice) else x.tobytes() + samples.tobytes()
        if key == self.cache_key and self.cached is not None:
            return self.cached
        values = self.unpack(x)
        solved = self.solve_pose(values, samples)
        mount = rotation_matrix(values["mount"])
        n = solved.v3.shape[0]
        body = np.einsum("ij,njk->nik", mount, solved.rotation)
        frame = Evaluation(solved, (self.theta_a[samples], self.theta_b[samples]), values, mount,
                           solved.v3 @ mount.T, body)
        if self.kind == "directions":
            bases = self.bases[samples]
            residuals = np.einsum("nkj,nj->nk", bases, frame.pointing)
            columns = [GROUPS[group].pointing(frame) for group in self.groups]  # type: ignore[misc]
            jacobian = np.einsum("nkj,njp->nkp", bases, np.concatenate(columns, axis=-1)) if columns \
                else np.zeros((n, 2, 0))
        else:
            modelled = body @ rotation_matrix(values["tool"])
            error = np.einsum("nij,nkj->nik", modelled, self.targets[samples])
            finite = np.isfinite(error).all(axis=(1, 2))
            residuals = np.full((n, 3), np.nan)
            if finite.any():
                residuals[finite] = Rotation.from_matrix(error[finite]).as_rotvec()
            # Spatial angular velocities of the modelled rotation per parameter,
            # then through J_l(r)^-1 onto the residual's rotation vector.
            spin = np.concatenate([GROUPS[group].spin(frame) for group in self.groups], axis=-1) \
                if self.groups else np.zeros((n, 3, 0))
            jacobian = inverse_left_jacobian(residuals) @ spin
        ok = solved.ok & np.isfinite(residuals).all(axis=-1)
        weight = 1.0 / self.sigma[samples]
        residuals = residuals * weight[:, None]
        jacobian = jacobian * weight[:, None, None]
        residuals[~ok] = np.nan
        jacobian[~ok] = np.nan
        self.cache_key, self.cached = key, (residuals, jacobian, ok)
        return residuals, jacobian, ok

    def sample_errors(self, x: Array) -> tuple[Array, npt.NDArray[np.bool_]]:
        """Each sample's error in radians (the angle between the measured and the
        modelled direction or rotation; NaN where the loop does not close) and where it closes."""
        values = self.unpack(x)
        arm = self.arm(values)
        theta_a, theta_b = joints(values, self.theta_a, self.theta_b)
        rotation, closes = vb.fk(arm, theta_a, theta_b)
        _, _, unlocked = vb.jacobian(arm, theta_a, theta_b)
        ok = closes & unlocked
        mount = rotation_matrix(values["mount"])
        errors = np.full(theta_a.shape, np.nan)
        if self.kind == "directions":
            pointing = rotation[..., 2] @ mount.T
            errors[ok] = np.arctan2(np.linalg.norm(np.cross(pointing[ok], self.targets[ok]), axis=-1),
                                    dot(pointing[ok], self.targets[ok]))
        elif ok.any():
            error = mount @ rotation[ok] @ rotation_matrix(values["tool"]) @ np.swapaxes(self.targets[ok], -1, -2)
            errors[ok] = Rotation.from_matrix(error).magnitude()
        return errors, ok

    def closure(self, x: Array) -> Array:
        """|v_3 . (v_2 x v_4)| per sample at x (zero where the loop does not close)."""
        return self.solve_pose(self.unpack(x), slice(None)).closure
