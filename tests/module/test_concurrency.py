"""Stress: shared instances under many threads, and long loops over error paths.

Threads calling every method of both classes on the same instances, with good
and bad arguments mixed and with arguments whose conversion lets other threads
run mid-call, must get exactly the results (or the exception type, arguments
and cause) that one thread gets. The error paths that test_reference_leaks.py
does not loop over (binding errors of every form, receiver checks, overflow,
encoding, length and item failures, the JSON reader's many reasons) run
interleaved in one long loop that leaves every argument's reference count and
the process's memory where they were.
"""

import gc
import os
import random
import sys
import threading
import time

import numpy as np

import velmora_torso_kinematics as vtk
from conftest import float_bits

Arm = vtk.VelmoraArmKinematics
Neck = vtk.VelmoraNeckKinematics

THREADS = 8
ROUNDS = 30  # each thread runs every call this many times, in its own order
# Thread switches every microsecond: calls interleave far more than by default.
SWITCH_INTERVAL = 1e-6

ERROR_ROUNDS = 2_000
ERROR_WARM_UP = 100
# A leak of 100 bytes per call over the loop's ~100k calls is 10 MB; noise stays below 8 MB.
MAX_RSS_GROWTH = 8 * 1024 * 1024
# One leaked Python object per call adds ~100k blocks.
MAX_BLOCK_GROWTH = 5_000

LOOP_OPEN = (0.0, 1.5707963267948966)  # none of the arms below closes its loop there
GIMBAL_LOCKED = [[0.0, 0.0, 1.0], [0.0, 1.0, 0.0], [-1.0, 0.0, 0.0]]


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def num(text):
    # Built at run time: a private object whose reference count is ours to watch.
    return float(text)


class YieldingFloat:
    """A number whose conversion hands the interpreter lock to other threads."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return self.value


class YieldingSequence:
    """A sequence whose length and items hand the interpreter lock to other threads."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        time.sleep(0)
        return len(self.items)

    def __getitem__(self, index):
        time.sleep(0)
        return self.items[index]


class FailingLength:
    def __init__(self):
        self.error_text = "length is gone"

    def __len__(self):
        raise RuntimeError(self.error_text)

    def __getitem__(self, index):
        return 0.0


class FloatReturningText:
    def __float__(self):
        return "0.5"


class PairSubclass(tuple):
    pass


# ---------------------------------------------------------------------------
# Shared instances under threads

LEFT = Arm.default_left()
RIGHT = Arm(0.7, 0.5, mirror=True)
NEGATIVE = Arm.from_json('{"arm_arc": 0.6, "coupler_arc": 0.45, "branch": "negative"}')
NECK = Neck()


