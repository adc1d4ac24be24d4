"""The neck's follower through the Python surface, over random streams: within
max_step and max_step_change per angle, inside its limits, holding exactly on
what is not a rotation; neck_follow is the loop of step; arrays and lists read
alike; settings, copies and pickles. (The choice among representations, braking
and rest on static targets are checked on the core, tests/neck.)"""

from __future__ import annotations

import copy
import math
import pickle

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import velmora_torso_batch as vb
import velmora_torso_kinematics as vtk
from batch_helpers import assert_same
from conftest import property_examples

STATUS = {"tracking": vb.TRACKING, "approaching": vb.APPROACHING, "holding": vb.HOLDING, "saturated": vb.SATURATED}
ARM = vtk.VelmoraArmKinematics.default_left()


@st.composite
def neck_limits(draw):
    bounds = []
    for width in (5.0, 3.0, 4.0):
        low = draw(st.floats(-4.0, 2.0))
        bounds.append((low, low + draw(st.floats(0.05, width))))
    return tuple(bounds)


def inside(limits, angles):
    return all(low <= a <= high for (low, high), a in zip(limits, angles))


def head_stream(rng, steps):
    """Rotations of a head: static stretches, moving ones, and matrices that
    are not rotations (reflections, NaN, a skewed one)."""
    rotations, kinds, t = [], [], 0
    while t < steps:
        length, kind = int(rng.integers(10, 120)), rng.choice(["static", "moving", "invalid"], p=[0.6, 0.3, 0.1])
        head = rng.uniform([-4, -2, -4], [4, 2, 4])
        rate = rng.uniform(-0.05, 0.05, 3) * (kind == "moving")
        block = vb.neck_fk(head + np.arange(length)[:, None] * rate)
        if kind == "invalid":
            block = block * rng.choice([[1, 1, -1], [1, 1, math.nan], [1.0 + 1e-5, 1, 1]])[None, :, None]
        rotations.append(block)
        kinds += [kind] * length
        t += length
    return np.concatenate(rotations)[:steps], kinds[:steps]


@settings(max_examples=property_examples(30), deadline=None)
@given(seed=st.integers(0, 2**32 - 1), max_step=st.floats(0.005, 0.3), change=st.none() | st.floats(0.01, 1.0),
       limits=st.none() | neck_limits())
def test_neck_follow_is_the_step_loop_and_every_command_can_be_sent(seed, max_step, change, limits):
    rng = np.random.default_rng(seed)
    max_step_change = None if change is None else change * max_step
    start = (0.0, 0.0, 0.0) if limits is None else tuple(rng.uniform([l for l, _ in limits], [h for _, h in limits]))
    rotations, kinds = head_stream(rng, 400)
    angles, status = vb.neck_follow(rotations[None], start, max_step=max_step, max_step_change=max_step_change,
                                    limits=limits)
    follower = vb.NeckFollower(start, max_step=max_step, max_step_change=max_step_change, limits=limits)
    twin = copy.deepcopy(follower)
    stepped = [follower.step(r) for r in rotations]
    assert [twin.step(r.tolist()) for r in rotations] == stepped  # lists read as arrays
    assert_same(angles[0], np.array([a for a, _ in stepped]))
    assert status[0].tolist() == [STATUS[name] for _, name in stepped]

    steps = np.diff(np.vstack([start, angles[0]]), axis=0)
    assert np.abs(steps).max() <= max_step
    if max_step_change is not None:
        assert np.abs(np.diff(np.vstack([np.zeros(3), steps]), axis=0)).max() <= max_step_change
    if limits is not None:
        assert all(inside(limits, a) for a in angles[0])
    invalid = np.array(kinds) == "invalid"
    assert np.all((status[0] == vb.HOLDING) == invalid)


@pytest.mark.parametrize("rotation, holds", [
    (np.diag([1.0, 1.0, -1.0]), True),          # a reflection
    (2.0 * np.eye(3), True),                     # not orthonormal
    (vb.neck_fk([0.3, 0.2, 0.1]) * (1 + 2e-6), True),  # off by more than 1e-6
    (np.full((3, 3), math.nan), True),
    (np.where(np.eye(3) > 0, math.inf, 0.0), True),
    (vb.neck_fk([0.3, 0.2, 0.1]) + 1e-8, False),  # within 1e-6: followed
    (-np.eye(3)[[1, 0, 2]], False),               # a rotation by pi about z, then roll
])
def test_only_rotations_are_followed(rotation, holds):
    follower = vb.NeckFollower((0.1, 0.2, 0.3), max_step=0.05)
    _, status = follower.step(rotation)
    assert (status == "holding") == holds
    assert (follower.angles == (0.1, 0.2, 0.3)) == holds


