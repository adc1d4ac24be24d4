"""Per-step cost of the followers, each beside the call a tracking step is built
on, interleaved in one run (the fastest of several repetitions each):

  ArmFollower.step      against the scalar arm.ik_from_direction(d, near=current),
                        both from Python, on a stream whose every step tracks;
  NeckFollower.step     against the scalar neck.ik;
  from an array         both steps given float64 arrays against the same values
                        as lists (a tracker delivers arrays);
  max_step_change       NeckFollower.step with an acceleration limit against
                        one without;
  follow (per step)     against ik_path (per step: the core's ik_from_direction
                        chained, without the follower) and ik_from_direction
                        (per element, with near), over one 100,000-step stream;
  approaching steps     ArmFollower.step toward a far target (a closing segment)
                        and an unreachable one (a damped turn).

Run: .venv/bin/python bench/bench_follow.py [--quick]
"""

from __future__ import annotations

import argparse
import timeit

import numpy as np
import velmora_torso_batch as vb
from timing import alternating
from velmora_torso_kinematics import VelmoraArmKinematics, VelmoraNeckKinematics

arm = VelmoraArmKinematics.default_left()
neck = VelmoraNeckKinematics()


def per_call(statement: str, scope: dict, number: int, repeat: int) -> float:
    return min(timeit.repeat(statement, globals=scope, number=number, repeat=repeat)) / number * 1e9


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    quick = parser.parse_args().quick
    number, repeat = (20_000, 3) if quick else (200_000, 7)

    # Two targets within max_step of each other: every step tracks.
    targets = [arm.direction(0.3, -0.2), arm.direction(0.305, -0.203)]
    heads = [neck.fk([0.1, 0.2, 0.3]), neck.fk([0.105, 0.2, 0.3])]
    scope = {
        "arm": arm, "neck": neck, "targets": targets, "heads": heads, "k": [0],
        "target_arrays": [np.array(t) for t in targets], "head_arrays": [np.array(h) for h in heads],
        "follower": vb.ArmFollower(arm, (0.3, -0.2), max_step=0.05),
        "head_follower": vb.NeckFollower((0.1, 0.2, 0.3), max_step=0.05),
        # Steps of 0.005 with a change of 0.01 allowed: tracking from the second tick on.
        "smooth_head": vb.NeckFollower((0.1, 0.2, 0.3), max_step=0.05, max_step_change=0.01),
        "current": [(0.3, -0.2)],
        "far": vb.ArmFollower(arm, (1.2, -0.1), max_step=1e-9),
        "edge": vb.ArmFollower(arm, (0.3, -0.2), max_step=1e-9),
    }
    rows = {
        "ArmFollower.step (tracking)": "k[0] ^= 1; follower.step(targets[k[0]])",
        "ArmFollower.step (tracking, array)": "k[0] ^= 1; follower.step(target_arrays[k[0]])",
        "arm.ik_from_direction near": "k[0] ^= 1; current[0] = arm.ik_from_direction(targets[k[0]], current[0])",
        "NeckFollower.step (tracking)": "k[0] ^= 1; head_follower.step(heads[k[0]])",
        "NeckFollower.step (tracking, array)": "k[0] ^= 1; head_follower.step(head_arrays[k[0]])",
        "NeckFollower.step (max_step_change)": "k[0] ^= 1; smooth_head.step(heads[k[0]])",
        "neck.ik": "k[0] ^= 1; neck.ik(heads[k[0]])",
        "ArmFollower.step (approaching, segment)": "far.step(targets[0])",
        "ArmFollower.step (approaching, damped)": "edge.step((0.0, 0.0, -1.0))",
    }
    # Interleaved: the machine's load moves all of them alike.
    best = alternating(rows, repeat, lambda statement: per_call(statement, scope, number // 4, 1))
    print("== From Python (ns per call)")
    for name, ns in best.items():
        print(f"{name:42s} {ns:8.0f}")
    for label, over, under in (
        ("ArmFollower.step / ik_from_direction", "ArmFollower.step (tracking)", "arm.ik_from_direction near"),
        ("NeckFollower.step / neck.ik", "NeckFollower.step (tracking)", "neck.ik"),
        ("ArmFollower.step, array / list", "ArmFollower.step (tracking, array)", "ArmFollower.step (tracking)"),
        ("NeckFollower.step, array / list", "NeckFollower.step (tracking, array)", "NeckFollower.step (tracking)"),
        ("NeckFollower.step, max_step_change / without", "NeckFollower.step (max_step_change)",
         "NeckFollower.step (tracking)"),
    ):
        print(f"{label}: {best[over] / best[under]:.2f}")

    steps = 10_000 if quick else 100_000
    # 0.1 rad in all, inside the closing region whatever the number of steps.
    walk = np.cumsum(np.full((steps, 2), 0.1 / steps), axis=0) + (0.3, -0.2)
    directions, _ = vb.direction(arm, walk[:, 0], walk[:, 1])
    near = np.vstack([(0.3, -0.2), walk[:-1]])
    batch = {
        "follow": lambda: vb.follow(arm, directions, (0.3, -0.2), max_step=0.05),
        "ik_path": lambda: vb.ik_path(arm, directions, (0.3, -0.2)),
        "ik_from_direction": lambda: vb.ik_from_direction(arm, directions, near),
    }
    assert (vb.follow(arm, directions, (0.3, -0.2), max_step=0.05)[1] == vb.TRACKING).all()
    head_path = vb.neck_fk(np.cumsum(np.full((steps, 3), 1e-5), axis=0) + (0.1, 0.2, 0.3))
    batch["neck_follow"] = lambda: vb.neck_follow(head_path, (0.1, 0.2, 0.3), max_step=0.05)
    batch["neck_follow, max_step_change"] = lambda: vb.neck_follow(head_path, (0.1, 0.2, 0.3), max_step=0.05,
                                                                   max_step_change=0.01)
    per_step = {name: ns / steps for name, ns in alternating(batch, repeat).items()}
    print(f"\n== Batch, one stream of {steps} tracking steps (ns per step)")
    for name, ns in per_step.items():
        print(f"{name:42s} {ns:8.1f}")
    print(f"follow / ik_path:           {per_step['follow'] / per_step['ik_path']:.2f}")
    print(f"follow / ik_from_direction: {per_step['follow'] / per_step['ik_from_direction']:.2f}")
    print(f"neck_follow, max_step_change / without: "
          f"{per_step['neck_follow, max_step_change'] / per_step['neck_follow']:.2f}")


if __name__ == "__main__":
    main()
