"""velmora_torso_batch per element, next to what it replaces and what it runs on,
all measured in this one run over the same N = 100,000 inputs:

  loop   a Python loop of the scalar method, its results stacked with np.array;
  core   the prepared C++ core alone, per call (bench/batch_core_timing.cpp);
  batch  the batch function, workers=1 unless stated.

The velocity kinematics and direction_solutions have no scalar method: they
are held against the core's own function and against the core's forward
kinematics (one fk per element), in the same run.

Also, each in the same run:
  - one pose per call: every function on Python numbers and lists, and on 0-d
    and trailing-shaped float64 arrays, against the scalar method's call;
  - with --against DIR (a directory holding another build of both modules, such
    as the last release's), the per-element figures of that build, timed in a
    child process in rounds alternating with this one's (CPU time of the
    process, which the machine's other load does not stretch);
  - ik with workers=2 against two processes each running workers=1 at the same
    time (persistent children, rounds alternating with the threads);
  - the peak extra memory of a call (tracemalloc, which sees NumPy's
    allocations) against its outputs.

Run: .venv/bin/python bench/bench_batch.py [--core BUILD/velmora_batch_core_timing] [--against DIR]
(build the timing program with `cmake --build BUILD --target velmora_batch_core_timing`).
"""
from __future__ import annotations

import argparse
import json
import math
import os
import statistics
import subprocess
import sys
import tempfile
import time
import timeit
import tracemalloc
from pathlib import Path

import numpy as np
from timing import alternating, fastest, keep_fastest

import velmora_torso_batch as vb
from velmora_torso_kinematics import VelmoraArmKinematics, VelmoraNeckKinematics

N = 100_000
arm = VelmoraArmKinematics.default_left()
neck = VelmoraNeckKinematics()
rng = np.random.default_rng(2024)
thetas = rng.uniform(-0.6, 0.6, size=(N, 2))
rotations, _ = vb.fk(arm, thetas[:, 0], thetas[:, 1])
directions, _ = vb.direction(arm, thetas[:, 0], thetas[:, 1])
angles = rng.uniform(-1.0, 1.0, size=(N, 3))
head = vb.neck_fk(angles)
# Paths: 1,000 walks of 100 steps, the same 100,000 directions.
paths = directions.reshape(1000, 100, 3)


def safe(method, *args):
    try:
        return method(*args)
    except (RuntimeError, ValueError):
        return None


CASES = [
    ("fk", lambda w: vb.fk(arm, thetas[:, 0], thetas[:, 1], workers=w),
     lambda: np.array([safe(arm.fk, a, b) for a, b in thetas.tolist()])),
    ("direction", lambda w: vb.direction(arm, thetas[:, 0], thetas[:, 1], workers=w),
     lambda: np.array([safe(arm.direction, a, b) for a, b in thetas.tolist()])),
    ("ik", lambda w: vb.ik(arm, rotations, workers=w),
     lambda: np.array([safe(arm.ik, r) for r in rotations.tolist()])),
    ("ik_from_direction", lambda w: vb.ik_from_direction(arm, directions, workers=w),
     lambda: np.array([safe(arm.ik_from_direction, d) for d in directions.tolist()])),
    ("ik_path", lambda w: vb.ik_path(arm, paths, workers=w), None),
    ("neck_fk", lambda w: vb.neck_fk(angles, workers=w),
     lambda: np.array([neck.fk(a) for a in angles.tolist()])),
    ("neck_ik", lambda w: vb.neck_ik(rotations, workers=w),
     lambda: np.array([safe(neck.ik, r) for r in rotations.tolist()])),
]


# The timing program's inputs reused as rates: directions as pointing velocities,
# angles as angle rates and angular velocities.
VELOCITY_CASES = [
    ("jacobian", lambda w: vb.jacobian(arm, thetas[:, 0], thetas[:, 1], workers=w)),
    ("singularity_measure", lambda w: vb.singularity_measure(arm, thetas[:, 0], thetas[:, 1], workers=w)),
    ("joint_rates", lambda w: vb.joint_rates(arm, thetas[:, 0], thetas[:, 1], directions, workers=w)),
    ("direction_solutions", lambda w: vb.direction_solutions(arm, directions, workers=w)),
    ("neck_rates", lambda w: vb.neck_rates(angles, angles[:, ::-1], workers=w)),
    ("neck_angle_rates", lambda w: vb.neck_angle_rates(angles, directions, workers=w)),
]


