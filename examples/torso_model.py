"""Renders the MuJoCo torso with MuJoCo's own offscreen renderer: docs/torso_model.png.

Usage: python examples/torso_model.py OUTPUT.png

Both preset arms and the neck, settled at an example pose. Blue: the left arm's
input links, red: the right arm's, yellow: the couplers, green: the end
effectors (the long bar is the pointing direction v_3, the short one the frame's
X axis); grey: the torso, the input axes and the head, which looks along its +x.
Offscreen rendering needs an OpenGL context without a display: MUJOCO_GL=egl
(Mesa's EGL, the default here) or MUJOCO_GL=osmesa.
"""

from __future__ import annotations

import os
import sys

os.environ.setdefault("MUJOCO_GL", "egl")  # before MuJoCo loads its renderer

import matplotlib

matplotlib.use("Agg")  # files only: no display needed

import matplotlib.pyplot as plt
import mujoco  # type: ignore[import-untyped]

from velmora_torso_kinematics import VelmoraArmKinematics
from velmora_torso_sim import TorsoSim

WIDTH, HEIGHT = 1200, 900


def render(output: str) -> None:
    sim = TorsoSim(VelmoraArmKinematics.default_left(), VelmoraArmKinematics.default_right())
    sim.settle(left=(0.3, -0.2), right=(0.1, 0.25), neck=(0.35, 0.15, -0.1))
    camera = mujoco.MjvCamera()
    camera.lookat[:] = (0.0, 0.0, 0.06)
    camera.distance, camera.azimuth, camera.elevation = 0.6, 205.0, -20.0
    with mujoco.Renderer(sim.model, HEIGHT, WIDTH) as renderer:
        renderer.update_scene(sim.data, camera)
        image = renderer.render()
    plt.imsave(output, image, metadata={"Software": None})


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    render(argv[1])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
