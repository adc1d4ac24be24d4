"""Hashes of what every public function of both modules returns on fixed inputs.

Run with the interpreter whose modules are to be hashed; the same inputs are
drawn everywhere, so two runs on different machines (x86_64 natively, aarch64
under emulation) print the same hashes when their modules compute the same
bits. NaN counts as NaN whatever its sign and payload; everything else, the
sign of zero included, must match, and so must every exception's type and
message.

    python tools/bit_hashes.py [--count N] [--output FILE]   # hashes as JSON
    python tools/bit_hashes.py --compare A.json B.json ...    # equal, or exit 1

Every name of either module's public surface (its __all__, the public methods
of the classes there and their parameters) must be exercised by a row of
ROWS below, or the run fails before it hashes anything: a new function or
keyword gets its row, one line, beside the others (velmora_torso_batch's are in
the table of sample calls that its tests share, tests/batch/sample_calls.py).
"""

import argparse
import array
import ast
import hashlib
import inspect
import json
import sys
import time

from pathlib import Path

import numpy as np

import velmora_torso_batch as batch
import velmora_torso_kinematics as vtk

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "batch"))
from sample_calls import ELEMENTWISE, NECK_LIMITS, SAMPLES, START, Literal  # noqa: E402  (the table is data alone)

Arm = vtk.VelmoraArmKinematics
Neck = vtk.VelmoraNeckKinematics

SEED = 20_260_520
DEFAULT_COUNT = 100_000
# Share of drawn numbers replaced by one of SPECIAL: non-finite, signed zeros, extremes.
SPECIAL_SHARE = 0.02
SPECIAL = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, 5e-324, 1e300, -1e300])


class Row:
    """One way of calling one public function: `name` as the surface shows it
    ("fk", "VelmoraArmKinematics.ik", "VelmoraArmKinematics" for the
    constructor), and its arguments by keyword, each the name of an input of
    `Inputs` or a `Literal`. A scalar row calls once per element, on one of
    the instances `on` names in turn or on the element's own instance of
    `each`; a batch row calls once per arm, with whole arrays."""

    def __init__(self, module, name, on=None, each=None, **arguments):
        self.module, self.name, self.on, self.each, self.arguments = module, name, on, each, arguments

    @property
    def key(self):
        words = [f"{k}={v.value!r}" if isinstance(v, Literal) else f"{k}={v}" for k, v in self.arguments.items()]
        on = f"[{self.on or self.each}]" if self.on or self.each else ""
        return f"{self.module.__name__}.{self.name}{on}({', '.join(words)})"


S, B = vtk, batch
ROWS = [
    # velmora_torso_kinematics: every method on both presets and a negative-branch arm.
    Row(S, "VelmoraArmKinematics", arm_arc="arcs", coupler_arc="coupler_arcs", mirror="mirrors"),
    Row(S, "VelmoraArmKinematics.default_left"),
    Row(S, "VelmoraArmKinematics.default_right"),
    Row(S, "VelmoraArmKinematics.from_json", json="documents"),
    Row(S, "VelmoraArmKinematics.arm_arc", each="built_arms"),
    Row(S, "VelmoraArmKinematics.coupler_arc", each="built_arms"),
    Row(S, "VelmoraArmKinematics.mirror", each="built_arms"),
    Row(S, "VelmoraArmKinematics.fk", on="arms", theta_a="theta_a", theta_b="theta_b"),
    Row(S, "VelmoraArmKinematics.direction", on="arms", theta_a="theta_a", theta_b="theta_b"),
    Row(S, "VelmoraArmKinematics.is_reachable_joints", on="arms", theta_a="theta_a", theta_b="theta_b"),
    Row(S, "VelmoraArmKinematics.ik", on="arms", r_target="rotations"),
    Row(S, "VelmoraArmKinematics.is_reachable_orientation", on="arms", r_target="rotations"),
    Row(S, "VelmoraArmKinematics.ik_from_direction", on="arms", v3="directions"),
    Row(S, "VelmoraArmKinematics.ik_from_direction", on="arms", v3="directions", near="near"),
    Row(S, "VelmoraArmKinematics.is_reachable_direction", on="arms", v3="directions"),
    Row(S, "VelmoraNeckKinematics"),
    Row(S, "VelmoraNeckKinematics.fk", on="necks", joints="neck_angles"),
    Row(S, "VelmoraNeckKinematics.ik", on="necks", r="neck_rotations"),
    # velmora_torso_batch: its functions over arrays take whole arrays, once per
    # arm; arm_json and the followers' classes are called as the rows above.
    *(Row(B, sample.name, on=sample.on, each=sample.each, **sample.arguments) for sample in SAMPLES),
]


