"""The two classes: type properties, method tables and their documentation, presets and accessors."""

import gc
import weakref

import pytest

import velmora_torso_kinematics as vtk
from conftest import float_bits

Arm = vtk.VelmoraArmKinematics
Neck = vtk.VelmoraNeckKinematics
Py_TPFLAGS_IMMUTABLETYPE = 1 << 8

# (class, method or None for the class itself, __text_signature__, __doc__), in method-table order.
DOCUMENTATION = [
    (Arm, None, "(arm_arc=0.7, coupler_arc=0.5, mirror=False)", ""),
    (Arm, "default_left", "()", "Build the default left-arm geometry."),
    (Arm, "default_right", "()", "Build the default right-arm geometry (mirror of left)."),
    (Arm, "from_json", "(json)", "Build the arm from a JSON string matching `SphericalLinkGeometry`."),
    (Arm, "fk", "($self, theta_a, theta_b)",
     "Forward kinematics: `(θ_A, θ_B)` → 3×3 rotation of the end-effector.\n"
     "Raises `RuntimeError` when the loop fails to close (target joint\n"
     "pair is outside the workspace)."),
    (Arm, "ik", "($self, r_target)",
     "Inverse kinematics: 3×3 rotation → `(θ_A, θ_B)`.\n"
     "Raises `RuntimeError` when the target orientation isn't reachable."),
    (Arm, "ik_from_direction", "($self, v3, near=None)",
     "Inverse kinematics from just the end-effector pointing direction\n"
     "(3-vector, automatically normalized). When multiple `(θ_A, θ_B)`\n"
     "branches reach the same direction, `near` (an optional current\n"
     "joint pair) picks the closest one; otherwise the smallest-norm\n"
     "solution wins."),
    (Arm, "direction", "($self, theta_a, theta_b)",
     "Forward kinematics that returns just the end-effector pointing\n"
     "direction (the third column of the FK rotation, equal to `v_3`)."),
    (Arm, "is_reachable_joints", "($self, theta_a, theta_b)",
     "Whether `(θ_A, θ_B)` lands inside the workspace (loop closes)."),
    (Arm, "is_reachable_orientation", "($self, r_target)",
     "Whether `r_target` is on the reachable manifold (IK succeeds)."),
    (Arm, "is_reachable_direction", "($self, v3)",
     "Whether the pointing direction `v3` (3-vector, auto-normalized)\nis on the reachable manifold."),
    (Arm, "arm_arc", "($self)", None),
    (Arm, "coupler_arc", "($self)", None),
    (Arm, "mirror", "($self)", None),
    (Neck, None, "()", ""),
    (Neck, "fk", "($self, joints)",
     "Forward kinematics. `joints = [yaw, pitch, roll]` in radians.\n"
     "Returns the 3×3 rotation matrix of the head frame in the body frame."),
    (Neck, "ik", "($self, r)",
     "Inverse kinematics. `r` is a 3×3 rotation matrix (row-major).\n"
     "Returns `(yaw, pitch, roll)` in radians.\n\n"
     "Raises `ValueError` near gimbal lock (|pitch| ≈ π/2). The neck's\n"
     "pitch range is well under that limit in practice."),
]


@pytest.mark.parametrize("cls, name, signature, doc", [
    pytest.param(*row, id=f"{row[0].__name__}.{row[1] or 'class'}") for row in DOCUMENTATION])
def test_text_signature_and_doc(cls, name, signature, doc):
    documented = getattr(cls, name) if name else cls
    assert (documented.__text_signature__, documented.__doc__) == (signature, doc)


@pytest.mark.parametrize("cls, name, make", [
    pytest.param(Arm, "VelmoraArmKinematics", Arm.default_left, id="arm"),
    pytest.param(Neck, "VelmoraNeckKinematics", Neck, id="neck")])
def test_class_properties(cls, name, make):
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("velmora_torso_kinematics", name, name)
    assert cls.__bases__ == (object,) and not cls.__flags__ & Py_TPFLAGS_IMMUTABLETYPE
    # The namespace is the method table, in order, and nothing else of its own.
    assert [key for key in vars(cls) if not key.startswith("_")] == [
        row[1] for row in DOCUMENTATION if row[0] is cls and row[1]]
    assert {key for key in vars(cls) if key.startswith("_")} <= {"__new__", "__doc__", "__module__"}
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})
    instance = make()
    with pytest.raises(AttributeError):
        instance.fk = 1.0
    with pytest.raises(AttributeError):
        instance.new_attribute = 1.0
    with pytest.raises(TypeError):
        weakref.ref(instance)
    assert not gc.is_tracked(instance)


def test_static_constructors_make_new_arms_through_class_or_instance(arm):
    for made in (Arm.default_left(), arm.default_left(), arm.default_right(), arm.from_json("[1, 2]")):
        assert type(made) is Arm and made is not arm


@pytest.mark.parametrize("make, preset, geometry", [
    pytest.param(Arm, Arm.default_left, (0.7, 0.5, False), id="no-arguments-is-left"),
    pytest.param(lambda: Arm(mirror=True), Arm.default_right, (0.7, 0.5, True), id="mirror-only-is-right"),
    pytest.param(lambda: Arm(0.7, 0.5, True), Arm.default_right, (0.7, 0.5, True), id="positional-right"),
    pytest.param(lambda: Arm(0.9, 0.3), None, (0.9, 0.3, False), id="explicit-arcs"),
])
def test_constructor_presets_and_accessors(make, preset, geometry):
    arms = [make()] + ([preset()] if preset else [])
    for arm in arms:
        assert (arm.arm_arc(), arm.coupler_arc(), arm.mirror()) == geometry
        assert arm.mirror() is geometry[2]
    if preset:  # the branch has no accessor: equal kinematics show it is the preset's
        assert float_bits(arms[0].fk(0.3, -0.2)) == float_bits(arms[1].fk(0.3, -0.2))


@pytest.mark.parametrize("call, message", [
    pytest.param(lambda: Arm.default_left().arm_arc(1), "takes no arguments", id="accessor"),
    pytest.param(lambda: Arm.default_left(1), "takes no arguments", id="static-preset"),
    pytest.param(lambda: Arm.default_left().mirror(x=1), "takes no keyword arguments", id="accessor-keyword"),
    pytest.param(lambda: Arm.fk(Neck(), 0.0, 0.0), "doesn't apply to a", id="arm-method-on-neck"),
    pytest.param(lambda: Neck.fk(Arm.default_left(), [0, 0, 0]), "doesn't apply to a", id="neck-method-on-arm"),
])
def test_interpreter_refuses_arguments_to_no_argument_methods_and_foreign_receivers(call, message):
    with pytest.raises(TypeError, match=message):
        call()