def test_the_neck_turns_inside_its_limits_and_saturates_at_them():
    limits = ((-2, 2), (-1.2, 1.2), (-0.6, 0.6))
    neck = vb.NeckFollower((1.9, 0, 0), max_step=0.008, limits=limits)
    steps = [neck.step(vb.neck_fk([-1.9, 0, 0])) for _ in range(1000)]
    assert steps[-1] == ((-1.9, 0.0, 0.0), "tracking") and steps[0][0][0] < 1.9
    # Beyond the yaw limit: stopped there, saturated; on the way, approaching.
    steps = [neck.step(vb.neck_fk([2.5, 0.1, 0.0]))[1] for _ in range(1000)]
    assert neck.angles[0] == 2.0 and steps[-1] == "saturated" and steps[0] == "approaching"


@settings(max_examples=property_examples(30), deadline=None)
@given(seed=st.integers(0, 2**32 - 1), limits=neck_limits())
def test_settings_change_in_one_call_and_new_limits_are_walked_into(seed, limits):
    rng = np.random.default_rng(seed)
    neck = vb.NeckFollower((0.0, 0.0, 0.0), max_step=0.05)
    rotations, _ = head_stream(rng, 100)
    for r in rotations[:50]:
        neck.step(r)
    before = (neck.angles, neck.velocity, neck.max_step, neck.max_step_change, neck.limits)
    with pytest.raises(ValueError):  # the bad max_step_change refuses the good limits with it
        neck.configure(limits=limits, max_step_change=-1.0)
    assert (neck.angles, neck.velocity, neck.max_step, neck.max_step_change, neck.limits) == before
    neck.configure(limits=limits, max_step_change=0.01, max_step=0.1)
    assert (neck.max_step, neck.max_step_change, neck.limits) == (0.1, 0.01, tuple(map(tuple, limits)))
    # Copies and pickles carry on exactly as the original, velocity included.
    copies = [copy.copy(neck), copy.deepcopy(neck), pickle.loads(pickle.dumps(neck))]
    assert all(c.velocity == neck.velocity and c.angles == neck.angles for c in copies)
    last = neck.angles
    for r in list(rotations[50:]) + [vb.neck_fk([0.0, 0.0, 0.0])] * 2000:
        out = neck.step(r)
        assert all(c.step(r) == out for c in copies)
        assert np.abs(np.subtract(out[0], last)).max() <= 0.1
        last = out[0]
    assert inside(limits, neck.angles)
    neck.reset(neck.angles)
    assert neck.velocity == (0.0, 0.0, 0.0)


@pytest.mark.parametrize("state", [
    ((0.0, 0.0, 0.0), (0.0, 0.0, 0.0), -1.0, None, None),
    ((0.0, 0.0, 0.0), (0.5, 0.0, 0.0), 0.1, None, None),  # faster than max_step
    ((math.nan, 0.0, 0.0), (0.0, 0.0, 0.0), 0.1, None, None),
    ((0.0, 0.0, 0.0), (0.0, 0.0, 0.0), 0.1, None),
    "state",
])
def test_a_state_that_no_follower_has_is_refused(state):
    # As pickle restores one: a bare instance, then its state.
    neck = vb.NeckFollower.__new__(vb.NeckFollower)
    with pytest.raises((TypeError, ValueError), match="NeckFollower.__setstate__"):
        neck.__setstate__(state)


@pytest.mark.parametrize("make, argument", [
    (lambda: vb.ArmFollower(ARM, (0.3, -0.2), max_step=0.05), ARM.direction(0.31, -0.2)),
    (lambda: vb.NeckFollower((0.1, 0.2, 0.3), max_step=0.05), vb.neck_fk([0.12, 0.2, 0.3]).tolist()),
])
def test_steps_read_arrays_as_lists_and_refuse_complex(make, argument):
    forms = [argument, tuple(map(lambda x: tuple(x) if isinstance(x, list) else x, argument)), np.array(argument),
             np.asfortranarray(argument), np.repeat(np.array(argument)[..., None], 2, axis=-1)[..., 1],
             np.array(argument)[::-1][::-1], np.array(argument, dtype=">f8")]
    results = []
    for form in forms:
        follower = make()
        results.append([follower.step(form) for _ in range(3)])
    assert all(r == results[0] for r in results[1:])
    with pytest.raises(TypeError, match="must hold real numbers, not an array of dtype complex128"):
        make().step(np.array(argument, dtype=complex))
