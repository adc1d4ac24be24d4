"""fit_arm: the least-squares fit of an arm's model to its measurements, and its report."""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass, field

import numpy as np
import numpy.typing as npt
from scipy.optimize import least_squares  # type: ignore[import-untyped]

import velmora_torso_batch as vb
from velmora_torso_kinematics import VelmoraArmKinematics

from ._model import GROUPS, Array, Model, make_arm, one_blas_thread

LOSSES = ("linear", "soft_l1", "huber", "cauchy", "arctan")

# A measured rotation may be off orthonormal by this much (largest element of
# R^T R - I): a tracker's rounding, not a wrong kind of matrix.
ROTATION_TOLERANCE = 1e-6
# A direction shorter than this has no direction (the core's own limit).
SHORTEST_DIRECTION = 1e-12
# A combination of parameters whose singular value in the column-scaled
# Jacobian is below this fraction of the largest is taken as undetermined.
# Exact degeneracies (one pose repeated) come out near 1e-16; fits that
# converge onto a degenerate set (directions all at theta_A = 0) near 1e-8,
# the square root of rounding, as the residuals are flat to second order
# there; and poses merely close to such a set below about 1e-3, where the
# residuals are still so flat along the combination that its linearised error
# understates the real one several times (5 standard errors were seen). Poses
# spread over the workspace give about 0.1, a line far from degenerate
# (theta_A = theta_B) about 0.02.
UNDETERMINED = 1e-3
# A determined combination whose standard error exceeds this many radians
# (more than an arm's tolerances) gets a warning, though its error stays finite.
WEAK_ERROR = 0.05
# A parameter that takes part in an undetermined combination with at least
# this weight (unit combination, scaled columns) gets no finite error: the
# data say nothing about how far the fit moved it along that combination (up
# to a tenth of a radian, which moves a parameter of this weight by 1e-4 rad,
# a typical standard error).
TAKES_PART = 1e-3
# Weights below this fraction of the largest are left out of a warning's text.
SHOWN_WEIGHT = 0.01
# Robust fits flag a sample when its error exceeds this many standard
# deviations, the deviation estimated from the median error (about 4e-6 of
# normal samples go beyond it).
OUTLIER_SIGMAS = 5.0
# Errors below this never count as outliers: noise-free data fit to rounding,
# where five times the median error is rounding too.
OUTLIER_FLOOR = 1e-6
# The median of a residual's norm in units of its per-component deviation, for
# 2 (directions) and 3 (rotations) components: the medians of the chi
# distributions, sqrt(2 ln 2) and 1.5382.
MEDIAN_NORM = {2: math.sqrt(2.0 * math.log(2.0)), 3: 1.5381722544550522}
# Rounds of fitting while samples that did not close start closing.
CLOSURE_ROUNDS = 4


@dataclass(frozen=True, eq=False)
class ArmFit:
    """The fitted arm and how well the data determine it. See fit_arm."""

    arm: VelmoraArmKinematics
    geometry_json: str
    offsets: tuple[float, float]
    mount: Array | None
    tool: Array | None
    residuals: Array
    rms: float
    parameter_names: tuple[str, ...]
    parameters: Array
    covariance: Array
    std_errors: Array
    outliers: npt.NDArray[np.bool_]
    closed: npt.NDArray[np.bool_]
    warnings: list[str] = field(default_factory=list)

    def apply(self, theta_a: npt.ArrayLike, theta_b: npt.ArrayLike) -> tuple[Array, Array]:
        """The model's joints for raw joint readings: the readings plus the fitted offsets."""
        return (np.asarray(theta_a, dtype=float) + self.offsets[0],
                np.asarray(theta_b, dtype=float) + self.offsets[1])


def _fail(message: str) -> ValueError:
    return ValueError(f"fit_arm(): {message}")


def _finite(name: str, values: Array) -> None:
    bad = ~np.isfinite(values.reshape(values.shape[0], -1)).all(axis=1)
    if bad.any():
        raise _fail(f"'{name}' holds a non-finite value (sample {int(np.argmax(bad))})")


def _readings(name: str, value: npt.ArrayLike) -> Array:
    array = np.asarray(value, dtype=float)
    if array.ndim != 1:
        raise _fail(f"'{name}' must be a 1-D array of joint readings, not shape {array.shape}")
    _finite(name, array)
    return array


def _measurements(name: str, value: npt.ArrayLike, count: int) -> Array:
    array = np.asarray(value, dtype=float)
    tail = (3,) if name == "directions" else (3, 3)
    if array.shape != (count,) + tail:
        raise _fail(f"'{name}' must have shape {(count,) + tail} (one per joint reading), not {array.shape}")
    _finite(name, array)
    if name == "directions":
        short = ~(np.linalg.norm(array, axis=-1) >= SHORTEST_DIRECTION)
        if short.any():
            raise _fail(f"'directions' holds a zero direction (sample {int(np.argmax(short))})")
    else:
        gram = np.einsum("nji,njk->nik", array, array) - np.eye(3)
        bad = ~((np.abs(gram).max(axis=(1, 2)) <= ROTATION_TOLERANCE) & (np.linalg.det(array) > 0.0))
        if bad.any():
            raise _fail(f"'rotations' holds a matrix that is not a rotation within {ROTATION_TOLERANCE:g} "
                        f"(sample {int(np.argmax(bad))})")
    return array


