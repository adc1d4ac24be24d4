"""Many poses at once with velmora_torso_batch: sample an arm's workspace,
come back with the inverse, and follow a pointing path without jumping branches.

Run: .venv/bin/python examples/batch_demo.py
"""

from __future__ import annotations

import numpy as np

import velmora_torso_batch as vb
from velmora_torso_kinematics import VelmoraArmKinematics, VelmoraNeckKinematics

arm = VelmoraArmKinematics.default_left()

# A 200 x 200 grid of joint pairs: one call, broadcast like any NumPy function.
theta_a = np.linspace(-1.0, 1.0, 200)[:, None]
theta_b = np.linspace(-1.0, 1.0, 200)[None, :]
rotations, closes = vb.fk(arm, theta_a, theta_b, workers=-1)
print(f"{closes.mean():.1%} of the grid closes the loop; rotations {rotations.shape}")

# Back to joint pairs; failed elements are NaN with ok False, never an exception.
pairs, ok = vb.ik(arm, rotations[closes])
grid_a = np.broadcast_to(theta_a, closes.shape)[closes]
print(f"{ok.mean():.1%} come back; {np.mean(np.abs(pairs[:, 0] - grid_a) < 1e-9):.1%} to the same theta_a")

# A pointing path streamed as a controller would: each step stays near the last
# good pair, and a step that would swing more than 0.2 rad fails instead; a
# failed step's row holds the pair the arm stays at.
path, _ = vb.direction(arm, np.linspace(0.0, 0.6, 50), np.linspace(0.0, -0.4, 50))
steps, ok = vb.ik_path(arm, path, start=(0.0, 0.0), max_step=0.2)
print("path followed:", bool(ok.all()), "last pair", steps[-1].round(6).tolist())

# The neck too: head rotations of many (yaw, pitch, roll) triples and back.
angles = np.random.default_rng(0).uniform(-0.5, 0.5, size=(1000, 3))
back, unlocked = vb.neck_ik(vb.neck_fk(angles))
print("neck round trip exact to", float(np.abs(back - angles).max()))

# Element i is bit for bit the scalar method's answer.
assert rotations[100, 120].tolist() == arm.fk(float(theta_a[100, 0]), float(theta_b[0, 120]))
assert back[0].tolist() == list(VelmoraNeckKinematics().ik(vb.neck_fk(angles[0]).tolist()))