def arm_calls(label, arm):
    """(name, call, returns) rows for every arm method on one shared instance."""
    rotation = arm.fk(0.3, -0.2)
    v3 = arm.direction(0.3, -0.2)
    yielding_rotation = YieldingSequence([YieldingSequence(row) for row in rotation])
    rows = [
        ("fk", lambda: arm.fk(0.3, -0.2), True),
        ("fk-keywords", lambda: arm.fk(theta_b=-0.2, theta_a=0.3), True),
        ("fk-yielding", lambda: arm.fk(YieldingFloat(0.3), YieldingFloat(-0.2)), True),
        ("fk-loop-open", lambda: arm.fk(*LOOP_OPEN), False),
        ("fk-bad-type", lambda: arm.fk("0.3", -0.2), False),
        ("fk-missing", lambda: arm.fk(theta_b=0.1), False),
        ("direction", lambda: arm.direction(-0.4, 0.25), True),
        ("direction-yielding", lambda: arm.direction(YieldingFloat(-0.4), 0.25), True),
        ("direction-loop-open", lambda: arm.direction(*LOOP_OPEN), False),
        ("is_reachable_joints", lambda: arm.is_reachable_joints(0.3, -0.2), True),
        ("is_reachable_joints-open", lambda: arm.is_reachable_joints(*LOOP_OPEN), True),
        ("is_reachable_joints-bad", lambda: arm.is_reachable_joints(0.3, [0.2]), False),
        ("ik", lambda: arm.ik(rotation), True),
        ("ik-yielding", lambda: arm.ik(yielding_rotation), True),
        ("ik-unreachable", lambda: arm.ik(GIMBAL_LOCKED), False),
        ("ik-bad-row", lambda: arm.ik([rotation[0], rotation[1], {}]), False),
        ("is_reachable_orientation", lambda: arm.is_reachable_orientation(rotation), True),
        ("is_reachable_orientation-no", lambda: arm.is_reachable_orientation(GIMBAL_LOCKED), True),
        ("ik_from_direction", lambda: arm.ik_from_direction(v3), True),
        ("ik_from_direction-near", lambda: arm.ik_from_direction(v3, near=(1.2, -0.1)), True),
        ("ik_from_direction-yielding",
         lambda: arm.ik_from_direction(YieldingSequence(v3), (YieldingFloat(0.3), -0.2)), True),
        ("ik_from_direction-unreachable", lambda: arm.ik_from_direction([0.0, 0.0, -1.0]), False),
        ("ik_from_direction-near-list", lambda: arm.ik_from_direction(v3, near=[0.3, -0.2]), False),
        ("ik_from_direction-near-short", lambda: arm.ik_from_direction(v3, near=(0.3,)), False),
        ("is_reachable_direction", lambda: arm.is_reachable_direction(v3), True),
        ("is_reachable_direction-no", lambda: arm.is_reachable_direction([0.0, 0.0, -1.0]), True),
        ("is_reachable_direction-short", lambda: arm.is_reachable_direction([1.0, 0.0]), False),
        ("arm_arc", arm.arm_arc, True),
        ("coupler_arc", arm.coupler_arc, True),
        ("mirror", arm.mirror, True),
        ("mirror-argument", lambda: arm.mirror(1), False),
        ("default_left-through-instance", arm.default_left, True),
        ("default_right-through-instance", arm.default_right, True),
        ("from_json-through-instance", lambda: arm.from_json("[0.65, 0.4, \"negative\"]"), True),
        ("from_json-invalid", lambda: arm.from_json('{"arm_arc": 0.7}'), False),
        ("receiver-is-a-neck", lambda: Arm.fk(NECK, 0.3, -0.2), False),
    ]
    return [(f"{label}.{name}", call, returns) for name, call, returns in rows]


NECK_CALLS = [
    ("neck.fk", lambda: NECK.fk([0.1, 0.2, 0.3]), True),
    ("neck.fk-yielding", lambda: NECK.fk(YieldingSequence([YieldingFloat(0.1), 0.2, 0.3])), True),
    ("neck.fk-short", lambda: NECK.fk([0.1, 0.2]), False),
    ("neck.fk-bad-item", lambda: NECK.fk("abc"), False),
    ("neck.ik", lambda: NECK.ik(NECK.fk([0.4, -0.25, 0.1])), True),
    ("neck.ik-gimbal-lock", lambda: NECK.ik(GIMBAL_LOCKED), False),
    ("neck.ik-bad-row", lambda: NECK.ik([[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], 5]), False),
    ("neck.receiver-is-an-arm", lambda: Neck.ik(LEFT, GIMBAL_LOCKED), False),
    ("neck-new", Neck, True),
    ("neck-new-argument", lambda: Neck(1), False),
    ("arm-new", lambda: Arm(0.6, coupler_arc=0.45, mirror=np.True_), True),
    ("arm-new-bad-mirror", lambda: Arm(mirror=1), False),
    ("arm-new-multiple-values", lambda: Arm(0.6, arm_arc=0.6), False),
]

SHARED_CALLS = (arm_calls("left", LEFT) + arm_calls("right", RIGHT) + arm_calls("negative", NEGATIVE)
                + NECK_CALLS)


def described(result):
    """A result in a form whose equality is exact: instances by their contents."""
    if type(result) is Arm:
        return ("Arm", float_bits((result.arm_arc(), result.coupler_arc(), result.mirror())),
                outcome(lambda: result.direction(0.2, 0.1)))
    if type(result) is Neck:
        return "Neck"
    return float_bits(result)


def outcome(call):
    try:
        result = call()
    except Exception as error:
        cause = error.__cause__
        return "raised", type(error), error.args, None if cause is None else type(cause)
    return "returned", described(result)


