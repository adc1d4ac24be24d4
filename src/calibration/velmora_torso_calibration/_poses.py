"""suggest_poses: where to move an arm before measuring it, for a well-conditioned fit."""

from __future__ import annotations

import math
from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

import velmora_torso_batch as vb
import velmora_torso_kinematics
from velmora_torso_kinematics import VelmoraArmKinematics

from . import _arguments as check
from ._blas import blas_for_fitting
from ._model import Arm, Model, closure, known_values

# A suggested pose must still close, away from the locked edge, for an arm
# whose arcs are off nominal by up to ARC_MARGIN and whose joints are off by up
# to JOINT_MARGIN: the arm that is measured is not the nominal one.
ARC_MARGIN = 0.03
JOINT_MARGIN = 0.05
# |v_3 . (v_2 x v_4)| at least this on every such arm: clear of the locked edge,
# where v_3 moves without bound per unit of arc or joint.
CLOSURE_MARGIN = 0.02
# Smallest singular value of J_v at least this: clear of the pointing
# singularity, where a joint offset barely moves the pointing direction.
POINTING_MARGIN = 0.05
# The grid is refined until it holds this many usable candidates per pose asked for.
CANDIDATES_PER_POSE = 4
GRID_SIDES = (64, 96, 144, 216, 324)


def _limits(limits: Sequence[Sequence[float]] | Sequence[float] | None) -> tuple[tuple[float, float], tuple[float, float]]:
    if limits is None:
        return (-math.pi, math.pi), (-math.pi, math.pi)
    try:
        array = np.asarray(limits, dtype=float)
    except (TypeError, ValueError):
        array = np.array([])
    if array.shape == (2,):  # (low, high) for both joints
        array = np.stack([array, array])
    if array.shape != (2, 2) or not np.isfinite(array).all() or not (array[:, 0] < array[:, 1]).all():
        raise ValueError(f"suggest_poses(): 'limits' must be ((a_low, a_high), (b_low, b_high)) or (low, high) "
                         f"with finite lows below highs, not {limits!r}")
    return (float(array[0, 0]), float(array[0, 1])), (float(array[1, 0]), float(array[1, 1]))


def _usable(arm: vb.FiveBar, theta_a: npt.NDArray[np.float64], theta_b: npt.NDArray[np.float64]
            ) -> npt.NDArray[np.bool_]:
    """Pairs that close with margin on every nearby arm and are not pointing-singular on this one."""
    measure, usable = vb.singularity_measure(arm, theta_a, theta_b)
    usable &= measure >= POINTING_MARGIN
    shifts = [(0.0, 0.0)] + [(da, db) for da in (-JOINT_MARGIN, JOINT_MARGIN) for db in (-JOINT_MARGIN, JOINT_MARGIN)]
    (a_a, a_b), (c_a, c_b) = arm.arm_arcs, arm.coupler_arcs
    for shift in ARC_MARGIN * np.linspace(-1.0, 1.0, 5):
        nearby = vb.FiveBar((a_a + float(shift), a_b + float(shift)), (c_a - ARC_MARGIN, c_b - ARC_MARGIN),
                            arm.base_angle, mirror=arm.mirror, branch=arm.branch)
        for da, db in shifts:
            left = np.flatnonzero(usable)  # only candidates still in the running
            margin, closes = closure(nearby, theta_a[left] + da, theta_b[left] + db)
            usable[left] = closes & (margin >= CLOSURE_MARGIN)
    return usable


def suggest_poses(arm: velmora_torso_kinematics.VelmoraArmKinematics | vb.FiveBar, n: int, *,
                  limits: Sequence[Sequence[float]] | Sequence[float] | None = None,
                  seed: int = 0, fit: Sequence[str] = ("arcs", "offsets", "mount")) -> npt.NDArray[np.float64]:
    """Joint readings at which to measure an arm, for a well-conditioned fit.

    Chosen greedily (without repeats) from a grid over `limits`, each maximising the
    determinant of the information matrix of the direction fit of the groups `fit` (as
    `fit_arm` names them) at the nominal arm. Every candidate closes with
    |v_3 . (v_2 x v_4)| >= 0.02 for every arm whose arm arcs are off by up to 0.03 rad
    (together), coupler arcs 0.03 rad shorter and joints off by up to 0.05 rad, and stays
    clear of the pointing singularity (``singularity_measure`` >= 0.05), so that it closes on
    the real arm.

    Parameters
    ----------
    arm : velmora_torso_kinematics.VelmoraArmKinematics or velmora_torso_batch.FiveBar
        The nominal arm.
    n : int
        How many poses, at least 1.
    limits : ((a_low, a_high), (b_low, b_high)) or (low, high), optional
        The joints' ranges, radians (default +-pi for both).
    seed : int, optional
        A non-negative integer that shifts the grid within one cell.
    fit : sequence of str, optional
        The groups whose direction fit the poses are chosen for (no ``"tool"``); for an arm
        whose arcs are not equal in pairs, ``"arcs"`` stands for its four, ``"link_arcs"``.

    Returns
    -------
    ndarray, shape (n, 2)
        The joint pairs (theta_a, theta_b).

    Raises
    ------
    ValueError
        "suggest_poses(): ..." naming the argument, for a bad `n`, `limits`, `seed` or `fit`, and
        when fewer than `n` candidates qualify.
    TypeError
        For an `arm` that is neither a ``VelmoraArmKinematics`` nor a ``FiveBar``.

    Examples
    --------
    >>> poses = suggest_poses(VelmoraArmKinematics.default_left(), 100)  # doctest: +SKIP
    >>> poses.shape  # doctest: +SKIP
    (100, 2)
    """
    if not isinstance(arm, (VelmoraArmKinematics, vb.FiveBar)):
        raise TypeError(f"suggest_poses(): 'arm' must be a VelmoraArmKinematics or a FiveBar, not "
                        f"{type(arm).__name__}")
    groups = check.groups(fit, False, "suggest_poses")
    known = known_values(arm)
    if "arcs" in groups and "arcs" not in known:
        (a_a, a_b), (c_a, c_b) = known["link_arcs"][:2], known["link_arcs"][2:]
        if a_a == a_b and c_a == c_b:
            known = {"arcs": np.array([a_a, c_a]), "base_angle": known["base_angle"]}
        else:  # an arm of four arcs has no two to fit: its arcs are the four
            groups = tuple("link_arcs" if group == "arcs" else group for group in groups)
    with blas_for_fitting():
        return _suggest(arm, n, limits, seed, groups, known)


