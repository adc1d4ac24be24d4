"""The torso in MuJoCo: an MJCF model made from the arms' geometry, with both
five-bar loops closed by the constraint solver, and a small wrapper that holds
the inputs and settles the rest.
"""

try:
    import mujoco  # type: ignore[import-untyped]  # noqa: F401  (the simulator)
except ImportError as error:
    raise ImportError("velmora_torso_sim needs MuJoCo: pip install "
                      "'velmora_torso_kinematics[sim]'", name=error.name) from error

from ._geometry import ArmGeometry, arm_geometry
from ._mjcf import torso_mjcf
from ._sim import TorsoSim

__all__ = ["ArmGeometry", "TorsoSim", "arm_geometry", "torso_mjcf"]