# ---------------------------------------------------------------------------
# The public surface, and the rows that cover it.

def parameters(function):
    """Parameter names of a function or method, self excluded; None when it
    tells none."""
    signatures = getattr(function, "__nb_signature__", None)
    if signatures:  # nanobind: a Python def line per overload
        names = []
        for text, *_ in signatures:
            tree = ast.parse(text.replace("\n", " ") + ": ...")
            a = tree.body[0].args
            for arg in [*a.posonlyargs, *a.args, a.vararg, *a.kwonlyargs, a.kwarg]:
                if arg is not None and arg.arg != "self" and arg.arg not in names:
                    names.append(arg.arg)
        return names
    try:
        return [p for p in inspect.signature(function).parameters if p != "self"]
    except (TypeError, ValueError):
        return None


def surface(module):
    """{name: parameter names} of everything public in `module`: its __all__,
    and for a class there, the class (its constructor) and its public members."""
    found = {}
    for name in module.__all__:
        value = getattr(module, name)
        if not callable(value):  # a constant: nothing computes it
            continue
        if isinstance(value, type):
            init = value.__init__ if hasattr(value.__init__, "__nb_signature__") else value
            found[name] = parameters(init)
            for member in vars(value):
                if not member.startswith("_"):
                    found[f"{name}.{member}"] = parameters(getattr(value, member))
        else:
            found[name] = parameters(value)
    return found


def uncovered(rows):
    """What the modules show that no row exercises, and rows naming what they lack."""
    problems = []
    for module in (vtk, batch):
        shown = surface(module)
        mine = [row for row in rows if row.module is module]
        for name, params in shown.items():
            passed = [row.arguments for row in mine if row.name == name]
            missing = set(params or ()) - set().union(*passed)
            if not passed:
                problems.append(f"{module.__name__}.{name} has no row")
            elif missing:
                problems.append(f"{module.__name__}.{name}: no row passes {', '.join(sorted(missing))}")
        for row in mine:
            takes = shown.get(row.name)  # None: it tells no parameters
            extra = set(row.arguments) - set(takes) if takes is not None else set()
            if row.name not in shown:
                problems.append(f"row {row.key}: {module.__name__} has no public {row.name}")
            elif extra:
                problems.append(f"row {row.key}: {row.name} takes no {', '.join(sorted(extra))}")
    return problems


# ---------------------------------------------------------------------------
# Inputs: drawn from one seed with operations that round the same everywhere
# (the generator's doubles, then IEEE multiplications, additions, divisions and
# square roots, each a whole-array NumPy call of its own, so that none can be
# fused); rotations and reachable directions come from the modules' own
# forward kinematics, whose bits are hashed too.

