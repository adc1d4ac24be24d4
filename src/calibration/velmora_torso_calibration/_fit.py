"""fit_arm: the least-squares fit of an arm's model to its measurements, and its report."""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
from scipy.optimize import least_squares  # type: ignore[import-untyped]
from scipy.spatial.transform import Rotation  # type: ignore[import-untyped]

import velmora_torso_batch as vb

from . import _arguments as check
from ._blas import blas_for_fitting
from ._model import GROUPS, Array, Model, rotation_matrix
from ._result import ArmFit

Bools = npt.NDArray[np.bool_]

LOSSES = ("linear", "soft_l1", "huber", "cauchy", "arctan")

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
# Converged: a Gauss-Newton step from the estimate would remove at most this
# fraction of the weighted sum of squares. At a minimum it is rounding (at most
# 3e-15 over 30 noisy campaigns); fits walled in short of the minimum by a
# sample at the edge of closing left 0.56 to 0.93.
STATIONARY = 1e-10
# ... or the residuals are at rounding already (noise-free data), where the
# fraction above is that of rounding's own pattern.
ROUNDING_RMS = 1e-9
# Starts tried before a fit is given up as not converged: the closed-form one,
# the stalled estimate with the samples at its closure wall left out of the
# first solve, and the arcs moved by ARC_STEP to each corner, each with its
# own closed-form mount and tool.
STARTS = 6
ARC_STEP = 0.03
ARC_CORNERS = np.array([(0.0, 0.0), (1.0, 1.0), (1.0, -1.0), (-1.0, 1.0), (-1.0, -1.0)])
# A used sample whose |v_3 . (v_2 x v_4)| is below this at a stalled estimate
# may wall the solver in: trial steps that open its loop are rejected.
WALL = 0.02
# No tracker is this noisy: an rms above it (radians) means a wrong model,
# start, mirror or branch.
IMPLAUSIBLE_RMS = 0.05


