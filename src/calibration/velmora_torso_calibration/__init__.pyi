from collections.abc import Sequence
from dataclasses import dataclass

import numpy
import numpy.typing
import velmora_torso_kinematics

__all__ = ["ArmFit", "fit_arm", "suggest_poses"]

@dataclass(frozen=True, eq=False)
class ArmFit:
    """The fitted arm and how well the data determine it. See fit_arm."""

    arm: velmora_torso_kinematics.VelmoraArmKinematics
    geometry_json: str
    offsets: tuple[float, float]
    mount: numpy.typing.NDArray[numpy.float64] | None
    tool: numpy.typing.NDArray[numpy.float64] | None
    residuals: numpy.typing.NDArray[numpy.float64]
    rms: float
    parameter_names: tuple[str, ...]
    parameters: numpy.typing.NDArray[numpy.float64]
    covariance: numpy.typing.NDArray[numpy.float64]
    std_errors: numpy.typing.NDArray[numpy.float64]
    outliers: numpy.typing.NDArray[numpy.bool_]
    closed: numpy.typing.NDArray[numpy.bool_]
    warnings: list[str] = ...
    def apply(self, theta_a: numpy.typing.ArrayLike, theta_b: numpy.typing.ArrayLike) -> tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64]]:
        """The model's joints for raw joint readings: the readings plus the fitted offsets."""

def fit_arm(theta_a: numpy.typing.ArrayLike, theta_b: numpy.typing.ArrayLike, *, directions: numpy.typing.ArrayLike | None = None, rotations: numpy.typing.ArrayLike | None = None, mirror: bool = False, branch: str = "positive", initial: tuple[float, float] = (0.7, 0.5), fit: Sequence[str] = ("arcs", "offsets", "mount"), loss: str = "linear", f_scale: float = 0.01) -> ArmFit:
    """Fits arcs, joint offsets, mount and tool to measured directions or rotations."""

def suggest_poses(arm: velmora_torso_kinematics.VelmoraArmKinematics, n: int, *, limits: Sequence[Sequence[float]] | Sequence[float] | None = None, seed: int = 0) -> numpy.typing.NDArray[numpy.float64]:
    """n joint pairs [n, 2] for measuring `arm`: chosen greedily from a grid, each maximising the determinant of the direction fit's information matrix."""
