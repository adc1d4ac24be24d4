"""Repeated calls, on good and bad arguments, leak neither references, Python objects
nor memory (resident memory also sees C++ heap allocations)."""

import gc
import os
import sys

import numpy as np
import pytest

import velmora_torso_kinematics as vtk

Arm = vtk.VelmoraArmKinematics
Neck = vtk.VelmoraNeckKinematics
ARM = Arm.default_left()
NECK = Neck()
CALLS = 20_000
MAX_BLOCK_GROWTH = CALLS // 20  # a leak of one object per call adds CALLS blocks
MAX_RSS_GROWTH = 4 * 1024 * 1024  # 200 bytes per call


def num(text):
    return float(text)  # built at run time, so its reference count is ours to watch


class TypeErrorWithCause:
    cause = KeyError("root")

    def __float__(self):
        raise TypeError("inner") from self.cause


ROTATION = ARM.fk(num("0.3"), num("-0.2"))
DIRECTION = [num("0.662696224"), num("0.584017488"), num("0.468782772")]
WITH_CAUSE = TypeErrorWithCause()


def case(name, function, *args, **kwargs):
    return pytest.param(function, args, kwargs, id=name)


LEAK_CASES = [  # each method once on good arguments, and its failure paths
    case("arm-new", Arm, num("0.3"), coupler_arc=num("0.4"), mirror=True),
    case("arm-new-bad-mirror", Arm, num("0.3"), mirror=num("1.0")),
    case("arm-new-too-many", Arm, num("1"), num("2"), num("3"), num("4")),
    case("default_right", ARM.default_right),
    case("from_json", Arm.from_json, "".join(['{"arm_arc": 0.3, ', '"coupler_arc": 0.5}'])),
    case("from_json-invalid", Arm.from_json, "".join(['{"arm_arc": 0.3', ", ]"])),
    case("fk-keywords", ARM.fk, theta_b=num("-0.2"), theta_a=num("0.3")),
    case("fk-loop-open", ARM.fk, num("0.0"), num("1.5707963267948966")),
    case("fk-multiple-values", ARM.fk, num("0.3"), theta_a=num("0.1")),
    case("direction-wrapped-error-with-cause", ARM.direction, WITH_CAUSE, num("0.0")),
    case("ik", ARM.ik, ROTATION),
    case("ik-bad-row", ARM.ik, [ROTATION[0], ROTATION[1], {}]),
    case("is_reachable_orientation-false", ARM.is_reachable_orientation,
         [[num("1"), 0, 0], [0, 1, 0], [0, 0, 1]]),
    case("ik_from_direction-near", ARM.ik_from_direction, DIRECTION, near=(num("0.3"), num("-0.2"))),
    case("ik_from_direction-unreachable", ARM.ik_from_direction, [num("0"), num("0"), num("1")]),
    case("ik_from_direction-bad-near", ARM.ik_from_direction, DIRECTION, (num("0.3"), "x")),
    case("is_reachable_direction", ARM.is_reachable_direction, DIRECTION),
    case("accessors", lambda: (ARM.arm_arc(), ARM.coupler_arc(), ARM.mirror())),
    case("neck-fk", NECK.fk, [num("0.1"), num("0.2"), num("0.3")]),
    case("neck-fk-bad-item", NECK.fk, [num("0.1"), "y", num("0.3")]),
    case("neck-ik", NECK.ik, r=ROTATION),
    case("ik-array", ARM.ik, np.array(ROTATION)),
    case("ik-array-float32-fortran", ARM.ik, np.asfortranarray(ROTATION, dtype=np.float32)),
    case("ik-array-big-endian", ARM.ik, np.array(ROTATION, dtype=">f8")),
    case("ik-array-wrong-shape", ARM.ik, np.zeros((3, 2))),
    case("ik_from_direction-array-strided", ARM.ik_from_direction, np.repeat(DIRECTION, 2)[::2]),
    case("neck-fk-array-bad-items", NECK.fk, np.array([num("0.1"), "y", 3], dtype=object)),
    case("neck-ik-array-read-only", NECK.ik, np.frombuffer(np.array(ROTATION).tobytes()).reshape(3, 3)),
    case("neck-ik-gimbal-lock", NECK.ik, [[0, 0, 1], [0, 1, 0], [num("-1"), 0, 0]]),
]


def watched(objects):
    """The objects and the items inside list and tuple arguments."""
    for obj in objects:
        yield obj
        if isinstance(obj, (list, tuple)):
            yield from watched(obj)


def repeat(function, args, kwargs, times):
    for _ in range(times):
        try:
            function(*args, **kwargs)
        except Exception:  # each failure path is exercised on purpose
            pass


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.parametrize("function, args, kwargs", LEAK_CASES)
def test_repeated_calls_leak_nothing(function, args, kwargs):
    objects = list(watched([*args, *kwargs, *kwargs.values(), TypeErrorWithCause.cause, ARM, NECK, Arm, Neck]))
    repeat(function, args, kwargs, 1_000)
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in objects]
    blocks, resident = sys.getallocatedblocks(), resident_bytes()
    repeat(function, args, kwargs, CALLS)
    gc.collect()
    counts_after = [sys.getrefcount(obj) for obj in objects]
    assert [(repr(obj)[:60], after - before)
            for obj, before, after in zip(objects, counts, counts_after) if after != before] == []
    assert sys.getallocatedblocks() - blocks < MAX_BLOCK_GROWTH
    assert resident_bytes() - resident < MAX_RSS_GROWTH
