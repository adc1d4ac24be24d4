"""ns per call of every method, next to two references measured in the same run.

References:
  call   the interpreter's own minimal fast call, `atan2(a, b)` (math module, vectorcall);
  build  building the method's result object in pure Python (fresh floats in the same shape).
`ratio` is the method's time over call + build.
A second table times the methods that take a Vec3 or Mat3 with a C-contiguous float64 NumPy array
next to the same call with lists, interleaved in the same run.

Run: .venv/bin/python bench/bench_methods.py [--quick]
"""

from __future__ import annotations

import argparse
import math
import sys
import timeit

import numpy as np
from timing import alternating
from velmora_torso_kinematics import VelmoraArmKinematics, VelmoraNeckKinematics

arm = VelmoraArmKinematics.default_left()
neck = VelmoraNeckKinematics()
a, b = 0.3, -0.2
rotation = arm.fk(a, b)
direction = arm.direction(a, b)
near = (1.2, -0.1)
joints = [0.1, 0.2, 0.3]
head = neck.fk(joints)
json_text = '{"arm_arc": 0.7, "coupler_arc": 0.5, "branch": "negative", "mirror": true}'
atan2 = math.atan2

rotation_array, direction_array = np.array(rotation), np.array(direction)
joints_array, head_array = np.array(joints), np.array(head)

SCOPE = dict(globals())

# The result shapes, built in pure Python from fresh floats.
BUILD = {
    "mat3": "[[a + b, a - b, a * b], [a + b, a - b, a * b], [a + b, a - b, a * b]]",
    "vec3": "[a + b, a - b, a * b]",
    "pair": "(a + b, a - b)",
    "triple": "(a + b, a - b, a * b)",
    "bool": "a < b",
    "float": "a + b",
    "object": "object()",
}

CASES = [
    ("arm.fk", "arm.fk(a, b)", "mat3"),
    ("arm.direction", "arm.direction(a, b)", "vec3"),
    ("arm.is_reachable_joints", "arm.is_reachable_joints(a, b)", "bool"),
    ("arm.ik", "arm.ik(rotation)", "pair"),
    ("arm.is_reachable_orientation", "arm.is_reachable_orientation(rotation)", "bool"),
    ("arm.ik_from_direction", "arm.ik_from_direction(direction)", "pair"),
    ("arm.ik_from_direction near", "arm.ik_from_direction(direction, near)", "pair"),
    ("arm.is_reachable_direction", "arm.is_reachable_direction(direction)", "bool"),
    ("arm.arm_arc", "arm.arm_arc()", "float"),
    ("arm.mirror", "arm.mirror()", "bool"),
    ("VelmoraArmKinematics()", "VelmoraArmKinematics()", "object"),
    ("default_left", "VelmoraArmKinematics.default_left()", "object"),
    ("from_json", "VelmoraArmKinematics.from_json(json_text)", "object"),
    ("neck.fk", "neck.fk(joints)", "mat3"),
    ("neck.ik", "neck.ik(head)", "triple"),
]

# (name, call with lists, the same call with arrays)
ARRAY_CASES = [
    ("arm.ik", "arm.ik(rotation)", "arm.ik(rotation_array)"),
    ("arm.ik_from_direction", "arm.ik_from_direction(direction)", "arm.ik_from_direction(direction_array)"),
    ("neck.fk", "neck.fk(joints)", "neck.fk(joints_array)"),
    ("neck.ik", "neck.ik(head)", "neck.ik(head_array)"),
]


def ns_per_call(statement: str, repeat: int, target_seconds: float) -> float:
    timer = timeit.Timer(statement, globals=SCOPE)
    loops = 1
    while timer.timeit(loops) < target_seconds:
        loops *= 2
    return min(timer.repeat(repeat=repeat, number=loops)) / loops * 1e9


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="shorter runs, noisier figures")
    options = parser.parse_args()
    repeat, target = (3, 0.02) if options.quick else (7, 0.1)

    call = ns_per_call("atan2(a, b)", repeat, target)
    builds = {shape: ns_per_call(code, repeat, target) for shape, code in BUILD.items()}
    print(f"Python {sys.version.split()[0]}; reference call atan2(a, b): {call:.1f} ns")
    print(f"{'method':32} {'ns/call':>8} {'call+build':>11} {'ratio':>6}")
    for name, statement, shape in CASES:
        method = ns_per_call(statement, repeat, target)
        reference = call + builds[shape]
        print(f"{name:32} {method:8.1f} {reference:11.1f} {method / reference:6.2f}")

    print(f"\n{'method (lists vs float64 arrays)':32} {'lists':>8} {'arrays':>8} {'ratio':>6}")
    for name, with_lists, with_arrays in ARRAY_CASES:
        lists, arrays = alternating({"lists": with_lists, "arrays": with_arrays}, repeat,
                                    lambda statement: ns_per_call(statement, 1, target)).values()
        print(f"{name:32} {lists:8.1f} {arrays:8.1f} {arrays / lists:6.2f}")


if __name__ == "__main__":
    main()
