"""The measurement model of an arm and its derivatives, over arrays of samples.

Parameters are grouped: arcs (arm_arc, coupler_arc), offsets (offset_a,
offset_b, added to the joint readings), mount (the tracker frame's rotation
relative to the body frame, as a rotation vector) and tool (the sensor's
rotation on the end effector, as a rotation vector). A direction sample is
explained as mount @ v_3(arcs, joints), a rotation sample as
mount @ fk(arcs, joints) @ tool.

Derivatives are analytic: with respect to the joints from the batch velocity
kinematics; with respect to the arcs by differentiating the loop's closure
conditions v_3 . v_2 = v_3 . v_4 = cos(coupler_arc), |v_3| = 1; with respect to
the rotations from cross products.

`pose` is the one place that computes the arm: the batch kinematics, and the
NumPy elbows, closure and arc derivatives beside them (`elbows`,
`arc_derivatives`). Everything above it (the groups' columns, the residuals,
the fit) reads only its `Pose`.
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


def elbows(arm_arc: float, mirror: bool, theta_a: Array, theta_b: Array) -> tuple[Array, Array, Array, Array]:
    """v_2, v_4 and their derivatives with respect to arm_arc, each [N, 3]."""
    m = -1.0 if mirror else 1.0
    sa, ca = math.sin(arm_arc), math.cos(arm_arc)
    cos_a, sin_a, cos_b, sin_b = np.cos(theta_a), np.sin(theta_a), np.cos(theta_b), np.sin(theta_b)
    ones = np.ones_like(theta_a)
    v2 = np.stack([m * sa * cos_a, m * sa * sin_a, ca * ones], axis=-1)
    v4 = np.stack([m * ca * ones, -m * sa * sin_b, sa * cos_b], axis=-1)
    dv2 = np.stack([m * ca * cos_a, m * ca * sin_a, -sa * ones], axis=-1)
    dv4 = np.stack([-m * sa * ones, -m * ca * sin_b, ca * cos_b], axis=-1)
    return v2, v4, dv2, dv4


def dot(a: Array, b: Array) -> Array:
    return np.asarray(np.einsum("...i,...i->...", a, b), dtype=float)


@dataclass
class Pose:
    """Forward kinematics of N joint pairs and the derivatives of v_3 and of
    the end-effector frame with respect to (arm_arc, coupler_arc, theta_a,
    theta_b). `ok` is False where the loop does not close or is locked."""

    rotation: Array  # [N, 3, 3]
    v3: Array        # [N, 3]
    dv3: Array       # [N, 3, 4]: columns d/d arm_arc, coupler_arc, theta_a, theta_b
    omega: Array     # [N, 3, 4]: the frame's angular velocity per unit of each
    closure: Array   # [N]: |v_3 . (v_2 x v_4)|, zero at the locked edge
    ok: npt.NDArray[np.bool_]


def arc_derivatives(arm_arc: float, coupler_arc: float, mirror: bool, theta_a: Array, theta_b: Array,
                    rotation: Array) -> tuple[Array, Array, Array]:
    """d v_3 and the frame's angular velocity, [N, 3, 2], per unit of arm_arc and
    coupler_arc, and the closure |v_3 . (v_2 x v_4)| [N].

    Differentiating v_3 . v_2 = cos(beta), v_3 . v_4 = cos(beta), v_3 . v_3 = 1
    gives the linear system [v_2; v_4; v_3] dv_3 = rhs, whose inverse has the
    columns (v_4 x v_3, v_3 x v_2, v_2 x v_4) / closure, closure = v_3 . (v_2 x v_4)
    (so dv_3 grows without bound at the locked edge, as the joints' J_v does).
    The frame's X is the elbows' bisector w = v_2 + v_4 made orthogonal to v_3,
    so its turn about v_3 is dX . Y = (dw . Y / |w| - (w^ . v_3) dv_3 . Y) / q,
    q = |w^ - (w^ . v_3) v_3|, and the whole angular velocity is
    v_3 x dv_3 + (dX . Y) v_3.
    """
    v2, v4, dv2, dv4 = elbows(arm_arc, mirror, theta_a, theta_b)
    y_axis, v3 = rotation[..., 1], rotation[..., 2]
    closure = dot(v3, np.cross(v2, v4))
    first, second = np.cross(v4, v3), np.cross(v3, v2)
    minus_sin = -math.sin(coupler_arc)
    # rhs rows 0 and 1 (row 2 is zero): arm_arc moves the elbows, coupler_arc the cosines.
    rhs_arm = (-dot(v3, dv2), -dot(v3, dv4))
    dv3_arm = (rhs_arm[0][:, None] * first + rhs_arm[1][:, None] * second) / closure[:, None]
    dv3_coupler = minus_sin * (first + second) / closure[:, None]
    w = v2 + v4
    w_norm = np.linalg.norm(w, axis=-1)
    p = dot(w, v3) / w_norm
    q = np.linalg.norm(w / w_norm[:, None] - p[:, None] * v3, axis=-1)
    dv3 = np.stack([dv3_arm, dv3_coupler], axis=-1)
    dw = np.stack([dv2 + dv4, np.zeros_like(w)], axis=-1)
    turn = (np.einsum("ni,nik->nk", y_axis, dw) / w_norm[:, None]
            - p[:, None] * np.einsum("ni,nik->nk", y_axis, dv3)) / q[:, None]
    omega = np.cross(v3[:, :, None], dv3, axisa=1, axisb=1, axisc=1) + v3[:, :, None] * turn[:, None, :]
    return dv3, omega, np.abs(closure)


def pose(arm_arc: float, coupler_arc: float, branch: str, mirror: bool, theta_a: Array, theta_b: Array) -> Pose:
    arm = make_arm(arm_arc, coupler_arc, branch, mirror)
    rotation, closes = vb.fk(arm, theta_a, theta_b)
    j_omega, j_v, unlocked = vb.jacobian(arm, theta_a, theta_b)
    ok = closes & unlocked
    dv3 = np.full(rotation.shape[:-2] + (3, 4), np.nan)
    omega = np.full_like(dv3, np.nan)
    closure = np.zeros(rotation.shape[:-2])
    if ok.any():
        arcs_dv3, arcs_omega, closure[ok] = arc_derivatives(arm_arc, coupler_arc, mirror, theta_a[ok], theta_b[ok],
                                                            rotation[ok])
        dv3[ok] = np.concatenate([arcs_dv3, j_v[ok]], axis=-1)
        omega[ok] = np.concatenate([arcs_omega, j_omega[ok]], axis=-1)
    return Pose(rotation, rotation[..., 2], dv3, omega, closure, ok)


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
    values: Mapping[str, Array]
    mount: Array     # [3, 3]
    pointing: Array  # [n, 3]: mount @ v_3, the modelled direction in the tracker's frame
    body: Array      # [n, 3, 3]: mount @ fk


@dataclass(frozen=True)
class Group:
    """One group of fitted parameters: its names, the value it has when neither
    fitted nor given, which columns of the pose's derivatives it moves (the
    body-frame v_3 and the frame's spin; None for the tracker's and sensor's
    rotations, which do not move the arm), and its columns of the model's
    derivative at an evaluation: of the modelled direction ([n, 3, k]; None
    where directions cannot determine it) and of the modelled rotation's
    spatial angular velocity ([n, 3, k])."""

    names: tuple[str, ...]
    default: tuple[float, ...]
    rotation: bool  # given as a rotation (vector or matrix), fitted as a rotation vector
    pose_columns: slice | None
    pointing: Callable[[Evaluation], Array] | None
    spin: Callable[[Evaluation], Array]


def _through_mount(columns: slice) -> Callable[[Evaluation], Array]:
    """Pose derivatives (arcs or joints) seen in the tracker's frame."""
    return lambda e: np.asarray(np.einsum("ij,njc->nic", e.mount, e.solved.dv3[..., columns]), dtype=float)