def _groups(fit: str | Sequence[str], rotations_given: bool) -> tuple[str, ...]:
    groups = (fit,) if isinstance(fit, str) else tuple(fit)
    for group in groups:
        if group not in GROUPS:
            raise _fail(f"'fit' names an unknown group {group!r}: choose from 'arcs', 'offsets', 'mount', 'tool'")
    if not groups or len(set(groups)) != len(groups):
        raise _fail(f"'fit' must name each group to fit once, not {fit!r}")
    if "tool" in groups and not rotations_given:
        raise _fail("'fit' includes 'tool', which only 'rotations' can determine")
    return groups


def _describe(weights: Array, names: tuple[str, ...]) -> str:
    """A combination as text, largest weight 1: 'offset_a - 0.98*mount_z'."""
    weights = weights / weights[np.argmax(np.abs(weights))]
    terms = []
    for weight, name in zip(weights, names):
        if abs(weight) < SHOWN_WEIGHT:
            continue
        size = "" if abs(abs(weight) - 1.0) < 5e-3 else f"{abs(weight):.2g}*"
        sign = "-" if weight < 0 else "+"
        terms.append(f"{sign} {size}{name}")
    text = " ".join(terms)
    return text[2:] if text.startswith("+ ") else "-" + text[2:]


def _uncertainty(jacobian: Array, residuals: Array, names: tuple[str, ...]) -> tuple[Array, Array, list[str]]:
    """Covariance scaled by the residual variance, standard errors, and warnings
    for the combinations the data leave undetermined (whose parameters get an
    infinite standard error and NaN covariances)."""
    count = len(names)
    scale = np.linalg.norm(jacobian, axis=0)
    scale[scale == 0.0] = 1.0
    _, singular, vt = np.linalg.svd(jacobian / scale, full_matrices=False)
    largest = singular[0] if singular.size and singular[0] > 0.0 else 1.0
    relative = singular / largest
    determined = relative >= UNDETERMINED
    rank = int(determined.sum())
    dof = residuals.size - rank
    variance = float(residuals @ residuals) / dof if dof > 0 else math.nan
    kept = vt[determined] / singular[determined, None]
    covariance = variance * (kept.T @ kept) / np.outer(scale, scale)
    warnings = []
    undetermined = np.zeros(count, dtype=bool)
    for k in np.flatnonzero(~determined):
        undetermined |= np.abs(vt[k]) >= TAKES_PART
        warnings.append(f"The data do not determine {_describe(vt[k] / scale, names)}: the residuals do not "
                        f"change along it (relative singular value {relative[k]:.1e} of the scaled Jacobian), "
                        f"so its parameters get an infinite standard error.")
    for k in np.flatnonzero(determined)[::-1]:  # the weakest first
        combination = vt[k] / scale
        combination /= np.linalg.norm(combination)
        error = math.sqrt(max(float(combination @ covariance @ combination), 0.0))
        if error > WEAK_ERROR:
            warnings.append(f"The data determine {_describe(combination, names)} only weakly: its standard error "
                            f"is {error:.2g} rad; poses spread over more of the workspace determine it better.")
    covariance[undetermined, :] = np.nan
    covariance[:, undetermined] = np.nan
    covariance[undetermined, undetermined] = np.inf
    std_errors = np.sqrt(np.diag(covariance))
    return covariance, std_errors, warnings


def _solve(model: Model, x0: Array, samples: npt.NDArray[np.intp], loss: str, f_scale: float) -> Array:
    count = len(model.names)

    # Copies: a robust loss rescales the solver's residuals and Jacobian in
    # place, and the model keeps its last evaluation for the next call.
    def residuals(x: Array) -> Array:
        return model.evaluate(x, samples)[0].ravel().copy()

    def jacobian(x: Array) -> Array:
        return model.evaluate(x, samples)[1].reshape(-1, count).copy()

    # Tight tolerances: noise-free data must come back to rounding. Steps into
    # poses where the loop does not close give NaN residuals, which the trust
    # region method rejects by shrinking its radius.
    solution = least_squares(residuals, x0, jac=jacobian, method="trf", loss=loss, f_scale=f_scale,
                             x_scale="jac", ftol=1e-14, xtol=1e-14, gtol=1e-14, max_nfev=200)
    return np.asarray(solution.x, dtype=float)


