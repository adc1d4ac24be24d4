"""Kinematic calibration of a velmora arm: arcs, joint offsets and the
tracker's and sensor's mounting, fitted to measured directions or rotations
with SciPy's least_squares, with an honest report of what the data determine.
"""

try:
    import scipy.optimize  # type: ignore[import-untyped]  # noqa: F401  (the fit's solver)
except ImportError as error:
    raise ImportError("velmora_torso_calibration needs SciPy: pip install "
                      "'velmora_torso_kinematics[calibration]'", name=error.name) from error

from ._fit import fit_arm
from ._result import ArmFit
from ._poses import suggest_poses

__all__ = ["ArmFit", "fit_arm", "suggest_poses"]
