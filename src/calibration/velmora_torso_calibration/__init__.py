"""Kinematic calibration of a velmora arm: arcs, joint offsets and the
tracker's and sensor's mounting, fitted to measured directions or rotations
with SciPy's least_squares, with an honest report of what the data determine.
"""


def _require_scipy() -> None:
    try:
        import scipy.optimize  # type: ignore[import-untyped]  # noqa: F401  (the fit's solver)
    except ImportError as error:
        raise ImportError("velmora_torso_calibration needs SciPy: pip install "
                          "'velmora_torso_kinematics[calibration]'", name=error.name) from error


_require_scipy()

from ._fit import fit_arm  # noqa: E402  (after the check for SciPy)
from ._poses import suggest_poses  # noqa: E402
from ._result import ArmFit  # noqa: E402

__all__ = ["ArmFit", "fit_arm", "suggest_poses"]
