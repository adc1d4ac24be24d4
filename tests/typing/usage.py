"""Every method of velmora_torso_kinematics, called the way its type stub allows.

Checked with `mypy --strict` (which also fails on an unneeded `type: ignore`, so the
calls in `rejected_by_the_stub` prove the stub refuses what the module refuses) and
run, so that the types the stub promises for results are the ones that come back.
"""

from __future__ import annotations

import math

from velmora_torso_kinematics import VelmoraArmKinematics, VelmoraNeckKinematics


def is_rotation(value: object) -> bool:
    return (isinstance(value, list) and len(value) == 3
            and all(isinstance(row, list) and len(row) == 3
                    and all(isinstance(x, float) for x in row) for row in value))


def is_float_tuple(value: object, length: int) -> bool:
    return (isinstance(value, tuple) and len(value) == length
            and all(isinstance(x, float) for x in value))


def exercise_arm(arm: VelmoraArmKinematics) -> None:
    rotation: list[list[float]] = arm.fk(0.3, -0.2)
    assert is_rotation(rotation) and is_rotation(arm.fk(theta_a=0.3, theta_b=-0.2))
    pair: tuple[float, float] = arm.ik(rotation)
    rows = tuple(tuple(row) for row in rotation)  # any sequence of sequences will do
    assert is_float_tuple(pair, 2) and is_float_tuple(arm.ik(r_target=rows), 2)
    pointing: list[float] = arm.direction(*pair)
    assert len(pointing) == 3 and all(isinstance(x, float) for x in pointing)
    for near in (pair, None):
        chosen: tuple[float, float] = arm.ik_from_direction(pointing, near=near)
        assert is_float_tuple(chosen, 2)
    assert is_float_tuple(arm.ik_from_direction(v3=(pointing[0], pointing[1], pointing[2])), 2)
    checks: list[bool] = [
        arm.is_reachable_joints(0.0, math.pi / 2),
        arm.is_reachable_joints(theta_a=0.3, theta_b=-0.2),
        arm.is_reachable_orientation(rotation),
        arm.is_reachable_orientation(r_target=rows),
        arm.is_reachable_direction(pointing),
        arm.is_reachable_direction(v3=range(3)),
        arm.mirror(),
    ]
    assert all(isinstance(check, bool) for check in checks)
    arcs: tuple[float, float] = (arm.arm_arc(), arm.coupler_arc())
    assert is_float_tuple(arcs, 2)


def arms() -> list[VelmoraArmKinematics]:
    return [
        VelmoraArmKinematics(),
        VelmoraArmKinematics(0.7, 0.5, True),
        VelmoraArmKinematics(arm_arc=0.6, coupler_arc=0.45, mirror=False),
        VelmoraArmKinematics.default_left(),
        VelmoraArmKinematics.default_right(),
        VelmoraArmKinematics.default_left().default_right(),  # static, reached through an instance
        VelmoraArmKinematics.from_json('{"arm_arc": 0.7, "coupler_arc": 0.5, "branch": "negative"}'),
        VelmoraArmKinematics.from_json(json="[0.7, 0.5]"),
    ]


def exercise_neck() -> None:
    neck = VelmoraNeckKinematics()
    head: list[list[float]] = neck.fk([0.4, -0.25, 0.1])
    assert is_rotation(head) and is_rotation(neck.fk(joints=(0.0, 0.0, 0.0)))
    angles: tuple[float, float, float] = neck.ik(head)
    yaw, pitch, roll = neck.ik(r=head)
    assert is_float_tuple(angles, 3) and all(isinstance(x, float) for x in (yaw, pitch, roll))


def rejected_by_the_stub() -> None:
    """Never run: each line is an error the module raises and the stub must flag."""
    arm = VelmoraArmKinematics.default_left()
    arm.fk("0.3", -0.2)  # type: ignore[arg-type]
    arm.ik_from_direction([0.0, 0.0, 1.0], near=[0.1, 0.2])  # type: ignore[arg-type]
    VelmoraArmKinematics(mirror=1)  # type: ignore[arg-type]
    VelmoraArmKinematics.from_json(b"{}")  # type: ignore[arg-type]
    VelmoraNeckKinematics().fk({0: 1.0, 1: 2.0, 2: 3.0})  # type: ignore[arg-type]
    arm.arm_arc(1)  # type: ignore[call-arg]

    class Subclass(VelmoraNeckKinematics):  # type: ignore[misc]
        pass


def main() -> None:
    for arm in arms():
        exercise_arm(arm)
    exercise_neck()
    print("typed usage: every method returned the types its stub declares")


if __name__ == "__main__":
    main()
