"""Threads: results do not depend on `workers`, and calls from several Python
threads at once are safe."""

from __future__ import annotations

import os
import signal
import threading
import warnings

import numpy as np
import pytest

import velmora_torso_batch as vb
import velmora_torso_kinematics as vtk
from batch_helpers import arm_from

RNG = np.random.default_rng(7)
ARM = arm_from(0.7, 0.5, "negative", True)
THETA = RNG.uniform(-1.5, 1.5, size=(1001, 2))
ROTATIONS, _ = vb.fk(ARM, THETA[:, 0], THETA[:, 1])
DIRECTIONS = RNG.normal(size=(37, 29, 3))
DIRECTIONS[::3] = vb.direction(ARM, THETA[:37, :1], THETA[:29, 1])[0][::3]

CLOSING = THETA[vb.fk(ARM, THETA[:, 0], THETA[:, 1])[1]]

CALLS = {
    "fk": lambda w: vb.fk(ARM, THETA[:, :1], THETA[:7, 1], workers=w),
    "direction": lambda w: vb.direction(ARM, THETA[:, 0], THETA[:, 1], workers=w),
    "ik": lambda w: vb.ik(ARM, ROTATIONS, workers=w),
    "ik_from_direction": lambda w: vb.ik_from_direction(ARM, DIRECTIONS, THETA[:29], workers=w),
    "ik_path": lambda w: vb.ik_path(ARM, DIRECTIONS, THETA[:37], max_step=0.5, workers=w),
    "follow": lambda w: vb.follow(ARM, DIRECTIONS, CLOSING[:37, None], max_step=0.3, workers=w),
    "neck_fk": lambda w: (vb.neck_fk(DIRECTIONS, workers=w),),
    "neck_ik": lambda w: vb.neck_ik(vb.neck_fk(DIRECTIONS), workers=w),
    "jacobian": lambda w: vb.jacobian(ARM, THETA[:, :1], THETA[:7, 1], workers=w),
    "singularity_measure": lambda w: vb.singularity_measure(ARM, THETA[:, 0], THETA[:, 1], workers=w),
    "joint_rates": lambda w: vb.joint_rates(ARM, THETA[:37, :1], THETA[:29, 1], DIRECTIONS, workers=w),
    "direction_solutions": lambda w: vb.direction_solutions(ARM, DIRECTIONS, workers=w),
    "closure_margin": lambda w: (vb.closure_margin(ARM, THETA[:, :1], THETA[:7, 1], workers=w),),
    "nearest_reachable": lambda w: vb.nearest_reachable(ARM, DIRECTIONS[:3, :5], limits=((-1, 1.5), (-1, 1)),
                                                        workers=w),
    "neck_rates": lambda w: (vb.neck_rates(DIRECTIONS, DIRECTIONS[::-1], workers=w),),
    "neck_angle_rates": lambda w: vb.neck_angle_rates(DIRECTIONS, DIRECTIONS[:, ::-1], workers=w),
}


def as_bytes(result):
    return [array.tobytes() for array in result]


@pytest.mark.parametrize("name", sorted(CALLS))
def test_workers_give_identical_bytes(name):
    single = as_bytes(CALLS[name](1))
    for workers in (2, -1, 3):
        assert as_bytes(CALLS[name](workers)) == single, workers


@pytest.mark.parametrize("workers", [5000, 2**70])
def test_more_workers_than_elements_or_threads_give_identical_bytes(workers):
    # The split is the same code for every function: one of them shows that
    # counts past the elements and past the thread cap change nothing.
    assert as_bytes(CALLS["ik_path"](workers)) == as_bytes(CALLS["ik_path"](1))


def test_concurrent_calls_from_python_threads():
    expected = {name: as_bytes(call(1)) for name, call in CALLS.items()}
    failures = []

    def hammer(offset):
        names = sorted(CALLS)
        for k in range(12):
            name = names[(k + offset) % len(names)]
            if as_bytes(CALLS[name](2)) != expected[name]:
                failures.append(name)

    threads = [threading.Thread(target=hammer, args=(offset,)) for offset in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


def test_a_fresh_arm_of_another_geometry_is_read_per_call():
    left = vtk.VelmoraArmKinematics.default_left()
    a = vb.direction(left, 0.3, -0.2)[0]
    b = vb.direction(ARM, 0.3, -0.2)[0]
    assert a.tolist() == left.direction(0.3, -0.2) and b.tolist() == ARM.direction(0.3, -0.2)


def test_a_forked_child_gets_helper_threads_of_its_own():
    # The helpers are pool threads that a fork does not copy: the child must
    # neither wait for them nor for a lock one of them held.
    expected = as_bytes(CALLS["ik"](1))
    CALLS["ik"](2)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() of a process with threads
        pid = os.fork()
    if pid == 0:
        signal.alarm(30)  # a deadlock ends the child, and the test fails
        os._exit(0 if as_bytes(CALLS["ik"](2)) == expected and as_bytes(CALLS["ik"](-1)) == expected else 1)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
