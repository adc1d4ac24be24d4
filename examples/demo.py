"""A short tour of velmora_torso_kinematics: both arms and the neck."""

from __future__ import annotations

import math

from velmora_torso_kinematics import VelmoraArmKinematics, VelmoraNeckKinematics


def show_matrix(rows: list[list[float]]) -> str:
    return "\n".join("    [" + ", ".join(f"{v:+.6f}" for v in row) + "]" for row in rows)


def show_pair(pair: tuple[float, float]) -> str:
    return f"(theta_a={pair[0]:+.6f}, theta_b={pair[1]:+.6f}) rad"


def arm_tour(name: str, arm: VelmoraArmKinematics) -> None:
    print(f"{name} arm: arm_arc={arm.arm_arc()} rad, coupler_arc={arm.coupler_arc()} rad, "
          f"mirror={arm.mirror()}")
    joints = (0.3, -0.2)
    rotation = arm.fk(*joints)
    print(f"  fk{joints} -> end-effector rotation:\n{show_matrix(rotation)}")
    print(f"  ik(that rotation) -> {show_pair(arm.ik(rotation))}")
    pointing = arm.direction(*joints)
    print(f"  pointing direction v_3 = [{', '.join(f'{v:+.6f}' for v in pointing)}]")
    print(f"  ik_from_direction(v_3)                -> {show_pair(arm.ik_from_direction(pointing))}")
    near = (1.2, -0.1)
    print(f"  ik_from_direction(v_3, near={near}) -> "
          f"{show_pair(arm.ik_from_direction(pointing, near=near))}")
    print(f"  is_reachable_joints(0, pi/2) = {arm.is_reachable_joints(0.0, math.pi / 2)}")


def neck_tour() -> None:
    neck = VelmoraNeckKinematics()
    angles = [0.4, -0.25, 0.1]
    print(f"neck: fk(yaw, pitch, roll = {angles}) -> head rotation:\n{show_matrix(neck.fk(angles))}")
    yaw, pitch, roll = neck.ik(neck.fk(angles))
    print(f"  ik(that rotation) -> yaw={yaw:+.6f}, pitch={pitch:+.6f}, roll={roll:+.6f} rad")
    try:
        neck.ik(neck.fk([0.0, math.pi / 2, 0.0]))
    except ValueError as error:
        print(f"  ik at pitch = pi/2 -> ValueError: {error}")


def main() -> None:
    arm_tour("left", VelmoraArmKinematics.default_left())
    print()
    arm_tour("right", VelmoraArmKinematics.default_right())
    print()
    neck_tour()


if __name__ == "__main__":
    main()
