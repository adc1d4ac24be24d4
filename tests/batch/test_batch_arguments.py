"""Conversion, shapes and errors of velmora_torso_batch: NumPy converts once,
the argument is named, nothing crashes on hostile input."""

from __future__ import annotations

import tracemalloc

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from hypothesis.extra import numpy as hnp

import velmora_torso_batch as vb
import velmora_torso_kinematics as vtk
from batch_helpers import arrays, assert_same, scalar
from conftest import property_examples

ARM = vtk.VelmoraArmKinematics.default_left()
THETA = np.linspace(-0.6, 0.6, 40)


def unaligned(values):
    raw = np.zeros(values.nbytes + 1, dtype=np.uint8)
    view = np.ndarray(values.shape, dtype=np.float64, buffer=raw, offset=1)
    view[...] = values
    assert not view.flags.aligned
    return view


def read_only(values):
    view = values.copy()
    view.flags.writeable = False
    return view


# The same values in every form an array-like can take.
FORMS = [
    pytest.param(lambda x: x.tolist(), id="list"),
    pytest.param(lambda x: x.astype(np.float32).astype(np.float64).astype(np.float32), id="float32"),
    pytest.param(lambda x: (x * 10).astype(np.int16), id="int16"),
    pytest.param(lambda x: x > 0, id="bool"),
    pytest.param(lambda x: x.astype(">f8"), id="big-endian"),
    pytest.param(unaligned, id="unaligned"),
    pytest.param(read_only, id="read-only"),
    pytest.param(lambda x: np.repeat(x, 3)[::3], id="strided"),
    pytest.param(lambda x: np.ma.masked_array(x, mask=x > 0), id="masked"),
    pytest.param(lambda x: memoryview(x.copy()), id="memoryview"),
]


@pytest.mark.parametrize("form", FORMS)
def test_every_array_like_gives_the_scalar_answer(form):
    theta = form(THETA)
    values = [float(x) for x in np.asarray(theta).tolist()]
    v3, ok = vb.direction(ARM, theta, -0.2)
    expected = [scalar(lambda: ARM.direction(x, -0.2), RuntimeError, 3) for x in values]
    assert_same(v3, np.array([values for values, _ in expected]))
    assert_same(ok, np.array([ok for _, ok in expected]))


def test_scalars_and_empty_inputs():
    rotation, ok = vb.fk(ARM, 0.3, -0.2)
    assert rotation.shape == (3, 3) and ok.shape == () and ok
    assert_same(rotation, np.array(ARM.fk(0.3, -0.2)))
    for result, shape in [(vb.fk(ARM, np.zeros((0, 4)), 0.0)[0], (0, 4, 3, 3)),
                          (vb.ik(ARM, np.zeros((2, 0, 3, 3)))[0], (2, 0, 2)),
                          (vb.ik_path(ARM, np.zeros((5, 0, 3)))[1], (5, 0)),
                          (vb.neck_fk(np.zeros((0, 3))), (0, 3, 3)),
                          (vb.jacobian(ARM, np.zeros((0, 2)), 0.0)[0], (0, 2, 3, 2)),
                          (vb.joint_rates(ARM, 0.0, 0.0, np.zeros((3, 0, 3)))[0], (3, 0, 2)),
                          (vb.direction_solutions(ARM, np.zeros((0, 3)))[0], (0, 4, 2)),
                          (vb.direction_solutions(ARM, np.zeros((0, 3)))[1], (0,)),
                          (vb.neck_angle_rates(np.zeros((0, 3)), np.zeros(3))[1], (0,))]:
        assert result.shape == shape


# The velocity functions and direction_solutions have no scalar method: each
# element of a broadcast call is the same function called on that element alone.
SINGLE = {
    "jacobian": (lambda a, b: vb.jacobian(ARM, a, b), [(), ()]),
    "singularity_measure": (lambda a, b: vb.singularity_measure(ARM, a, b), [(), ()]),
    "joint_rates": (lambda a, b, v: vb.joint_rates(ARM, a, b, v), [(), (), (3,)]),
    "direction_solutions": (lambda d: vb.direction_solutions(ARM, d), [(3,)]),
    "neck_rates": (lambda a, d: (vb.neck_rates(a, d),), [(3,), (3,)]),
    "neck_angle_rates": (lambda a, w: vb.neck_angle_rates(a, w), [(3,), (3,)]),
}