def fit_arm(theta_a: npt.ArrayLike, theta_b: npt.ArrayLike, *, directions: npt.ArrayLike | None = None,
            rotations: npt.ArrayLike | None = None, mirror: bool = False, branch: str = "positive",
            initial: tuple[float, float] = (0.7, 0.5), fit: Sequence[str] = ("arcs", "offsets", "mount"),
            loss: str = "linear", f_scale: float = 0.01) -> ArmFit:
    """Fits arcs, joint offsets, mount and tool to measured directions or rotations."""
    readings_a, readings_b = _readings("theta_a", theta_a), _readings("theta_b", theta_b)
    count = readings_a.shape[0]
    if readings_b.shape[0] != count:
        raise _fail(f"'theta_b' has {readings_b.shape[0]} samples, 'theta_a' {count}")
    if (directions is None) == (rotations is None):
        raise _fail("give exactly one of 'directions' and 'rotations'")
    measured_directions = None if directions is None else _measurements("directions", directions, count)
    measured_rotations = None if rotations is None else _measurements("rotations", rotations, count)
    if not isinstance(mirror, (bool, np.bool_)):
        raise _fail(f"'mirror' must be True or False, not {mirror!r}")
    if branch not in ("positive", "negative"):
        raise _fail(f"'branch' must be 'positive' or 'negative', not {branch!r}")
    try:
        start_arcs = np.asarray(initial, dtype=float)
    except (TypeError, ValueError):
        start_arcs = np.array([math.nan])
    if start_arcs.shape != (2,) or not np.isfinite(start_arcs).all():
        raise _fail(f"'initial' must be two finite arcs (arm_arc, coupler_arc), not {initial!r}")
    groups = _groups(fit, measured_rotations is not None)
    if loss not in LOSSES:
        raise _fail(f"'loss' must be one of {', '.join(map(repr, LOSSES))}, not {loss!r}")
    if isinstance(f_scale, bool) or not isinstance(f_scale, (int, float, np.floating, np.integer)) \
            or not (0.0 < float(f_scale) < math.inf):
        raise _fail(f"'f_scale' must be a positive finite number, not {f_scale!r}")
    model = Model(readings_a, readings_b, directions=measured_directions, rotations=measured_rotations,
                  mirror=bool(mirror), branch=branch, initial=(float(start_arcs[0]), float(start_arcs[1])),
                  fit=groups)
    parameters = len(model.names)
    if count < parameters:
        raise _fail(f"'theta_a' has {count} samples, fewer than the {parameters} parameters to fit")
    with one_blas_thread():
        return _fit(model, count, groups, loss, float(f_scale))


def _fit(model: Model, count: int, groups: tuple[str, ...], loss: str, f_scale: float) -> ArmFit:
    parameters = len(model.names)
    branch, mirror = model.branch, model.mirror

    # Samples whose loop does not close at the current estimate are left out
    # (their residual is undefined) and taken back in once the estimate closes them.
    x = model.start()
    _, closed = model.sample_errors(x)
    outliers = np.zeros(count, dtype=bool)
    robust = loss != "linear"
    for _ in range(CLOSURE_ROUNDS):
        used = closed & ~outliers
        if used.sum() < parameters:
            raise _fail(f"the loop closes for only {int(used.sum())} of the {count} samples at the "
                        f"current estimate (from 'initial'), fewer than the {parameters} parameters")
        if robust:
            x = _solve(model, x, np.flatnonzero(used), loss, f_scale)
            errors, closed = model.sample_errors(x)
            spread = np.median(errors[closed & ~outliers]) / MEDIAN_NORM[model.per_sample]
            outliers |= closed & ~(errors <= max(OUTLIER_SIGMAS * spread, OUTLIER_FLOOR))
            used = closed & ~outliers
            if used.sum() < parameters:
                raise _fail(f"only {int(used.sum())} of the {count} samples are left after the robust fit "
                            f"flagged outliers, fewer than the {parameters} parameters")
        # The reported estimate and its errors: a plain least-squares fit of the samples kept.
        x = _solve(model, x, np.flatnonzero(used), "linear", f_scale)
        errors, now_closed = model.sample_errors(x)
        if np.array_equal(now_closed, closed):
            break
        closed = now_closed
    used = closed & ~outliers
    residuals, jacobian, ok = model.evaluate(x, np.flatnonzero(used))
    if not ok.all():  # the final estimate opened a used sample's loop: leave it out of the report
        residuals, jacobian = residuals[ok], jacobian[ok]
    covariance, std_errors, warnings = _uncertainty(jacobian.reshape(-1, parameters), residuals.ravel(), model.names)

    values = model.unpack(x)
    arm = make_arm(float(values["arcs"][0]), float(values["arcs"][1]), branch, bool(mirror))
    errors, closed = model.sample_errors(x)
    return ArmFit(
        arm=arm,
        geometry_json=vb.arm_json(arm),
        offsets=(float(values["offsets"][0]), float(values["offsets"][1])),
        mount=_matrix(values["mount"]) if "mount" in groups else None,
        tool=_matrix(values["tool"]) if "tool" in groups else None,
        residuals=errors,
        rms=float(np.sqrt(np.mean(errors[used & closed] ** 2))),
        parameter_names=model.names,
        parameters=x,
        covariance=covariance,
        std_errors=std_errors,
        outliers=outliers,
        closed=closed,
        warnings=warnings,
    )


def _matrix(rotation_vector: Array) -> Array:
    from scipy.spatial.transform import Rotation  # type: ignore[import-untyped]

    return np.asarray(Rotation.from_rotvec(rotation_vector).as_matrix(), dtype=float)
