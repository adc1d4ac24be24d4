"""The simulated torso's costs: settle() per pose (both arms and the neck) and
MuJoCo steps per second of the whole torso under its position actuators, with
the default integrator and with RK4.

Usage: python bench/bench_sim.py [POSES]
"""

from __future__ import annotations

import math
import sys

import mujoco  # type: ignore[import-untyped]
import numpy as np
from timing import fastest

from velmora_torso_kinematics import VelmoraArmKinematics
from velmora_torso_sim import TorsoSim


def main(poses: int) -> None:
    left, right = VelmoraArmKinematics.default_left(), VelmoraArmKinematics.default_right()
    sim = TorsoSim(left, right)
    rng = np.random.default_rng(5)
    pairs = []
    while len(pairs) < poses:
        pair_l, pair_r = rng.uniform(-1.2, 1.2, 2), rng.uniform(-1.2, 1.2, 2)
        if left.is_reachable_joints(*pair_l) and right.is_reachable_joints(*pair_r):
            pairs.append((pair_l, pair_r, rng.uniform(-1.0, 1.0, 3)))
    settle = fastest(lambda: [sim.settle(left=pair_l, right=pair_r, neck=neck) for pair_l, pair_r, neck in pairs], 5)
    print(f"settle, both arms and the neck: {settle / 1e6 / poses:.3f} ms per pose (best of 5 rounds of {poses})")

    for integrator, timestep in (("implicitfast", 0.002), ("implicitfast", 0.0005), ("RK4", 0.0005)):
        sim = TorsoSim(left, right, timestep=timestep, integrator=integrator)
        sim.settle(left=(0.3, -0.2), right=(0.3, -0.2), neck=(0.0, 0.0, 0.0))
        steps = 5000

        def run() -> None:
            for k in range(steps):
                phase = 2 * math.pi * 0.5 * k * timestep
                sim.data.ctrl[:] = (0.3 + 0.2 * math.sin(phase), -0.2 + 0.1 * math.sin(2 * phase), 0.3, -0.2,
                                    0.4 * math.sin(phase), 0.0, 0.0)
                mujoco.mj_step(sim.model, sim.data)

        rate = steps / (fastest(run, 5) / 1e9)
        print(f"mj_step of the whole torso, {integrator}, timestep {timestep * 1e3:g} ms: {rate:,.0f} steps per second "
              f"({rate * timestep:.1f}x real time; best of 5 rounds of {steps}, setting ctrl each step)")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 200)
