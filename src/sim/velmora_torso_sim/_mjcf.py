"""The torso as MJCF text.

Each arm is its five-bar: five hinges whose axes all pass through the arm's
centre (input A about v_1, elbow A about v_2, the wrist about v_3, input B about
v_5, elbow B about v_4), in two branches from the torso; the loop is closed by
one `connect` between a site on coupler A's v_3 axis and one on coupler B's.
Every body turns about the centre, so holding those two points together is a
revolute joint about v_3 (a `weld` would also stop the turn about v_3 and
over-constrain the loop). The end-effector body hangs from coupler A by the
wrist hinge; a tendon equality holds it where its frame is the one `fk` returns,
X toward the elbows' bisector: its Y point lies as far from v_2 as from -v_4,
that is Y . (v_2 + v_4) = 0.

Every arm body's frame is the arm's body frame in the reference pose, so hinge
axes and sites are written in body-frame coordinates; each arm's frame is the
world frame moved to the arm's centre (the left arm at +y, the right at -y, the
neck above, between them), so that the world orientation of each end-effector
body is the body-frame `fk` of its arm and that of `head` is `neck_fk`.
"""

from __future__ import annotations

import math
from collections.abc import Iterator, Mapping, Sequence

import numpy as np

from ._geometry import ArmAxes, Vector, arm_geometry, arm_kinematics

SIDES = ("left", "right")
NECK_JOINTS = ("neck_yaw", "neck_pitch", "neck_roll")
ARC_SEGMENTS = 10
COLOURS = {"left": "0.20 0.45 0.85 1", "right": "0.85 0.30 0.25 1", "coupler": "0.95 0.75 0.20 1",
           "effector": "0.15 0.65 0.35 1", "torso": "0.55 0.55 0.6 1", "head": "0.8 0.8 0.82 1"}


def number(value: float) -> str:
    """Shortest text that reads back as the same double: the model keeps every bit."""
    text = repr(float(value))
    return "0" if text == "-0.0" or text == "0.0" else text


def numbers(values: Sequence[float] | Vector) -> str:
    return " ".join(number(float(value)) for value in values)


def drawn(values: Sequence[float] | Vector) -> str:
    """Six digits for what is only drawn or weighed (shapes, masses): the
    kinematics never read them, and the file stays readable."""
    return " ".join(format(float(value), ".6g") for value in values)


def quaternion(matrix: Vector) -> Vector:
    """The unit quaternion (w, x, y, z) of a rotation matrix (Shepperd's method)."""
    m = matrix
    trace = m[0, 0] + m[1, 1] + m[2, 2]
    if trace > 0.0:
        s = 2.0 * math.sqrt(1.0 + trace)
        q = [0.25 * s, (m[2, 1] - m[1, 2]) / s, (m[0, 2] - m[2, 0]) / s, (m[1, 0] - m[0, 1]) / s]
    else:
        i = int(np.argmax(np.diag(m)))
        j, k = (i + 1) % 3, (i + 2) % 3
        s = 2.0 * math.sqrt(1.0 + m[i, i] - m[j, j] - m[k, k])
        q = [0.0, 0.0, 0.0, 0.0]
        q[0] = (m[k, j] - m[j, k]) / s
        q[1 + i] = 0.25 * s
        q[1 + j] = (m[j, i] + m[i, j]) / s
        q[1 + k] = (m[k, i] + m[i, k]) / s
    result: Vector = np.array(q) / math.sqrt(sum(value * value for value in q))
    return result


def arc(start: Vector, end: Vector, radius: float, width: float, rgba: str) -> Iterator[str]:
    """Capsules along the great arc from `start` to `end` at `radius`: a link drawn as
    the arc it is."""
    angle = math.acos(min(1.0, max(-1.0, float(start @ end))))
    points = []
    for k in range(ARC_SEGMENTS + 1):
        f = k / ARC_SEGMENTS
        if angle < 1e-9:
            point = start
        else:
            point = (math.sin((1 - f) * angle) * start + math.sin(f * angle) * end) / math.sin(angle)
        points.append(radius * point)
    for a, b in zip(points, points[1:]):
        yield (f'<geom type="capsule" size="{drawn([width])}" fromto="{drawn(np.concatenate([a, b]))}" '
               f'rgba="{rgba}"/>')


