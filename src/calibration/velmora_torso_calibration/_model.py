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
"""

from __future__ import annotations

import contextlib
import json
import math
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
from scipy.spatial.transform import Rotation  # type: ignore[import-untyped]

import velmora_torso_batch as vb
from velmora_torso_kinematics import VelmoraArmKinematics

Array = npt.NDArray[np.float64]

GROUPS = {
    "arcs": ("arm_arc", "coupler_arc"),
    "offsets": ("offset_a", "offset_b"),
    "mount": ("mount_x", "mount_y", "mount_z"),
    "tool": ("tool_x", "tool_y", "tool_z"),
}

# Below this rotation angle the closed forms of the SO(3) Jacobians lose
# digits to cancellation; their Taylor series are exact to rounding there.
SMALL_ANGLE = 1e-4


_controller: Any = None  # threadpoolctl's controller, made on first need


@contextlib.contextmanager
def one_blas_thread() -> Iterator[None]:
    """BLAS and LAPACK on the calling thread only, while the block runs.

    The fit's matrices are small (a few thousand rows, ten columns): a
    threaded LAPACK spends more on waking and joining its threads than on the
    work, and on a loaded machine a fit then takes ten times as long. Without
    threadpoolctl (it comes with the calibration extra) the threads stay as they are.
    """
    global _controller
    try:
        from threadpoolctl import ThreadpoolController  # type: ignore[import-untyped,import-not-found,unused-ignore]
    except ImportError:
        yield
        return
    if _controller is None:
        _controller = ThreadpoolController()
    with _controller.limit(limits=1, user_api="blas"):
        yield


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
    ok: npt.NDArray[np.bool_]


def arc_derivatives(arm_arc: float, coupler_arc: float, mirror: bool, theta_a: Array, theta_b: Array,
                    rotation: Array) -> tuple[Array, Array]:
    """d v_3 and the frame's angular velocity, [N, 3, 2], per unit of arm_arc and coupler_arc.

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
    return dv3, omega


def pose(arm_arc: float, coupler_arc: float, branch: str, mirror: bool, theta_a: Array, theta_b: Array) -> Pose:
    arm = make_arm(arm_arc, coupler_arc, branch, mirror)
    rotation, closes = vb.fk(arm, theta_a, theta_b)
    j_omega, j_v, unlocked = vb.jacobian(arm, theta_a, theta_b)
    ok = closes & unlocked
    dv3 = np.full(rotation.shape[:-2] + (3, 4), np.nan)
    omega = np.full_like(dv3, np.nan)
    if ok.any():
        arcs_dv3, arcs_omega = arc_derivatives(arm_arc, coupler_arc, mirror, theta_a[ok], theta_b[ok], rotation[ok])
        dv3[ok] = np.concatenate([arcs_dv3, j_v[ok]], axis=-1)
        omega[ok] = np.concatenate([arcs_omega, j_omega[ok]], axis=-1)
    return Pose(rotation, rotation[..., 2], dv3, omega, ok)


def tangent_bases(directions: Array) -> Array:
    """Two unit vectors orthogonal to each unit direction and to each other, [N, 2, 3]:
    a direction residual is the model's direction seen along them, radians to first order."""
    helper = np.where(np.abs(directions[:, :1]) < 0.9, [[1.0, 0.0, 0.0]], [[0.0, 1.0, 0.0]])
    first = np.cross(directions, helper)
    first /= np.linalg.norm(first, axis=-1, keepdims=True)
    second = np.cross(directions, first)
    return np.stack([first, second], axis=1)


