"""An exact ndarray of float64 or float32 and the wanted shape is read from memory; a trivial subclass
is indexed item by item. The same data through both gives the same outcome: results bit for bit,
exceptions by type and message."""

import warnings

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from hypothesis.extra import numpy as hnp

import velmora_torso_kinematics as vtk
from conftest import float_bits, property_examples

ARM, NECK = vtk.VelmoraArmKinematics.default_left(), vtk.VelmoraNeckKinematics()
METHODS = {"arm.ik": ARM.ik, "arm.ik_from_direction": ARM.ik_from_direction, "neck.fk": NECK.fk, "neck.ik": NECK.ik}
WANTS = {"arm.ik": (3, 3), "arm.ik_from_direction": (3,), "neck.fk": (3,), "neck.ik": (3, 3)}
REACHED = {(3, 3): np.array(ARM.fk(0.3, -0.2)), (3,): np.array(ARM.direction(0.3, -0.2))}  # results, not failures
SPECIAL = [np.nan, -np.inf, -0.0, 5e-324, 1e300, 1e-40, 65504.0, 3.4e38, -2.0]


class Plain(np.ndarray):
    pass


def outcome(call, argument):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = "returned", float_bits(call(argument))
        except Exception as error:
            result = "raised", type(error), str(error)
    return result, [(w.category, str(w.message)) for w in caught]


def assert_same_through_both(call, array):
    assert type(array) is np.ndarray
    assert outcome(call, array) == outcome(call, array.view(Plain))


def in_bytes(array, offset):  # read-only, and unaligned when offset is odd
    if array.dtype == object:
        return array
    return np.frombuffer(b"\0" * offset + array.tobytes(), array.dtype, offset=offset).reshape(array.shape)


LAYOUTS = {  # each an exact ndarray of the same values
    "c-order": lambda a: a,
    "fortran": np.asfortranarray,
    "transposed": lambda a: a.T.copy().T,
    "strided": lambda a: np.repeat(a, 2, axis=-1)[..., ::2],
    "backwards": lambda a: a[..., ::-1].copy()[..., ::-1],
    "read-only": lambda a: in_bytes(a, 0),
    "unaligned": lambda a: in_bytes(a, 1),
}
DTYPES = ["f8", "f4", "<f8", ">f8", ">f4", "=f4", "f2", "g", "i8", "u1", "?", "c16", "O"]


@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # making the arrays casts NaN and large numbers
@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("name", METHODS)
@pytest.mark.parametrize("special", [None, 0, 4])
def test_wanted_shape_gives_the_same_outcome_on_both_paths(name, dtype, layout, special):
    values = REACHED[WANTS[name]].copy()
    if special is not None:  # every other value from SPECIAL[special:]
        values.reshape(-1)[1::2] = SPECIAL[special:special + values.size // 2]
    assert_same_through_both(METHODS[name], LAYOUTS[layout](np.array(values, dtype=dtype)))


@pytest.mark.parametrize("shape", [(), (2, 3), (3, 1), (1, 3), (9,), (3, 3, 1), (4, 3), (0,), (3,), (3, 3)], ids=str)
@pytest.mark.parametrize("dtype", ["f8", "f4", "i8", "O"])
@pytest.mark.parametrize("name", METHODS)
def test_other_shapes_fail_or_succeed_as_on_the_generic_path(name, dtype, shape):
    numbers = np.arange(1, 1 + int(np.prod(shape))).reshape(shape) / 7
    array = np.full(shape, "x", dtype=object) if dtype == "O" else np.array(numbers, dtype=dtype)
    assert_same_through_both(METHODS[name], array)


def test_rows_given_as_arrays_read_like_lists():
    rows = [np.array(row, dtype=dtype) for row, dtype in zip(REACHED[(3, 3)], ["f8", ">f8", "f4"])]
    assert [outcome(METHODS[n], rows) for n in ("arm.ik", "neck.ik")] == \
        [outcome(METHODS[n], [[float(x) for x in row] for row in rows]) for n in ("arm.ik", "neck.ik")]


@settings(max_examples=property_examples(300), deadline=None)
@given(data=st.data(), name=st.sampled_from(list(METHODS)), dtype=st.sampled_from(["<f8", ">f8", "<f4", ">f4"]))
def test_any_values_and_strides_give_the_same_outcome(data, name, dtype):
    shape = WANTS[name]  # NumPy's element strategy draws NaN, infinities, -0 and subnormals too
    base = data.draw(hnp.arrays(np.dtype(dtype), tuple(2 * n for n in shape)))
    steps = data.draw(st.tuples(*[st.sampled_from([1, 2, -1, -2]) for _ in shape]))
    view = base[tuple(slice(None, None, step) for step in steps)][tuple(slice(0, n) for n in shape)]
    assert_same_through_both(METHODS[name], view)
