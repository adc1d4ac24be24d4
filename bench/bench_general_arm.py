"""The general arm against today's arm, through the same code, in one run.

Every arm function of velmora_torso_batch on N = 100,000 poses, with workers=1:

  today    the preset left arm (VelmoraArmKinematics.default_left());
  general  a FiveBar of four unequal arcs and a base angle of 1.58 rad, whose
           elbow B turns about a tilted axis (the rotation written as
           Rodrigues' formula on the vector instead of about the x axis).

Each arm's poses are its own forward kinematics of the same joint pairs, so
both answer the same kind of question. The two arms' calls alternate, round
after round, and each keeps its fastest round (ns of the thread's CPU time per
element, which the machine's other load does not stretch).

Run: .venv/bin/python bench/bench_general_arm.py [--rounds R]
"""
from __future__ import annotations

import argparse
import time

import numpy as np
from timing import alternating, fastest

import velmora_torso_batch as vb
from velmora_torso_kinematics import VelmoraArmKinematics

N = 100_000
TODAY = VelmoraArmKinematics.default_left()
GENERAL = vb.FiveBar((0.72, 0.68), (0.52, 0.48), 1.58)


def workload(arm, thetas):
    rotations, _ = vb.fk(arm, thetas[:, 0], thetas[:, 1])
    directions = rotations[..., 2]
    a, b = thetas[:, 0], thetas[:, 1]
    return {
        "fk": lambda: vb.fk(arm, a, b),
        "direction": lambda: vb.direction(arm, a, b),
        "ik": lambda: vb.ik(arm, rotations),
        "ik_from_direction": lambda: vb.ik_from_direction(arm, directions),
        "direction_solutions": lambda: vb.direction_solutions(arm, directions),
        "jacobian": lambda: vb.jacobian(arm, a, b),
        "geometry_jacobian": lambda: vb.geometry_jacobian(arm, a, b),
        "joint_rates": lambda: vb.joint_rates(arm, a, b, directions[::-1]),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=9)
    options = parser.parse_args()
    thetas = np.random.default_rng(2026).uniform(-0.6, 0.6, size=(N, 2))
    arms = {"today": workload(TODAY, thetas), "general": workload(GENERAL, thetas)}
    print("| function | today ns | general ns | general / today | mean of the last output (ok, or count) |")
    print("|---|---:|---:|---:|---|")
    for name in arms["today"]:
        ok = [np.mean(np.asarray(arms[k][name]()[-1])) for k in arms]
        best = alternating({k: arms[k][name] for k in arms}, options.rounds,
                           lambda call: fastest(call, clock=time.thread_time_ns) / N)
        print(f"| `{name}` | {best["today"]:.1f} | {best['general']:.1f} | {best['general'] / best['today']:.3f} "
              f"| {ok[0]:.0%} / {ok[1]:.0%} |")


if __name__ == "__main__":
    main()