@pytest.mark.parametrize("name", sorted(SINGLE))
@settings(max_examples=property_examples(30), deadline=None)
@given(data=st.data())
def test_broadcast_elements_equal_single_calls(name, data):
    call, trailing = SINGLE[name]
    signature = ",".join("(" + ",".join(map(str, t)) + ")" for t in trailing) + "->()"
    shapes = data.draw(hnp.mutually_broadcastable_shapes(signature=signature, max_side=3))
    operands = [data.draw(arrays(shape)) for shape in shapes.input_shapes]
    results = call(*operands)
    views = [np.broadcast_to(x, shapes.result_shape + t) for x, t in zip(operands, trailing)]
    for index in np.ndindex(*shapes.result_shape):
        for got, single in zip(results, call(*(view[index] for view in views)), strict=True):
            assert got.shape[:len(shapes.result_shape)] == shapes.result_shape
            assert_same(got[index], single)


def test_outputs_are_new_arrays():
    rotations = np.array(vb.neck_fk([0.1, 0.2, 0.3]))
    first = vb.neck_fk([0.1, 0.2, 0.3])
    first[...] = 0
    assert_same(vb.neck_fk([0.1, 0.2, 0.3]), rotations)


ERRORS = [
    (lambda: vb.fk(1, 0, 0), TypeError,
     "fk(): 'arm' must be a velmora_torso_kinematics.VelmoraArmKinematics or a velmora_torso_batch.FiveBar, not 'int'"),
    (lambda: vb.ik(vtk.VelmoraNeckKinematics(), np.eye(3)), TypeError,
     "ik(): 'arm' must be a velmora_torso_kinematics.VelmoraArmKinematics or a velmora_torso_batch.FiveBar, not 'VelmoraNeckKinematics'"),
    (lambda: vb.fk(ARM, "1", 0), TypeError, "fk(): 'theta_a' must hold real numbers, not an array of dtype <U1"),
    (lambda: vb.direction(ARM, 0, [1, None]), TypeError,
     "direction(): 'theta_b' must hold real numbers, not an array of dtype object"),
    (lambda: vb.neck_fk([1j, 0, 0]), TypeError,
     "neck_fk(): 'angles' must hold real numbers, not an array of dtype complex128"),
    (lambda: vb.ik(ARM, np.eye(2)), ValueError, "ik(): 'rotations' must have shape (..., 3, 3), not (2, 2)"),
    (lambda: vb.neck_ik(np.zeros((4, 3))), ValueError,
     "neck_ik(): 'rotations' must have shape (..., 3, 3), not (4, 3)"),
    (lambda: vb.ik_from_direction(ARM, [1, 0]), ValueError,
     "ik_from_direction(): 'directions' must have shape (..., 3), not (2,)"),
    (lambda: vb.ik_from_direction(ARM, [1, 0, 0], near=[1, 2, 3]), ValueError,
     "ik_from_direction(): 'near' must have shape (..., 2), not (3,)"),
    (lambda: vb.ik_path(ARM, [1, 0, 0]), ValueError, "ik_path(): 'directions' must have shape (..., T, 3), not (3,)"),
    (lambda: vb.ik_path(ARM, np.zeros((2, 3)), start=0.0), ValueError,
     "ik_path(): 'start' must have shape (..., 2), not ()"),
    (lambda: vb.neck_fk(np.zeros(3), workers=0), ValueError,
     "neck_fk(): 'workers' must be -1 or a positive integer, not 0"),
    (lambda: vb.neck_fk(np.zeros(3), workers=-2), ValueError,
     "neck_fk(): 'workers' must be -1 or a positive integer, not -2"),
    (lambda: vb.neck_fk(np.zeros(3), workers=-2**80), ValueError,
     f"neck_fk(): 'workers' must be -1 or a positive integer, not {-2**80}"),
    (lambda: vb.neck_fk(np.zeros(3), workers=2.0), TypeError,
     "neck_fk(): 'workers' must be -1 or a positive integer, not 'float'"),
    (lambda: vb.ik_path(ARM, np.zeros((2, 3)), max_step="1"), TypeError,
     "ik_path(): 'max_step' must be a real number or None, not 'str'"),
    (lambda: vb.ik_path(ARM, np.zeros((2, 3)), max_step=-0.1), ValueError,
     "ik_path(): 'max_step' must be a non-negative number, not -0.1"),
    (lambda: vb.ik_path(ARM, np.zeros((2, 3)), max_step=float("nan")), ValueError,
     "ik_path(): 'max_step' must be a non-negative number, not nan"),
    (lambda: vb.jacobian(ARM, "a", 0), TypeError,
     "jacobian(): 'theta_a' must hold real numbers, not an array of dtype <U1"),
    (lambda: vb.singularity_measure(vtk.VelmoraNeckKinematics(), 0, 0), TypeError,
     "singularity_measure(): 'arm' must be a velmora_torso_kinematics.VelmoraArmKinematics or a velmora_torso_batch.FiveBar, "
     "not 'VelmoraNeckKinematics'"),
    (lambda: vb.joint_rates(ARM, 0, 0, [1, 0]), ValueError,
     "joint_rates(): 'v3_dot' must have shape (..., 3), not (2,)"),
    (lambda: vb.joint_rates(ARM, [0, 1], 0, np.zeros((3, 3))), ValueError,
     "shape mismatch: objects cannot be broadcast to a single shape.  Mismatch is between arg 0 with shape (2,) "
     "and arg 2 with shape (3,)."),
    (lambda: vb.direction_solutions(ARM, np.eye(3)[:, :2]), ValueError,
     "direction_solutions(): 'directions' must have shape (..., 3), not (3, 2)"),
    (lambda: vb.direction_solutions(ARM, [0, 0, 1], workers="2"), TypeError,
     "direction_solutions(): 'workers' must be -1 or a positive integer, not 'str'"),
    (lambda: vb.neck_rates([0, 0, 0], [[1j, 0, 0]]), TypeError,
     "neck_rates(): 'angles_dot' must hold real numbers, not an array of dtype complex128"),
    (lambda: vb.neck_angle_rates([0, 0, 0], 1.0), ValueError,
     "neck_angle_rates(): 'omega' must have shape (..., 3), not ()"),
    (lambda: vb.fk(ARM, [1, 2], [1, 2, 3]), ValueError,
     "shape mismatch: objects cannot be broadcast to a single shape.  Mismatch is between arg 0 with shape (2,) "
     "and arg 1 with shape (3,)."),
    (lambda: vb.ik_from_direction(ARM, np.zeros((4, 3)), np.zeros((3, 2))), ValueError,
     "shape mismatch: objects cannot be broadcast to a single shape.  Mismatch is between arg 0 with shape (4,) "
     "and arg 1 with shape (3,)."),
]


