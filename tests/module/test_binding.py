"""Binding of positional and keyword arguments to parameters, and its messages.

The cases are generated from one table of the methods' parameter descriptions.
Argument values are unconvertible on purpose: a binding error must win over any
conversion error.
"""

import pytest

import velmora_torso_kinematics as vtk
from conftest import float_bits, raises_exactly

Arm = vtk.VelmoraArmKinematics
Neck = vtk.VelmoraNeckKinematics
BAD = object()

# (class, method, parameters in order, number of required parameters)
DESCRIPTIONS = [
    (Arm, "__new__", ("arm_arc", "coupler_arc", "mirror"), 0),
    (Arm, "from_json", ("json",), 1),
    (Arm, "fk", ("theta_a", "theta_b"), 2),
    (Arm, "direction", ("theta_a", "theta_b"), 2),
    (Arm, "is_reachable_joints", ("theta_a", "theta_b"), 2),
    (Arm, "ik", ("r_target",), 1),
    (Arm, "is_reachable_orientation", ("r_target",), 1),
    (Arm, "ik_from_direction", ("v3", "near"), 1),
    (Arm, "is_reachable_direction", ("v3",), 1),
    (Neck, "__new__", (), 0),
    (Neck, "fk", ("joints",), 1),
    (Neck, "ik", ("r",), 1),
]


def label(cls, method):
    return f"{'arm' if cls is Arm else 'neck'}.{method}"


def entry(cls, method):
    if method == "__new__":
        return cls
    return getattr(Arm.default_left() if cls is Arm else Neck(), method)


def binding_cases():
    """(id, callable, args, kwargs, TypeError message) for every message form a description allows."""
    for cls, method, params, required in DESCRIPTIONS:
        full, call, case = f"{cls.__name__}.{method}()", entry(cls, method), label(cls, method)
        n = len(params)
        takes = f"{n}" if required == n else f"from {required} to {n}"
        verb = "was" if n + 1 == 1 else "were"
        # Keywords are not examined once there are too many positional arguments.
        yield (f"{case}-too-many", call, (BAD,) * (n + 1), {"x": BAD},
               f"{full} takes {takes} positional arguments but {n + 1} {verb} given")
        # One ordinary, one non-ASCII, and a parameter name cut short (names are compared in full).
        for keyword in ("x", "θ", *(name[:-1] for name in params[:1])):
            yield (f"{case}-unexpected-{keyword}", call, (), {keyword: BAD},
                   f"{full} got an unexpected keyword argument '{keyword}'")
        for k, name in enumerate(params):
            yield (f"{case}-multiple-{name}", call, (BAD,) * (k + 1), {name: BAD},
                   f"{full} got multiple values for argument '{name}'")
        if params:  # keywords are examined in call order
            yield (f"{case}-unexpected-before-multiple", call, (BAD,), {"x": BAD, params[0]: BAD},
                   f"{full} got an unexpected keyword argument 'x'")
            yield (f"{case}-multiple-before-unexpected", call, (BAD,), {params[0]: BAD, "x": BAD},
                   f"{full} got multiple values for argument '{params[0]}'")
        # An optional parameter given by keyword fills no required one.
        optional = {name: None for name in params[required:]}
        missing = [(params[:required], (), optional)] if required else []
        if required == 2:
            missing += [(params[1:], (BAD,), {}), (params[:1], (), {params[1]: BAD})]
        for names, args, kwargs in missing:
            noun = "argument" if len(names) == 1 else "arguments"
            listed = " and ".join(f"'{name}'" for name in names)
            yield (f"{case}-missing-{'-'.join(names)}", call, args, kwargs,
                   f"{full} missing {len(names)} required positional {noun}: {listed}")


CASES = [pytest.param(call, args, kwargs, message, id=case_id)
         for case_id, call, args, kwargs, message in binding_cases()]


@pytest.mark.parametrize("call, args, kwargs, message", CASES)
def test_binding_errors(call, args, kwargs, message):
    with raises_exactly(TypeError, message):
        call(*args, **kwargs)


def test_generated_messages_include_the_documented_examples():
    generated = {case.values[-1] for case in CASES}
    assert {
        "VelmoraNeckKinematics.__new__() takes 0 positional arguments but 1 was given",
        "VelmoraNeckKinematics.__new__() got an unexpected keyword argument 'x'",
        "VelmoraArmKinematics.__new__() takes from 0 to 3 positional arguments but 4 were given",
        "VelmoraNeckKinematics.fk() takes 1 positional arguments but 2 were given",
        "VelmoraArmKinematics.fk() got multiple values for argument 'theta_a'",
        "VelmoraArmKinematics.fk() missing 1 required positional argument: 'theta_a'",
        "VelmoraArmKinematics.fk() missing 2 required positional arguments: 'theta_a' and 'theta_b'",
        "VelmoraNeckKinematics.ik() missing 1 required positional argument: 'r'",
    } <= generated


ROTATION = Arm.default_left().fk(0.3, -0.2)
DIRECTION = [0.662696224, 0.584017488, 0.468782772]
SAMPLE_ARGUMENTS = {  # by parameter list; every value differs from its neighbours
    ("arm_arc", "coupler_arc", "mirror"): (0.9, 0.3, True),
    ("json",): ('[0.9, 0.3, "positive", true]',),
    ("theta_a", "theta_b"): (0.1, 0.2),
    ("r_target",): (ROTATION,),
    ("v3", "near"): (DIRECTION, (1.2, -0.1)),
    ("v3",): (DIRECTION,),
    ("joints",): ([0.1, 0.2, 0.3],),
    ("r",): (ROTATION,),
}


def observable(result):
    if isinstance(result, Arm):
        return result.arm_arc(), result.coupler_arc(), result.mirror(), float_bits(result.fk(0.3, -0.2))
    return float_bits(result)


@pytest.mark.parametrize("cls, method, params", [
    pytest.param(cls, method, params, id=label(cls, method))
    for cls, method, params, _ in DESCRIPTIONS if params])
def test_keywords_bind_like_positions(cls, method, params):
    call, args = entry(cls, method), SAMPLE_ARGUMENTS[params]
    expected = observable(call(*args))
    # Names built at run time, in reverse order: matched by text, not by identity or position.
    reversed_keywords = {"".join(list(name)): value for name, value in reversed(list(zip(params, args)))}
    assert observable(call(**reversed_keywords)) == expected
    assert observable(call(args[0], **dict(zip(params[1:], args[1:])))) == expected
