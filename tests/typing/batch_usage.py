"""Every function of velmora_torso_batch, called the way its type stub allows.

Checked with `mypy --strict` and run, so that the array types the stub promises
are the ones that come back.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

import velmora_torso_batch as vb
from velmora_torso_kinematics import VelmoraArmKinematics


def checked(result: tuple[npt.NDArray[np.float64], npt.NDArray[np.bool_]], shape: tuple[int, ...]) -> None:
    values, ok = result
    assert values.dtype == np.float64 and ok.dtype == np.bool_ and values.shape[: len(shape)] == shape


def main() -> None:
    arm = VelmoraArmKinematics.default_left()
    theta: npt.NDArray[np.float64] = np.linspace(-0.5, 0.5, 4)
    checked(vb.fk(arm, theta, [0.1], workers=2), (4,))
    checked(vb.direction(arm, theta_a=theta, theta_b=0.0), (4,))
    rotations, _ = vb.fk(arm, theta, 0.0)
    checked(vb.ik(arm, rotations, workers=-1), (4,))
    directions, _ = vb.direction(arm, theta, 0.0)
    checked(vb.ik_from_direction(arm, directions), (4,))
    checked(vb.ik_from_direction(arm, directions, near=(0.0, 0.0)), (4,))
    checked(vb.ik_path(arm, directions, (0.0, 0.0), max_step=0.5), (4,))
    head: npt.NDArray[np.float64] = vb.neck_fk([[0.1, 0.2, 0.3]])
    checked(vb.neck_ik(head), (1,))
    j_omega, j_v, closes = vb.jacobian(arm, theta, 0.0, workers=-1)
    checked((j_omega, closes), (4,))
    checked((j_v, closes), (4,))
    checked(vb.singularity_measure(arm, theta, 0.0), (4,))
    checked(vb.joint_rates(arm, theta, 0.0, v3_dot=[0.1, 0.0, 0.0]), (4,))
    pairs, count = vb.direction_solutions(arm, directions)
    counts: npt.NDArray[np.int64] = count
    assert pairs.shape == (4, 4, 2) and counts.dtype == np.int64
    omega: npt.NDArray[np.float64] = vb.neck_rates([0.1, 0.2, 0.3], [1.0, 0.0, 0.0])
    checked(vb.neck_angle_rates([[0.1, 0.2, 0.3]], omega), (1,))
    angles, status = vb.neck_follow(vb.neck_fk(np.zeros((2, 5, 3))), [0.1, 0.2, 0.3], max_step=0.05,
                                    max_step_change=0.01, limits=((-1.0, 1.0), (-1.0, 1.0), (-1.0, 1.0)))
    codes: npt.NDArray[np.int8] = status
    assert angles.shape == (2, 5, 3) and codes.dtype == np.int8
    # The followers' steps take arrays as they come from a tracker.
    follower = vb.ArmFollower(arm, (0.3, -0.2), max_step=0.05)
    pair, name = follower.step(directions[1])
    neck_follower = vb.NeckFollower((0.1, 0.2, 0.3), max_step=0.05, max_step_change=0.01)
    neck_follower.configure(limits=((-1.0, 1.0), (-1.0, 1.0), (-1.0, 1.0)))
    turned, _ = neck_follower.step(head[0])
    settings: tuple[float, float | None] = (neck_follower.max_step, neck_follower.max_step_change)
    assert len(pair) == 2 and len(turned) == 3 and name in ("tracking", "approaching", "saturated", "holding")
    assert settings == (0.05, 0.01) and neck_follower.limits is not None
    print("typed batch usage: every function returned the types its stub declares")


def rejected_by_the_stub() -> None:
    """Never run: each line is an error the module raises and the stub must flag."""
    arm = VelmoraArmKinematics.default_left()
    vb.fk(arm, 0.0, 0.0, 1)  # type: ignore[call-arg]
    vb.ik_path(arm, [[1.0, 0.0, 0.0]], max_step="1")  # type: ignore[arg-type]
    vb.neck_fk([0.0, 0.0, 0.0], workers=1.5)  # type: ignore[arg-type]
    vb.ik("not an arm", [[1.0]])  # type: ignore[arg-type]
    vb.jacobian(arm, 0.0)  # type: ignore[call-arg]
    vb.neck_rates([0.0, 0.0, 0.0], [0.0, 0.0, 0.0], 2)  # type: ignore[call-arg]


if __name__ == "__main__":
    main()
