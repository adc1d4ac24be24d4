"""NumPy arrays as Vec3 and Mat3 arguments: an exact ndarray of float64 or float32 and the
wanted shape is read from its memory, every other array is indexed item by item. A trivial
subclass always takes the item-by-item path, so the same data through both must give the same
outcome: results bit for bit, exceptions by type and message."""

import warnings

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import velmora_torso_kinematics as vtk
from conftest import float_bits

ARM = vtk.VelmoraArmKinematics.default_left()
MIRRORED = vtk.VelmoraArmKinematics(0.6, 0.45, mirror=True)
NECK = vtk.VelmoraNeckKinematics()


class Plain(np.ndarray):
    """Adds nothing, but is not ndarray itself."""


# (name, method, shape it wants)
METHODS = [
    ("arm.ik", ARM.ik, (3, 3)),
    ("mirrored.ik", MIRRORED.ik, (3, 3)),
    ("arm.is_reachable_orientation", ARM.is_reachable_orientation, (3, 3)),
    ("arm.ik_from_direction", ARM.ik_from_direction, (3,)),
    ("arm.ik_from_direction-near", lambda v3: ARM.ik_from_direction(v3, near=(0.3, -0.2)), (3,)),
    ("arm.is_reachable_direction", ARM.is_reachable_direction, (3,)),
    ("neck.fk", NECK.fk, (3,)),
    ("neck.ik", NECK.ik, (3, 3)),
]
METHOD_IDS = [name for name, _, _ in METHODS]

REACHED = np.array(ARM.fk(0.3, -0.2))  # reachable by ARM: results, not only failures, are compared
DIRECTION = np.array(ARM.direction(0.3, -0.2))
SPECIAL = [np.nan, -np.nan, np.inf, -np.inf, -0.0, 0.0, 5e-324, -1.7976931348623157e308, 1e-40]


def outcome(call, argument):
    """The call's result in bit-exact form, or its exception's type, text and cause; warnings
    raised on the way are part of it."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = "returned", float_bits(call(argument))
        except Exception as error:
            result = "raised", type(error), str(error), type(error.__cause__)
    return result, [(type(w.message), str(w.message)) for w in caught]


def assert_same_through_both(call, array):
    assert type(array) is np.ndarray
    generic = array.view(Plain)
    assert outcome(call, array) == outcome(call, generic)


def values_for(shape, seed):
    """Data of the wanted shape: the reached rotation or direction, or seeded numbers with
    specials in them."""
    if seed == 0:
        return REACHED if shape == (3, 3) else DIRECTION
    rng = np.random.default_rng(seed)
    data = rng.uniform(-1.5, 1.5, size=shape)
    flat = data.reshape(-1)
    flat[rng.integers(0, flat.size, size=seed % 4)] = rng.choice(SPECIAL, size=seed % 4)
    return data


def unaligned(data, dtype):
    raw = b"\0" + np.array(data, dtype=dtype).tobytes()
    return np.frombuffer(raw, dtype=dtype, offset=1).reshape(data.shape)


def read_only(array):
    array.flags.writeable = False
    return array


SECOND, BACKWARDS = slice(None, None, 2), slice(None, None, -1)
# How the data lies in memory; each layout gives an exact ndarray.
LAYOUTS = {
    "c-order": lambda data, dtype: np.array(data, dtype=dtype),
    "fortran": lambda data, dtype: np.asfortranarray(data, dtype=dtype),
    "transposed": lambda data, dtype: np.array(data.T, dtype=dtype).T,
    "strided": lambda data, dtype: np.repeat(np.array(data, dtype=dtype), 2, axis=-1)[..., SECOND],
    "backwards": lambda data, dtype: np.array(data[..., BACKWARDS], dtype=dtype)[..., BACKWARDS],
    "read-only": lambda data, dtype: read_only(np.array(data, dtype=dtype)),
    "unaligned": lambda data, dtype: unaligned(data, dtype) if dtype != "O" else np.array(data, dtype=dtype),
}
DTYPES = ["f8", "f4", "<f8", ">f8", ">f4", "=f4", "f2", "i8", "u1", "?", "c16", "O", "g"]


@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # casts of NaN and large numbers
@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS.keys())
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("name, call, shape", METHODS, ids=METHOD_IDS)
@pytest.mark.parametrize("seed", [0, 1, 2, 3])
def test_wanted_shape_gives_the_same_outcome_on_both_paths(name, call, shape, dtype, layout, seed):
    assert_same_through_both(call, layout(values_for(shape, seed), dtype))


OTHER_SHAPES = [(), (2, 3), (3, 1), (1, 3), (9,), (3, 3, 1), (3, 2), (4, 3), (0,), (3, 0), (3,), (3, 3)]


@pytest.mark.parametrize("shape", OTHER_SHAPES, ids=str)
@pytest.mark.parametrize("dtype", ["f8", "f4", "i8", "O"])
@pytest.mark.parametrize("name, call, wanted", METHODS, ids=METHOD_IDS)
def test_other_shapes_fail_or_succeed_as_on_the_generic_path(name, call, wanted, dtype, shape):
    if dtype == "O":  # items that are not numbers
        array = np.full(shape, "x", dtype=object)
    else:
        array = np.array(np.arange(1, 1 + int(np.prod(shape))).reshape(shape) / 7, dtype=dtype)
    assert_same_through_both(call, array)


def test_rows_given_as_arrays_read_like_lists():
    rows = [np.array(row, dtype=dtype) for row, dtype in zip(REACHED, ["f8", ">f8", "f4"])]
    as_lists = [[float(x) for x in row] for row in rows]
    assert [outcome(call, rows) for _, call, shape in METHODS if shape == (3, 3)] == \
        [outcome(call, as_lists) for _, call, shape in METHODS if shape == (3, 3)]


@settings(max_examples=300, deadline=None)
@given(data=st.data(),
       method=st.sampled_from(METHODS),
       dtype=st.sampled_from([np.dtype("<f8"), np.dtype(">f8"), np.dtype("<f4"), np.dtype(">f4")]))
def test_any_values_and_strides_give_the_same_outcome(data, method, dtype):
    _, call, shape = method
    # NumPy's own element strategy draws NaN, infinities, -0 and subnormals too
    base = data.draw(hnp.arrays(dtype, tuple(2 * n for n in shape)))
    steps = data.draw(st.tuples(*[st.sampled_from([1, 2, -1, -2]) for _ in shape]))
    view = base[tuple(slice(None, None, step) for step in steps)]
    view = view[tuple(slice(0, n) for n in shape)]
    assert view.shape == shape
    assert_same_through_both(call, view)
