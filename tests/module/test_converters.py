"""Conversion of arguments into the kinematics' values, and of results back into objects."""

import collections
import math

import pytest

import velmora_torso_kinematics as vtk
from conftest import float_bits, raises_exactly

Arm = vtk.VelmoraArmKinematics
Neck = vtk.VelmoraNeckKinematics
ARM = Arm.default_left()
NECK = Neck()
DIRECTION = [0.662696224, 0.584017488, 0.468782772]  # reached by the left arm from three joint pairs
MATRIX = [[0.9, 0.1, 0.4], [-0.2, 0.8, 0.5], [-0.3, -0.6, 0.7]]  # not symmetric: rows and columns differ
JSON = '{"arm_arc": 0.25, "coupler_arc": 0.5}'


def float_error(value):
    """The text of the error that the interpreter's own double conversion raises for `value`."""
    try:
        math.isnan(value)
    except (TypeError, OverflowError) as error:
        return str(error)
    raise AssertionError(f"{value!r} converts to a double")


def wrapped(parameter, value):
    return f"argument '{parameter}': {float_error(value)}"


class WithFloat:
    def __float__(self):
        return 4.25


class WithIndex:
    def __index__(self):
        return 7


class Raising:
    """A number whose conversion raises the given exception."""

    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


class TypeErrorSubclass(TypeError):
    pass


class TupleSubclass(tuple):
    pass


class TextSubclass(str):
    pass


class Outer:
    class Inner:  # __qualname__ "Outer.Inner", __name__ "Inner"
        pass


NumpyBool = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: False})
NumpyBoolWithoutTruth = type("bool_", (), {"__module__": "numpy"})
ForeignBool = type("bool_", (), {"__bool__": lambda self: True})  # same name, not numpy's


def undecided(self):
    raise ValueError("undecided")


NumpyBoolUndecided = type("bool_", (), {"__module__": "numpy", "__bool__": undecided})


def arm_arc(value):
    return Arm(arm_arc=value).arm_arc()


def mirror(value):
    return Arm(0.7, 0.5, value).mirror()


def near(value):
    return ARM.ik_from_direction(DIRECTION, near=value)


ACCEPTED = [  # (converter in use, argument, expected result)
    pytest.param(arm_arc, 1.5, 1.5, id="float-exact"),
    pytest.param(arm_arc, 3, 3.0, id="float-from-int"),
    pytest.param(arm_arc, -1, -1.0, id="float-minus-one-is-a-value"),
    pytest.param(arm_arc, True, 1.0, id="float-from-bool"),
    pytest.param(arm_arc, WithIndex(), 7.0, id="float-from-dunder-index"),
    pytest.param(arm_arc, WithFloat(), 4.25, id="float-from-dunder-float"),
    pytest.param(arm_arc, math.nan, math.nan, id="float-nan"),
    pytest.param(lambda pair: ARM.fk(*pair), (True, 0), ARM.fk(1.0, 0.0), id="float-joint-angles"),
    pytest.param(mirror, True, True, id="bool-true"),
    pytest.param(mirror, False, False, id="bool-false"),
    pytest.param(mirror, NumpyBool(), False, id="bool-numpy-truth-slot"),
    pytest.param(lambda text: Arm.from_json(text).arm_arc(), TextSubclass(JSON), 0.25, id="text-str-subclass"),
    pytest.param(NECK.fk, (0.1, 0.2, 0.3), NECK.fk([0.1, 0.2, 0.3]), id="vec3-tuple"),
    pytest.param(NECK.fk, range(3), NECK.fk([0.0, 1.0, 2.0]), id="vec3-range"),
    pytest.param(NECK.fk, b"\x00\x01\x02", NECK.fk([0.0, 1.0, 2.0]), id="vec3-bytes"),
    pytest.param(NECK.ik, tuple(map(tuple, MATRIX)), NECK.ik(MATRIX), id="mat3-tuple-of-tuples"),
    pytest.param(NECK.ik, collections.UserList([tuple(MATRIX[0]), MATRIX[1], collections.UserList(MATRIX[2])]),
                 NECK.ik(MATRIX), id="mat3-other-sequences"),
    pytest.param(near, TupleSubclass((1.2, -0.1)), near((1.2, -0.1)), id="near-tuple-subclass"),
    pytest.param(near, None, ARM.ik_from_direction(DIRECTION), id="near-none-is-absent"),
]


@pytest.mark.parametrize("convert, value, expected", ACCEPTED)
def test_accepted_arguments(convert, value, expected):
    assert float_bits(convert(value)) == float_bits(expected)


