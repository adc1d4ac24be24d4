"""Arm forward kinematics through the module: fk, direction, is_reachable_joints."""

import math

import pytest

import velmora_torso_kinematics as vtk
from conftest import float_bits, raises_exactly

Arm = vtk.VelmoraArmKinematics
LOOP_OPEN = "Spherical 5-bar loop does not close: v_2 and v_4 are too far apart for the coupler."


def negative_branch():
    return Arm.from_json('{"arm_arc": 0.7, "coupler_arc": 0.5, "branch": "negative"}')


@pytest.mark.parametrize("make_arm, joints, rows, tol", [
    pytest.param(Arm.default_left, (0.0, 0.0),
                 [[0.334817, 0.707107, 0.622814], [-0.880792, 0.0, 0.473503], [0.334817, -0.707107, 0.622814]],
                 1e-6, id="left-rest"),
    pytest.param(negative_branch, (0.0, 0.0),
                 [[0.334817, -0.707107, 0.622814], [0.880792, 0.0, -0.473503], [0.334817, 0.707107, 0.622814]],
                 1e-6, id="negative-branch-rest"),
    pytest.param(Arm.default_right, (0.0, 0.0),
                 [[-0.334817, -0.707107, -0.622814], [0.880792, 0.0, -0.473503], [0.334817, -0.707107, 0.622814]],
                 1e-6, id="right-rest"),
    pytest.param(Arm.default_left, (0.3, -0.2),
                 [[0.232089330, 0.712017034, 0.662696224], [-0.755314733, -0.297360434, 0.584017488],
                  [0.612890037, -0.636088450, 0.468782772]], 1e-9, id="left-theta_a-then-theta_b"),
])
def test_reference_rotations(make_arm, joints, rows, tol):
    arm = make_arm()
    rotation = arm.fk(*joints)
    assert [x for row in rotation for x in row] == pytest.approx([x for row in rows for x in row], abs=tol)
    assert float_bits(arm.direction(*joints)) == float_bits([row[2] for row in rotation])
    assert arm.is_reachable_joints(*joints) is True


@pytest.mark.parametrize("make_arm, joints", [
    pytest.param(Arm.default_left, (0.0, math.pi / 2), id="elbows-too-far-apart"),
    pytest.param(lambda: Arm(0.7853981633974483, 0.5), (0.0, 0.0), id="coincident-elbows"),
])
def test_open_loop(make_arm, joints):
    arm = make_arm()
    with raises_exactly(RuntimeError, LOOP_OPEN):
        arm.fk(*joints)
    with raises_exactly(RuntimeError, LOOP_OPEN):
        arm.direction(*joints)
    assert arm.is_reachable_joints(*joints) is False


@pytest.mark.parametrize("make_arm, joints", [
    pytest.param(Arm.default_left, (math.nan, 0.0), id="nan-theta_a"),
    pytest.param(lambda: Arm(0.7, math.inf), (0.3, -0.2), id="infinite-coupler_arc"),
])
def test_non_finite_values_give_nan_not_failure(make_arm, joints):
    arm = make_arm()
    assert all(math.isnan(x) for row in arm.fk(*joints) for x in row)
    assert all(math.isnan(x) for x in arm.direction(*joints))
    assert arm.is_reachable_joints(*joints) is True
