"""Stress: threads sharing instances get exactly the single-threaded results; the error paths that
test_reference_leaks.py does not repeat, in one long loop, leave references and memory flat."""

import gc
import os
import random
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import velmora_torso_kinematics as vtk
from conftest import float_bits

Arm = vtk.VelmoraArmKinematics
Neck = vtk.VelmoraNeckKinematics

THREADS, ROUNDS = 8, 30  # each thread runs every call ROUNDS times, in its own order
# Thread switches every microsecond: calls interleave far more than by default.
SWITCH_INTERVAL = 1e-6

ERROR_ROUNDS, ERROR_WARM_UP = 4_000, 100
# A leak of 100 bytes per call over the loop's ~100k calls is 10 MB; noise stays below 8 MB.
# One leaked Python object per call adds ~100k blocks.
MAX_RSS_GROWTH, MAX_BLOCK_GROWTH = 8 * 1024 * 1024, 5_000

# None of the arms below closes its loop at LOOP_OPEN or reaches GIMBAL_LOCKED, where the neck locks.
LOOP_OPEN, GIMBAL_LOCKED = (0.0, 1.5707963267948966), [[0.0, 0.0, 1.0], [0.0, 1.0, 0.0], [-1.0, 0.0, 0.0]]


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def handed_over(value):
    time.sleep(0)  # other threads run in the middle of the conversion
    return value


def yielding_float(value):  # converts to `value`, handing the interpreter lock over on the way
    return type("YieldingFloat", (), {"__float__": lambda self: handed_over(value)})()


def yielding_sequence(items):  # the same for a sequence's length and items
    return type("YieldingSequence", (), {"__len__": lambda self: handed_over(len(items)),
                                         "__getitem__": lambda self, index: handed_over(items[index])})()


LEFT, RIGHT, NECK = Arm.default_left(), Arm(0.7, 0.5, mirror=True), Neck()
NEGATIVE = Arm.from_json('{"arm_arc": 0.6, "coupler_arc": 0.45, "branch": "negative"}')


def arm_calls(label, arm):
    # (name, call, returns) rows for every arm method on one shared instance
    rotation, v3 = arm.fk(0.3, -0.2), arm.direction(0.3, -0.2)
    # arrays shared by every thread: read from memory, or item by item for other dtypes and shapes
    rotation_f4, v3_array = np.asfortranarray(rotation, dtype=np.float32), np.array(v3)
    rows = [
        ("fk-keywords-yielding", lambda: arm.fk(theta_b=yielding_float(-0.2), theta_a=0.3), True),
        ("fk-loop-open", lambda: arm.fk(*LOOP_OPEN), False),
        ("direction-yielding", lambda: arm.direction(yielding_float(-0.4), 0.25), True),
        ("direction-loop-open", lambda: arm.direction(*LOOP_OPEN), False),
        ("is_reachable_joints-bad-type", lambda: arm.is_reachable_joints("0.3", -0.2), False),
        ("ik-yielding", lambda: arm.ik(yielding_sequence([yielding_sequence(row) for row in rotation])), True),
        ("ik-unreachable", lambda: arm.ik(GIMBAL_LOCKED), False),
        ("ik-bad-row", lambda: arm.ik([rotation[0], rotation[1], {}]), False),
        ("ik-array-float32", lambda: arm.ik(rotation_f4), True),
        ("ik-array-int-rows", lambda: arm.ik(rotation_f4[:2].astype(int)), False),
        ("is_reachable_orientation-no", lambda: arm.is_reachable_orientation(GIMBAL_LOCKED), True),
        ("ik_from_direction-yielding",
         lambda: arm.ik_from_direction(yielding_sequence(v3), (yielding_float(0.3), -0.2)), True),
        ("ik_from_direction-unreachable", lambda: arm.ik_from_direction([0.0, 0.0, -1.0]), False),
        ("ik_from_direction-near-short", lambda: arm.ik_from_direction(v3, near=(0.3,)), False),
        ("is_reachable_direction", lambda: arm.is_reachable_direction(v3), True),
        ("ik_from_direction-array", lambda: arm.ik_from_direction(v3_array), True),
        ("accessors", lambda: (arm.arm_arc(), arm.coupler_arc(), arm.mirror()), True),
        ("default_right-through-instance", arm.default_right, True),
        ("from_json-through-instance", lambda: arm.from_json("[0.65, 0.4, \"negative\"]"), True),
        ("from_json-invalid", lambda: arm.from_json('{"arm_arc": 0.7}'), False),
        ("receiver-is-a-neck", lambda: Arm.fk(NECK, 0.3, -0.2), False),
    ]
    return [(f"{label}.{name}", call, returns) for name, call, returns in rows]