REJECTED = [  # (call, exception class, exact message or None for the interpreter's own)
    pytest.param(lambda: Arm(arm_arc=None), TypeError, wrapped("arm_arc", None), id="float-none"),
    pytest.param(lambda: ARM.fk("1", 0), TypeError, wrapped("theta_a", "1"), id="float-str"),
    pytest.param(lambda: ARM.is_reachable_joints(0, [1.0]), TypeError, wrapped("theta_b", [1.0]),
                 id="float-list-is_reachable_joints-raises"),
    pytest.param(lambda: Arm(0.7, 10**400), OverflowError, float_error(10**400), id="float-overflow-unwrapped"),
    pytest.param(lambda: Arm(mirror=1, arm_arc="x"), TypeError, wrapped("arm_arc", "x"),
                 id="parameter-order-not-keyword-order"),
    pytest.param(lambda: Arm(mirror=1), TypeError,
                 "argument 'mirror': 'int' object cannot be converted to 'PyBool'", id="bool-int"),
    pytest.param(lambda: Arm(mirror=None), TypeError,
                 "argument 'mirror': 'NoneType' object cannot be converted to 'PyBool'", id="bool-none"),
    pytest.param(lambda: Arm(mirror=ForeignBool()), TypeError,
                 "argument 'mirror': 'bool_' object cannot be converted to 'PyBool'", id="bool-not-numpy"),
    pytest.param(lambda: Arm(mirror=NumpyBoolWithoutTruth()), TypeError,
                 "argument 'mirror': object of type '<class 'numpy.bool_'>' does not define a '__bool__' "
                 "conversion", id="bool-numpy-without-truth-slot"),
    pytest.param(lambda: Arm(mirror=NumpyBoolUndecided()), ValueError, "undecided",
                 id="bool-numpy-truth-slot-error-unwrapped"),
    pytest.param(lambda: Arm(mirror=Outer.Inner()), TypeError,
                 "argument 'mirror': 'Outer.Inner' object cannot be converted to 'PyBool'", id="type-qualname"),
    pytest.param(lambda: Arm.from_json(b"{}"), TypeError,
                 "argument 'json': 'bytes' object cannot be converted to 'PyString'", id="text-bytes"),
    pytest.param(lambda: Arm.from_json(JSON[:-1] + ', "x": "\ud800"}'), UnicodeEncodeError, None,
                 id="text-lone-surrogate"),
    pytest.param(lambda: NECK.fk({0: 1, 1: 2, 2: 3}), TypeError,
                 "argument 'joints': 'dict' object cannot be converted to 'Sequence'", id="vec3-dict"),
    pytest.param(lambda: NECK.fk([0, 0]), ValueError, "expected a sequence of length 3 (got 2)",
                 id="vec3-length-unwrapped"),
    pytest.param(lambda: NECK.fk("abc"), TypeError, wrapped("joints", "a"), id="vec3-str-fails-on-item"),
    pytest.param(lambda: ARM.ik_from_direction(5), TypeError,
                 "argument 'v3': 'int' object cannot be converted to 'Sequence'", id="vec3-int"),
    pytest.param(lambda: ARM.is_reachable_direction([1, 2, 3, 4]), ValueError,
                 "expected a sequence of length 3 (got 4)", id="vec3-is_reachable_direction-raises"),
    pytest.param(lambda: NECK.ik([[1, 0, 0], [0, 1, 0]]), ValueError, "expected a sequence of length 3 (got 2)",
                 id="mat3-two-rows"),
    pytest.param(lambda: NECK.ik([[1, 0, 0], [0, 1, 0], 5]), TypeError,
                 "argument 'r': 'int' object cannot be converted to 'Sequence'", id="mat3-row-not-a-sequence"),
    pytest.param(lambda: ARM.ik([[1, 0, 0], [0, 1], [0, 0, 1]]), ValueError,
                 "expected a sequence of length 3 (got 2)", id="mat3-short-row"),
    pytest.param(lambda: ARM.is_reachable_orientation([[1, 0, 0], [0, 1, 0], [0, 0, "x"]]), TypeError,
                 wrapped("r_target", "x"), id="mat3-is_reachable_orientation-raises"),
    pytest.param(lambda: ARM.ik_from_direction([0, 0, 1], near=[0.1, 0.2]), TypeError,
                 "argument 'near': 'list' object cannot be converted to 'PyTuple'",
                 id="near-list-before-kinematics"),
    pytest.param(lambda: ARM.ik_from_direction(DIRECTION, near=(0.1,)), ValueError,
                 "expected tuple of length 2, but got tuple of length 1", id="near-length"),
    pytest.param(lambda: ARM.ik_from_direction(DIRECTION, ("a", 0)), TypeError, wrapped("near", "a"),
                 id="near-item"),
]


