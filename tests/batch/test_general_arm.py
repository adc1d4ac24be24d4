"""The general arm (FiveBar): today's arms through it bit for bit against
outputs recorded before it existed, its kinematics on unequal arcs and tilted
bases, and the class itself."""

import json
import math
import pathlib
import pickle
import struct

import numpy as np
import pytest
from hypothesis import assume, given, settings, strategies as st

import velmora_torso_batch as vb
import velmora_torso_kinematics as vtk
from conftest import property_examples

from record_arm_bits import calls

RECORDED = json.loads((pathlib.Path(__file__).parent / "data" / "arm_bits.json").read_text())
FiveBar = vb.FiveBar
Arm = vtk.VelmoraArmKinematics


def from_hex(text, shape=None):
    values = [struct.unpack("<d", struct.pack("<Q", int(text[i:i + 16], 16)))[0] for i in range(0, len(text), 16)]
    return np.array(values).reshape(shape) if shape is not None else np.array(values)


def same_bits(a, b):
    a, b = np.asarray(a, dtype=np.float64).ravel(), np.asarray(b, dtype=np.float64).ravel()
    both_nan = np.isnan(a) & np.isnan(b)
    return a.shape == b.shape and bool(np.all(both_nan | (a.view(np.uint64) == b.view(np.uint64))))


def general_forms(document):
    """Today's arm as the class, and as a FiveBar two ways: converted and spelt out."""
    arm = Arm.from_json(document)
    fields = json.loads(document)
    spelt = FiveBar((fields["arm_arc"],) * 2, (fields["coupler_arc"],) * 2, math.pi / 2,
                    mirror=fields.get("mirror", False), branch=fields.get("branch", "positive"))
    return {"class": arm, "from_arm": FiveBar.from_arm(arm), "spelt": spelt}


@pytest.mark.parametrize("name", sorted(RECORDED))
@pytest.mark.parametrize("form", ["class", "from_arm", "spelt"])
def test_todays_arms_keep_their_recorded_bits(name, form):
    record = RECORDED[name]
    inputs = {key: from_hex(text, shape) for key, (shape, text) in record["inputs"].items()}
    arm = general_forms(record["json"])[form]
    results = calls(arm, inputs)
    assert sorted(results) == sorted(record["outputs"])
    for function, result in results.items():
        parts = result if isinstance(result, tuple) else (result,)
        for part, expected in zip(parts, record["outputs"][function], strict=True):
            assert same_bits(np.asarray(part, dtype=np.float64), from_hex(expected)), function


# Arms of unequal arcs and tilted bases whose workspace is not empty.
general_arms = st.builds(
    lambda a, b, c, d, g, m, s: FiveBar((a, b), (c, d), g, mirror=m, branch=s),
    st.floats(0.5, 1.0), st.floats(0.5, 1.0), st.floats(0.35, 0.8), st.floats(0.35, 0.8),
    st.floats(1.2, 1.95), st.booleans(), st.sampled_from(["positive", "negative"]))
angles = st.floats(-math.pi, math.pi)


@settings(max_examples=property_examples(300), deadline=None)
@given(general_arms, angles, angles)
def test_general_arm_round_trips(arm, theta_a, theta_b):
    rotation, ok = vb.fk(arm, theta_a, theta_b)
    assume(ok)
    v_3 = rotation[:, 2]
    # The closure holds each coupler's own arc, and the elbows their arms' (checked through v_3's
    # geometry: the direction solutions reproduce the pair that made it).
    pairs, count = vb.direction_solutions(arm, v_3)
    assume(count > 0)  # at the workspace's edge the enumeration may lose the pair to rounding
    found = pairs[:count]
    def wrapped(d):  # solutions come in [-pi, pi]
        return np.remainder(d + np.pi, 2 * np.pi) - np.pi
    distance = np.hypot(wrapped(found[:, 0] - theta_a), wrapped(found[:, 1] - theta_b))
    assert distance.min() < 1e-6
    for pair in found:  # every solution points along v_3
        assert np.allclose(vb.direction(arm, pair[0], pair[1])[0], v_3, atol=1e-6)
    # The whole rotation fixes the pair, unless another solution shares the frame.
    back, ok = vb.ik(arm, rotation)
    assert ok
    assert np.allclose(vb.fk(arm, back[0], back[1])[0], rotation, atol=1e-6)


# The derivatives themselves are held against central differences in the core's
# tests (tests/arm/test_general_arm.cpp); here, that the batch function refuses
# exactly where jacobian does.
def test_geometry_jacobian_fails_where_jacobian_fails():
    arm = FiveBar((0.7, 0.66), (0.5, 0.54), 1.6)
    theta = np.linspace(-math.pi, math.pi, 97)
    a, b = np.meshgrid(theta, theta)
    assert np.array_equal(vb.geometry_jacobian(arm, a, b)[2], vb.jacobian(arm, a, b)[2])
    assert np.isnan(vb.geometry_jacobian(arm, a, b)[0][~vb.jacobian(arm, a, b)[2]]).all()


finite = st.floats(allow_nan=False, allow_infinity=False)


@settings(max_examples=property_examples(300), deadline=None)
@given(finite, finite, finite, finite, finite, st.booleans(), st.sampled_from(["positive", "negative"]))
def test_five_bar_json_and_pickle_round_trip(a, b, c, d, g, mirror, branch):
    arm = FiveBar((a, b), (c, d), g, mirror=mirror, branch=branch)
    for copy in (FiveBar.from_json(arm.to_json()), pickle.loads(pickle.dumps(arm)), eval(repr(arm))):
        assert copy == arm and hash(copy) == hash(arm)
        assert same_bits([*copy.arm_arcs, *copy.coupler_arcs, copy.base_angle], [a, b, c, d, g])
        assert (copy.mirror, copy.branch) == (mirror, branch)


