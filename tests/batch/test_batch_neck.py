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


def representations(angles):
    """The (yaw, pitch, roll) of the same rotation: both forms, each angle turned by -1, 0 or 1 turns."""
    yaw, pitch, roll = angles
    turns = np.array(np.meshgrid([-1, 0, 1], [-1, 0, 1], [-1, 0, 1])).reshape(3, -1).T * 2 * math.pi
    return np.concatenate([(yaw, pitch, roll) + turns, (yaw + math.pi, math.pi - pitch, roll + math.pi) + turns])


@settings(max_examples=property_examples(60), deadline=None)
@given(head=hnp.arrays(np.float64, (30, 3), elements=st.floats(-4.0, 4.0)),
       offset=hnp.arrays(np.float64, (30, 3), elements=st.floats(-1.0, 1.0)))
def test_neck_ik_near_is_the_nearest_representation(head, offset):
    rotations = vb.neck_fk(head)
    near = head + offset
    plain, plain_ok = vb.neck_ik(rotations)
    angles, ok = vb.neck_ik(rotations, near)
    assert ok.all()
    for i in np.flatnonzero(plain_ok):
        candidates = representations(plain[i])
        best = candidates[np.argmin(np.sum((candidates - near[i]) ** 2, axis=-1))]
        assert np.allclose(angles[i], best, atol=1e-12)
    # In the gimbal-lock band near's roll is kept and the rotation still reproduced.
    locked = ~plain_ok
    assert np.array_equal(angles[locked, 2], near[locked, 2])
    assert np.abs(vb.neck_fk(angles[plain_ok]) - rotations[plain_ok]).max(initial=0.0) < 1e-9
    assert np.abs(vb.neck_fk(angles[locked]) - rotations[locked]).max(initial=0.0) < 2e-3


def test_neck_ik_near_crosses_pitch_half_pi_continuously():
    pitch = np.linspace(1.3, 1.85, 500)
    head = np.stack([0.4 + 0.0 * pitch, pitch, -0.3 + 0.0 * pitch], axis=-1)
    angles, near = [], head[0]
    for r in vb.neck_fk(head):
        near, ok = vb.neck_ik(r, near)
        assert ok
        angles.append(near)
    assert np.abs(np.diff(angles, axis=0)).max() < 0.01
    assert np.allclose(angles[-1], head[-1], atol=1e-6)