def axle(axis: Vector, inner: float, outer: float, width: float, rgba: str) -> str:
    """A joint's axle: a cylinder along its axis, from `inner` to `outer` off the centre."""
    return (f'<geom type="cylinder" size="{drawn([width])}" '
            f'fromto="{drawn(np.concatenate([inner * axis, outer * axis]))}" rgba="{rgba}"/>')


def inertial(centre: Vector, mass: float, scale: float) -> str:
    """A simple mass: `mass` at `centre`, the inertia of a small ball about it."""
    inertia = 0.4 * mass * (0.2 * scale) ** 2
    return (f'<inertial pos="{drawn(centre)}" mass="{drawn([mass])}" '
            f'diaginertia="{drawn([inertia] * 3)}"/>')


def joint(name: str, axis: Vector | Sequence[float], *, reference: float = 0.0,
          limit: tuple[float, float] | None = None, armature: float = 0.0, damping: float = 0.0) -> str:
    attributes = [f'name="{name}"', 'type="hinge"', f'axis="{numbers(axis)}"']
    if reference != 0.0:
        attributes.append(f'ref="{number(reference)}"')
    if limit is not None:
        attributes.append(f'limited="true" range="{numbers(limit)}"')
    if armature:
        attributes.append(f'armature="{number(armature)}"')
    if damping:
        attributes.append(f'damping="{number(damping)}"')
    return f'<joint {" ".join(attributes)}/>'


INPUTS = {"left": ("left_theta_a", "left_theta_b"), "right": ("right_theta_a", "right_theta_b"),
          "neck": NECK_JOINTS}


def read_limits(limits: object) -> dict[str, tuple[float, float]]:
    """`limits` as {input joint: (low, high)}. Given as {"left": 2 ranges, "right": 2
    ranges, "neck": 3 ranges}, or by joint name ({"neck_pitch": (low, high)}), or
    both; each range finite with low < high; any joint may be left out."""
    if limits is None:
        return {}
    if not isinstance(limits, Mapping):
        raise TypeError(f"torso_mjcf(): 'limits' must be a mapping of 'left', 'right', 'neck' or input joint "
                        f"names to joint ranges, not '{type(limits).__name__}'")
    names = {name: (name,) for group in INPUTS.values() for name in group}
    result: dict[str, tuple[float, float]] = {}
    for key, value in limits.items():
        group = INPUTS.get(key) or names.get(key)
        if group is None:
            raise ValueError(f"torso_mjcf(): 'limits' has an unknown key {key!r} (expected 'left', 'right', "
                             f"'neck' or an input joint's name)")
        try:
            ranges = tuple((float(low), float(high)) for low, high in (value if key in INPUTS else (value,)))
        except (TypeError, ValueError):
            ranges = ()
        if len(ranges) != len(group) or not all(math.isfinite(low) and math.isfinite(high) and low < high
                                                for low, high in ranges):
            what = f"{len(group)} finite (low, high) ranges" if key in INPUTS else "a finite (low, high) range"
            raise ValueError(f"torso_mjcf(): 'limits'[{key!r}] must be {what} with low < high, not {value!r}")
        for name, pair in zip(group, ranges):
            if name in result:
                raise ValueError(f"torso_mjcf(): 'limits' gives {name}'s range twice")
            result[name] = pair
    return result


def positive(name: str, value: object) -> float:
    try:
        number_ = float(value)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        raise TypeError(f"torso_mjcf(): '{name}' must be a number, not '{type(value).__name__}'") from None
    if not (math.isfinite(number_) and number_ > 0.0):
        raise ValueError(f"torso_mjcf(): '{name}' must be a positive finite number, not {value!r}")
    return number_


