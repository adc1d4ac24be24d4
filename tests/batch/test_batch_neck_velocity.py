"""The neck's rates in velmora_torso_batch against SciPy's rotations: omega is
the derivative of Rotation.from_euler("ZYX", ...), the angle rates the
derivative of as_euler("ZYX") along a turn at omega."""

from __future__ import annotations

import math

import numpy as np
from hypothesis import given, settings, strategies as st
from hypothesis.extra import numpy as hnp
from scipy.spatial.transform import Rotation

import velmora_torso_batch as vb
from batch_helpers import assert_same
from conftest import property_examples

STEP = 1e-6
AGREEMENT = 1e-7

# Away from the wrap of yaw and roll at +-pi and from gimbal lock.
angles = hnp.arrays(np.float64, (30, 3), elements=st.floats(-1.4, 1.4)).map(lambda a: a * [2.1, 1.0, 2.1])
rates = hnp.arrays(np.float64, (30, 3), elements=st.floats(-3.0, 3.0))


def wrapped(delta):
    return (delta + math.pi) % (2 * math.pi) - math.pi


@settings(max_examples=property_examples(60), deadline=None)
@given(angles=angles, angles_dot=rates)
def test_neck_rates_are_the_derivative_of_scipys_rotation(angles, angles_dot):
    omega = vb.neck_rates(angles, angles_dot)
    ahead = Rotation.from_euler("ZYX", angles + STEP * angles_dot).as_matrix()
    behind = Rotation.from_euler("ZYX", angles - STEP * angles_dot).as_matrix()
    spin = ((ahead - behind) / (2 * STEP)) @ np.transpose(Rotation.from_euler("ZYX", angles).as_matrix(), (0, 2, 1))
    # Rdot R^T = [omega]x: its entries below the diagonal are omega's components.
    np.testing.assert_allclose(spin, -np.transpose(spin, (0, 2, 1)), rtol=0, atol=AGREEMENT)
    expected = np.stack([spin[:, 2, 1], spin[:, 0, 2], spin[:, 1, 0]], axis=-1)
    np.testing.assert_allclose(omega, expected, rtol=0, atol=AGREEMENT)


@settings(max_examples=property_examples(60), deadline=None)
@given(angles=angles, omega=rates)
def test_angle_rates_are_the_derivative_of_scipys_euler_angles(angles, omega):
    got, ok = vb.neck_angle_rates(angles, omega)
    assert ok.all()
    pose = Rotation.from_euler("ZYX", angles)
    # The body-frame omega turns R into exp(t [omega]x) R.
    ahead = (Rotation.from_rotvec(STEP * omega) * pose).as_euler("ZYX")
    behind = (Rotation.from_rotvec(-STEP * omega) * pose).as_euler("ZYX")
    expected = wrapped(ahead - behind) / (2 * STEP)
    # Angle rates scale as 1 / cos(pitch), and so does the difference quotient's rounding.
    tolerance = AGREEMENT / np.cos(angles[:, 1:2])
    assert np.all(np.abs(got - expected) <= tolerance), np.abs(got - expected).max()
    assert np.all(np.abs(vb.neck_rates(angles, got) - omega) <= 1e-12 / np.cos(angles[:, 1:2]))


# Pitches across the edge of the band that neck_ik refuses (1 - |sin(pitch)| < 1e-6).
EDGE = math.asin(1 - 1e-6)
PITCHES = [EDGE + k * 1e-12 for k in range(-40, 41)] + [-EDGE + k * 1e-12 for k in range(-40, 41)] + [
    math.pi / 2, -math.pi / 2, 1.5, 0.0, math.nan, math.inf]


def test_angle_rates_fail_exactly_where_neck_ik_refuses():
    angles = np.stack([np.full(len(PITCHES), 0.4), PITCHES, np.full(len(PITCHES), -0.3)], axis=-1)
    _, solvable = vb.neck_ik(vb.neck_fk(angles))
    got, ok = vb.neck_angle_rates(angles, [0.1, 0.2, 0.3])
    assert_same(ok, solvable)
    assert 0 < ok.sum() < len(PITCHES)  # the sweep crosses the edge
    assert np.isnan(got[~ok]).all() and np.isfinite(got[ok][:-2]).all()