@pytest.mark.parametrize("document", [
    '{"arm_arc": 0.7, "coupler_arc": 0.5}',
    '{"coupler_arc": 0.5, "arm_arc": 0.7, "mirror": true, "branch": {"negative": null}, "note": [1]}',
    '[0.9, 0.61, "negative"]',
    '[0.9, 0.61, "positive", true]',
])
def test_every_arm_document_reads_as_the_same_arm(document):
    arm = Arm.from_json(document)
    assert FiveBar.from_json(document) == FiveBar.from_arm(arm)
    assert vb.arm_json(FiveBar.from_json(document)) == vb.arm_json(arm)


@pytest.mark.parametrize(("text", "message"), [
    ('{"arm_arcs": [0.7], "coupler_arc": 0.5}', "invalid length 1, expected a pair of f64 at line 1 column 18"),
    ('{"arm_arcs": 0.7, "coupler_arc": 0.5}', "invalid type: floating point `0.7`, expected a pair of f64"),
    ('{"arm_arc": 0.7, "arm_arcs": [0.7, 0.6], "coupler_arc": 0.5}', "fields `arm_arc` and `arm_arcs` both given"),
    ('{"coupler_arcs": [0.5, 0.4]}', "missing field `arm_arc` (or `arm_arcs`)"),
    ('{"arm_arcs": [0.7, 0.6, 0.5], "coupler_arc": 0.5}', "trailing characters"),
    ('{"arm_arc": 0.7, "coupler_arc": 0.5, "base_angle": true}', "invalid type: boolean `true`, expected f64"),
])
def test_five_bar_document_errors(text, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)").replace("[", r"\[")):
        FiveBar.from_json(text)


def test_old_reader_skips_the_general_fields():
    # The scalar class reads its own fields only: a general document's extra members are skipped.
    arm = Arm.from_json('{"arm_arc": 0.7, "coupler_arc": 0.5, "arm_arcs": [1, 2], "base_angle": 3}')
    assert (arm.arm_arc(), arm.coupler_arc()) == (0.7, 0.5)


@pytest.mark.parametrize(("kwargs", "error", "message"), [
    ({"arm_arcs": (0.7,), "coupler_arcs": (0.5, 0.5)}, ValueError, "'arm_arcs' must be a sequence of 2 real numbers"),
    ({"arm_arcs": (0.7, math.nan), "coupler_arcs": (0.5, 0.5)}, ValueError, "'arm_arcs' must be finite"),
    ({"arm_arcs": (0.7, 0.7), "coupler_arcs": "ab"}, TypeError, "'coupler_arcs' must be a sequence of 2 real"),
    ({"arm_arcs": (0.7, 0.7), "coupler_arcs": (0.5, 0.5), "base_angle": math.inf}, ValueError,
     "'base_angle' must be finite"),
    ({"arm_arcs": (0.7, 0.7), "coupler_arcs": (0.5, 0.5), "branch": "up"}, ValueError,
     "'branch' must be 'positive' or 'negative', not 'up'"),
    ({"arm_arcs": (0.7, 0.7), "coupler_arcs": (0.5, 0.5), "mirror": 1}, TypeError, "'mirror' must be a bool"),
])
def test_constructor_errors(kwargs, error, message):
    with pytest.raises(error, match=message.replace("(", r"\(")):
        FiveBar(**kwargs)


def test_read_only_and_general_arm_json_refused():
    arm = FiveBar((0.7, 0.68), (0.5, 0.5))
    with pytest.raises(AttributeError):
        arm.base_angle = 1.0
    assert arm.base_angle == math.pi / 2 and arm.branch == "positive" and arm.mirror is False
    with pytest.raises(ValueError, match="FiveBar.to_json"):
        vb.arm_json(arm)
    assert FiveBar((0.7, 0.7), (0.5, 0.5)) != FiveBar((0.7, 0.7), (0.5, 0.5), 1.5)
    assert FiveBar((0.7, 0.7), (0.5, 0.5)) != "arm"
    with pytest.raises(TypeError):
        FiveBar.from_arm(vtk.VelmoraNeckKinematics())


# Every batch function and follower that takes an arm, on today's arm as the class and as a FiveBar.
D = vb.direction(Arm.default_left(), [0.3, 0.1, -0.4], [-0.2, 0.2, 0.1])[0]
ARM_CALLS = {
    "ik_path": lambda arm: vb.ik_path(arm, D[None], (0.3, -0.2), max_step=0.5),
    "follow": lambda arm: vb.follow(arm, D[None], (0.3, -0.2), max_step=0.1),
    "geometry_jacobian": lambda arm: vb.geometry_jacobian(arm, [0.3, 0.1], [-0.2, 0.5]),
    "arm_json": lambda arm: vb.arm_json(arm),
    "ArmFollower": lambda arm: [vb.ArmFollower(arm, (0.3, -0.2), max_step=0.1).step(d) for d in D],
}


@pytest.mark.parametrize("name", sorted(ARM_CALLS))
def test_every_arm_function_takes_a_five_bar(name):
    arm = Arm.default_right()
    as_class, as_five_bar = ARM_CALLS[name](arm), ARM_CALLS[name](FiveBar.from_arm(arm))
    assert repr(as_class) == repr(as_five_bar)