@pytest.mark.parametrize("call, exc_type, message", ERRORS)
def test_error_messages(call, exc_type, message):
    with pytest.raises(exc_type) as info:
        call()
    assert type(info.value) is exc_type and str(info.value) == message


@pytest.mark.parametrize("call", [
    # Sizes that do not fit in memory or in an index: NumPy refuses them before any loop runs.
    lambda: vb.fk(ARM, np.broadcast_to(0.0, (2**40,)), 0.0),
    lambda: vb.fk(ARM, np.broadcast_to(0.0, (2**31, 2**31)), np.zeros((2**31, 1))),
    lambda: vb.neck_fk(np.broadcast_to(0.0, (2**20, 2**20, 2**20, 3))),
    lambda: vb.ik_path(ARM, np.broadcast_to(0.0, (2**40, 4, 3))),
])
def test_huge_shapes_are_refused_not_crashed(call):
    with pytest.raises((MemoryError, ValueError)):
        call()


def test_huge_count_of_empty_paths_returns_at_once():
    pairs, ok = vb.ik_path(ARM, np.broadcast_to(0.0, (2**50, 0, 3)))
    assert pairs.shape == (2**50, 0, 2) and ok.shape == (2**50, 0)


def extra_memory(call):
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        result = call()
        return tracemalloc.get_traced_memory()[1] - before, result
    finally:
        tracemalloc.stop()


@pytest.mark.parametrize("dtype, copies", [(np.float64, 0), (np.float32, 1), (np.int32, 1)])
def test_peak_memory_is_outputs_plus_one_converted_copy(dtype, copies):
    n = 50_000
    theta = np.linspace(-0.5, 0.5, n).astype(dtype)
    peak, (rotations, ok) = extra_memory(lambda: vb.fk(ARM, theta, np.float64(-0.2)))
    budget = rotations.nbytes + ok.nbytes + copies * 8 * n
    assert peak <= budget + 64 * 1024, (peak, budget)