def _aligned(model: Model, values: dict[str, Array], groups: tuple[str, ...]) -> dict[str, Array]:
    """Closed-form mount and tool (those in `groups`) for the arcs and offsets
    in `values`: the rotations that best align the measured directions or
    rotations with the model's (SciPy's align_vectors and mean)."""
    solved = model.solve_pose(values, slice(None))
    ok = solved.ok
    if ok.sum() < 2:
        return {}
    weights = 1.0 / model.sigma[ok] ** 2
    targets = model.targets[ok]
    found: dict[str, Array] = {}
    if model.kind == "directions":
        if "mount" in groups:
            mount, _ = Rotation.align_vectors(targets, solved.v3[ok], weights=weights)
            found["mount"] = mount.as_rotvec()
        return found
    frames = solved.rotation[ok]
    mount = Rotation.from_rotvec(values["mount"])
    if "mount" in groups:
        if "tool" in groups:
            # measured_i = M F_i T, so measured_j measured_i^T = M (F_j F_i^T) M^T:
            # M turns the axes of the model's relative rotations onto the measured ones.
            later = np.roll(np.arange(len(frames)), len(frames) // 2)
            measured = Rotation.from_matrix(targets[later] @ np.swapaxes(targets, -1, -2)).as_rotvec()
            modelled = Rotation.from_matrix(frames[later] @ np.swapaxes(frames, -1, -2)).as_rotvec()
            mount, _ = Rotation.align_vectors(measured, modelled)
        else:
            tool = rotation_matrix(values["tool"])
            # Each measured axis against the model's: the columns of M F_i T.
            modelled = np.swapaxes(frames @ tool, -1, -2).reshape(-1, 3)
            measured = np.swapaxes(targets, -1, -2).reshape(-1, 3)
            mount, _ = Rotation.align_vectors(measured, modelled, weights=np.repeat(weights, 3))
        found["mount"] = mount.as_rotvec()
    if "tool" in groups:
        # T = (M F_i)^T measured_i for every sample, averaged.
        tool = Rotation.from_matrix(np.swapaxes(mount.as_matrix() @ frames, -1, -2) @ targets).mean(weights=weights)
        found["tool"] = tool.as_rotvec()
    return found


def _describe(weights: Array, names: tuple[str, ...]) -> tuple[str, Bools]:
    """A combination as text, largest weight 1 ('offset_a - 0.98*mount_z'), and the names it shows."""
    weights = weights / weights[np.argmax(np.abs(weights))]
    shown = np.abs(weights) >= SHOWN_WEIGHT
    terms = []
    for weight, name in zip(weights[shown], np.array(names)[shown]):
        size = "" if abs(abs(weight) - 1.0) < 5e-3 else f"{abs(weight):.2g}*"
        sign = "-" if weight < 0 else "+"
        terms.append(f"{sign} {size}{name}")
    text = " ".join(terms)
    return (text[2:] if text.startswith("+ ") else "-" + text[2:]), shown


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
        text, shown = _describe(vt[k] / scale, names)
        # Every parameter the sentence names, and any that takes part with weight.
        undetermined |= shown | (np.abs(vt[k]) >= TAKES_PART)
        warnings.append(f"The data do not determine {text}: the residuals do not change along it (relative "
                        f"singular value {relative[k]:.1e} of the scaled Jacobian), so its parameters get an "
                        f"infinite standard error.")
    for k in np.flatnonzero(determined)[::-1]:  # the weakest first
        combination = vt[k] / scale
        combination /= np.linalg.norm(combination)
        error = math.sqrt(max(float(combination @ covariance @ combination), 0.0))
        if error > WEAK_ERROR:
            text, _ = _describe(combination, names)
            warnings.append(f"The data determine {text} only weakly: its standard error is {error:.2g} rad; "
                            f"poses spread over more of the workspace determine it better.")
    covariance[undetermined, :] = np.nan
    covariance[:, undetermined] = np.nan
    covariance[undetermined, undetermined] = np.inf
    std_errors = np.sqrt(np.diag(covariance))
    return covariance, std_errors, warnings


def _stationary_fraction(jacobian: Array, residuals: Array) -> float:
    """The fraction of the sum of squares that one Gauss-Newton step from here
    would remove, along the combinations the data determine (the others have no
    step to judge: the residuals are flat along them, and they get no finite error)."""
    total = float(residuals @ residuals)
    if total == 0.0:
        return 0.0
    scale = np.linalg.norm(jacobian, axis=0)
    scale[scale == 0.0] = 1.0
    u, singular, _ = np.linalg.svd(jacobian / scale, full_matrices=False)
    determined = singular >= UNDETERMINED * singular[0] if singular.size and singular[0] > 0.0 else singular > 0.0
    return float(np.sum((u[:, determined].T @ residuals) ** 2)) / total


@dataclass
class _Attempt:
    """One start's outcome."""

    x: Array
    used: Bools
    outliers: Bools
    closed: Bools
    cost: float
    message: str
    converged: bool


def _solve(model: Model, x0: Array, samples: npt.NDArray[np.intp], loss: str, f_scale: float) -> tuple[Array, str]:
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
    return np.asarray(solution.x, dtype=float), str(solution.message)


def _attempt(model: Model, x0: Array, loss: str, f_scale: float, held_out: Bools, first: bool) -> _Attempt | None:
    """Fits from x0: samples whose loop does not close at the current estimate
    are left out (their residual is undefined) and taken back in once the
    estimate closes them; `held_out` samples sit out the first solve. None when
    too few samples close (an error for the first start)."""
    count, parameters = model.theta_a.shape[0], len(model.names)
    x = x0
    _, closed = model.sample_errors(x)
    outliers = np.zeros(count, dtype=bool)
    robust = loss != "linear"
    message = ""
    for round_ in range(CLOSURE_ROUNDS):
        used = closed & ~outliers & ~(held_out & (round_ == 0))
        if used.sum() < parameters:
            if first:
                raise check.fail("fit_arm", f"the loop closes for only {int(used.sum())} of the {count} samples at "
                                             f"the current estimate (from 'initial'), fewer than the {parameters} "
                                             f"parameters")
            return None
        if robust:
            x, _ = _solve(model, x, np.flatnonzero(used), loss, f_scale)
            errors, closed = model.sample_errors(x)
            normalised = errors / model.sigma
            spread = np.median(normalised[closed & ~outliers]) / MEDIAN_NORM[model.per_sample]
            outliers |= closed & ~((normalised <= OUTLIER_SIGMAS * spread) | (errors <= OUTLIER_FLOOR))
            used = closed & ~outliers
            if used.sum() < parameters:
                raise check.fail("fit_arm", f"only {int(used.sum())} of the {count} samples are left after the robust "
                                             f"fit flagged outliers, fewer than the {parameters} parameters")
        # The reported estimate and its errors: a plain least-squares fit of the samples kept.
        x, message = _solve(model, x, np.flatnonzero(used), "linear", f_scale)
        _, now_closed = model.sample_errors(x)
        if np.array_equal(now_closed, closed) and not (round_ == 0 and held_out.any()):
            break
        closed = now_closed
    used = closed & ~outliers
    residuals, jacobian, ok = model.evaluate(x, np.flatnonzero(used))
    if not ok.all():  # the final estimate opened a used sample's loop: it is not a minimum of these samples
        return _Attempt(x, used, outliers, closed, math.inf, message, False)
    flat, columns = residuals.ravel(), jacobian.reshape(-1, parameters)
    cost = 0.5 * float(flat @ flat)
    rms = math.sqrt(2.0 * cost / max(flat.size, 1))
    converged = _stationary_fraction(columns, flat) <= STATIONARY or rms * float(np.median(model.sigma)) <= ROUNDING_RMS
    return _Attempt(x, used, outliers, closed, cost, message, converged)


def _starts(model: Model, given: Mapping[str, Array], best: _Attempt | None, number: int
            ) -> tuple[Array, Bools] | None:
    """The start `number` (0-based) and the samples held out of its first solve;
    None when there is no other (the arcs are not fitted, so have no corners)."""
    count = model.theta_a.shape[0]
    nobody = np.zeros(count, dtype=bool)
    aligned = tuple(group for group in ("mount", "tool") if group in model.groups and group not in given)
    if number == 1 and best is not None:
        return best.x, best.used & (model.closure(best.x) < WALL)
    arcs = "arcs" if "arcs" in model.groups else "link_arcs" if "link_arcs" in model.groups else None
    if number >= 2 and arcs is None:
        return None
    values = dict(model.initial)
    if arcs is not None:
        # The corners move the arm arcs and the coupler arcs, each pair together.
        corner = ARC_CORNERS[max(number - 1, 0) % len(ARC_CORNERS)]
        values[arcs] = model.initial[arcs] + ARC_STEP * (corner if arcs == "arcs" else np.repeat(corner, 2))
    values.update(_aligned(model, values, aligned))
    x = np.concatenate([values[group] for group in model.groups])
    return x, nobody


def fit_arm(theta_a: npt.ArrayLike, theta_b: npt.ArrayLike, *, directions: npt.ArrayLike | None = None,
            rotations: npt.ArrayLike | None = None, mirror: bool = False, branch: str = "positive",
            initial: tuple[float, float] | Mapping[str, Any] = (0.7, 0.5),
            fit: Sequence[str] = ("arcs", "offsets", "mount"), loss: str = "linear", f_scale: float = 0.01,
            sigma: npt.ArrayLike | None = None) -> ArmFit:
    """Fits an arm's geometry, its joints' offsets and scales, mount and tool to measured
    directions or rotations.

    The joints are ``scale * reading + offset`` (scales 1 unless fitted or given); a measured
    direction is explained as ``mount @ v_3(geometry, joints)``, a measured rotation as
    ``mount @ fk(geometry, joints) @ tool``. The geometry is today's two arcs, or with
    ``"link_arcs"`` or ``"base_angle"`` (fitted or given) the general arm's four arcs and base angle.
    The fit starts from `initial`, with mount and tool (when fitted and not given) from the
    closed-form alignment of the measurements with that model, and restarts where it stalls.

    Parameters
    ----------
    theta_a, theta_b : array_like, shape (N,)
        The joint readings, radians.
    directions : array_like, shape (N, 3), optional
        Measured pointing directions in the tracker's frame (any length).
    rotations : array_like, shape (N, 3, 3), optional
        Measured end-effector rotations in the tracker's frame (orthonormal within 1e-6).
        Exactly one of `directions` and `rotations`.
    mirror : bool, optional
        The arm's mirror flag (not fitted; a fitted mount absorbs a wrong one as a turn of
        180 degrees about z).
    branch : {'positive', 'negative'}, optional
        The assembly branch (not fitted).
    initial : (float, float) or mapping, optional
        The arcs (arm_arc, coupler_arc) to start from, or a mapping with any of ``"arcs"``
        (two arcs), ``"link_arcs"`` (a_A, a_B, c_A, c_B), ``"base_angle"`` (radians),
        ``"offsets"`` (two offsets), ``"scales"`` (two scales), ``"mount"`` and ``"tool"`` (each
        a rotation vector or a 3x3 rotation matrix). A group not in `fit` keeps its value here;
        the four link arcs start from the two arcs when not given.
    fit : sequence of str, optional
        The groups to fit: ``"arcs"`` or ``"link_arcs"``, ``"base_angle"``, ``"offsets"``,
        ``"scales"``, ``"mount"``, and with `rotations` ``"tool"``.
    loss : {'linear', 'soft_l1', 'huber', 'cauchy', 'arctan'}, optional
        Passed to `scipy.optimize.least_squares`; a robust loss flags outliers and refits the rest.
    f_scale : float, optional
        Passed to `scipy.optimize.least_squares` with a robust loss (in units of `sigma`).
    sigma : float or array_like, shape (N,), optional
        Each sample's noise per residual component, radians: residuals are divided by it in the
        fit and the outlier test. The covariance stays scaled by the residual variance, so only
        the ratios of `sigma` change the estimate and its errors.

    Returns
    -------
    ArmFit
        The estimate, its errors and the report; its `arm` is a ``velmora_torso_batch.FiveBar``
        when ``"link_arcs"`` or ``"base_angle"`` is fitted or given. A fit that did not converge
        says so in its first warning and has infinite standard errors.

    Raises
    ------
    ValueError
        "fit_arm(): ..." naming the argument, for input of the wrong type, shape or value, and
        when too few samples close at the start.
    RuntimeError
        When this process's BLAS computes wrong matrix products (checked once per process).

    Examples
    --------
    >>> poses = suggest_poses(arm, 100)  # doctest: +SKIP
    >>> fit = fit_arm(poses[:, 0], poses[:, 1], directions=measured)  # doctest: +SKIP
    >>> fit.converged, fit.warnings  # doctest: +SKIP
    (True, [])
    """
    readings_a, readings_b, measured_directions, measured_rotations = check.data(
        "fit_arm", theta_a, theta_b, directions, rotations)
    count = readings_a.shape[0]
    if not isinstance(mirror, (bool, np.bool_)):
        raise check.fail("fit_arm", f"'mirror' must be True or False, not {mirror!r}")
    if branch not in ("positive", "negative"):
        raise check.fail("fit_arm", f"'branch' must be 'positive' or 'negative', not {branch!r}")
    groups = check.groups(fit, measured_rotations is not None)
    given = check.initial(initial, groups)
    if loss not in LOSSES:
        raise check.fail("fit_arm", f"'loss' must be one of {', '.join(map(repr, LOSSES))}, not {loss!r}")
    if isinstance(f_scale, bool) or not isinstance(f_scale, (int, float, np.floating, np.integer)) \
            or not (0.0 < float(f_scale) < math.inf):
        raise check.fail("fit_arm", f"'f_scale' must be a positive finite number, not {f_scale!r}")
    weights = check.sigma(1.0 if sigma is None else sigma, count)
    model = Model(readings_a, readings_b, directions=measured_directions, rotations=measured_rotations,
                  mirror=bool(mirror), branch=branch, initial=given, fit=groups, sigma=weights)
    parameters = len(model.names)
    if count < parameters:
        raise check.fail("fit_arm", f"'theta_a' has {count} samples, fewer than the {parameters} parameters to fit")
    with blas_for_fitting():
        return _fit(model, given, loss, float(f_scale))


def _fit(model: Model, given: Mapping[str, Array], loss: str, f_scale: float) -> ArmFit:
    best: _Attempt | None = None
    starts = 0
    for number in range(STARTS):
        start = _starts(model, given, best, number)
        if start is None:
            break
        x0, held_out = start
        attempt = _attempt(model, x0, loss, f_scale, held_out, first=number == 0)
        starts += 1
        if attempt is not None and (best is None or attempt.converged and not best.converged
                                    or attempt.converged == best.converged and attempt.cost < best.cost):
            best = attempt
        if best is not None and best.converged:
            break
    assert best is not None
    return _report(model, best, starts, given)


def _report(model: Model, attempt: _Attempt, starts: int, given: Mapping[str, Array]) -> ArmFit:
    x, used, names = attempt.x, attempt.used, model.names
    residuals, jacobian, ok = model.evaluate(x, np.flatnonzero(used))
    residuals, jacobian = residuals[ok], jacobian[ok]
    covariance, std_errors, warnings = _uncertainty(jacobian.reshape(-1, len(names)), residuals.ravel(), names)
    errors, closed = model.sample_errors(x)
    rms = float(np.sqrt(np.mean(errors[used & closed] ** 2)))
    if rms > IMPLAUSIBLE_RMS:
        warnings.insert(0, f"The rms error {rms:.3g} rad is far above any tracker's noise: the model, the start "
                           f"('initial'), 'mirror' or 'branch' is wrong, not the poses.")
    if not attempt.converged:
        covariance = np.full_like(covariance, np.nan)
        np.fill_diagonal(covariance, np.inf)
        std_errors = np.full_like(std_errors, np.inf)
        plural = "s" if starts > 1 else ""
        warnings.insert(0, f"The fit did not converge in {starts} start{plural}: the estimate is not a minimum of "
                           f"the samples it used (the optimiser: {attempt.message}), so no parameter gets a "
                           f"finite standard error.")
    values = model.unpack(x)
    arm = model.arm(values)
    rotations = {group: rotation_matrix(values[group]) if group in model.groups or group in given
                 else None for group in ("mount", "tool")}
    return ArmFit(
        arm=arm,
        geometry_json=arm.to_json() if isinstance(arm, vb.FiveBar) else vb.arm_json(arm),
        offsets=(float(values["offsets"][0]), float(values["offsets"][1])),
        scales=(float(values["scales"][0]), float(values["scales"][1])),
        mount=rotations["mount"],
        tool=rotations["tool"],
        residuals=errors,
        rms=rms,
        parameter_names=names,
        parameters=x.copy(),
        covariance=covariance,
        std_errors=std_errors,
        outliers=attempt.outliers,
        closed=closed,
        sigma=model.sigma.copy(),
        converged=attempt.converged,
        cost=attempt.cost,
        message=attempt.message,
        warnings=warnings,
    )