def arm_mjcf(side: str, axes: ArmAxes, centre: Vector, limits: Mapping[str, tuple[float, float]],
             sizes: Mapping[str, float]) -> Iterator[str]:
    """The bodies of one arm, below the torso."""
    scale, mass, armature, damping = sizes["scale"], sizes["link_mass"], sizes["armature"], sizes["damping"]
    theta_a, theta_b = axes.reference_pair()
    pose = axes.pose(theta_a, theta_b)
    assert pose is not None
    v2, v3, v4, frame = pose
    v1, v5 = axes.v1, axes.v5
    # Links nest at different radii, as on the hardware, so that they pass each other.
    r_a, r_b, r_ca, r_cb = 0.75 * scale, 0.85 * scale, scale, 1.1 * scale
    width, colour, coupler = 0.06 * scale, COLOURS[side], COLOURS["coupler"]
    yield (f'<!-- The {side} arm: every hinge axis through its centre, written in its body frame at '
           f'the reference pose (theta_a {number(theta_a)}, theta_b {number(theta_b)}). -->')
    yield f'<body name="{side}_arm" pos="{numbers(centre)}">'
    yield f'  <geom type="sphere" size="{drawn([0.12 * scale])}" rgba="{COLOURS["torso"]}"/>'
    yield f'  {axle(v1, 0.2 * scale, r_a, 0.5 * width, COLOURS["torso"])}'
    yield f'  {axle(v5, 0.2 * scale, r_b, 0.5 * width, COLOURS["torso"])}'
    yield f'  <body name="{side}_link_a">'
    input_a = joint(f"{side}_theta_a", v1, reference=theta_a, limit=limits.get(f"{side}_theta_a"),
                    armature=armature)
    yield f'    {input_a}'
    yield f'    {inertial(0.5 * r_a * (v1 + v2), mass, scale)}'
    for line in arc(v1, v2, r_a, width, colour):
        yield f'    {line}'
    yield f'    <body name="{side}_coupler_a">'
    yield f'      {joint(f"{side}_elbow_a", v2, damping=damping)}'
    yield f'      {inertial(0.5 * r_ca * (v2 + v3), mass, scale)}'
    yield f'      {axle(v2, r_a, r_ca, 0.5 * width, coupler)}'
    for line in arc(v2, v3, r_ca, width, coupler):
        yield f'      {line}'
    yield f'      <site name="{side}_loop_a" pos="{numbers(scale * v3)}"/>'
    yield f'      <site name="{side}_elbow_a_point" pos="{numbers(scale * v2)}"/>'
    yield f'      <body name="{side}_end_effector" quat="{numbers(quaternion(frame))}">'
    yield f'        {joint(f"{side}_wrist", (0.0, 0.0, 1.0), damping=damping)}'
    yield f'        {inertial(np.array([0.0, 0.0, 1.3 * scale]), mass, scale)}'
    yield (f'        <geom type="capsule" size="{drawn([width])}" fromto="0 0 {drawn([r_ca])} 0 0 '
           f'{drawn([1.6 * scale])}" rgba="{COLOURS["effector"]}"/>')
    yield (f'        <geom type="box" size="{drawn([0.15 * scale, 0.5 * width, 0.5 * width])}" '
           f'pos="{drawn([0.15 * scale, 0.0, 1.45 * scale])}" rgba="{COLOURS["effector"]}"/>')
    yield f'        <site name="{side}_end_effector_y" pos="0 {number(scale)} 0"/>'
    yield '      </body>'
    yield '    </body>'
    yield '  </body>'
    yield f'  <body name="{side}_link_b">'
    input_b = joint(f"{side}_theta_b", v5, reference=theta_b, limit=limits.get(f"{side}_theta_b"),
                    armature=armature)
    yield f'    {input_b}'
    yield f'    {inertial(0.5 * r_b * (v5 + v4), mass, scale)}'
    for line in arc(v5, v4, r_b, width, colour):
        yield f'    {line}'
    yield f'    <body name="{side}_coupler_b">'
    yield f'      {joint(f"{side}_elbow_b", v4, damping=damping)}'
    yield f'      {inertial(0.5 * r_cb * (v4 + v3), mass, scale)}'
    yield f'      {axle(v4, r_b, r_cb, 0.5 * width, coupler)}'
    for line in arc(v4, v3, r_cb, width, coupler):
        yield f'      {line}'
    yield f'      {axle(v3, r_ca, r_cb, 0.5 * width, coupler)}'
    yield f'      <site name="{side}_loop_b" pos="{numbers(scale * v3)}"/>'
    yield f'      <site name="{side}_elbow_b_point" pos="{numbers(-scale * v4)}"/>'
    yield '    </body>'
    yield '  </body>'
    yield '</body>'


