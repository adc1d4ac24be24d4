"""The MuJoCo torso against the kinematics: every kind of arm compiles, settled
poses carry `fk` and `neck_fk`, loops that cannot close stay open, and the
names, limits and gains are the ones asked for."""

from __future__ import annotations

import math
import subprocess
import sys
from dataclasses import dataclass
from functools import cache

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import velmora_torso_kinematics as vtk
from conftest import property_examples

mujoco = pytest.importorskip("mujoco")
sim_module = pytest.importorskip("velmora_torso_sim")

Arm = vtk.VelmoraArmKinematics
NECK = vtk.VelmoraNeckKinematics()


@dataclass(frozen=True)
class FiveBar:
    """A stand-in for the general arm: the attributes the model builder reads."""

    arm_arcs: tuple[float, float]
    coupler_arcs: tuple[float, float]
    base_angle: float = math.pi / 2
    mirror: bool = False
    branch: str = "positive"


def negative(arm_arc: float, coupler_arc: float, mirror: bool) -> Arm:
    return Arm.from_json(f'{{"arm_arc": {arm_arc}, "coupler_arc": {coupler_arc}, "branch": "negative", '
                         f'"mirror": {str(mirror).lower()}}}')


# name -> (left, right, kinematics to compare with: the same arms, or None for the general ones)
ARMS = {
    "presets": (Arm.default_left(), Arm.default_right()),
    "negative branch, mirrored": (negative(0.7, 0.5, False), negative(0.7, 0.5, True)),
    "other arcs": (Arm(0.9, 0.7), Arm(0.55, 0.45, mirror=True)),
    "general, equal arcs": (FiveBar((0.7, 0.7), (0.5, 0.5)), FiveBar((0.9, 0.9), (0.7, 0.7), mirror=True,
                                                                      branch="negative")),
    "general, unequal arcs and base angle": (FiveBar((0.6, 0.8), (0.55, 0.45), 1.4),
                                              FiveBar((0.75, 0.65), (0.5, 0.6), 1.75, mirror=True,
                                                      branch="negative")),
    # Neither closes at (0, 0): the model's reference pose is another pair.
    "general, open at rest": (FiveBar((1.2, 1.1), (0.35, 0.3), 1.5), FiveBar((1.15, 1.2), (0.3, 0.3), mirror=True)),
}
KINEMATICS = {
    "general, equal arcs": (Arm.default_left(), negative(0.9, 0.7, True)),
}


@cache
def torso(kind: str) -> object:
    return sim_module.TorsoSim(*ARMS[kind])


def kinematics(kind: str) -> tuple[Arm, Arm] | None:
    arms = KINEMATICS.get(kind, ARMS[kind])
    return arms if all(isinstance(arm, Arm) for arm in arms) else None  # type: ignore[return-value]


def turn(a: np.ndarray, b: np.ndarray) -> float:
    """The angle of the rotation between two frames (radians), accurate near 0."""
    return float(2.0 * math.asin(min(1.0, np.linalg.norm(a - b, 2) / 2.0)))


def joint_axis(sim: object, name: str) -> np.ndarray:
    return np.array(sim.data.xaxis[sim.model.joint(name).id])  # type: ignore[attr-defined]


def check_geometry(sim: object, side: str, arm: FiveBar) -> None:
    """The settled loop as built: each link's arc between its axes in the world,
    the branch's side and the end-effector frame about the elbows' bisector, read
    from MuJoCo's joint axes alone."""
    v1, v2, v5, v4 = (joint_axis(sim, f"{side}_{name}") for name in ("theta_a", "elbow_a", "theta_b", "elbow_b"))
    rotation = sim.rotation(side)  # type: ignore[attr-defined]
    x, y, v3 = rotation.T
    assert np.allclose(v3, joint_axis(sim, f"{side}_wrist"), atol=1e-12)
    m = -1.0 if arm.mirror else 1.0
    assert np.allclose(v1, [0, 0, 1], atol=1e-15)
    assert np.allclose(v5, [m * math.sin(arm.base_angle), 0, math.cos(arm.base_angle)], atol=1e-15)
    angles = [math.acos(np.clip(p @ q, -1, 1)) for p, q in ((v1, v2), (v5, v4), (v2, v3), (v4, v3))]
    assert np.allclose(angles, [*arm.arm_arcs, *arm.coupler_arcs], atol=1e-9)
    assert np.sign(v3 @ np.cross(v2, v4)) == (1 if arm.branch == "positive" else -1)
    assert abs(y @ (v2 + v4)) < 1e-9 and x @ (v2 + v4) > 0
    assert np.allclose(rotation.T @ rotation, np.eye(3), atol=1e-12)


def closes(arm: object, pair: tuple[float, float]) -> bool:
    if isinstance(arm, Arm):
        return arm.is_reachable_joints(*pair)
    return sim_module._geometry.ArmAxes(sim_module.arm_geometry(arm)).pose(*pair) is not None


