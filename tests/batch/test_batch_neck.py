"""The neck functions of velmora_torso_batch equal the scalar methods element by element."""

from __future__ import annotations

import math

import numpy as np
from hypothesis import given, settings, strategies as st
from hypothesis.extra import numpy as hnp

import velmora_torso_batch as vb
import velmora_torso_kinematics as vtk
from batch_helpers import arrays, assert_same, elementwise
from conftest import property_examples

NECK = vtk.VelmoraNeckKinematics()
shapes = hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=4)


@settings(max_examples=property_examples(60), deadline=None)
@given(angles=shapes.flatmap(lambda shape: arrays(shape, (3,))))
def test_neck_fk_equals_scalar(angles):
    expected, _ = elementwise(angles.shape[:-1], lambda i: NECK.fk(angles[i].tolist()), ValueError, 9)
    assert_same(vb.neck_fk(angles), expected.reshape(angles.shape[:-1] + (3, 3)))


@settings(max_examples=property_examples(60), deadline=None)
@given(angles=shapes.flatmap(lambda shape: arrays(shape, (3,))),
       pitch=st.sampled_from([math.pi / 2, -math.pi / 2, 2.0, math.nan]))
def test_neck_ik_equals_scalar_gimbal_lock_included(angles, pitch):
    angles = angles.copy()
    angles.reshape(-1, 3)[:1, 1] = pitch  # one element at or near gimbal lock
    rotations = vb.neck_fk(angles)
    got, ok = vb.neck_ik(rotations)
    expected, expected_ok = elementwise(rotations.shape[:-2], lambda i: NECK.ik(rotations[i].tolist()),
                                        ValueError, 3)
    assert_same(got, expected)
    assert_same(ok, expected_ok)
