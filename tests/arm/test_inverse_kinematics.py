"""Arm inverse kinematics through the module: ik, is_reachable_orientation,
ik_from_direction, is_reachable_direction, and round trips with forward kinematics."""

import json
import math
import random

import pytest

import velmora_torso_kinematics as vtk
from conftest import float_bits, raises_exactly

Arm = vtk.VelmoraArmKinematics
OUT_OF_REACH = "Target orientation is outside the spherical 5-bar workspace."
# The joint pairs of the left arm whose direction is that of (0.3, -0.2), in the
# order they are found; the negative branch reaches it only from the last one.
FIRST, SMALLEST, LAST = (1.144745684, -0.2), (0.3, -0.2), (0.3, -1.588839219)
NEGATIVE_ONLY = (1.144745684, -1.588839219)
QUOTED = 1e-9  # those pairs are known to nine decimals


def left():
    return Arm.default_left()


def negative_branch():
    return Arm.from_json('{"arm_arc": 0.7, "coupler_arc": 0.5, "branch": "negative"}')


def d():
    return left().direction(0.3, -0.2)


@pytest.mark.parametrize("make_arm, make_target, expected", [
    pytest.param(left, lambda: left().fk(0.3, -0.2), SMALLEST, id="own-fk-rotation"),
    pytest.param(Arm.default_right, lambda: Arm.default_right().fk(0.3, -0.2), SMALLEST, id="mirrored"),
    pytest.param(negative_branch, lambda: negative_branch().fk(0.3, -0.2), SMALLEST, id="negative-branch"),
    pytest.param(left, lambda: Arm.default_right().fk(0.3, -0.2), None, id="mirror-image-unreachable"),
    pytest.param(left, lambda: [[1, 0, 0], [0, 1, 0], [0, 0, 1]], None, id="identity-along-v_1"),
    pytest.param(left, lambda: [[math.nan] * 3] * 3, None, id="nan"),
])
def test_ik(make_arm, make_target, expected):
    arm, target = make_arm(), make_target()
    if expected is None:
        with raises_exactly(RuntimeError, OUT_OF_REACH):
            arm.ik(target)
    else:
        assert arm.ik(target) == pytest.approx(expected, abs=1e-12)
    assert arm.is_reachable_orientation(target) is (expected is not None)


@pytest.mark.parametrize("make_arm, make_direction, near, expected", [
    pytest.param(left, d, None, SMALLEST, id="smallest-norm-without-near"),
    pytest.param(left, d, (1.2, -0.1), FIRST, id="near-first"),
    pytest.param(left, d, (0.0, -1.6), LAST, id="near-last"),
    pytest.param(left, d, (0.3 + 2 * math.pi, -0.2), FIRST, id="near-not-wrapped"),
    pytest.param(left, d, (math.nan, 0.0), FIRST, id="nan-near-keeps-first"),
    pytest.param(negative_branch, d, None, NEGATIVE_ONLY, id="negative-branch"),
    pytest.param(Arm.default_right, lambda: [-0.662696224, -0.584017488, 0.468782772], None, SMALLEST,
                 id="mirrored"),
    pytest.param(left, lambda: [5 * x for x in d()], None, SMALLEST, id="normalised"),
    pytest.param(left, lambda: [0, 0, 0], None, None, id="zero"),
    pytest.param(left, lambda: [0, 0, 1], (0.3, -0.2), None, id="along-v_1"),
])
def test_ik_from_direction(make_arm, make_direction, near, expected):
    arm, direction = make_arm(), make_direction()
    if expected is None:
        with raises_exactly(RuntimeError, OUT_OF_REACH):
            arm.ik_from_direction(direction, near)
    else:
        assert arm.ik_from_direction(direction, near) == pytest.approx(expected, abs=QUOTED)
    assert arm.is_reachable_direction(direction) is (expected is not None)


def random_arm(rng):
    arcs = {"arm_arc": rng.uniform(0.2, 1.4), "coupler_arc": rng.uniform(0.2, 1.4), "mirror": rng.random() < 0.5}
    if rng.random() < 0.5:
        return Arm(**arcs)
    return Arm.from_json(json.dumps({**arcs, "branch": "negative"}))


def elbow_angle(arm, theta_a, theta_b):
    """The angle between the two elbows, from their closed forms."""
    m, s, c = -1.0 if arm.mirror() else 1.0, math.sin(arm.arm_arc()), math.cos(arm.arm_arc())
    v_2 = (m * s * math.cos(theta_a), m * s * math.sin(theta_a), c)
    v_4 = (m * c, -m * s * math.sin(theta_b), s * math.cos(theta_b))
    return math.acos(max(-1.0, min(1.0, sum(a * b for a, b in zip(v_2, v_4)))))


def test_round_trips_over_random_arms():
    rng = random.Random(20240611)
    closed = 0
    for _ in range(200):
        arm, joints = random_arm(rng), (rng.uniform(-math.pi, math.pi), rng.uniform(-math.pi, math.pi))
        # The coupler spans the elbows exactly when they are at most twice its arc apart.
        reachable, gap = arm.is_reachable_joints(*joints), elbow_angle(arm, *joints) - 2 * arm.coupler_arc()
        assert reachable == (gap < 0) or abs(gap) < 1e-9
        if not reachable:
            continue
        closed += 1
        rotation, direction = arm.fk(*joints), arm.direction(*joints)
        assert float_bits(direction) == float_bits([row[2] for row in rotation])
        assert arm.is_reachable_orientation(rotation) and arm.is_reachable_direction(direction)
        assert arm.ik(rotation) == pytest.approx(joints, abs=1e-9)
        assert arm.ik_from_direction(direction, joints) == pytest.approx(joints, abs=1e-9)
    assert closed > 40, "too few closed loops for the round trips to mean anything"
