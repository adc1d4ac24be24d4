"""Shared fixtures and helpers for the Python tests of velmora_torso_kinematics."""

import contextlib
import os
import struct

import pytest

import velmora_torso_kinematics as vtk


def property_examples(count):
    """How many examples a property test draws: `count`, scaled down by
    VELMORA_PROPERTY_SCALE (the valgrind run sets 0.1, where every call costs
    fifty times as much), but never below five."""
    scale = float(os.environ.get("VELMORA_PROPERTY_SCALE", "1"))
    return max(5, round(count * scale))


@pytest.fixture
def arm():
    return vtk.VelmoraArmKinematics.default_left()


@pytest.fixture
def neck():
    return vtk.VelmoraNeckKinematics()


def member_or_skip(owner, name):
    """`owner.name`, or skip the test when that member has not been built yet."""
    try:
        return getattr(owner, name)
    except AttributeError:
        owner_name = owner.__name__ if isinstance(owner, type) else type(owner).__name__
        pytest.skip(f"{owner_name}.{name} is not available in this build")


@contextlib.contextmanager
def raises_exactly(exc_type, message=None, *, prefix=None):
    """Expect an exception of exactly `exc_type` (not a subclass).

    With `message`, the exception must carry that text as its single argument;
    with `prefix`, its text must start with it. Yields pytest's ExceptionInfo.
    """
    with pytest.raises(BaseException) as info:
        yield info
    got = info.value
    assert type(got) is exc_type, f"expected {exc_type.__name__}, got {type(got).__name__}: {got}"
    if message is not None:
        assert str(got) == message
        assert got.args == (message,)
    if prefix is not None:
        assert str(got).startswith(prefix), f"{str(got)!r} does not start with {prefix!r}"


def float_bits(value):
    """A result (floats and bools, nested in lists and tuples) in a form whose
    equality is bit-exact for floats, NaN and the sign of zero included."""
    if isinstance(value, (list, tuple)):
        return type(value).__name__, tuple(float_bits(item) for item in value)
    if type(value) is bool:
        return value
    assert type(value) is float, f"expected float, got {type(value).__name__}"
    return struct.pack("<d", value).hex()
