"""ik_path is the Python loop of ik_from_direction with `near` chained, step for
step, holding the last good pair where a step fails."""

from __future__ import annotations

import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import velmora_torso_batch as vb
import velmora_torso_kinematics as vtk
from batch_helpers import arms, assert_same, follow
from conftest import property_examples


@settings(max_examples=property_examples(50), deadline=None)
@given(arm=arms, paths=st.integers(0, 3), steps=st.integers(0, 12), seed=st.integers(0, 2**32 - 1),
       with_start=st.booleans(), max_step=st.none() | st.floats(0.0, 1.0) | st.just(math.inf))
def test_ik_path_equals_chained_loop(arm, paths, steps, seed, with_start, max_step):
    rng = np.random.default_rng(seed)
    # Random walks in the joint plane, turned into directions; a few holes and
    # arbitrary directions make failed steps.
    walks = np.cumsum(rng.normal(0.0, 0.3, size=(paths, steps, 2)), axis=1)
    directions, _ = vb.direction(arm, walks[..., 0], walks[..., 1])
    holes = rng.random((paths, steps)) < 0.15
    directions[holes] = rng.normal(size=(int(holes.sum()), 3))
    starts = rng.uniform(-2, 2, size=(paths, 2)) if with_start else None
    pairs, ok = vb.ik_path(arm, directions, starts, max_step=max_step)
    assert pairs.shape == (paths, steps, 2) and ok.shape == (paths, steps)
    for p in range(paths):
        start = tuple(starts[p].tolist()) if with_start else None
        expected, expected_ok = follow(arm, directions[p], start, max_step)
        assert_same(pairs[p], expected)
        assert_same(ok[p], expected_ok)


def test_max_step_holds_instead_of_jumping_branch():
    arm = vtk.VelmoraArmKinematics.default_left()
    # Three candidate pairs reach this direction; from (0.3, -1.59) the path
    # stays on that branch, and the other branches are far away.
    d = arm.direction(0.3, -0.2)
    far = arm.direction(0.3, -1.588839219)
    path = np.array([d, d, far, d])
    pairs, ok = vb.ik_path(arm, path, (0.3, -0.2), max_step=0.1)
    assert ok.tolist() == [True, True, True, True]
    free, _ = vb.ik_path(arm, path, (1.2, -0.1))
    assert free[0].tolist() == pytest.approx([1.144745684, -0.2])
    held, held_ok = vb.ik_path(arm, path, (1.2, -0.1), max_step=0.01)
    assert held_ok.tolist() == [False, False, False, False] and (held == (1.2, -0.1)).all()


def test_start_broadcasts_over_leading_dimensions():
    arm = vtk.VelmoraArmKinematics.default_left()
    d = np.array(arm.direction(0.3, -0.2))
    directions = np.broadcast_to(d, (2, 3, 4, 3))
    starts = np.array([[1.2, -0.1], [0.0, -1.6], [0.3, -0.2]])
    pairs, ok = vb.ik_path(arm, directions, starts)
    assert pairs.shape == (2, 3, 4, 2) and ok.all()
    assert pairs[1, 0, 3].tolist() == pytest.approx([1.144745684, -0.2])
    assert pairs[0, 1, 0].tolist() == pytest.approx([0.3, -1.588839219])


@pytest.mark.parametrize("start", [(1.2, -0.1), (0.0, -1.6), (0.31, -0.21), (-0.4, 0.3)])
def test_max_step_boundary_is_exact(start):
    # A step exactly max_step away is taken; one a single ulp farther fails.
    arm = vtk.VelmoraArmKinematics.default_left()
    d = arm.direction(0.3, -0.2)
    pair = arm.ik_from_direction(d, near=start)
    da, db = pair[0] - start[0], pair[1] - start[1]
    distance = math.sqrt(da * da + db * db)
    taken, ok = vb.ik_path(arm, [d], start, max_step=distance)
    assert ok.tolist() == [True] and taken[0].tolist() == list(pair)
    _, ok = vb.ik_path(arm, [d], start, max_step=math.nextafter(distance, 0.0))
    assert ok.tolist() == [False]


@pytest.mark.parametrize("start", [(math.nan, -0.07), (1.5, math.inf), [[0.0, 0.0], [-math.inf, 0.0]]])
def test_a_start_that_is_not_finite_is_refused(start):
    with pytest.raises(ValueError, match=r"^ik_path\(\): 'start' must be finite, not "):
        vb.ik_path(vtk.VelmoraArmKinematics.default_left(), np.zeros((2, 3, 3)), start, max_step=0.05)


def test_held_rows_are_commands_that_never_jump():
    # Fed back as the next call's start, the held row keeps the arm where it was:
    # no step of max_step or more is ever taken from it.
    arm = vtk.VelmoraArmKinematics.default_left()
    d, _ = vb.direction(arm, [-0.07, -0.08, -0.09, -0.10, -0.11], -0.07)
    pairs, ok = vb.ik_path(arm, d, start=(1.5, -0.07), max_step=0.05)
    assert np.isfinite(pairs).all() and ok.tolist() == [True, True, True, False, False]
    assert (pairs[3] == pairs[2]).all() and (pairs[4] == pairs[2]).all()
    again, again_ok = vb.ik_path(arm, d[3:4], start=pairs[3], max_step=0.05)
    assert again_ok.tolist() == [False] and (again == pairs[3]).all()
