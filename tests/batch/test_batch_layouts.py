"""Every batch function gives the scalar method's bits (or, without one, its own
bits on a C-contiguous array) whatever form its inputs take: one pose as 0-d
arrays or Python numbers, zero-stride broadcasts, negative strides,
non-contiguous views. Each function is called as its first row in the table
of sample calls (sample_calls.py), and every name in __all__ has a row."""

from __future__ import annotations

import math

import numpy as np
import pytest

import velmora_torso_batch as vb
import velmora_torso_kinematics as vtk
from batch_helpers import assert_same, follow
from sample_calls import first_samples

ARM = vtk.VelmoraArmKinematics.default_left()
NECK = vtk.VelmoraNeckKinematics()
RNG = np.random.default_rng(19)
N = 6

THETA = RNG.uniform(-0.8, 0.8, size=(N, 2))
THETA[0] = (0.0, math.pi / 2)  # the loop does not close
ROTATIONS = vb.fk(ARM, THETA[:, 0], THETA[:, 1])[0]
ROTATIONS[1] = np.eye(3)  # unreachable
DIRECTIONS = vb.direction(ARM, THETA[:, 0], THETA[:, 1])[0]
DIRECTIONS[0] = (0.6, 0.0, 0.8)
ANGLES = RNG.uniform(-1.0, 1.0, size=(N, 3))
ANGLES[2, 1] = math.pi / 2  # gimbal lock
HEADS = vb.neck_fk(ANGLES)
NEAR = THETA + 0.05
PATHS = np.stack([DIRECTIONS, np.roll(DIRECTIONS, 1, axis=0), DIRECTIONS[::-1]], axis=1)  # (N, 3, 3)
STARTS = np.array([(0.3 + 0.05 * k, -0.2) for k in range(N)])  # each closes the loop
HEAD_PATHS = np.stack([HEADS, HEADS[::-1], np.roll(HEADS, 2, axis=0), HEADS[::-1]], axis=1)  # (N, 4, 3, 3)
HEAD_PATHS[1, 2] = np.diag([1.0, 1.0, -1.0])  # not a rotation: holds
HEAD_STARTS = np.clip(ANGLES[::-1], -0.9, 0.9)
# The sample calls' inputs, each with leading shape (N,).
INPUTS = {"theta_a": THETA[:, 0], "theta_b": THETA[:, 1], "rotations": ROTATIONS, "directions": DIRECTIONS,
          "near": NEAR, "vectors": ANGLES[::-1].copy(), "paths": PATHS, "finite_path_starts": NEAR,
          "closing_path_starts": STARTS, "neck_angles": ANGLES, "neck_rotations": HEADS, "neck_paths": HEAD_PATHS,
          "neck_path_starts": HEAD_STARTS, "few_directions": DIRECTIONS,
          "few_paths": PATHS, "few_closing_path_starts": STARTS}
STATUS = {"tracking": vb.TRACKING, "approaching": vb.APPROACHING, "holding": vb.HOLDING, "saturated": vb.SATURATED}
# Not functions over arrays: the followers' classes and status codes (test_batch_follow.py),
# arm_json (test_batch_arm_json.py) and FiveBar (test_general_arm.py).
FOLLOWER_NAMES = {"ArmFollower", "NeckFollower", "TRACKING", "APPROACHING", "HOLDING", "SATURATED", "arm_json",
                  "FiveBar"}


def outcome(shapes, failure, call):
    """The scalar method's answer as the batch writes it: values, then ok."""
    try:
        values = call()
    except failure:
        return [np.full(shape, np.nan) for shape in shapes] + [np.bool_(False)]
    return [np.array(values, dtype=np.float64).reshape(shape) for shape in shapes] + [np.bool_(True)]


def batch_itself(function, *fixed):
    """Without a scalar method: the function on C-contiguous float64 inputs, element i."""
    def reference(i, *inputs):
        results = function(*fixed, *(np.ascontiguousarray(x, dtype=np.float64) for x in inputs))
        return [np.asarray(r)[i] for r in (results if isinstance(results, tuple) else (results,))]
    return reference


def scalar(call):
    def reference(i, *inputs):
        return call(*(x[i].tolist() for x in inputs))
    return reference


def stepped(max_step):
    """ArmFollower.step along path i from start i: the pairs, then the status codes."""
    def reference(i, paths, starts):
        follower = vb.ArmFollower(ARM, tuple(np.asarray(starts[i]).tolist()), max_step=max_step)
        steps = [follower.step(d) for d in np.asarray(paths[i]).tolist()]
        return [np.array([pair for pair, _ in steps]), np.array([STATUS[name] for _, name in steps], dtype=np.int8)]
    return reference