class Model:
    """Residuals and their Jacobian for one data set and one choice of fitted groups.

    Parameters not fitted keep their fixed values: the initial arcs, zero
    offsets, identity mount and tool.
    """

    def __init__(self, theta_a: Array, theta_b: Array, *, directions: Array | None, rotations: Array | None,
                 mirror: bool, branch: str, initial: tuple[float, float], fit: tuple[str, ...]) -> None:
        self.theta_a, self.theta_b = theta_a, theta_b
        self.mirror, self.branch = mirror, branch
        self.kind = "directions" if directions is not None else "rotations"
        if directions is not None:
            self.targets = directions / np.linalg.norm(directions, axis=-1, keepdims=True)
            self.bases = tangent_bases(self.targets)
        else:
            assert rotations is not None
            self.targets = rotations
        self.per_sample = 2 if directions is not None else 3
        self.groups = tuple(group for group in GROUPS if group in fit)
        self.names = tuple(name for group in self.groups for name in GROUPS[group])
        self.initial = np.array(initial, dtype=float)
        self.cache_key: bytes | None = None
        self.cached: tuple[Array, Array, npt.NDArray[np.bool_]] | None = None

    def start(self) -> Array:
        return np.concatenate([self.initial if group == "arcs" else np.zeros(len(GROUPS[group]))
                               for group in self.groups])

    def unpack(self, x: Array) -> dict[str, Array]:
        values = {"arcs": self.initial, "offsets": np.zeros(2), "mount": np.zeros(3), "tool": np.zeros(3)}
        at = 0
        for group in self.groups:
            values[group] = x[at:at + len(GROUPS[group])]
            at += len(GROUPS[group])
        return values

    def evaluate(self, x: Array, samples: npt.NDArray[np.intp] | slice = slice(None)
                 ) -> tuple[Array, Array, npt.NDArray[np.bool_]]:
        """(residuals [n, k], jacobian [n, k, p], ok [n]) of the chosen samples at x;
        NaN rows where the loop does not close."""
        key = x.tobytes() + repr(samples).encode() if isinstance(samples, slice) else x.tobytes() + samples.tobytes()
        if key == self.cache_key and self.cached is not None:
            return self.cached
        values = self.unpack(x)
        arm_arc, coupler_arc = (float(v) for v in values["arcs"])
        offset_a, offset_b = (float(v) for v in values["offsets"])
        theta_a, theta_b = self.theta_a[samples] + offset_a, self.theta_b[samples] + offset_b
        solved = pose(arm_arc, coupler_arc, self.branch, self.mirror, theta_a, theta_b)
        mount = Rotation.from_rotvec(values["mount"]).as_matrix()
        n = theta_a.shape[0]
        columns: list[Array] = []
        if self.kind == "directions":
            bases = self.bases[samples]
            pointing = solved.v3 @ mount.T
            residuals = np.einsum("nkj,nj->nk", bases, pointing)
            # d(mount @ v_3) per arc and joint, then per mount rotation vector: -[u]x J_l.
            moved = np.einsum("ij,njc->nic", mount, solved.dv3)
            turned = -skew(pointing) @ left_jacobian(values["mount"])
            for group in self.groups:
                if group == "arcs":
                    columns.append(moved[..., :2])
                elif group == "offsets":
                    columns.append(moved[..., 2:])
                elif group == "mount":
                    columns.append(turned)
            jacobian = np.einsum("nkj,njp->nkp", bases, np.concatenate(columns, axis=-1)) if columns \
                else np.zeros((n, 2, 0))
        else:
            tool = Rotation.from_rotvec(values["tool"]).as_matrix()
            body = np.einsum("ij,njk->nik", mount, solved.rotation)
            modelled = body @ tool
            error = np.einsum("nij,nkj->nik", modelled, self.targets[samples])
            finite = np.isfinite(error).all(axis=(1, 2))
            residuals = np.full((n, 3), np.nan)
            if finite.any():
                residuals[finite] = Rotation.from_matrix(error[finite]).as_rotvec()
            # Spatial angular velocities of the modelled rotation per parameter,
            # then through J_l(r)^-1 onto the residual's rotation vector.
            spatial: list[Array] = []
            for group in self.groups:
                if group == "arcs":
                    spatial.append(np.einsum("ij,njc->nic", mount, solved.omega[..., :2]))
                elif group == "offsets":
                    spatial.append(np.einsum("ij,njc->nic", mount, solved.omega[..., 2:]))
                elif group == "mount":
                    spatial.append(np.broadcast_to(left_jacobian(values["mount"]), (n, 3, 3)))
                else:
                    spatial.append(body @ left_jacobian(values["tool"]))
            jacobian = inverse_left_jacobian(residuals) @ np.concatenate(spatial, axis=-1)
        ok = solved.ok & np.isfinite(residuals).all(axis=-1)
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
        mount = Rotation.from_rotvec(values["mount"]).as_matrix()
        errors = np.full(theta_a.shape, np.nan)
        if self.kind == "directions":
            pointing = rotation[..., 2] @ mount.T
            errors[ok] = np.arctan2(np.linalg.norm(np.cross(pointing[ok], self.targets[ok]), axis=-1),
                                    dot(pointing[ok], self.targets[ok]))
        else:
            tool = Rotation.from_rotvec(values["tool"]).as_matrix()
            if ok.any():
                error = mount @ rotation[ok] @ tool @ np.swapaxes(self.targets[ok], -1, -2)
                errors[ok] = Rotation.from_matrix(error).magnitude()
        return errors, ok