def test_table_rows_return_or_raise_as_labelled():
    wrong = [name for name, call, returns in SHARED_CALLS
             if (outcome(call)[0] == "returned") != returns]
    assert wrong == []


def test_threads_sharing_instances_get_the_single_threaded_results():
    expected = {name: outcome(call) for name, call, _ in SHARED_CALLS}
    mismatches = []
    crashed = []
    finished = []
    start = threading.Barrier(THREADS)

    def worker(seed):
        try:
            order = SHARED_CALLS * ROUNDS
            random.Random(seed).shuffle(order)
            start.wait()
            for name, call, _ in order:
                got = outcome(call)
                if got != expected[name]:
                    mismatches.append((name, got, expected[name]))
            finished.append(seed)
        except BaseException as error:  # an internal fault is a BaseException
            crashed.append((seed, repr(error)))

    previous = sys.getswitchinterval()
    sys.setswitchinterval(SWITCH_INTERVAL)
    try:
        threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(previous)

    assert crashed == []
    assert sorted(finished) == list(range(THREADS))
    assert mismatches[:5] == []  # the first few name the fault well enough
    # The shared instances are what they were built as.
    assert (LEFT.arm_arc(), LEFT.coupler_arc(), LEFT.mirror()) == (0.7, 0.5, False)
    assert (RIGHT.arm_arc(), RIGHT.coupler_arc(), RIGHT.mirror()) == (0.7, 0.5, True)
    assert (NEGATIVE.arm_arc(), NEGATIVE.coupler_arc(), NEGATIVE.mirror()) == (0.6, 0.45, False)


# ---------------------------------------------------------------------------
# Error paths in one long loop

