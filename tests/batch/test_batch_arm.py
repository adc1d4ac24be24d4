"""Every arm function of velmora_torso_batch equals the scalar method element by element."""

from __future__ import annotations

import numpy as np
from hypothesis import given, settings, strategies as st

from hypothesis.extra import numpy as hnp

import velmora_torso_batch as vb
import velmora_torso_kinematics as vtk
from batch_helpers import arms, assert_same, broadcast_pair, elementwise, numbers
from conftest import property_examples

MAT = (3, 3)


@settings(max_examples=property_examples(60), deadline=None)
@given(arm=arms, inputs=broadcast_pair())
def test_fk_and_direction_equal_scalar(arm, inputs):
    theta_a, theta_b = inputs
    a, b = np.broadcast_arrays(theta_a, theta_b)
    rotations, ok = vb.fk(arm, theta_a, theta_b)
    expected, expected_ok = elementwise(a.shape, lambda i: arm.fk(float(a[i]), float(b[i])), RuntimeError, 9)
    assert_same(rotations, expected.reshape(a.shape + MAT))
    assert_same(ok, expected_ok)
    v3, ok3 = vb.direction(arm, theta_a, theta_b)
    expected, expected_ok = elementwise(a.shape, lambda i: arm.direction(float(a[i]), float(b[i])), RuntimeError, 3)
    assert_same(v3, expected)
    assert_same(ok3, expected_ok)


@settings(max_examples=property_examples(60), deadline=None)
@given(arm=arms, theta=hnp.arrays(np.float64, st.tuples(st.integers(0, 12), st.just(2)),
                                  elements=st.floats(-3.2, 3.2)),
       noise=hnp.arrays(np.float64, (12, 3, 3), elements=numbers), mix=st.integers(0, 12))
def test_ik_equals_scalar(arm, theta, noise, mix):
    # fk's own rotations (reachable ones and NaN where the loop fails), then
    # some arbitrary matrices: unreachable, non-finite.
    rotations = np.concatenate([vb.fk(arm, theta[:, 0], theta[:, 1])[0], noise[:mix]])
    pairs, ok = vb.ik(arm, rotations)
    expected, expected_ok = elementwise(rotations.shape[:1], lambda i: arm.ik(rotations[i].tolist()),
                                        RuntimeError, 2)
    assert_same(pairs, expected)
    assert_same(ok, expected_ok)


@settings(max_examples=property_examples(60), deadline=None)
@given(arm=arms, inputs=broadcast_pair((3,), (2,)), use_near=st.booleans())
def test_ik_from_direction_equals_scalar(arm, inputs, use_near):
    directions, near = inputs
    # Half of the directions come from forward kinematics, so that some are reached.
    reached, _ = vb.direction(arm, directions[..., 0], directions[..., 1])
    directions = np.where(np.isfinite(directions[..., 2:]) & (directions[..., 2:] > 0), reached, directions)
    lead = np.broadcast_shapes(directions.shape[:-1], near.shape[:-1]) if use_near else directions.shape[:-1]
    d = np.broadcast_to(directions, lead + (3,))
    n = np.broadcast_to(near, lead + (2,)) if use_near else None
    pairs, ok = vb.ik_from_direction(arm, directions, near if use_near else None)
    expected, expected_ok = elementwise(
        lead, lambda i: arm.ik_from_direction(d[i].tolist(), tuple(n[i].tolist()) if n is not None else None),
        RuntimeError, 2)
    assert_same(pairs, expected)
    assert_same(ok, expected_ok)


def test_unreachable_and_degenerate_targets_fail_with_nan():
    arm = vtk.VelmoraArmKinematics.default_left()
    targets = np.array([[0, 0, 1], [1, 0, 0], [0, 0, 0], [1e-13, 0, 0], [np.inf, 0, 0]], dtype=float)
    pairs, ok = vb.ik_from_direction(arm, targets)
    assert not ok.any() and np.isnan(pairs).all()
    assert np.array_equal(vb.ik(arm, np.eye(3))[1], np.array(False))


@settings(max_examples=property_examples(60), deadline=None)
@given(arm=arms, theta=hnp.arrays(np.float64, (30, 2), elements=st.floats(-3.1, 3.1)),
       noise=hnp.arrays(np.float64, (10, 3), elements=numbers), near=st.tuples(numbers, numbers))
def test_direction_solutions_are_what_ik_from_direction_chooses_from(arm, theta, noise, near):
    made, closed = vb.direction(arm, theta[:, 0], theta[:, 1])
    directions = np.concatenate([made, noise, [[0.0, 0.0, 0.0], [0.0, 0.0, 1.0]]])
    pairs, count = vb.direction_solutions(arm, directions)
    assert pairs.shape == (len(directions), 4, 2) and count.dtype == np.int64
    for k, direction in enumerate(directions.tolist()):
        listed = [tuple(pair) for pair in pairs[k, :count[k]].tolist()]
        assert np.isnan(pairs[k, count[k]:]).all()
        for guide in (None, near):
            try:
                chosen = arm.ik_from_direction(direction, guide)
            except RuntimeError:
                assert count[k] == 0, (direction, listed)
                continue
            assert chosen in listed, (chosen, listed)  # bit for bit
        for pair in listed:
            target = np.array(direction) / np.linalg.norm(direction)
            assert np.linalg.norm(np.array(arm.direction(*pair)) - target) < 1e-6 + 1e-15
    # The pair that made a direction is among its solutions, up to the rounding of the inverse.
    measure, _ = vb.singularity_measure(arm, theta[:, 0], theta[:, 1])
    for k in np.flatnonzero(closed & (measure > 1e-3)):
        distances = np.abs(pairs[k] - theta[k]).max(axis=1)
        assert np.nanmin(distances) < 1e-6, (theta[k], pairs[k])


def test_direction_solutions_list_candidates_in_order():
    # The left preset's example target: of the four candidates (+,+), (+,-), (-,+),
    # (-,-), the second points elsewhere.
    arm = vtk.VelmoraArmKinematics.default_left()
    pairs, count = vb.direction_solutions(arm, [arm.direction(0.3, -0.2), [0.0, 0.0, 1.0]])
    assert count.tolist() == [3, 0]
    np.testing.assert_allclose(pairs[0, :3], [[1.144745684, -0.2], [0.3, -0.2], [0.3, -1.588839219]], atol=1e-9)