def per_element_best(rounds: int) -> dict[str, float]:
    """CPU ns per element of every function, workers=1 (the call's own work, whatever
    else the machine runs meanwhile), best of 5 calls in each of `rounds` rounds."""
    calls = {name: lambda batch=batch: batch(1) for name, batch, *_loop in CASES + VELOCITY_CASES}
    return alternating(calls, rounds, lambda call: fastest(call, 5, time.process_time_ns) / N)


# One pose: (name, the call on Python numbers and lists, on float64 arrays
# (0-d for a number), the scalar method's call for the same pose or None).
pose_theta = (0.3, -0.2)
pose_arrays = {"a": np.array(0.3), "b": np.array(-0.2), "rotation": np.array(arm.fk(0.3, -0.2)),
               "direction": np.array(arm.direction(0.3, -0.2)), "near": np.array([1.2, -0.1]),
               "angles": np.array([0.1, 0.2, 0.3]), "head": vb.neck_fk([0.1, 0.2, 0.3]),
               "path": np.array([arm.direction(0.3, -0.2)])}
pose_lists = {key: value.tolist() for key, value in pose_arrays.items()}
ONE_POSE = [
    ("fk", lambda p: vb.fk(arm, p["a"], p["b"]), lambda: arm.fk(0.3, -0.2)),
    ("direction", lambda p: vb.direction(arm, p["a"], p["b"]), lambda: arm.direction(0.3, -0.2)),
    ("ik", lambda p: vb.ik(arm, p["rotation"]), lambda: arm.ik(pose_lists["rotation"])),
    ("ik_from_direction", lambda p: vb.ik_from_direction(arm, p["direction"]),
     lambda: arm.ik_from_direction(pose_lists["direction"])),
    ("ik_from_direction near", lambda p: vb.ik_from_direction(arm, p["direction"], p["near"]),
     lambda: arm.ik_from_direction(pose_lists["direction"], (1.2, -0.1))),
    ("ik_path (T = 1)", lambda p: vb.ik_path(arm, p["path"]), lambda: arm.ik_from_direction(pose_lists["direction"])),
    ("neck_fk", lambda p: vb.neck_fk(p["angles"]), lambda: neck.fk(pose_lists["angles"])),
    ("neck_ik", lambda p: vb.neck_ik(p["head"]), lambda: neck.ik(pose_lists["head"])),
    ("direction_solutions", lambda p: vb.direction_solutions(arm, p["direction"]), None),
    ("jacobian", lambda p: vb.jacobian(arm, p["a"], p["b"]), None),
    ("singularity_measure", lambda p: vb.singularity_measure(arm, p["a"], p["b"]), None),
    ("joint_rates", lambda p: vb.joint_rates(arm, p["a"], p["b"], p["direction"]), None),
    ("neck_rates", lambda p: vb.neck_rates(p["angles"], p["angles"]), None),
    ("neck_angle_rates", lambda p: vb.neck_angle_rates(p["angles"], p["direction"]), None),
]


def call_ns(call, rounds: int = 7, number: int = 2000) -> float:
    return min(timeit.repeat(call, number=number, repeat=rounds)) / number * 1e9


def one_pose_table() -> None:
    """Every function on one pose, interleaved with the scalar method in rounds."""
    calls = {}
    for name, batch, scalar in ONE_POSE:
        calls[name, "lists"] = lambda batch=batch: batch(pose_lists)
        calls[name, "arrays"] = lambda batch=batch: batch(pose_arrays)
        if scalar is not None:
            calls[name, "scalar"] = scalar
    best = alternating(calls, 5, lambda call: call_ns(call, rounds=3))
    print("one pose per call, ns (numbers and lists / 0-d and trailing-shaped float64 arrays / the scalar method):")
    print(f"{'function':24} {'lists':>7} {'arrays':>7} {'scalar':>7} {'lists/scalar':>12} {'arrays/scalar':>13}")
    for name, _batch, scalar in ONE_POSE:
        lists, arrays = best[name, "lists"], best[name, "arrays"]
        if scalar is None:
            print(f"{name:24} {lists:7.0f} {arrays:7.0f} {'-':>7} {'-':>12} {'-':>13}")
        else:
            plain = best[name, "scalar"]
            print(f"{name:24} {lists:7.0f} {arrays:7.0f} {plain:7.0f} {lists / plain:12.2f} {arrays / plain:13.2f}")