SHARED_CALLS = arm_calls("left", LEFT) + arm_calls("right", RIGHT) + arm_calls("negative", NEGATIVE) + [
    ("neck.fk-yielding", lambda: NECK.fk(yielding_sequence([yielding_float(0.1), 0.2, 0.3])), True),
    ("neck.fk-short", lambda: NECK.fk([0.1, 0.2]), False),
    ("neck.ik", lambda: NECK.ik(NECK.fk([0.4, -0.25, 0.1])), True),
    ("neck.fk-array", lambda: NECK.fk(np.array([0.1, 0.2, 0.3])[::-1]), True),
    ("neck.ik-array-big-endian", lambda: NECK.ik(np.array(GIMBAL_LOCKED, dtype=">f8")), False),
    ("neck.ik-gimbal-lock", lambda: NECK.ik(GIMBAL_LOCKED), False),
    ("neck.receiver-is-an-arm", lambda: Neck.ik(LEFT, GIMBAL_LOCKED), False),
    ("neck-new-argument", lambda: Neck(1), False),
    ("arm-new", lambda: Arm(0.6, coupler_arc=0.45, mirror=np.True_), True),
    ("arm-new-bad-mirror", lambda: Arm(mirror=1), False),
]


# A call's result in a form whose equality is exact, or its exception's type, arguments and cause.
def outcome(call):
    try:
        result = call()
    except Exception as error:
        return "raised", type(error), error.args, None if error.__cause__ is None else type(error.__cause__)
    if type(result) is Arm:  # an instance by its contents
        return "returned", float_bits((result.arm_arc(), result.coupler_arc(), result.mirror(), result.direction(0, 0)))
    return "returned", float_bits(result)


def test_threads_sharing_instances_get_the_single_threaded_results():
    expected = {name: outcome(call) for name, call, _ in SHARED_CALLS}
    # The table is what it says: neither all results nor all exceptions.
    assert [name for name, _, returns in SHARED_CALLS if (expected[name][0] == "returned") != returns] == []
    mismatches, crashed, finished = [], [], []
    start = threading.Barrier(THREADS)

    def worker(seed):
        order = SHARED_CALLS * ROUNDS
        random.Random(seed).shuffle(order)
        start.wait()
        try:
            mismatches.extend((name, got, expected[name]) for name, call, _ in order
                              if (got := outcome(call)) != expected[name])
            finished.append(seed)
        except BaseException as error:  # an internal fault is a BaseException
            crashed.append((seed, repr(error)))

    previous = sys.getswitchinterval()
    sys.setswitchinterval(SWITCH_INTERVAL)
    try:
        with ThreadPoolExecutor(THREADS) as pool:
            pool.map(worker, range(THREADS))
    finally:
        sys.setswitchinterval(previous)

    assert crashed == []
    assert sorted(finished) == list(range(THREADS))
    assert mismatches[:5] == []  # the first few name the fault well enough
    # The shared instances are what they were built as.
    assert [(arm.arm_arc(), arm.coupler_arc(), arm.mirror()) for arm in (LEFT, RIGHT, NEGATIVE)] == [
        (0.7, 0.5, False), (0.7, 0.5, True), (0.6, 0.45, False)]


class FailingLength:  # a sequence whose length raises, with a message whose references are watched
    error_text = "".join(list("length is gone"))

    def __len__(self):
        raise RuntimeError(self.error_text)

    def __getitem__(self, index):
        return 0.0