def neck_stepped(settings):
    """NeckFollower.step along path i of rotations from start i: the angles, then the status codes."""
    def reference(i, paths, starts):
        follower = vb.NeckFollower(tuple(np.asarray(starts[i]).tolist()), **settings)
        steps = [follower.step(r) for r in np.asarray(paths[i]).tolist()]
        return [np.array([angles for angles, _ in steps]),
                np.array([STATUS[name] for _, name in steps], dtype=np.int8)]
    return reference


def pair_or_none(values):
    return None if values is None else tuple(values)


def chained(max_step):
    def reference(i, paths, starts):
        return list(follow(ARM, np.asarray(paths[i]), tuple(np.asarray(starts[i]).tolist()), max_step))
    return reference


# The references of the functions that have a scalar method, or a loop of one;
# the others are held to themselves on C-contiguous inputs.
MAX_STEP = {name: first_samples()[name].arguments["max_step"].value for name in ("ik_path", "follow")}
NECK_SETTINGS = {key: value.value for key, value in first_samples()["neck_follow"].arguments.items()
                 if key in ("max_step", "max_step_change", "limits")}
SCALAR = {
    "fk": scalar(lambda a, b: outcome([(3, 3)], RuntimeError, lambda: ARM.fk(a, b))),
    "direction": scalar(lambda a, b: outcome([(3,)], RuntimeError, lambda: ARM.direction(a, b))),
    "ik": scalar(lambda r: outcome([(2,)], RuntimeError, lambda: ARM.ik(r))),
    "ik_from_direction": scalar(lambda d, n: outcome([(2,)], RuntimeError,
                                                     lambda: ARM.ik_from_direction(d, pair_or_none(n)))),
    "ik_path": chained(MAX_STEP["ik_path"]),
    "follow": stepped(MAX_STEP["follow"]),
    "neck_follow": neck_stepped(NECK_SETTINGS),
    "neck_fk": scalar(lambda a: [np.array(NECK.fk(a))]),
    "neck_ik": scalar(lambda r: outcome([(3,)], ValueError, lambda: NECK.ik(r))),
}


def sample(name):
    """(the batch call on its inputs in order, those inputs, the reference for element i)."""
    row = first_samples()[name]
    names = [key for key, value in row.arguments.items() if isinstance(value, str) and key != "arm"]

    def call(*inputs):
        return row.call(vb, {"arms": ARM, **{row.arguments[key]: x for key, x in zip(names, inputs)}})
    inputs = [INPUTS[row.arguments[key]] for key in names]
    return call, inputs, SCALAR.get(name, batch_itself(call))


FUNCTIONS = sorted(first_samples())


def spread(x):
    """x as every other element of a larger array: a non-contiguous view."""
    wide = np.full((2 * len(x),) + x.shape[1:], np.inf)
    wide[::2] = x
    return wide[::2]


def transposed_memory(x):
    """x with its trailing dimensions stored in reverse order (Fortran-like inner strides)."""
    return np.asfortranarray(x) if x.ndim > 1 else spread(x)


# layout: (inputs in that layout, the element index each result row comes from)
LAYOUTS = {
    "negative strides": lambda xs: ([x[::-1] for x in xs], list(range(N))[::-1]),
    "non-contiguous view": lambda xs: ([spread(x) for x in xs], list(range(N))),
    "inner strides": lambda xs: ([transposed_memory(x) for x in xs], list(range(N))),
    "zero-stride broadcast": lambda xs: ([np.broadcast_to(x[3], (4,) + x.shape[1:]) for x in xs], [3] * 4),
    "read-only": lambda xs: ([read_only(x) for x in xs], list(range(N))),
}


def read_only(x):
    view = x.copy()
    view.flags.writeable = False
    return view


def as_list(results):
    return list(results) if isinstance(results, tuple) else [results]


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
@pytest.mark.parametrize("name", FUNCTIONS)
def test_layouts_give_the_same_bits(name, layout):
    call, inputs, reference = sample(name)
    laid_out, rows = LAYOUTS[layout](inputs)
    got = as_list(call(*laid_out))
    for k, i in enumerate(rows):
        for value, expected in zip(got, reference(i, *inputs), strict=True):
            assert_same(value[k], np.asarray(expected))


# One pose: each input as a 0-d array or a trailing-shaped array, as Python
# numbers and lists, and (where they are integers) as Python ints.
def tuples(values):
    return tuple(map(tuples, values)) if isinstance(values, list) else values


ONE_POSE = {
    "0-d arrays": lambda x: np.array(x),
    "python numbers": lambda x: x.tolist(),
    "tuples": lambda x: tuples(x.tolist()),
    "numpy scalars": lambda x: x[()] if x.ndim == 0 else x,
}