def neck_mjcf(height: float, limits: Mapping[str, tuple[float, float]], sizes: Mapping[str, float]) -> Iterator[str]:
    scale, armature = sizes["scale"], sizes["armature"]
    mass, inertia = sizes["head_mass"], 0.4 * sizes["head_mass"] * (0.5 * scale) ** 2
    yield (f'<geom type="cylinder" size="{drawn([0.12 * scale])}" fromto="0 0 {drawn([-0.4 * scale])} 0 0 '
           f'{drawn([height - 0.15 * scale])}" rgba="{COLOURS["torso"]}"/>')
    yield '<!-- The neck: yaw about z, then pitch about the new y, then roll about the newest x. -->'
    yield f'<body name="neck_yaw_link" pos="0 0 {drawn([height])}">'
    yield f'  {joint("neck_yaw", (0.0, 0.0, 1.0), limit=limits.get("neck_yaw"), armature=armature)}'
    yield f'  {inertial(np.zeros(3), 0.1 * mass, scale)}'
    yield f'  <body name="neck_pitch_link">'
    yield f'    {joint("neck_pitch", (0.0, 1.0, 0.0), limit=limits.get("neck_pitch"), armature=armature)}'
    yield f'    {inertial(np.zeros(3), 0.1 * mass, scale)}'
    yield '    <body name="head">'
    yield f'      {joint("neck_roll", (1.0, 0.0, 0.0), limit=limits.get("neck_roll"), armature=armature)}'
    yield (f'      <inertial pos="0 0 {drawn([0.5 * scale])}" mass="{drawn([mass])}" '
           f'diaginertia="{drawn([inertia] * 3)}"/>')
    yield (f'      <geom type="cylinder" size="{drawn([0.12 * scale, 0.25 * scale])}" '
           f'pos="0 0 {drawn([0.1 * scale])}" rgba="{COLOURS["torso"]}"/>')
    yield (f'      <geom type="ellipsoid" size="{drawn([0.55 * scale, 0.45 * scale, 0.5 * scale])}" '
           f'pos="0 0 {drawn([0.6 * scale])}" rgba="{COLOURS["head"]}"/>')
    # Eyes on the head's +x: where it looks.
    for y in (-0.2 * scale, 0.2 * scale):
        yield (f'      <geom type="sphere" size="{drawn([0.08 * scale])}" '
               f'pos="{drawn([0.5 * scale, y, 0.7 * scale])}" rgba="0.1 0.1 0.1 1"/>')
    yield '    </body>'
    yield '  </body>'
    yield '</body>'


