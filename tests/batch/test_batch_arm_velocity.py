"""The arm's velocity kinematics in velmora_torso_batch: the Jacobians are the
derivatives of the scalar module's own fk and direction, the joint rates invert
them, and failures are NaN with ok False."""

from __future__ import annotations

import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from hypothesis.extra import numpy as hnp

import velmora_torso_batch as vb
import velmora_torso_kinematics as vtk
from batch_helpers import arm_from, arms, assert_same
from conftest import property_examples

STEP = 1e-6  # central differences: truncation ~STEP^2, rounding ~1e-16 / STEP
AGREEMENT = 1e-7
# Where both singularities are far enough for a difference quotient to be a
# derivative: the pointing one (measure) and the closure one, near which J_v
# and its higher derivatives grow without bound (truncation error ~ STEP^2 f''').
MEASURE_FLOOR = 1e-3
CLOSURE_FLOOR = 0.1

thetas = hnp.arrays(np.float64, (40, 2), elements=st.floats(-math.pi, math.pi))


def elbows(arm, theta_a, theta_b):
    """v_2 and v_4 rebuilt from the arcs: the scalar module does not return them."""
    m = -1.0 if arm.mirror() else 1.0
    s, c = math.sin(arm.arm_arc()), math.cos(arm.arm_arc())
    v_2 = np.array([m * s * math.cos(theta_a), m * s * math.sin(theta_a), c])
    v_4 = np.array([m * c, -m * s * math.sin(theta_b), s * math.cos(theta_b)])
    return v_2, v_4


def closure(arm, theta_a, theta_b):
    v_2, v_4 = elbows(arm, theta_a, theta_b)
    return float(np.dot(np.array(arm.direction(theta_a, theta_b)), np.cross(v_2, v_4)))


def well_conditioned(arm, theta):
    """The rows of theta away from both singularities, with their Jacobians."""
    j_omega, j_v, ok = vb.jacobian(arm, theta[:, 0], theta[:, 1])
    measure, measured = vb.singularity_measure(arm, theta[:, 0], theta[:, 1])
    assert_same(measured, ok)
    for k in np.flatnonzero(ok & (measure > MEASURE_FLOOR)):
        a, b = theta[k].tolist()
        if abs(closure(arm, a, b)) > CLOSURE_FLOOR:
            yield a, b, j_omega[k], j_v[k]


def central(f, a, b):
    """d f / d(theta_a, theta_b) as columns, f returning an array."""
    return np.stack([(f(a + STEP, b) - f(a - STEP, b)) / (2 * STEP),
                     (f(a, b + STEP) - f(a, b - STEP)) / (2 * STEP)], axis=-1)


def skew(w):
    return np.array([[0.0, -w[2], w[1]], [w[2], 0.0, -w[0]], [-w[1], w[0], 0.0]])


@settings(max_examples=property_examples(80), deadline=None)
@given(arm=arms, theta=thetas)
def test_jacobians_are_the_derivatives_of_fk_and_direction(arm, theta):
    for a, b, j_omega, j_v in well_conditioned(arm, theta):
        direction = central(lambda x, y: np.array(arm.direction(x, y)), a, b)
        np.testing.assert_allclose(j_v, direction, rtol=0, atol=AGREEMENT)
        rotation = np.array(arm.fk(a, b))
        rates = central(lambda x, y: np.array(arm.fk(x, y)), a, b)  # (3, 3, 2)
        for k in range(2):
            spin = rates[..., k] @ rotation.T
            # Rdot R^T of a rotation is skew-symmetric, and it is [J_omega column]x.
            np.testing.assert_allclose(spin, -spin.T, rtol=0, atol=AGREEMENT)
            np.testing.assert_allclose(skew(j_omega[:, k]) @ rotation, rates[..., k], rtol=0, atol=AGREEMENT)


@pytest.mark.parametrize("arm", [vtk.VelmoraArmKinematics.default_left(), arm_from(0.9, 0.7, "negative", True)],
                         ids=["left preset", "negative mirrored"])
def test_the_comparison_keeps_most_closed_poses(arm):
    # The property above is not vacuous: the singularities exclude only thin bands.
    theta = np.random.default_rng(5).uniform(-math.pi, math.pi, size=(4000, 2))
    closed = vb.jacobian(arm, theta[:, 0], theta[:, 1])[2].sum()
    kept = sum(1 for _ in well_conditioned(arm, theta))
    assert closed > 400 and kept > 0.8 * closed, (kept, closed)


@settings(max_examples=property_examples(80), deadline=None)
@given(arm=arms, theta=thetas, thetadot=hnp.arrays(np.float64, (40, 2), elements=st.floats(-3.0, 3.0)),
       along=st.floats(-5.0, 5.0))