@pytest.mark.parametrize("kind", ARMS)
def test_the_model_compiles_and_its_reference_pose_is_closed(kind: str) -> None:
    sim = torso(kind)
    assert sim.model.njnt == 13 and sim.model.nu == 7 and sim.model.neq == 4
    for side in ("left", "right"):
        assert sim.residual(side) < 1e-12


@pytest.mark.parametrize("kind", ARMS)
@settings(max_examples=property_examples(40), deadline=None, derandomize=True)
@given(pairs=st.lists(st.floats(-math.pi, math.pi), min_size=4, max_size=4),
       neck=st.lists(st.floats(-1.5, 1.5), min_size=3, max_size=3))
def test_settled_poses_carry_the_kinematics(kind: str, pairs: list[float], neck: list[float]) -> None:
    sim, arms, reference = torso(kind), ARMS[kind], kinematics(kind)
    left, right = (pairs[0], pairs[1]), (pairs[2], pairs[3])
    sim.settle(left=left, right=right, neck=neck)
    assert turn(sim.rotation("head"), np.array(NECK.fk(neck))) < 1e-12
    for side, arm, pair in zip(("left", "right"), arms, (left, right)):
        if closes(arm, pair):
            assert sim.residual(side) < 1e-12
            if reference is not None:
                expected = np.array(reference[0 if side == "left" else 1].fk(*pair))
                assert turn(sim.rotation(side), expected) < 1e-9
            else:
                check_geometry(sim, side, arm)
        elif not any(closes(arm, (pair[0] + da, pair[1] + db))
                     for da in (-0.02, 0.0, 0.02) for db in (-0.02, 0.0, 0.02)):
            # Well outside the workspace the constraint cannot be met: the loop stays open.
            assert sim.residual(side) > 1e-4


def test_masses_do_not_move_the_kinematics() -> None:
    light, heavy = torso("presets"), sim_module.TorsoSim(*ARMS["presets"], link_mass=3.0, head_mass=7.0,
                                                         armature=0.5, damping=0.2)
    for sim in (light, heavy):
        sim.settle(left=(0.3, -0.2), right=(-0.1, 0.4), neck=(0.2, 0.1, -0.3))
    for name in ("left", "right", "head"):
        assert np.array_equal(light.rotation(name), heavy.rotation(name))
    assert heavy.model.body("left_coupler_a").mass[0] == 3.0 and heavy.model.body("head").mass[0] == 7.0


INPUTS = ["left_theta_a", "left_theta_b", "right_theta_a", "right_theta_b", "neck_yaw", "neck_pitch", "neck_roll"]
LIMITS = {"left": ((-1.5, 1.5), (-1.4, 1.2)), "right": ((-1.3, 1.1), (-1.0, 1.0)),
          "neck": ((-2.0, 2.0), (-0.8, 0.6), (-0.5, 0.5))}


@pytest.mark.parametrize(("keywords", "inputs"), [
    (dict(limits=LIMITS, kp=35.0, kv=1.5), INPUTS),
    (dict(neck=False, limits={"left": LIMITS["left"]}), INPUTS[:4]),
    (dict(limits={"left": LIMITS["left"], "right_theta_a": LIMITS["right"][0], "right_theta_b": LIMITS["right"][1],
                  "neck": LIMITS["neck"]}), INPUTS),
    (dict(actuators=None), []),
])
def test_names_limits_and_gains(keywords: dict[str, object], inputs: list[str]) -> None:
    model = mujoco.MjModel.from_xml_string(sim_module.torso_mjcf(*ARMS["presets"], **keywords))
    names = [model.actuator(index).name for index in range(model.nu)]
    assert names == inputs
    assert [model.joint(model.actuator_trnid[index, 0]).name for index in range(model.nu)] == inputs
    given = keywords.get("limits", {})
    limits = {side: given.get(side, (given.get(f"{side}_theta_a"), given.get(f"{side}_theta_b")))
              for side in ("left", "right")} | {"neck": given.get("neck", (None,) * 3)}
    ranges = [r or (None, None) for side in ("left", "right", "neck") for r in limits[side]]
    for index, name in enumerate(INPUTS[:len(inputs) or 7]):
        expected = ranges[index]
        assert model.jnt_limited[model.joint(name).id] == (expected[0] is not None)
        if expected[0] is not None:
            assert tuple(model.jnt_range[model.joint(name).id]) == expected
            if inputs:
                actuator = model.actuator(name)
                assert tuple(actuator.ctrlrange) == expected and actuator.ctrllimited[0]
    for index in range(model.nu):
        assert model.actuator_gainprm[index, 0] == keywords.get("kp", 20.0)
        assert tuple(model.actuator_biasprm[index, 1:3]) == (-keywords.get("kp", 20.0), -keywords.get("kv", 0.5))
    bodies = {model.body(index).name for index in range(model.nbody)}
    assert {"left_end_effector", "right_end_effector"} <= bodies and ("head" in bodies) == keywords.get("neck", True)