def against_table(directory: str, rounds: int) -> None:
    """Per element against another build, in rounds alternating with this one."""
    here: dict[str, float] = {}
    there: dict[str, float] = {}
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join([directory, os.environ.get("PYTHONPATH", "")]))
    for _ in range(rounds):
        keep_fastest(here, per_element_best(1))
        child = subprocess.run([sys.executable, __file__, "--per-element"], env=environment, check=True,
                               capture_output=True, text=True)
        keep_fastest(there, json.loads(child.stdout))
    print(f"N = {N:,}; CPU ns per element, workers=1: this build against {directory} (rounds alternating)")
    print(f"{'function':20} {'that':>7} {'this':>7} {'this/that':>9}")
    for name in here:
        print(f"{name:20} {there[name]:7.1f} {here[name]:7.1f} {here[name] / there[name]:9.3f}")


def ik_calls(workers: int, calls: int) -> float:
    start = time.perf_counter()
    for _ in range(calls):
        vb.ik(arm, rotations, workers=workers)
    return time.perf_counter() - start


def threads_against_processes(rounds: int = 9, calls: int = 4) -> None:
    """ik on N rotations: workers=2 in this process against two processes each
    running workers=1 at the same time, rounds alternating; throughputs in
    rotations per second, summed over the two processes."""
    children = [subprocess.Popen([sys.executable, __file__, "--ik-child"], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, text=True) for _ in range(2)]
    try:
        for child in children:
            child.stdout.readline()  # ready: imported, inputs made, warmed up
        ik_calls(2, 1)
        rows = []
        for _ in range(rounds):
            one = calls * N / ik_calls(1, calls)
            two = calls * N / ik_calls(2, calls)
            for child in children:
                child.stdin.write(f"{calls}\n")
                child.stdin.flush()
            processes = sum(calls * N / float(child.stdout.readline()) for child in children)
            rows.append((one, two, processes))
    finally:
        for child in children:
            child.stdin.close()
            child.wait()
    ratio = statistics.median(two / processes for _, two, processes in rows)
    one, two, processes = (statistics.median(row[k] for row in rows) for k in range(3))
    print(f"ik, N = {N:,}, {rounds} rounds (medians): workers=1 {one / 1e6:.2f} M/s, workers=2 {two / 1e6:.2f} M/s "
          f"({two / one:.2f}x), two processes with workers=1 {processes / 1e6:.2f} M/s ({processes / one:.2f}x); "
          f"workers=2 / two processes: {ratio:.2f} (per round {' '.join(f'{t / p:.2f}' for _, t, p in rows)}; "
          f"load average {os.getloadavg()[0]:.1f})")


def ik_child() -> None:
    ik_calls(1, 1)
    print("ready", flush=True)
    for line in sys.stdin:
        print(ik_calls(1, int(line)), flush=True)


def path_loop() -> None:
    """ik_path's Python equivalent: near chained through each path."""
    out = []
    for path in paths.tolist():
        last = None
        for d in path:
            pair = safe(arm.ik_from_direction, d, last)
            out.append(pair if pair is not None else (math.nan, math.nan))
            last = pair if pair is not None else last
    np.array(out)


def core_times(program: str) -> dict[str, float]:
    with tempfile.TemporaryDirectory() as folder:
        for name, values in [("thetas", thetas), ("rotations", rotations), ("directions", directions),
                             ("angles", angles)]:
            np.ascontiguousarray(values).tofile(Path(folder) / f"{name}.f64")
        lines = subprocess.run([program, folder, str(N)], check=True, capture_output=True, text=True).stdout
    return {name: float(ns) for name, ns in (line.split() for line in lines.splitlines())}


