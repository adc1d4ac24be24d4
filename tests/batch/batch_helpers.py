"""Shared strategies and references for the batch module's tests: the scalar
methods of velmora_torso_kinematics applied element by element."""

from __future__ import annotations

import json
import math

import numpy as np
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import velmora_torso_kinematics as vtk

NAN2 = (math.nan, math.nan)


def arm_from(arm_arc, coupler_arc, branch, mirror):
    document = {"arm_arc": arm_arc, "coupler_arc": coupler_arc, "branch": branch, "mirror": mirror}
    return vtk.VelmoraArmKinematics.from_json(json.dumps(document))


# Both presets, and geometries of every kind read from JSON (negative branch included).
arms = st.one_of(
    st.sampled_from([vtk.VelmoraArmKinematics.default_left(), vtk.VelmoraArmKinematics.default_right()]),
    st.builds(arm_from, st.floats(0.2, 1.3), st.floats(0.2, 1.3), st.sampled_from(["positive", "negative"]),
              st.booleans()),
)

# Mostly ordinary angles, with the non-finite values as data.
numbers = st.one_of(st.floats(-4.0, 4.0), st.sampled_from([0.0, -0.0, math.nan, math.inf, -math.inf]))


def arrays(shape, trailing=()):
    return hnp.arrays(np.float64, tuple(shape) + tuple(trailing), elements=numbers)


def broadcast_pair(trailing_a=(), trailing_b=()):
    """Two arrays whose leading shapes broadcast against each other."""
    return hnp.mutually_broadcastable_shapes(num_shapes=2, max_dims=3, max_side=4).flatmap(
        lambda shapes: st.tuples(arrays(shapes.input_shapes[0], trailing_a),
                                 arrays(shapes.input_shapes[1], trailing_b)))


def scalar(call, failure, size):
    """The scalar method's answer as (values, ok); NaN and False where it raises `failure`."""
    try:
        return np.array(call(), dtype=np.float64).reshape(size), True
    except failure:
        return np.full(size, np.nan), False


def elementwise(lead_shape, call, failure, size):
    """scalar() over every index of the leading shape, stacked."""
    values = np.empty(tuple(lead_shape) + (size,))
    ok = np.empty(lead_shape, dtype=bool)
    for index in np.ndindex(*lead_shape):
        values[index], ok[index] = scalar(lambda: call(index), failure, size)
    return values, ok


def assert_same(got, expected):
    """Bit for bit, except that any NaN equals any NaN."""
    got, expected = np.asarray(got), np.asarray(expected)
    assert got.dtype == expected.dtype and got.shape == expected.shape, (got.shape, expected.shape)
    if got.dtype != np.float64:
        assert np.array_equal(got, expected)
        return
    nan = np.isnan(got)
    assert np.array_equal(nan, np.isnan(expected))
    assert np.array_equal(got[~nan].view(np.uint64), expected[~nan].view(np.uint64))


def reachable_directions(arm, rng, count):
    """Directions that forward kinematics produced, so that most are reachable."""
    thetas = rng.uniform(-1.0, 1.0, size=(count, 2))
    return np.array([arm.direction(*pair) if arm.is_reachable_joints(*pair) else [0.0, 0.6, 0.8]
                     for pair in thetas.tolist()])


def follow(arm, path, start, max_step):
    """What a controller streaming targets writes today."""
    last, pairs, oks = start, [], []
    for direction in path.tolist():
        try:
            pair = arm.ik_from_direction(direction, near=last)
        except RuntimeError:
            pair = None
        if pair is not None and max_step is not None and last is not None:
            da, db = pair[0] - last[0], pair[1] - last[1]
            if math.sqrt(da * da + db * db) > max_step:
                pair = None
        oks.append(pair is not None)
        last = pair if pair is not None else last
        pairs.append(NAN2 if last is None else last)
    return np.array(pairs, dtype=float).reshape(-1, 2), np.array(oks, dtype=bool)