def _suggest(arm: Arm, n: int, limits: Sequence[Sequence[float]] | Sequence[float] | None, seed: int,
             groups: tuple[str, ...], known: dict[str, npt.NDArray[np.float64]]) -> npt.NDArray[np.float64]:
    if isinstance(n, bool) or not isinstance(n, (int, np.integer)) or n < 1:
        raise ValueError(f"suggest_poses(): 'n' must be a positive integer, not {n!r}")
    if isinstance(seed, bool) or not isinstance(seed, (int, np.integer)) or seed < 0:
        raise ValueError(f"suggest_poses(): 'seed' must be a non-negative integer, not {seed!r}")
    (a_low, a_high), (b_low, b_high) = _limits(limits)
    five = arm if isinstance(arm, vb.FiveBar) else vb.FiveBar.from_arm(arm)
    rng = np.random.default_rng(seed)
    shift = rng.random(2)  # the grid's offset within one cell: each seed its own grid
    for side in GRID_SIDES:
        grid_a = a_low + (np.arange(side) + shift[0]) * (a_high - a_low) / side
        grid_b = b_low + (np.arange(side) + shift[1]) * (b_high - b_low) / side
        theta_a, theta_b = (g.ravel() for g in np.meshgrid(grid_a, grid_b, indexing="ij"))
        usable = _usable(five, theta_a, theta_b)
        # A finer grid adds candidates only where a coarse one found some.
        if usable.sum() >= CANDIDATES_PER_POSE * n or not usable.any():
            break
    theta_a, theta_b = theta_a[usable], theta_b[usable]
    if theta_a.size < n:
        raise ValueError(f"suggest_poses(): only {theta_a.size} joint pairs within 'limits' close with a margin "
                         f"for arcs off by {ARC_MARGIN} rad and joints off by {JOINT_MARGIN} rad; asked for {n}")

    # The direction fit of the chosen groups at the nominal arm: each
    # candidate's rows of its Jacobian.
    model = Model(theta_a, theta_b, directions=vb.direction(arm, theta_a, theta_b)[0], rotations=None,
                  mirror=five.mirror, branch=five.branch, initial=known, fit=groups)
    _, rows, _ = model.evaluate(model.start())
    count = rows.shape[-1]
    # Greedy D-optimal choice without repeats: adding candidate i multiplies
    # det(information) by det(I + J_i A J_i^T), A the information's inverse.
    # A is not updated by the Woodbury identity: that cancels away its digits
    # while the ridge that starts the information is still large.
    information = 1e-12 * float(np.einsum("nkp,nkp->", rows, rows)) / rows.shape[0] * np.eye(count)
    taken = np.zeros(theta_a.size, dtype=bool)
    chosen = []
    flat = rows.reshape(-1, count)
    for _ in range(n):
        # J_i A J_i^T = G_i G_i^T with G_i^T = C^-1 J_i^T, information = C C^T: one
        # solve for all candidates, and no inverse of the ill-conditioned start.
        spread = (flat @ np.linalg.inv(np.linalg.cholesky(information)).T).reshape(rows.shape)
        g00, g11 = np.einsum("np,np->n", spread[:, 0], spread[:, 0]), np.einsum("np,np->n", spread[:, 1], spread[:, 1])
        g01 = np.einsum("np,np->n", spread[:, 0], spread[:, 1])
        score = (1.0 + g00) * (1.0 + g11) - g01 * g01
        score[taken] = -np.inf
        k = int(np.argmax(score))
        chosen.append(k)
        taken[k] = True
        information += rows[k].T @ rows[k]
    return np.stack([theta_a[chosen], theta_b[chosen]], axis=-1)