def error_cases():
    """(id, call, expected exception type, watched objects) for each error path."""
    arm = Arm.default_left()
    neck = Neck()
    a, b = num("0.3"), num("-0.2")
    huge = 10 ** 400
    v3 = [num("0.66"), num("0.58"), num("0.47")]
    row = [num("1"), num("0"), num("0")]
    rotation = [row, [num("0"), num("1"), num("0")], [num("0"), num("0"), num("1")]]
    short_row = [num("1"), num("0")]
    failing_length = FailingLength()
    text_float = FloatReturningText()
    bad_pair = PairSubclass((a, "x"))
    surrogate = "".join(["{", "\ud800", "}"])
    keyword = "".join(list("text"))

    cases = [
        # Binding.
        ("fk-missing-both", lambda: arm.fk(), TypeError, []),
        ("fk-missing-one", lambda: arm.fk(theta_b=b), TypeError, [b]),
        ("fk-too-many", lambda: arm.fk(a, b, a), TypeError, [a, b]),
        ("ik-missing", lambda: arm.ik(), TypeError, []),
        ("ik-too-many", lambda: arm.ik(rotation, rotation), TypeError, [rotation]),
        ("ik_from_direction-too-many", lambda: arm.ik_from_direction(v3, None, v3), TypeError, [v3]),
        ("ik_from_direction-missing", lambda: arm.ik_from_direction(near=(a, b)), TypeError, [a, b]),
        ("direction-missing", lambda: arm.direction(a), TypeError, [a]),
        ("neck.fk-too-many", lambda: neck.fk(v3, v3), TypeError, [v3]),
        ("neck.ik-missing", lambda: neck.ik(), TypeError, []),
        ("arm-new-multiple-values", lambda: Arm(a, arm_arc=b), TypeError, [a, b]),
        ("from_json-missing", lambda: Arm.from_json(), TypeError, []),
        ("from_json-unknown-keyword", lambda: Arm.from_json(**{keyword: "[1, 2]"}), TypeError, [keyword]),
        ("accessor-keyword", lambda: arm.mirror(flag=a), TypeError, [a]),
        ("static-accessor-argument", lambda: Arm.default_left(a), TypeError, [a]),
        # Receiver.
        ("fk-receiver-neck", lambda: Arm.fk(neck, a, b), TypeError, [a, b]),
        ("neck.ik-receiver-arm", lambda: Neck.ik(arm, rotation), TypeError, [rotation]),
        ("accessor-receiver-neck", lambda: Arm.arm_arc(neck), TypeError, []),
        # Conversion.
        ("fk-overflow", lambda: arm.fk(huge, b), OverflowError, [huge, b]),
        ("arm-new-overflow", lambda: Arm(arm_arc=huge), OverflowError, [huge]),
        ("neck.fk-item-overflow", lambda: neck.fk([a, huge, b]), OverflowError, [a, huge, b]),
        ("fk-float-returns-text", lambda: arm.fk(text_float, b), TypeError, [text_float, b]),
        ("neck.fk-failing-length", lambda: neck.fk(failing_length), RuntimeError,
         [failing_length, failing_length.error_text]),
        ("neck.fk-text", lambda: neck.fk("abc"), TypeError, []),
        ("ik-not-a-sequence", lambda: arm.ik(a), TypeError, [a]),
        ("ik-two-rows", lambda: arm.ik(rotation[:2]), ValueError, [rotation]),
        ("ik-short-row", lambda: arm.ik([row, row, short_row]), ValueError, [row, short_row]),
        ("near-short", lambda: arm.ik_from_direction(v3, near=(a,)), ValueError, [v3, a]),
        ("near-number", lambda: arm.ik_from_direction(v3, near=a), TypeError, [v3, a]),
        ("near-subclass-bad-item", lambda: arm.ik_from_direction(v3, bad_pair), TypeError,
         [v3, bad_pair, a]),
        ("from_json-none", lambda: Arm.from_json(None), TypeError, []),
        ("from_json-surrogate", lambda: Arm.from_json(surrogate), UnicodeEncodeError, [surrogate]),
        # Kinematics failures the per-call test does not loop over.
        ("direction-loop-open", lambda: arm.direction(*LOOP_OPEN), RuntimeError, []),
        ("ik_from_direction-unreachable-near",
         lambda: arm.ik_from_direction([num("0"), num("0"), num("-1")], near=(a, b)), RuntimeError, [a, b]),
    ]
    # The JSON reader: one document per family of reasons, each message built on the C++ heap.
    documents = [
        "", "{", "[0.7", '{"arm_arc', "[0.7]", "[]", '[1, 2, "positive", true, null]',
        '{"arm_arc": 0.7}', '{"arm_arc": 1, "arm_arc" }', '{"arm_arc": 0.7, "coupler_arc": 0.5, "branch": "Positive"}',
        '{"mirror": 1}', '{"mirror": "t\\"\\\\\\n\\u001b"}', '{"branch": {"left": null}}',
        '{"branch": {"negative": null, "positive": null}}', '{"arm_arc" 1}', "{arm_arc: 1}",
        '{"arm_arc": 07}', '{"arm_arc": 1e400}', '{"x": "\\a"}', '{"x": "\\uD83Dx"}', '{"x": "a\tb"}',
        '{"arm_arc": 0.7, "coupler_arc": 0.5}\n x', "[" * 10_000, '{"x": ' * 5_000,
    ]
    for index, document in enumerate(documents):
        text = "".join(list(document))
        cases.append((f"from_json-document-{index}", lambda text=text: Arm.from_json(text), ValueError, [text]))
    return arm, neck, cases


def test_error_paths_in_one_long_loop_keep_references_and_memory_flat():
    arm, neck, cases = error_cases()
    calls = [call for _, call, _, _ in cases]
    watched = [obj for _, _, _, objects in cases for obj in objects] + [arm, neck, Arm, Neck]

    wrong = []
    for name, call, expected, _ in cases:
        got = outcome(call)
        if got[0] != "raised" or got[1] is not expected:
            wrong.append((name, got[:2], expected))
    assert wrong == []

    def loop(rounds):
        raised = 0
        for _ in range(rounds):
            for call in calls:
                try:
                    call()
                except Exception:
                    raised += 1
        return raised

    loop(ERROR_WARM_UP)
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in watched]
    blocks = sys.getallocatedblocks()
    resident = resident_bytes()

    assert loop(ERROR_ROUNDS) == ERROR_ROUNDS * len(calls)
    gc.collect()

    counts_after = [sys.getrefcount(obj) for obj in watched]
    leaked = [(repr(obj)[:60], after - before)
              for obj, before, after in zip(watched, counts, counts_after) if after != before]
    assert leaked == []
    assert sys.getallocatedblocks() - blocks < MAX_BLOCK_GROWTH
    assert resident_bytes() - resident < MAX_RSS_GROWTH