@pytest.mark.parametrize("form", sorted(ONE_POSE))
@pytest.mark.parametrize("name", FUNCTIONS)
def test_one_pose_gives_the_same_bits(name, form):
    call, inputs, reference = sample(name)
    for i in range(N):
        got = as_list(call(*(ONE_POSE[form](x[i]) for x in inputs)))
        for value, expected in zip(got, reference(i, *inputs), strict=True):
            assert value.shape == np.shape(expected)
            assert_same(value, np.asarray(expected))


@pytest.mark.parametrize("value, read_as", [
    (3, 3.0), (-7, -7.0), (True, 1.0), (False, 0.0), (2**53 + 1, float(2**53 + 1)), (-2**63, -2.0**63),
    (2**63, 2.0**63), (2**64 - 1, 2.0**64), (np.float64(0.25), 0.25), (np.int32(5), 5.0), (1e300, 1e300),
])
def test_python_and_numpy_numbers_read_as_numpy_converts_them(value, read_as):
    # Python floats and ints are read without NumPy, others through it: both
    # as NumPy's float64 conversion gives them.
    assert float(np.asarray(value, dtype=np.float64)) == read_as
    for got, expected in zip(vb.jacobian(ARM, value, -0.2), vb.jacobian(ARM, np.array([read_as]), -0.2),
                             strict=True):
        assert_same(got, expected[0])
    assert_same(vb.neck_rates([0.1, value, 0.2], [value, 0.0, 1.0]),
                vb.neck_rates(np.array([0.1, read_as, 0.2]), np.array([read_as, 0.0, 1.0])))


def outcome_of(call):
    try:
        return call()
    except (TypeError, ValueError) as error:
        return type(error), str(error)


@pytest.mark.parametrize("vector", [
    [1, 0, 0], (1, 0.0, -0), [True, 0.5, False], [2**63 - 1, 1.0, 0.0], [-2**63, 3, 1], [2**70, 1.0, 0.0],
    [2**64, 1, 0], [np.float64(0.5), 1, 0], [np.float32(0.1), 1, 0], [0.5, np.int8(3), 1], [[1, 0, 0]],
    ([1, 0, 0], (0, 1, 0)), [1, 0], [1.0, 0.0, 0.0, 0.0], [1, [0], 0], [1, "0", 0], [1, None, 0], [1j, 0, 0], [],
])
def test_lists_read_as_numpy_converts_them(vector):
    # Lists of one pose are read without NumPy; others, and the failures,
    # through it: the same values, or the same error, either way.
    same_as_numpy(vector, [lambda v: vb.neck_rates(v, [0.1, 0.2, 0.3]), lambda v: vb.joint_rates(ARM, 0.3, -0.2, v)])


STEP = [0.6, 0.0, 0.8]


@pytest.mark.parametrize("path", [
    [STEP], (STEP, [0, 0.6, 0.8]), [STEP] * 16, [STEP] * 17, [], [[]], [STEP, [0.6, 0.0]], [[STEP]], [1, 0, 0],
    [STEP, (0.0, 0.6, 0.8)], [tuple(STEP)] * 3,
])
def test_paths_as_lists_read_as_numpy_converts_them(path):
    same_as_numpy(path, [lambda p: vb.ik_path(ARM, p, (0.3, -0.2), max_step=0.5)])


def same_as_numpy(values, calls):
    """Each call on `values` gives what it gives on NumPy's float64 conversion
    of them (bit for bit), or raises what that raises."""
    try:
        array = np.asarray(values)
    except ValueError as error:
        converted, refused = None, (ValueError, str(error))  # ragged: NumPy's own error is the answer
    else:
        converted = array.astype(np.float64) if array.dtype.kind in "biuf" else array
    for call in calls:
        got = outcome_of(lambda: call(values))
        if converted is None:
            assert got == refused
            continue
        expected = outcome_of(lambda: call(converted))
        if isinstance(expected[0], type):
            assert got == expected
        else:
            for a, b in zip(as_list(got), as_list(expected), strict=True):
                assert_same(a, b)


def test_every_exported_function_is_in_the_tables():
    exported = set(vb.__all__)
    assert type(vb.__all__) is tuple and list(vb.__all__) == sorted(exported)
    functions = exported - FOLLOWER_NAMES
    assert functions == set(FUNCTIONS), functions ^ set(FUNCTIONS)
    assert exported == {name for name in dir(vb) if not name.startswith("_")
                        and (callable(getattr(vb, name)) or name in FOLLOWER_NAMES)}
