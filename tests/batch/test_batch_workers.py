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
from sample_calls import first_samples

RNG = np.random.default_rng(7)
ARM = arm_from(0.7, 0.5, "negative", True)
THETA = RNG.uniform(-1.5, 1.5, size=(1001, 2))
ROTATIONS, _ = vb.fk(ARM, THETA[:, 0], THETA[:, 1])
DIRECTIONS = RNG.normal(size=(37, 29, 3))
DIRECTIONS[::3] = vb.direction(ARM, THETA[:37, :1], THETA[:29, 1])[0][::3]

CLOSING = THETA[vb.fk(ARM, THETA[:, 0], THETA[:, 1])[1]]

# The sample calls' inputs: broadcast against each other, (37, 29) poses and more.
INPUTS = {"arms": ARM, "theta_a": THETA[:37, :1], "theta_b": THETA[:29, 1], "rotations": ROTATIONS,
          "directions": DIRECTIONS, "near": THETA[:29], "vectors": DIRECTIONS[:, ::-1], "paths": DIRECTIONS,
          "finite_path_starts": THETA[:37], "closing_path_starts": CLOSING[:37, None], "neck_angles": DIRECTIONS,
          "neck_rotations": vb.neck_fk(DIRECTIONS), "neck_paths": vb.neck_fk(DIRECTIONS),
          "neck_path_starts": np.nan_to_num(DIRECTIONS[:, 0]) % 1.0, "few_directions": DIRECTIONS[:3, :5],
          "few_paths": DIRECTIONS[:8, :6], "few_closing_path_starts": CLOSING[:8, None]}
CALLS = {name: (lambda w, sample=sample: sample.call(vb, INPUTS, workers=w))
         for name, sample in first_samples().items()}


def as_bytes(result):
    return [array.tobytes() for array in (result if isinstance(result, tuple) else (result,))]


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
