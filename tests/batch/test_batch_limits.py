"""Joint limits on the inverses: a pair outside them is neither chosen nor
listed, and the choice among the rest is the one made without limits."""

from __future__ import annotations

import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import velmora_torso_batch as vb
import velmora_torso_kinematics as vtk
from batch_helpers import arms, assert_same, reachable_directions
from conftest import property_examples

ARM = vtk.VelmoraArmKinematics.default_left()
bounds = st.tuples(st.floats(-3.5, 1.0), st.floats(0.0, 3.5)).map(sorted).map(tuple)


@settings(max_examples=property_examples(60), deadline=None)
@given(arm=arms, seed=st.integers(0, 2**32 - 1), limits=st.tuples(bounds, bounds), with_near=st.booleans())
def test_limits_filter_the_candidates(arm, seed, limits, with_near):
    rng = np.random.default_rng(seed)
    directions = reachable_directions(arm, rng, 12)
    near = rng.uniform(-2, 2, size=(12, 2)) if with_near else None
    (a_min, a_max), (b_min, b_max) = limits

    def admitted(p):
        return a_min <= p[0] <= a_max and b_min <= p[1] <= b_max

    every, count = vb.direction_solutions(arm, directions)
    inside, inside_count = vb.direction_solutions(arm, directions, limits=limits)
    chosen, ok = vb.ik_from_direction(arm, directions, near, limits=limits)
    rotations, _ = vb.fk(arm, *rng.uniform(-1, 1, size=(2, 12)))
    solved, solved_ok = vb.ik(arm, rotations, limits=limits)
    free, free_ok = vb.ik(arm, rotations)
    for i in range(len(directions)):
        kept = [p for p in every[i][:count[i]] if admitted(p)]
        expected = np.full((4, 2), np.nan)
        expected[:len(kept)] = np.reshape(kept, (-1, 2))
        assert_same(inside[i], expected)
        assert inside_count[i] == len(kept)
        # The nearest (or smallest) of those kept; ties keep the earlier one.
        origin = near[i] if with_near else (0.0, 0.0)
        scores = [(p[0] - origin[0]) ** 2 + (p[1] - origin[1]) ** 2 for p in kept]
        assert ok[i] == bool(kept)
        if kept:
            assert_same(chosen[i], kept[int(np.argmin(scores))])
        # ik: the free answer when it is admitted; else nothing, or another admitted pair.
        if free_ok[i] and admitted(free[i]):
            assert_same(solved[i], free[i])
        elif solved_ok[i]:
            assert admitted(solved[i])
            assert np.abs(vb.fk(arm, *solved[i])[0] - rotations[i]).max() < 1e-6
        assert not (solved_ok[i] and not admitted(solved[i]))


@pytest.mark.parametrize("limits, error, message", [
    ("ab", TypeError, "'limits' must be ((a_min, a_max), (b_min, b_max)) or None, not 'str'"),
    (((0, 1),), TypeError, "'limits' must be ((a_min, a_max), (b_min, b_max)) or None, not 'tuple'"),
    (((0, 1), (0, "x")), TypeError, "'limits' must be ((a_min, a_max), (b_min, b_max)) or None, not 'tuple'"),
    (((1, 0), (0, 1)), ValueError, "'limits' must be ranges with min <= max and no NaN bound, not ((1, 0), (0, 1))"),
    (((0, 1), (math.nan, 1)), ValueError,
     "'limits' must be ranges with min <= max and no NaN bound, not ((0, 1), (nan, 1))"),
    (((math.inf, math.inf), (0, 1)), ValueError,
     "'limits' must be ranges with min <= max and no NaN bound, not ((inf, inf), (0, 1))"),
])
@pytest.mark.parametrize("call", [
    lambda limits: vb.ik(ARM, np.eye(3), limits=limits),
    lambda limits: vb.ik_from_direction(ARM, [0.0, 0.0, 1.0], limits=limits),
    lambda limits: vb.direction_solutions(ARM, [0.0, 0.0, 1.0], limits=limits),
    lambda limits: vb.ik_path(ARM, np.zeros((2, 3)), limits=limits),
    lambda limits: vb.follow(ARM, np.zeros((2, 3)), (0.0, 0.0), max_step=0.1, limits=limits),
    lambda limits: vb.ArmFollower(ARM, (0.0, 0.0), max_step=0.1, limits=limits),
])
def test_unusable_limits_are_refused(call, limits, error, message):
    with pytest.raises(error) as raised:
        call(limits)
    assert str(raised.value).endswith("(): " + message)
