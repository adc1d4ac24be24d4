"""arm_json: all four fields of an arm's geometry, read back by from_json to the same arm."""

from __future__ import annotations

import json
import math
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import velmora_torso_batch as vb
import velmora_torso_kinematics as vtk
from conftest import property_examples, raises_exactly

finite = st.floats(allow_nan=False, allow_infinity=False)


@settings(max_examples=property_examples(300), deadline=None)
@given(finite, finite, st.sampled_from(["positive", "negative"]), st.booleans())
def test_document_reads_back_to_the_same_arm(arm_arc, coupler_arc, branch, mirror):
    arm = vtk.VelmoraArmKinematics.from_json(json.dumps(
        {"arm_arc": arm_arc, "coupler_arc": coupler_arc, "branch": branch, "mirror": mirror}))
    document = vb.arm_json(arm)
    assert json.loads(document) == {"arm_arc": arm_arc, "coupler_arc": coupler_arc, "branch": branch,
                                    "mirror": mirror}
    back = vtk.VelmoraArmKinematics.from_json(document)
    bits = [struct.pack("<d", value) for value in (arm_arc, coupler_arc, back.arm_arc(), back.coupler_arc())]
    assert bits[:2] == bits[2:] and back.mirror() is mirror and vb.arm_json(back) == document


def test_presets_and_exact_text():
    assert vb.arm_json(vtk.VelmoraArmKinematics.default_right()) == \
        '{"arm_arc": 0.7, "coupler_arc": 0.5, "branch": "positive", "mirror": true}'
    assert vb.arm_json(vtk.VelmoraArmKinematics(0.1 + 0.2, -0.0)) == \
        '{"arm_arc": 0.30000000000000004, "coupler_arc": -0.0, "branch": "positive", "mirror": false}'
    assert "arm_json" in vb.__all__ and list(vb.__all__) == sorted(vb.__all__)


@pytest.mark.parametrize(("argument", "exc_type", "message"), [
    (vtk.VelmoraArmKinematics(math.nan, 0.5), ValueError, "arm_json(): JSON has no number for the arcs nan and 0.5"),
    (vtk.VelmoraArmKinematics(0.7, -math.inf), ValueError, "arm_json(): JSON has no number for the arcs 0.7 and -inf"),
    (vtk.VelmoraNeckKinematics(), TypeError,
     "arm_json(): 'arm' must be a velmora_torso_kinematics.VelmoraArmKinematics or a velmora_torso_batch.FiveBar, not 'VelmoraNeckKinematics'"),
    (None, TypeError, "arm_json(): 'arm' must be a velmora_torso_kinematics.VelmoraArmKinematics or a velmora_torso_batch.FiveBar, not 'NoneType'"),
])
def test_errors(argument, exc_type, message):
    with raises_exactly(exc_type, message):
        vb.arm_json(argument)