def torso_mjcf(left: object, right: object, *, neck: bool = True, limits: Mapping[str, object] | None = None,
               actuators: str | None = "position", kp: float = 20.0, kv: float = 0.5, timestep: float = 0.002,
               armature: float = 1e-3, damping: float = 1e-3, link_mass: float = 0.05, head_mass: float = 0.5,
               scale: float = 0.1, spacing: float = 0.35) -> str:
    """The MJCF text of the torso: both arms with their loops closed, the neck and
    position actuators on the input joints.

    Parameters
    ----------
    left, right : VelmoraArmKinematics or a general five-bar
        The arms, as `arm_geometry` reads them.
    neck : bool
        Whether to include the neck and the head.
    limits : mapping, optional
        "left" and "right" to ((a_min, a_max), (b_min, b_max)), "neck" to the yaw,
        pitch and roll ranges, or an input joint's name to its (low, high): the
        joints' ranges and their actuators' control ranges. Unlimited when absent.
    actuators : "position" or None
        A position actuator named after each input joint, or none.
    kp, kv : float
        The position actuators' gains, N m/rad and N m s/rad.
    timestep : float
        MuJoCo's step, seconds.
    armature, damping : float
        The input joints' reflected motor inertia (kg m^2) and the passive joints'
        damping (N m s/rad); 0 for none.
    link_mass, head_mass : float
        The mass of each moving arm body and of the head, kg. Like the other
        sizes these are defaults to override: the kinematics do not depend on them.
    scale, spacing : float
        The arm's radius and the distance between the arms' centres, metres.

    Returns
    -------
    str
        The model, for `mujoco.MjModel.from_xml_string` or a file.

    Raises
    ------
    TypeError
        An arm of neither kind, or a size that is not a number.
    ValueError
        Bad `limits`, `actuators` or sizes, or an arm whose loop closes nowhere,
        each naming the argument.

    Examples
    --------
    >>> text = torso_mjcf(VelmoraArmKinematics.default_left(), VelmoraArmKinematics.default_right())
    >>> model = mujoco.MjModel.from_xml_string(text)
    """
    axes = {}
    for side, arm in zip(SIDES, (left, right)):
        axes[side] = ArmAxes(arm_geometry(arm, side), arm_kinematics(arm))
        try:
            axes[side].check()
        except ValueError as error:
            raise ValueError(f"torso_mjcf(): '{side}': {error}") from None
    ranges = read_limits(limits)
    if actuators not in ("position", None):
        raise ValueError(f"torso_mjcf(): 'actuators' must be 'position' or None, not {actuators!r}")
    sizes = {name: positive(name, value) for name, value in
             (("kp", kp), ("kv", kv), ("timestep", timestep), ("link_mass", link_mass), ("head_mass", head_mass),
              ("scale", scale), ("spacing", spacing))}
    for name, value in (("armature", armature), ("damping", damping)):
        sizes[name] = positive(name, value) if value else 0.0

    lines = ['<mujoco model="velmora_torso">',
             '  <compiler angle="radian" autolimits="true"/>',
             # Position actuators on light links are stiff: the implicit integrator keeps them stable.
             f'  <option timestep="{number(sizes["timestep"])}" integrator="implicitfast" tolerance="1e-12"/>',
             '  <visual>',
             '    <global offwidth="1600" offheight="1200"/>',
             '    <quality shadowsize="4096"/>',
             '  </visual>',
             '  <asset>',
             '    <texture type="skybox" builtin="gradient" rgb1="1 1 1" rgb2="0.72 0.78 0.88" width="64" height="64"/>',
             '  </asset>',
             '  <default>',
             # Nothing collides: the links pass each other on their nested radii.
             '    <geom contype="0" conaffinity="0"/>',
             # The constraints' sites are not parts: hidden unless group 5 is shown.
             '    <site group="5"/>',
             # Stiff, nearly hard equalities: the loops stay closed while the motors push.
             f'    <equality solref="{number(2 * sizes["timestep"])} 1" solimp="0.9999 0.9999 0.001 0.5 2"/>',
             '  </default>',
             '  <worldbody>',
             '    <light pos="1 0.5 3" dir="-0.3 -0.15 -1" directional="true" castshadow="false"/>',
             f'    <body name="torso">',
             f'      <geom type="box" size="{drawn([0.6 * scale, 0.5 * spacing, 0.25 * scale])}" '
             f'pos="0 0 {drawn([-0.6 * scale])}" rgba="{COLOURS["torso"]}"/>']
    for side, y in zip(SIDES, (0.5 * sizes["spacing"], -0.5 * sizes["spacing"])):
        lines += ["      " + line for line in arm_mjcf(side, axes[side], np.array([0.0, y, 0.0]),
                                                      ranges, sizes)]
    if neck:
        lines += ["      " + line for line in neck_mjcf(0.9 * sizes["scale"], ranges, sizes)]
    # The frame's tendons are bookkeeping, not cables: drawn invisible.
    lines += ['    </body>', '  </worldbody>', '  <tendon>']
    for side in SIDES:
        lines += [f'    <spatial name="{side}_frame_a" rgba="0 0 0 0"><site site="{side}_elbow_a_point"/>'
                  f'<site site="{side}_end_effector_y"/></spatial>',
                  f'    <spatial name="{side}_frame_b" rgba="0 0 0 0"><site site="{side}_end_effector_y"/>'
                  f'<site site="{side}_elbow_b_point"/></spatial>']
    lines += ['  </tendon>', '  <equality>',
              "    <!-- Each loop closed at v_3 by one connect; each end effector's frame held by its tendons. -->"]
    for side in SIDES:
        lines += [f'    <connect name="{side}_loop" site1="{side}_loop_a" site2="{side}_loop_b"/>',
                  f'    <tendon name="{side}_frame" tendon1="{side}_frame_a" tendon2="{side}_frame_b" '
                  f'polycoef="0 1 0 0 0"/>']
    lines.append('  </equality>')
    if actuators == "position":
        lines.append('  <actuator>')
        for name in (*INPUTS["left"], *INPUTS["right"], *(INPUTS["neck"] if neck else ())):
            limit = ranges.get(name)
            control = f' ctrlrange="{numbers(limit)}"' if limit is not None else ""
            lines.append(f'    <position name="{name}" joint="{name}" kp="{number(sizes["kp"])}" '
                         f'kv="{number(sizes["kv"])}"{control}/>')
        lines.append('  </actuator>')
    lines.append('</mujoco>')
    return "\n".join(lines) + "\n"
