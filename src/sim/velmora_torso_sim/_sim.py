"""The loaded torso: its inputs held at given angles and the passive joints
settled where both loops close."""

from __future__ import annotations

import math
from collections.abc import Sequence

import mujoco  # type: ignore[import-untyped]
import numpy as np
import numpy.typing as npt

from ._geometry import ArmAxes, Vector, arm_geometry, arm_kinematics, rotation
from ._mjcf import NECK_JOINTS, SIDES, torso_mjcf

BODIES = {"left": "left_end_effector", "right": "right_end_effector", "head": "head"}


def signed_angle(start: Vector, end: Vector, axis: Vector) -> float:
    """The turn about unit `axis` that takes `start` to `end`'s direction (both
    seen in the plane normal to it)."""
    return math.atan2(float(np.cross(start, end) @ axis), float(start @ end - (start @ axis) * (end @ axis)))


def numbers(method: str, name: str, value: object, count: int) -> tuple[float, ...]:
    try:
        result = tuple(float(item) for item in value)  # type: ignore[attr-defined]
    except (TypeError, ValueError):
        result = ()
    if len(result) != count or not all(math.isfinite(item) for item in result):
        raise ValueError(f"TorsoSim.{method}(): '{name}' must be {count} finite angles, not {value!r}")
    return result


