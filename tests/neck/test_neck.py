"""VelmoraNeckKinematics through the module: example values, gimbal lock, NaN, and
agreement with SciPy's intrinsic ZYX Euler angles."""

import math
import random

import pytest

from conftest import float_bits, raises_exactly

GIMBAL_LOCK = "Gimbal lock: pitch is too close to ±π/2."
IDENTITY = [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]


def with_bottom_row(r20, r21=0.0, r22=1.0):
    return [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [r20, r21, r22]]


def flat(result):
    return [x for row in result for x in row] if isinstance(result, list) else list(result)


@pytest.mark.parametrize("call, expected, tol", [  # tol None: bit for bit, signs of zero included
    pytest.param(lambda neck: neck.fk([0, 0, 0]), IDENTITY, None, id="fk-zeros-identity"),
    pytest.param(lambda neck: neck.fk([-0.0, 0.0, -0.0]), IDENTITY, None, id="fk-negative-zeros-identity"),
    pytest.param(lambda neck: neck.fk([0.1, 0.2, 0.3]),
                 [[0.975170, -0.036957, 0.218351], [0.097843, 0.956425, -0.275096],
                  [-0.198669, 0.289629, 0.936293]], 1e-6, id="fk-example"),
    pytest.param(lambda neck: neck.ik([[1, 0, 0], [0, 1, 0], [0, 0, 1]]), (0.0, -0.0, 0.0), None,
                 id="ik-identity"),
    pytest.param(lambda neck: neck.ik(with_bottom_row(0.999999)), (0.0, -1.5693821, 0.0), 1e-7,
                 id="ik-last-pitch-before-gimbal-lock"),
    pytest.param(lambda neck: neck.ik(neck.fk([4.0, 0.2, -3.5])), (4.0 - 2 * math.pi, 0.2, 2 * math.pi - 3.5),
                 1e-14, id="ik-wraps-yaw-and-roll"),
    pytest.param(lambda neck: neck.ik(neck.fk([0, 2.0, 0])), (math.pi, math.pi - 2.0, math.pi), 1e-15,
                 id="ik-folds-pitch-to-plus-pi"),
])
def test_example_values(neck, call, expected, tol):
    got = call(neck)
    if tol is None:
        assert float_bits(got) == float_bits(expected)
    else:
        assert flat(got) == pytest.approx(flat(expected), abs=tol)


@pytest.mark.parametrize("make_r", [
    pytest.param(lambda neck: with_bottom_row(math.nextafter(0.999999, 2)), id="first-locked-r20"),
    pytest.param(lambda neck: with_bottom_row(-1.5), id="r20-beyond-one"),
    pytest.param(lambda neck: neck.fk([0.3, -math.pi / 2, 0.2]), id="pitch-minus-half-pi"),
])
def test_gimbal_lock(neck, make_r):
    with raises_exactly(ValueError, GIMBAL_LOCK):
        neck.ik(make_r(neck))


def test_non_finite_values_give_nan_without_error(neck):
    assert all(math.isnan(x) for x in flat(neck.fk([math.nan, 0, 0])) + flat(neck.fk([0, 0, math.inf])))
    yaw, pitch, roll = neck.ik(with_bottom_row(math.nan))
    assert math.isnan(pitch) and (yaw, roll) == (0.0, 0.0)


def test_agrees_with_scipy_intrinsic_zyx(neck):
    rotation = pytest.importorskip("scipy.spatial.transform").Rotation
    rng = random.Random(20240611)
    for _ in range(200):
        angles = [rng.uniform(-math.pi, math.pi), rng.uniform(-1.5, 1.5), rng.uniform(-math.pi, math.pi)]
        expected = rotation.from_euler("ZYX", angles).as_matrix()
        assert flat(neck.fk(angles)) == pytest.approx(expected.ravel().tolist(), abs=1e-12)
        assert neck.ik(expected.tolist()) == pytest.approx(angles, abs=1e-12)