class Inputs:
    def __init__(self, count):
        rng = np.random.Generator(np.random.PCG64(SEED))
        n = self.count = count

        def uniform(low, high, shape):
            return np.add(np.multiply(rng.random(shape), high - low), low)

        def specials(values):
            values = values.copy()
            flat = values.reshape(-1)
            hit = rng.random(flat.shape) < SPECIAL_SHARE
            flat[hit] = SPECIAL[rng.integers(0, len(SPECIAL), int(hit.sum()))]
            return values

        def unit(vectors):
            x, y, z = vectors[..., 0], vectors[..., 1], vectors[..., 2]
            length = np.sqrt(np.add(np.add(np.multiply(x, x), np.multiply(y, y)), np.multiply(z, z)))
            return np.divide(vectors, length[..., None])

        def mix(choice, options):
            """options[choice[i]][i], where that is not NaN; else options[0][i]."""
            mixed = options[0].copy()
            for index, option in enumerate(options[1:], 1):
                take = (choice == index) & ~np.isnan(option).reshape(len(choice), -1).any(axis=1)
                mixed[take] = option[take]
            return mixed

        self.arms = [Arm.default_left(), Arm.default_right(),
                     Arm.from_json('{"arm_arc": 0.9, "coupler_arc": 0.7, "branch": "negative"}')]
        self.necks = [Neck()]

        # Joint pairs over more than a turn: about a fifth of them close.
        self.theta_a = specials(uniform(-3.5, 3.5, n))
        self.theta_b = specials(uniform(-3.5, 3.5, n))
        # Targets: about half of them reached by one of the arms (its fk of a
        # closing pair), the others the neck's rotations and random directions,
        # mostly out of reach; a tenth nudged off the rotation group.
        pairs = uniform(-1.2, 1.2, (n, 2))
        reached = [batch.fk(arm, pairs[:, 0], pairs[:, 1])[0] for arm in self.arms]
        pointed = [batch.direction(arm, pairs[:, 0], pairs[:, 1])[0] for arm in self.arms]
        choice = rng.integers(0, 2 * len(self.arms), n)
        rotations = mix(choice, [batch.neck_fk(uniform(-3.2, 3.2, (n, 3))), *reached])
        nudge = np.multiply(uniform(-1e-7, 1e-7, (n, 3, 3)), rng.random((n, 1, 1)) < 0.1)
        self.rotations = specials(np.add(rotations, nudge))
        directions = mix(choice, [unit(uniform(-1.0, 1.0, (n, 3))), *pointed])
        self.directions = specials(directions)
        # nearest_reachable searches the joint plane per element: a few hundred do.
        self.few_directions = self.directions[: max(1, n // 200)]
        self.near = specials(uniform(-1.5, 1.5, (n, 2)))
        self.vectors = specials(uniform(-2.0, 2.0, (n, 3)))
        # Paths of 100 steps: most where an arm points along a straight sweep of
        # its joints (so that a step is small), the rest sweeps between two of
        # the directions above; starting at the sweep's first pair or anywhere.
        steps, count = 100, n // 100
        t = np.divide(np.arange(steps, dtype=float), steps - 1)[None, :]
        first = uniform(-1.2, 1.2, (count, 2))
        last = np.add(first, uniform(-0.6, 0.6, (count, 2)))
        sweep_a = np.add(np.multiply(first[:, 0:1], np.subtract(1.0, t)), np.multiply(last[:, 0:1], t))
        sweep_b = np.add(np.multiply(first[:, 1:2], np.subtract(1.0, t)), np.multiply(last[:, 1:2], t))
        ends = directions[rng.integers(0, n, (count, 2))][:, :, None, :]
        between = unit(np.add(np.multiply(ends[:, 0], np.subtract(1.0, t)[..., None]),
                              np.multiply(ends[:, 1], t[..., None])))
        path_choice = rng.integers(0, len(self.arms) + 1, count)
        self.paths = specials(mix(path_choice, [between, *[batch.direction(arm, sweep_a, sweep_b)[0]
                                                           for arm in self.arms]]))
        self.path_starts = specials(np.where((rng.random(count) < 0.5)[:, None], first,
                                             uniform(-1.0, 1.0, (count, 2))))
        # ik_path refuses a non-finite start: those as 0.
        self.finite_path_starts = np.where(np.isfinite(self.path_starts), self.path_starts, 0.0)
        # follow refuses a start at which the loop does not close: those near START,
        # where every arm closes (a list, derived from the digested starts above).
        self.closing_path_starts = np.add(START, np.multiply(np.clip(self.finite_path_starts, -1, 1), 0.05)).tolist()
        # The arm's followers search the joint plane when a target is out of reach:
        # a fiftieth of the paths do (slices of the digested inputs above).
        few = max(1, count // 50)
        self.few_paths = self.paths[:few]
        self.few_closing_path_starts = self.closing_path_starts[:few]
        # The neck's angles, a tenth of them within 1e-6 of the gimbal lock, and
        # their rotations.
        angles = uniform(-3.5, 3.5, (n, 3))
        lock = rng.random(n) < 0.1
        side = np.where(rng.random(n) < 0.5, -np.pi / 2, np.pi / 2)
        angles[lock, 1] = np.add(side, uniform(-1e-6, 1e-6, n))[lock]
        self.neck_angles = specials(angles)
        self.neck_rotations = specials(batch.neck_fk(angles))
        # The same rotations as paths of 50 ticks, for neck_follow.
        self.neck_paths = self.neck_rotations[: n - n % 50].reshape(-1, 50, 3, 3)
        # A start inside every limit per path: a list, derived from the angles
        # above, which the inputs' digest covers.
        self.neck_path_starts = np.clip(np.nan_to_num(self.neck_angles[: len(self.neck_paths)]), -0.9, 0.9).tolist()
        # Arms of any arcs, and their JSON documents.
        self.arcs = specials(uniform(-0.5, 2.0, n))
        self.coupler_arcs = specials(uniform(-0.5, 2.0, n))
        self.mirrors = rng.random(n) < 0.5
        self.built_arms = [Arm(a, c, mirror=m) for a, c, m in
                           zip(self.arcs.tolist(), self.coupler_arcs.tolist(), self.mirrors.tolist())]
        self.documents = documents(rng, n)
        # The followers' settings, drawn with their specials: many are refused.
        self.follower_arms = [self.arms[i % len(self.arms)] for i in range(n)]
        self.follower_starts = specials(uniform(-1.2, 1.2, (n, 2)))
        self.follower_steps = specials(uniform(-0.05, 0.3, n))
        self.follower_dampings = specials(uniform(-0.05, 0.3, n))
        bounds = specials(uniform(-2.0, 2.0, (n, 6)))
        limited = rng.random(n) < 0.7
        self.follower_limits = [((b[0], b[1]), (b[2], b[3])) if keep else None
                                for b, keep in zip(bounds.tolist(), limited.tolist())]
        self.neck_limits = [((b[0], b[1]), (b[2], b[3]), (b[4], b[5])) if keep else None
                            for b, keep in zip(bounds.tolist(), limited.tolist())]
        self.arm_followers = [batch.ArmFollower(arm, START, max_step=0.05) for arm in self.arms] * 3
        self.neck_followers = [batch.NeckFollower((0.1, 0.2, 0.3), max_step=0.05) for _ in range(3)] + [
            batch.NeckFollower((0.1, 0.2, 0.3), max_step=0.05, max_step_change=0.005, limits=NECK_LIMITS)]
        # The general arm, drawn last so that every input above stays as it was.
        self.arc_pairs = specials(uniform(-0.5, 2.0, (n, 2)))
        self.coupler_pairs = specials(uniform(-0.5, 2.0, (n, 2)))
        self.base_angles = specials(uniform(1.2, 1.9, n))
        self.mirror_flags = (rng.random(n) < 0.5).tolist()
        self.branch_names = [("positive", "negative", "sideways")[k] for k in rng.integers(0, 3, n).tolist()]
        general = [((0.72, 0.68), (0.52, 0.47), 1.53, False, "positive"),
                   ((0.66, 0.75), (0.49, 0.55), 1.62, True, "positive"),
                   ((0.95, 0.85), (0.66, 0.74), 1.57, False, "negative")]
        self.general_arms = [batch.FiveBar(a, c, g, mirror=m, branch=b) for a, c, g, m, b in general]
        self.five_bars = self.general_arms + [batch.FiveBar.from_arm(arm) for arm in self.arms]

    def scalar(self, name):
        """An input as the scalar module's parameters take it, one item per element."""
        value = getattr(self, name)
        if isinstance(value, list):
            return value
        if value.ndim == 2 and value.shape[1] == 2:  # joint pairs are tuples
            return [tuple(pair) for pair in value.tolist()]
        return value.tolist()


BROKEN_DOCUMENTS = [
    "", "{", "[]", "[0.7]", '{"arm_arc": 0.7}', '{"arm_arc": 0.7, "coupler_arc": "x"}',
    '{"arm_arc": 1e400, "coupler_arc": 0.5}', '[0.7, 0.5, "sideways"]', "[0.7, 0.5] x",
    '{"arm_arc": 0.7, "arm_arc": 0.7, "coupler_arc": 0.5}', "[NaN, 0.5]", '{"arm_arc": -0, "coupler_arc": 1e-320}',
]


def documents(rng, n):
    """arms.json texts: objects and arrays of random arcs, branches and mirrors
    (the arcs written as repr writes them, exactly), and an eighth broken."""
    arcs = np.add(np.multiply(rng.random((n, 2)), 2.5), -0.5).tolist()
    kinds = rng.integers(0, 8, n).tolist()
    branches = rng.integers(0, 2, n).tolist()
    mirrors = rng.integers(0, 2, n).tolist()
    texts = []
    for (a, c), kind, branch, mirror in zip(arcs, kinds, branches, mirrors):
        name, flag = ("positive", "negative")[branch], ("false", "true")[mirror]
        if kind < 4:
            texts.append(f'{{"arm_arc": {a!r}, "coupler_arc": {c!r}, "branch": "{name}", "mirror": {flag}}}')
        elif kind < 6:
            texts.append(f'[{a!r}, {c!r}, "{name}", {flag}]')
        elif kind < 7:
            texts.append(f'{{"coupler_arc": {c!r}, "arm_arc": {a!r}, "note": [1, {{"x": null}}]}}')
        else:
            texts.append(BROKEN_DOCUMENTS[(branch + 2 * mirror + kind * 7 + len(texts)) % len(BROKEN_DOCUMENTS)])
    return texts


# ---------------------------------------------------------------------------
# Hashing.

def canonical(array):
    """An array as bytes, its dtype and shape first; every float NaN alike."""
    array = np.ascontiguousarray(array)
    head = f"{array.dtype.str}{array.shape}".encode()
    if array.dtype.kind == "f":
        bits = array.view(np.uint64).copy()
        bits[np.isnan(array)] = 0x7FF8000000000000
        return head + bits.tobytes()
    return head + array.tobytes()


def flatten(result, out, texts):
    """A scalar result's numbers, appended to the array `out` (bools as 0 and 1,
    arrays by value, an arm as what it answers), and its text to `texts`."""
    kind = type(result)
    if kind is float:
        out.append(result)
    elif kind is bool:
        out.append(1.0 if result else 0.0)
    elif (kind is tuple or kind is list) and result and type(result[0]) is float:
        out.extend(result)
    elif kind is tuple or kind is list:
        for item in result:
            flatten(item, out, texts)
    elif kind is int:
        out.append(float(result))
    elif kind is str:
        texts.append(result)
    elif kind is np.ndarray:
        out.extend(result.astype(np.float64).ravel().tolist())
    elif kind is Arm:
        out.extend((result.arm_arc(), result.coupler_arc(), 1.0 if result.mirror() else 0.0))
        try:
            flatten(result.fk(0.3, -0.2), out, texts)
        except RuntimeError:
            out.append(-1.0)
    elif kind is batch.FiveBar:
        out.extend((*result.arm_arcs, *result.coupler_arcs, result.base_angle, float(result.mirror)))
        texts.append(result.branch)
    elif kind is batch.ArmFollower:
        out.extend(result.pair)
    elif kind is batch.NeckFollower:
        out.extend(result.angles)
    elif kind is not Neck and result is not None:
        raise TypeError(f"bit_hashes: no way to hash a {kind.__name__}; teach flatten() one")


def scalar_hash(row, inputs):
    """Element i is called on instance i mod their number (`on`), or on its own (`each`)."""
    owner, _, member = row.name.partition(".")
    target = getattr(row.module, owner)
    names = list(row.arguments)
    columns = [inputs.scalar(row.arguments[name]) for name in names]
    arguments = [dict(zip(names, values)) for values in zip(*columns)] if names else [{}]
    if row.each:
        functions = [getattr(instance, member) for instance in getattr(inputs, row.each)]
        arguments = arguments * len(functions) if not names else arguments
    elif row.on:
        bound = [getattr(instance, member) for instance in getattr(inputs, row.on)]
        functions = [bound[i % len(bound)] for i in range(len(arguments))]
    else:
        functions = [getattr(target, member) if member else target] * len(arguments)
    numbers = array.array("d")
    errors, texts = [], []
    for index, (function, kwargs) in enumerate(zip(functions, arguments)):
        try:
            result = function(**kwargs) if callable(function) else function  # a property's value
        except Exception as error:  # the exception is the result
            errors.append(f"{index} {type(error).__name__}: {error}")
        else:
            flatten(result, numbers, texts)
    digest = hashlib.sha256(canonical(np.frombuffer(numbers, dtype=np.float64)))
    digest.update("\n".join(errors + texts).encode())
    return digest.hexdigest(), len(arguments), f"raised {len(errors) / len(arguments):4.0%}"


def whole_arrays(row):
    """A batch module's function takes whole arrays; its classes' methods,
    ELEMENTWISE and the scalar module's are called element by element."""
    owner = row.name.partition(".")[0]
    return row.module is batch and owner not in ELEMENTWISE and not isinstance(getattr(batch, owner), type)


def batch_hash(row, inputs):
    function = getattr(batch, row.name)
    digest = hashlib.sha256()
    ok = []
    arms = getattr(inputs, row.arguments["arm"]) if "arm" in row.arguments else [None]
    for arm in arms:
        kwargs = {name: value.value if isinstance(value, Literal) else getattr(inputs, value)
                  for name, value in row.arguments.items() if name != "arm"}
        if arm is not None:
            kwargs["arm"] = arm
        try:
            results = function(**kwargs)
        except Exception as error:
            digest.update(f"!{type(error).__name__}: {error}".encode())
            continue
        for result in results if isinstance(results, tuple) else (results,):
            digest.update(canonical(result))
            if result.dtype == bool:
                ok.append(result.mean())
    return digest.hexdigest(), inputs.count * len(arms), f"ok {np.mean(ok):4.0%}" if ok else ""


def run(count, output):
    problems = uncovered(ROWS)
    if problems:
        sys.exit("bit_hashes: the rows do not cover the public surface:\n  " + "\n  ".join(problems))
    started = time.perf_counter()
    inputs = Inputs(count)
    digest = hashlib.sha256()
    for value in vars(inputs).values():
        if isinstance(value, np.ndarray):
            digest.update(canonical(value))
    digest.update("\n".join(inputs.documents).encode())
    hashes = {"inputs": {"sha256": digest.hexdigest(), "elements": count}}
    for row in ROWS:
        row_started = time.perf_counter()
        value, calls, share = (batch_hash if whole_arrays(row) else scalar_hash)(row, inputs)
        hashes[row.key] = {"sha256": value, "elements": calls}
        print(f"bit_hashes: {value[:16]} {calls:>7} elements {time.perf_counter() - row_started:6.1f} s"
              f" {share:>11}  {row.key}", file=sys.stderr)
    print(f"bit_hashes: {len(ROWS)} rows in {time.perf_counter() - started:.1f} s", file=sys.stderr)
    text = json.dumps({"count": count, "hashes": hashes}, indent=1, sort_keys=True)
    if output:
        Path(output).write_text(text + "\n")
    else:
        print(text)


def compare(paths):
    first, *others = [json.loads(Path(path).read_text()) for path in paths]
    failed = False
    for path, other in zip(paths[1:], others):
        for key in sorted(set(first["hashes"]) | set(other["hashes"])):
            a, b = first["hashes"].get(key), other["hashes"].get(key)
            if a != b:
                failed = True
                print(f"bit_hashes: DIFFERENT {key}: {paths[0]} {a} against {path} {b}")
        if first["count"] != other["count"]:
            failed = True
            print(f"bit_hashes: {paths[0]} drew {first['count']} inputs, {path} {other['count']}")
    if failed:
        sys.exit(1)
    print(f"bit_hashes: {len(first['hashes'])} hashes equal in {', '.join(paths)} ({first['count']} inputs each)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=DEFAULT_COUNT)
    parser.add_argument("--output")
    parser.add_argument("--compare", nargs="+", metavar="JSON")
    options = parser.parse_args()
    if options.compare:
        if len(options.compare) < 2:
            parser.error("--compare needs two files or more")
        compare(options.compare)
    else:
        run(options.count, options.output)


if __name__ == "__main__":
    main()