@pytest.mark.parametrize(("call", "error", "message"), [
    (lambda: sim_module.torso_mjcf(object(), Arm.default_right()), TypeError, "'left' must be a VelmoraArmKinematics"),
    (lambda: sim_module.torso_mjcf(Arm.default_left(), FiveBar((0.7, 0.7), (0.5, 0.5), branch="up")), ValueError,
     "'right': branch must be 'positive' or 'negative'"),
    (lambda: sim_module.torso_mjcf(Arm(0.2, 0.05), Arm.default_right()), ValueError, "'left': the arm's loop closes nowhere"),
    # Kinematics of another joint convention than the model's hinges: refused, not left open.
    (lambda: sim_module._geometry.ArmAxes(sim_module.arm_geometry(Arm.default_left()), lambda a, b: np.eye(3)).check(),
     ValueError, "put v_3 off its coupler arcs"),
    (lambda: sim_module.torso_mjcf(*ARMS["presets"], limits={"neck": ((0, 1),)}), ValueError,
     "'limits'['neck'] must be 3 finite (low, high) ranges"),
    (lambda: sim_module.torso_mjcf(*ARMS["presets"], limits={"torso": ()}), ValueError, "unknown key 'torso'"),
    (lambda: sim_module.torso_mjcf(*ARMS["presets"], limits={"neck_roll": (1, -1)}), ValueError,
     "'limits'['neck_roll'] must be a finite (low, high) range"),
    (lambda: sim_module.torso_mjcf(*ARMS["presets"], limits={"left": LIMITS["left"], "left_theta_b": (0, 1)}),
     ValueError, "gives left_theta_b's range twice"),
    (lambda: sim_module.torso_mjcf(*ARMS["presets"], actuators="motor"), ValueError, "'actuators' must be"),
    (lambda: sim_module.torso_mjcf(*ARMS["presets"], kp=-1.0), ValueError, "'kp' must be a positive finite number"),
    (lambda: torso("presets").settle(left=(0.1, math.nan)), ValueError, "'left' must be 2 finite angles"),
    (lambda: torso("presets").settle(neck=(0.1, 0.2)), ValueError, "'neck' must be 3 finite angles"),
    (lambda: torso("presets").rotation("torso"), ValueError, "'name' must be 'left', 'right' or 'head'"),
    (lambda: torso("presets").residual("head"), ValueError, "'side' must be 'left' or 'right'"),
])
def test_bad_arguments_are_named(call: object, error: type[Exception], message: str) -> None:
    with pytest.raises(error, match=None) as info:
        call()  # type: ignore[operator]
    assert message in str(info.value)


def test_without_mujoco_the_import_names_the_extra() -> None:
    code = ("import sys; sys.modules['mujoco'] = None\n"
            "try:\n    import velmora_torso_sim\nexcept ImportError as error:\n    print(error)\n")
    completed = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert "pip install 'velmora_torso_kinematics[sim]'" in completed.stdout


@pytest.mark.parametrize(("gravity", "target", "during", "after"), [
    (False, None, 1e-12, 1e-12),          # held still without load: the solver keeps the loops exactly closed
    (True, None, 1e-3, 1e-5),             # held against gravity: the soft constraints give a little
    (False, (0.5, -0.4), 1e-2, 1e-12),    # a 0.2 rad step of the motors' targets, then at rest there
])
def test_stepping_keeps_the_kinematics(gravity: bool, target: tuple[float, float] | None, during: float,
                                       after: float) -> None:
    """While MuJoCo steps the dynamics the loops stay closed within `during`, and at
    the end each end effector carries `fk` of the simulated inputs within `after`."""
    sim = sim_module.TorsoSim(*ARMS["presets"])
    if not gravity:
        sim.model.opt.gravity[:] = 0.0
    sim.settle(left=(0.3, -0.2), right=(0.1, 0.2), neck=(0.2, 0.1, 0.0))
    if target is not None:
        sim.data.ctrl[[sim.model.actuator(f"left_theta_{j}").id for j in "ab"]] = target
    worst = 0.0
    for _ in range(500):
        mujoco.mj_step(sim.model, sim.data)
        worst = max(worst, sim.residual("left"), sim.residual("right"))
    mujoco.mj_forward(sim.model, sim.data)
    assert worst < during
    if target is not None:
        assert abs(sim.data.joint("left_theta_a").qpos[0] - target[0]) < 1e-6
    for side, arm in zip(("left", "right"), ARMS["presets"]):
        pair = tuple(float(sim.data.joint(f"{side}_theta_{j}").qpos[0]) for j in "ab")
        assert sim.residual(side) < after
        assert turn(sim.rotation(side), np.array(arm.fk(*pair))) < 10 * after