def peak_extra(call) -> tuple[int, int]:
    tracemalloc.start()
    try:
        tracemalloc.reset_peak()
        before = tracemalloc.get_traced_memory()[0]
        result = call()
        peak = tracemalloc.get_traced_memory()[1] - before
    finally:
        tracemalloc.stop()
    outputs = sum(array.nbytes for array in (result if isinstance(result, tuple) else (result,)))
    return peak, outputs


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--core", help="the velmora_batch_core_timing program")
    parser.add_argument("--against", help="a directory holding another build of both modules")
    parser.add_argument("--per-element", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--ik-child", action="store_true", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.per_element:
        print(json.dumps(per_element_best(1)))
        return
    if options.ik_child:
        ik_child()
        return
    # Rounds interleave the core's timing with the batch's, and the best of
    # each is kept: on a shared machine both then see its quietest moments.
    rounds = 3
    core: dict[str, float] = {}
    batch_best: dict[str, float] = {}
    for _ in range(rounds):
        if options.core:
            keep_fastest(core, core_times(options.core))
        keep_fastest(batch_best, per_element_best(1))

    print(f"N = {N:,}; ns per element (ik_path: per step, 1,000 paths of 100 steps)")
    print(f"{'function':18} {'loop':>8} {'core':>7} {'batch':>7} {'batch-core':>10} {'batch/core':>10} "
          f"{'loop/batch':>10}")
    for name, batch, loop in CASES:
        batch_ns = batch_best[name]
        loop_time = fastest(loop if loop is not None else path_loop) / N
        # ik_path runs one direction inverse per step.
        core_ns = core.get("ik_from_direction" if name == "ik_path" else name)
        if core_ns:
            core_cols = f"{core_ns:7.1f} {batch_ns:7.1f} {batch_ns - core_ns:10.1f} {batch_ns / core_ns:10.2f}"
        else:
            core_cols = f"{'-':>7} {batch_ns:7.1f} {'-':>10} {'-':>10}"
        print(f"{name:18} {loop_time:8.1f} {core_cols} {loop_time / batch_ns:10.1f}")

    # One forward kinematics per element: the core's when it was timed, else the batch's.
    fk_ns = core.get("fk", batch_best["fk"])
    print(f"velocity kinematics; ns per element, against one forward kinematics ({'core' if core else 'batch'} "
          f"fk: {fk_ns:.1f} ns)")
    print(f"{'function':20} {'core':>7} {'batch':>7} {'batch/core':>10} {'core/fk':>8} {'batch/fk':>8}")
    for name, _batch in VELOCITY_CASES:
        batch_ns = batch_best[name]
        core_ns = core.get(name)
        core_cols = (f"{core_ns:7.1f} {batch_ns:7.1f} {batch_ns / core_ns:10.2f} {core_ns / fk_ns:8.2f}" if core_ns
                     else f"{'-':>7} {batch_ns:7.1f} {'-':>10} {'-':>8}")
        print(f"{name:20} {core_cols} {batch_ns / fk_ns:8.2f}")

    one_pose_table()
    if options.against:
        against_table(options.against, rounds)
    threads_against_processes()

    print("peak extra memory of one call (tracemalloc) against its outputs:")
    theta_a, theta_b = thetas[:, 0].copy(), thetas[:, 1].copy()
    theta_32 = theta_a.astype(np.float32)
    for label, call, copy in [
        ("fk float64 input", lambda: vb.fk(arm, theta_a, theta_b), 0),
        ("fk float32 input", lambda: vb.fk(arm, theta_32, 0.0), 1),
        ("ik float64 input", lambda: vb.ik(arm, rotations), 0),
        ("ik_path float64", lambda: vb.ik_path(arm, paths), 0),
    ]:
        peak, outputs = peak_extra(call)
        print(f"  {label:18} peak {peak / 1e6:7.3f} MB, outputs {outputs / 1e6:7.3f} MB"
              f"{f' + converted copy {8 * N / 1e6:.3f} MB' if copy else ''}")


if __name__ == "__main__":
    main()