def test_joint_rates_invert_j_v(arm, theta, thetadot, along):
    _, j_v, ok = vb.jacobian(arm, theta[:, 0], theta[:, 1])
    v3, _ = vb.direction(arm, theta[:, 0], theta[:, 1])
    measure, _ = vb.singularity_measure(arm, theta[:, 0], theta[:, 1])
    # A pointing velocity made by the joints, plus a part along v_3 that no joint motion makes.
    v3_dot = np.einsum("nij,nj->ni", j_v, thetadot) + along * v3
    rates, rates_ok = vb.joint_rates(arm, theta[:, 0], theta[:, 1], v3_dot)
    assert_same(rates_ok, ok & ~(measure < 1e-9))
    good = ok & (measure > MEASURE_FLOOR)
    # The error of a least-squares solve grows as 1 / measure.
    scale = 1e-12 * (1 + np.abs(thetadot).max(axis=1) + abs(along)) / measure
    error = np.abs(rates - thetadot).max(axis=1)
    assert np.all(error[good] <= scale[good]), (error[good].max(), scale[good].min())


def test_joint_rates_refuse_a_pointing_singularity():
    # With equal arcs, v_3 can sit on v_1: v_1, v_2 and v_3 are then in one plane,
    # J_v's first column vanishes, and the loop is far from locked.
    arcs = 1.0
    theta_b = math.acos(math.cos(arcs) / math.sin(arcs))
    for branch in ("positive", "negative"):
        arm = arm_from(arcs, arcs, branch, False)
        if np.allclose(arm.direction(0.0, theta_b), [0.0, 0.0, 1.0], atol=1e-12):
            break
    else:
        pytest.fail("neither branch points along v_1")
    _, j_v, ok = vb.jacobian(arm, 0.0, theta_b)
    measure, _ = vb.singularity_measure(arm, 0.0, theta_b)
    assert ok and measure < 1e-12 and np.linalg.norm(j_v[:, 1]) > 0.1
    rates, rates_ok = vb.joint_rates(arm, 0.0, theta_b, [1.0, 0.0, 0.0])
    assert not rates_ok and np.isnan(rates).all()


CASES = [
    # (theta_a, theta_b, ok): the loop open, closed, and NaN passed through.
    pytest.param(0.0, math.pi / 2, False, id="loop open"),
    pytest.param(0.3, -0.2, True, id="example pose"),
    pytest.param(math.nan, 0.0, True, id="NaN angle"),
]


@pytest.mark.parametrize("theta_a, theta_b, ok", CASES)
def test_failures_are_nan_with_ok_false(theta_a, theta_b, ok):
    arm = vtk.VelmoraArmKinematics.default_left()
    j_omega, j_v, j_ok = vb.jacobian(arm, theta_a, theta_b)
    measure, m_ok = vb.singularity_measure(arm, theta_a, theta_b)
    rates, r_ok = vb.joint_rates(arm, theta_a, theta_b, [0.1, 0.2, 0.3])
    assert bool(j_ok) == bool(m_ok) == bool(r_ok) == ok
    finite = ok and not math.isnan(theta_a)
    for values in (j_omega, j_v, measure, rates):
        assert np.isfinite(values).all() if finite else np.isnan(values).all()


@settings(max_examples=property_examples(40), deadline=None)
@given(arm=arms, thetas=thetas, damping=st.floats(1e-3, 1.0),
       v3_dot=hnp.arrays(np.float64, (40, 3), elements=st.floats(-10, 10)))
def test_damped_rates_are_bounded_and_fail_only_where_the_loop_opens(arm, thetas, damping, v3_dot):
    a, b = thetas[:, 0], thetas[:, 1]
    rates, ok = vb.joint_rates(arm, a, b, v3_dot, damping=damping)
    direction, closes = vb.direction(arm, a, b)
    assert np.array_equal(ok, closes)
    # |thetadot| <= |v3_dot| / (2 lambda), the tangential part of v3_dot being all that moves v_3.
    tangential = v3_dot - np.sum(v3_dot * direction, axis=-1, keepdims=True) * direction
    bound = np.linalg.norm(tangential, axis=-1) / (2 * damping)
    assert np.all(np.linalg.norm(rates[ok], axis=-1) <= bound[ok] * (1 + 1e-9) + 1e-12)
    # Far from both singularities a small damping changes little; zero damping is the plain rates.
    plain, plain_ok = vb.joint_rates(arm, a, b, v3_dot)
    assert_same(vb.joint_rates(arm, a, b, v3_dot, damping=0.0)[0], plain)
    measure, _ = vb.singularity_measure(arm, a, b)
    easy = plain_ok & (measure > 1.0) & (damping < 0.01)
    assert np.allclose(rates[easy], plain[easy], rtol=1e-3, atol=1e-9)