def _spin_through_mount(columns: slice) -> Callable[[Evaluation], Array]:
    return lambda e: np.asarray(np.einsum("ij,njc->nic", e.mount, e.solved.omega[..., columns]), dtype=float)


ARCS, JOINTS = slice(0, 2), slice(2, 4)  # the pose's derivative columns: (arm_arc, coupler_arc, theta_a, theta_b)

# The fitted groups, in the order of the parameter vector; a reading's offset
# moves the model as its joint does. A new group is one row here.
GROUPS: dict[str, Group] = {
    "arcs": Group(("arm_arc", "coupler_arc"), (0.7, 0.5), False, ARCS, _through_mount(ARCS),
                  _spin_through_mount(ARCS)),
    "offsets": Group(("offset_a", "offset_b"), (0.0, 0.0), False, JOINTS, _through_mount(JOINTS),
                     _spin_through_mount(JOINTS)),
    # d(mount @ v_3) per mount rotation vector: -[u]x J_l(mount); the rotation turns by J_l(mount).
    "mount": Group(("mount_x", "mount_y", "mount_z"), (0.0, 0.0, 0.0), True, None,
                   lambda e: -skew(e.pointing) @ left_jacobian(e.values["mount"]),
                   lambda e: np.broadcast_to(left_jacobian(e.values["mount"]), (e.pointing.shape[0], 3, 3))),
    "tool": Group(("tool_x", "tool_y", "tool_z"), (0.0, 0.0, 0.0), True, None, None,
                  lambda e: e.body @ left_jacobian(e.values["tool"])),
}


def rotation_matrix(rotation_vector: Array) -> Array:
    return np.asarray(Rotation.from_rotvec(rotation_vector).as_matrix(), dtype=float)


class Model:
    """Residuals and their Jacobian for one data set and one choice of fitted groups.

    `initial` holds every group's value (mount and tool as rotation vectors);
    the groups not fitted keep theirs. Residual rows are divided by each
    sample's `sigma`, so that the solver and the covariance see unit noise.
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

    def solve_pose(self, values: Mapping[str, Array], samples: npt.NDArray[np.intp] | slice) -> Pose:
        arm_arc, coupler_arc = (float(v) for v in values["arcs"])
        offset_a, offset_b = (float(v) for v in values["offsets"])
        return pose(arm_arc, coupler_arc, self.branch, self.mirror, self.theta_a[samples] + offset_a,
                    self.theta_b[samples] + offset_b)

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
        frame = Evaluation(solved, values, mount, solved.v3 @ mount.T, body)
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
            spin = np.concatenate([GROUPS[group].spin(frame) for group in self.groups], axis=-1)
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
        arm_arc, coupler_arc = (float(v) for v in values["arcs"])
        offset_a, offset_b = (float(v) for v in values["offsets"])
        arm = make_arm(arm_arc, coupler_arc, self.branch, self.mirror)
        theta_a, theta_b = self.theta_a + offset_a, self.theta_b + offset_b
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
