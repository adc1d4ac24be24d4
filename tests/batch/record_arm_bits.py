"""Records what the batch arm functions return for today's arms, as hex doubles.

    python tests/batch/record_arm_bits.py > tests/batch/data/arm_bits.json

Run once, with the build whose outputs later builds must keep bit for bit;
test_general_arm_bits.py reads the file back. Inputs are stored with the
outputs, so the check does not depend on a random generator's stream.
"""

import json
import struct
import sys

import numpy as np

import velmora_torso_batch as batch
import velmora_torso_kinematics as vtk

Arm = vtk.VelmoraArmKinematics
POSES = 20
LIMITS = ((-1.0, 1.5), (-1.2, 0.8))

# Presets, the negative branch, a mirrored arm of other arcs, and an arm whose arcs make
# some poses fail to close.
ARMS = {
    "left": '{"arm_arc": 0.7, "coupler_arc": 0.5}',
    "right": '{"arm_arc": 0.7, "coupler_arc": 0.5, "mirror": true}',
    "negative": '{"arm_arc": 0.7, "coupler_arc": 0.5, "branch": "negative"}',
    "wide_right": '{"arm_arc": 0.93, "coupler_arc": 0.61, "mirror": true}',
    "tight": '{"arm_arc": 0.45, "coupler_arc": 0.35, "branch": "negative"}',
}


def hexes(array):
    flat = np.ascontiguousarray(array, dtype=np.float64).ravel()
    return "".join(f"{struct.unpack('<Q', struct.pack('<d', v))[0]:016x}" for v in flat)


def calls(arm, inputs):
    """Every batch function on `arm`: {name: (outputs, ...)}."""
    a, b, rotations, directions, near, v3_dot = (inputs[k] for k in
                                                  ("theta_a", "theta_b", "rotations", "directions", "near", "v3_dot"))
    return {
        "fk": batch.fk(arm, a, b),
        "direction": batch.direction(arm, a, b),
        "ik": batch.ik(arm, rotations),
        "ik_limits": batch.ik(arm, rotations, limits=LIMITS),
        "ik_from_direction": batch.ik_from_direction(arm, directions),
        "ik_from_direction_near": batch.ik_from_direction(arm, directions, near),
        "ik_from_direction_limits": batch.ik_from_direction(arm, directions, near, limits=LIMITS),
        "direction_solutions": batch.direction_solutions(arm, directions),
        "direction_solutions_limits": batch.direction_solutions(arm, directions, limits=LIMITS),
        "jacobian": batch.jacobian(arm, a, b),
        "singularity_measure": batch.singularity_measure(arm, a, b),
        "joint_rates": batch.joint_rates(arm, a, b, v3_dot),
        "joint_rates_damped": batch.joint_rates(arm, a, b, v3_dot, damping=0.05),
    }


def draw_inputs(arm, rng):
    a = rng.uniform(-np.pi, np.pi, POSES)
    b = rng.uniform(-np.pi, np.pi, POSES)
    rotations, _ = batch.fk(arm, a, b)
    # Half of the targets are reached poses, half are random unit vectors (some unreachable).
    directions = np.where(np.arange(POSES)[:, None] % 2 == 0, np.nan_to_num(rotations[..., 2], nan=0.3),
                          rng.normal(size=(POSES, 3)))
    near = rng.uniform(-np.pi, np.pi, (POSES, 2))
    return {"theta_a": a, "theta_b": b, "rotations": np.nan_to_num(rotations, nan=0.5),
            "directions": directions, "near": near, "v3_dot": rng.normal(size=(POSES, 3))}


def main():
    rng = np.random.default_rng(20_261_208)
    record = {}
    for name, document in ARMS.items():
        arm = Arm.from_json(document)
        inputs = draw_inputs(arm, rng)
        outputs = {}
        for function, result in calls(arm, inputs).items():
            parts = result if isinstance(result, tuple) else (result,)
            outputs[function] = [hexes(part) for part in parts]
        record[name] = {"json": document, "inputs": {k: [list(np.shape(v)), hexes(v)] for k, v in inputs.items()},
                        "outputs": outputs}
    json.dump(record, sys.stdout, indent=0)
    sys.stdout.write("\n")


if __name__ == "__main__":
    main()