# (id, call, expected exception type, watched objects) for each error path. The arguments are
# built at run time: private objects whose reference counts are ours to watch.
def error_cases():
    arm, neck = Arm.default_left(), Neck()
    a, b, huge = float("0.3"), float("-0.2"), 10 ** 400
    v3 = [float("0.66"), float("0.58"), float("0.47")]
    row = [float("1"), float("0"), float("0")]
    rotation = [row, [float("0"), float("1"), float("0")], [float("0"), float("0"), float("1")]]
    short_row, failing_length = [float("1"), float("0")], FailingLength()
    text_float = type("FloatReturningText", (), {"__float__": lambda self: "0.5"})()
    surrogate, keyword = "".join(["{", "\ud800", "}"]), "".join(list("text"))
    cases = [
        ("fk-missing-one", lambda: arm.fk(theta_b=b), TypeError, [b]),
        ("from_json-unknown-keyword", lambda: Arm.from_json(**{keyword: "[1, 2]"}), TypeError, [keyword]),
        ("accessor-keyword", lambda: arm.mirror(flag=a), TypeError, [a]),
        ("static-accessor-argument", lambda: Arm.default_left(a), TypeError, [a]),
        ("fk-receiver-neck", lambda: Arm.fk(neck, a, b), TypeError, [a, b]),
        ("fk-overflow", lambda: arm.fk(huge, b), OverflowError, [huge, b]),
        ("neck.fk-item-overflow", lambda: neck.fk([a, huge, b]), OverflowError, [a, huge, b]),
        ("fk-float-returns-text", lambda: arm.fk(text_float, b), TypeError, [text_float, b]),
        ("neck.fk-failing-length", lambda: neck.fk(failing_length), RuntimeError,
         [failing_length, failing_length.error_text]),
        ("ik-two-rows", lambda: arm.ik(rotation[:2]), ValueError, [rotation]),
        ("ik-short-row", lambda: arm.ik([row, row, short_row]), ValueError, [row, short_row]),
        ("near-short", lambda: arm.ik_from_direction(v3, near=(a,)), ValueError, [v3, a]),
        ("near-number", lambda: arm.ik_from_direction(v3, near=a), TypeError, [v3, a]),
        ("from_json-none", lambda: Arm.from_json(None), TypeError, []),
        ("from_json-surrogate", lambda: Arm.from_json(surrogate), UnicodeEncodeError, [surrogate]),
    ]
    # The JSON reader: one document per family of reasons, each message built on the C++ heap.
    documents = ["", '{"arm_arc', "[0.7]", '{"arm_arc": 1, "arm_arc" }', '{"branch": "Positive"}',
                 '{"mirror": "t\\"\\\\\\n\\u001b"}', '{"branch": {"negative": null, "positive": null}}',
                 "{arm_arc: 1}", '{"arm_arc": 1e400}', '{"x": "\\uD83Dx"}', "[" * 10_000, '{"x": ' * 5_000]
    for index, document in enumerate(documents):
        text = "".join(list(document))
        cases.append((f"from_json-document-{index}", lambda text=text: Arm.from_json(text), ValueError, [text]))
    return arm, neck, cases


def test_error_paths_in_one_long_loop_keep_references_and_memory_flat():
    arm, neck, cases = error_cases()
    calls = [call for _, call, _, _ in cases]
    watched = [obj for _, _, _, objects in cases for obj in objects] + [arm, neck, Arm, Neck]
    assert [(name, outcome(call)[:2], expected) for name, call, expected, _ in cases
            if outcome(call)[:2] != ("raised", expected)] == []

    def loop(rounds):  # how many calls raised
        return sum(outcome(call)[0] == "raised" for _ in range(rounds) for call in calls)

    loop(ERROR_WARM_UP)
    gc.collect()
    counts, blocks, resident = [sys.getrefcount(obj) for obj in watched], sys.getallocatedblocks(), resident_bytes()
    assert loop(ERROR_ROUNDS) == ERROR_ROUNDS * len(calls)
    gc.collect()
    leaked = [(repr(obj)[:60], after - before)
              for obj, before, after in zip(watched, counts, [sys.getrefcount(obj) for obj in watched])
              if after != before]
    assert leaked == []
    assert sys.getallocatedblocks() - blocks < MAX_BLOCK_GROWTH
    assert resident_bytes() - resident < MAX_RSS_GROWTH