class TorsoSim:
    """The torso in MuJoCo, its inputs held and both loops settled by `settle`.

    Parameters
    ----------
    left, right : VelmoraArmKinematics or a general five-bar
        The arms, as `arm_geometry` reads them.
    **keywords
        Those of `torso_mjcf`.

    Attributes
    ----------
    mjcf : str
        The model's text.
    model, data : mujoco.MjModel, mujoco.MjData
        The loaded model and its state, at the reference pose until `settle`.

    Examples
    --------
    >>> sim = TorsoSim(VelmoraArmKinematics.default_left(), VelmoraArmKinematics.default_right())
    >>> sim.settle(left=(0.3, -0.2), neck=(0.4, -0.25, 0.1))
    >>> sim.rotation("left")  # the left arm's fk(0.3, -0.2)
    """

    def __init__(self, left: object, right: object, **keywords: object) -> None:
        self.mjcf = torso_mjcf(left, right, **keywords)  # type: ignore[arg-type]
        self.model = mujoco.MjModel.from_xml_string(self.mjcf)
        self.data = mujoco.MjData(self.model)
        self.has_neck = bool(keywords.get("neck", True))
        self._axes = {side: ArmAxes(arm_geometry(arm, side), arm_kinematics(arm))
                      for side, arm in zip(SIDES, (left, right))}
        self._reference = {side: axes.reference_pair() for side, axes in self._axes.items()}
        self._reference_frame = {side: axes.pose(*self._reference[side]) for side, axes in self._axes.items()}
        mujoco.mj_forward(self.model, self.data)

    def _joint(self, name: str) -> tuple[int, int]:
        """(qpos address, dof address) of the hinge `name`."""
        index = self.model.joint(name).id
        return int(self.model.jnt_qposadr[index]), int(self.model.jnt_dofadr[index])

    def _site(self, name: str) -> int:
        return int(self.model.site(name).id)

    def _hold(self, name: str, angle: float) -> None:
        self.data.qpos[self._joint(name)[0]] = angle
        if self.model.nu and mujoco.mj_name2id(self.model, mujoco.mjtObj.mjOBJ_ACTUATOR, name) >= 0:
            self.data.ctrl[self.model.actuator(name).id] = angle

    def settle(self, left: Sequence[float] | None = None, right: Sequence[float] | None = None,
               neck: Sequence[float] | None = None) -> None:
        """Hold the inputs at the given angles and settle the passive joints.

        Parameters
        ----------
        left, right : (θ_A, θ_B), optional
            An arm's input pair; an arm not given keeps its joints.
        neck : (yaw, pitch, roll), optional
            The neck's angles.

        The given angles are also the actuators' targets. Each given arm's passive
        joints start where its kinematics close the loop (where it cannot close,
        where they are), and Gauss-Newton on MuJoCo's own site positions and
        Jacobians drives the loop's `connect` and the frame's tendon equality to
        their least residual. Velocities are zeroed and `mj_forward` brings `data`
        up to date.

        Raises
        ------
        ValueError
            An argument that is not that many finite angles, or `neck` for a model
            without a neck.
        """
        pairs = {side: numbers("settle", side, pair, 2) for side, pair in (("left", left), ("right", right))
                 if pair is not None}
        if neck is not None:
            if not self.has_neck:
                raise ValueError("TorsoSim.settle(): 'neck' given, but the model has no neck")
            for name, angle in zip(NECK_JOINTS, numbers("settle", "neck", neck, 3)):
                self._hold(name, angle)
        for side, (theta_a, theta_b) in pairs.items():
            self._hold(f"{side}_theta_a", theta_a)
            self._hold(f"{side}_theta_b", theta_b)
            self._guess(side, theta_a, theta_b)
        for side in pairs:
            self._close(side)
        self.data.qvel[:] = 0.0
        mujoco.mj_forward(self.model, self.data)

    def _guess(self, side: str, theta_a: float, theta_b: float) -> None:
        """The passive joints' angles at which the kinematics close the loop."""
        axes, (reference_a, reference_b) = self._axes[side], self._reference[side]
        pose, reference = axes.pose(theta_a, theta_b), self._reference_frame[side]
        if pose is None or reference is None:
            return
        v3, frame = pose[1], pose[3]
        elbow2, tip, elbow4, reference_rotation = reference
        turn_a = rotation(axes.v1, theta_a - reference_a)
        elbow_a = signed_angle(tip, turn_a.T @ v3, elbow2)
        elbow_b = signed_angle(tip, rotation(axes.v5, -(theta_b - reference_b)) @ v3, elbow4)
        wrist = reference_rotation.T @ (turn_a @ rotation(elbow2, elbow_a)).T @ frame
        for name, angle in ((f"{side}_elbow_a", elbow_a), (f"{side}_elbow_b", elbow_b),
                            (f"{side}_wrist", math.atan2(wrist[1, 0], wrist[0, 0]))):
            self.data.qpos[self._joint(name)[0]] = angle

    def _close(self, side: str, iterations: int = 30) -> None:
        model, data = self.model, self.data
        joints = [self._joint(f"{side}_{name}") for name in ("elbow_a", "wrist", "elbow_b")]
        qpos, dofs = [q for q, _ in joints], [d for _, d in joints]
        sites = [self._site(f"{side}_{name}") for name in ("loop_a", "loop_b", "end_effector_y",
                                                            "elbow_a_point", "elbow_b_point")]
        jacobians = [np.zeros((3, model.nv)) for _ in sites]
        for _ in range(iterations):
            mujoco.mj_kinematics(model, data)
            mujoco.mj_comPos(model, data)
            loop_a, loop_b, y, elbow_a, elbow_b = (data.site_xpos[site].copy() for site in sites)
            for site, jacobian in zip(sites, jacobians):
                mujoco.mj_jacSite(model, data, jacobian, None, site)
            to_a, to_b = y - elbow_a, y - elbow_b
            length_a, length_b = float(np.linalg.norm(to_a)), float(np.linalg.norm(to_b))
            error = np.concatenate([loop_a - loop_b, [length_a - length_b]])
            rows = np.vstack([jacobians[0] - jacobians[1],
                              to_a @ (jacobians[2] - jacobians[3]) / length_a
                              - to_b @ (jacobians[2] - jacobians[4]) / length_b])[:, dofs]
            step = np.linalg.lstsq(rows, -error, rcond=None)[0]
            # A loop that cannot close has no root: keep the steps short where it pulls apart.
            largest = float(np.max(np.abs(step)))
            if largest > 0.2:
                step *= 0.2 / largest
            data.qpos[qpos] += step
            if largest < 1e-15:
                break
        mujoco.mj_kinematics(model, data)

    def residual(self, side: str) -> float:
        """How far a loop is from closed, as of the last `mj_forward` or `mj_step`.

        Parameters
        ----------
        side : "left" or "right"

        Returns
        -------
        float
            The distance between the two coupler points that the loop's `connect`
            joins, over their distance from the arm's centre (radians, for small
            values): below 1e-12 after `settle` where the loop closes.
        """
        if side not in SIDES:
            raise ValueError(f"TorsoSim.residual(): 'side' must be 'left' or 'right', not {side!r}")
        loop_a, loop_b = self._site(f"{side}_loop_a"), self._site(f"{side}_loop_b")
        gap = self.data.site_xpos[loop_a] - self.data.site_xpos[loop_b]
        return float(np.linalg.norm(gap) / np.linalg.norm(self.model.site_pos[loop_a]))

    def rotation(self, name: str) -> npt.NDArray[np.float64]:
        """A body's world orientation, as of the last `mj_forward` or `mj_step`.

        Parameters
        ----------
        name : "left", "right" or "head"
            An end-effector body (its orientation is the arm's body-frame `fk`) or
            the head (`neck_fk`).

        Returns
        -------
        ndarray, shape (3, 3)
            The rotation, its columns the body's axes in the world frame.
        """
        if name not in BODIES or (name == "head" and not self.has_neck):
            allowed = "'left', 'right' or 'head'" if self.has_neck else "'left' or 'right' (the model has no neck)"
            raise ValueError(f"TorsoSim.rotation(): 'name' must be {allowed}, not {name!r}")
        matrix: Vector = self.data.xmat[self.model.body(BODIES[name]).id].reshape(3, 3).copy()
        return matrix