@pytest.mark.parametrize("call, exc_type, message", REJECTED)
def test_rejected_arguments(call, exc_type, message):
    with raises_exactly(exc_type, message):
        call()


class RecordingSequence:
    """Three items, fetched by key and recorded; `failure` makes the length, the fetch of
    an item or the conversion of an item raise `error`."""

    def __init__(self, failure, error):
        self.failure, self.error, self.keys = failure, error, []

    def __len__(self):
        if self.failure == "length":
            raise self.error
        return 3

    def __getitem__(self, key):
        self.keys.append(key)
        if self.failure == ("fetch", key):
            raise self.error
        return Raising(self.error) if self.failure == ("convert", key) else 0.5


@pytest.mark.parametrize("failure, keys", [
    pytest.param("length", [], id="length"),
    pytest.param(("fetch", 1), [0, 1], id="fetch-of-item-1"),
    pytest.param(("convert", 0), [0], id="item-0-converted-before-item-1-is-fetched"),
])
def test_sequence_errors_pass_through_unchanged(failure, keys):
    sequence = RecordingSequence(failure, LookupError("gone"))
    with pytest.raises(LookupError) as info:
        NECK.ik([[1, 0, 0], [0, 1, 0], sequence])
    assert info.value is sequence.error
    assert sequence.keys == keys and all(type(key) is int for key in keys)


def test_text_is_read_to_its_full_length_past_a_nul():
    with raises_exactly(ValueError, prefix="Invalid arms.json: trailing characters"):
        Arm.from_json(JSON + "\x00")


def type_error_with_cause():
    try:
        raise TypeError("inner") from KeyError("root")
    except TypeError as error:
        return error


@pytest.mark.parametrize("error, message", [
    pytest.param(TypeError("inner"), "argument 'theta_a': inner", id="exact-type-error"),
    pytest.param(type_error_with_cause(), "argument 'theta_a': inner", id="exact-type-error-keeps-cause"),
    pytest.param(TypeError("a", 2), "argument 'theta_a': ('a', 2)", id="text-is-str-of-the-error"),
    pytest.param(TypeErrorSubclass("subclass"), None, id="type-error-subclass-unchanged"),
    pytest.param(KeyError("other"), None, id="other-class-unchanged"),
])
def test_only_an_exact_type_error_is_wrapped(error, message):
    with pytest.raises(BaseException) as info:
        ARM.fk(Raising(error), 0.0)
    if message is None:
        assert info.value is error
    else:
        assert type(info.value) is TypeError and info.value.args == (message,)
        assert info.value.__cause__ is error.__cause__


def test_numpy_values():
    numpy = pytest.importorskip("numpy")
    assert Arm(mirror=numpy.True_).mirror() is True
    assert Arm(mirror=numpy.bool_(False)).mirror() is False
    assert float_bits(NECK.fk(numpy.array([0.1, 0.2, 0.3]))) == float_bits(NECK.fk([0.1, 0.2, 0.3]))
    assert float_bits(NECK.ik(numpy.array(MATRIX))) == float_bits(NECK.ik(MATRIX))


def shape(value):
    if isinstance(value, (list, tuple)):
        return type(value).__name__, tuple(shape(item) for item in value)
    return type(value).__name__


VEC3 = ("list", ("float",) * 3)


@pytest.mark.parametrize("call, expected", [
    pytest.param(lambda: ARM.fk(0.3, -0.2), ("list", (VEC3,) * 3), id="arm-fk"),
    pytest.param(lambda: ARM.direction(0.3, -0.2), VEC3, id="direction"),
    pytest.param(lambda: ARM.ik(ARM.fk(0.3, -0.2)), ("tuple", ("float",) * 2), id="ik"),
    pytest.param(lambda: ARM.ik_from_direction(DIRECTION), ("tuple", ("float",) * 2), id="ik_from_direction"),
    pytest.param(lambda: NECK.fk([0.1, 0.2, 0.3]), ("list", (VEC3,) * 3), id="neck-fk"),
    pytest.param(lambda: NECK.ik(MATRIX), ("tuple", ("float",) * 3), id="neck-ik"),
    pytest.param(lambda: Arm(2, 3).coupler_arc(), "float", id="coupler_arc"),
    pytest.param(lambda: ARM.is_reachable_direction(DIRECTION), "bool", id="is_reachable_direction"),
])
def test_results_are_new_objects_of_their_shape(call, expected):
    first, second = call(), call()
    assert shape(first) == expected
    if isinstance(first, list):
        assert first is not second
        assert all(a is not b for a, b in zip(first, second) if isinstance(a, list))
