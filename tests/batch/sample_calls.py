"""Sample calls of everything velmora_torso_batch offers: the one table that
three checks read. test_batch_layouts.py calls each function over arrays on its
inputs in every memory layout and one-pose form (its first row), and
test_batch_workers.py with every worker count; tools/bit_hashes.py hashes every
row on its drawn inputs on both architectures.

A row is `Sample(name, argument=..., ...)`: the function ("ArmFollower" for a
class's constructor, "ArmFollower.step" for a method), then its arguments by
keyword, each either the name of an input (a str; every check supplies its own
arrays under the names in INPUTS, bit_hashes.py more) or `Literal(value)`,
passed as it is. A method is called on the instances `on` names in turn, or on
each of `each` (bit_hashes.py). A new function gets a row here, its plain call
first (the one the layout and worker checks use; they set `workers`
themselves); a new keyword gets a row that passes it. Data only: no module is
imported here, so tools/ can read it from the source tree whatever interpreter
runs them.
"""


class Literal:
    def __init__(self, value):
        self.value = value


class Sample:
    def __init__(self, name, on=None, each=None, **arguments):
        self.name, self.on, self.each, self.arguments = name, on, each, arguments

    def call(self, module, inputs, **overrides):
        """module.<name>(...) with the inputs taken from `inputs` (a mapping)."""
        kwargs = {key: value.value if isinstance(value, Literal) else inputs[value]
                  for key, value in self.arguments.items()}
        return getattr(module, self.name)(**{**kwargs, **overrides})


# What the input names stand for (leading dimensions first, then each element's).
INPUTS = {
    "arms": "VelmoraArmKinematics instances (one call each; bit_hashes.py also has FiveBars, general_arms)",
    "theta_a": "joint angles", "theta_b": "joint angles",
    "rotations": "3 x 3 rotations, an arm's fk and others", "directions": "3-vectors, an arm's directions and others",
    "near": "joint pairs", "vectors": "3-vectors", "paths": "paths of T 3-vectors",
    "path_starts": "joint pairs, one per path", "finite_path_starts": "finite joint pairs, one per path",
    "closing_path_starts": "joint pairs at which every arm's loop closes, one per path",
    "neck_angles": "(yaw, pitch, roll)",
    "neck_rotations": "3 x 3 rotations of the neck", "neck_paths": "paths of T neck rotations",
    "neck_path_starts": "(yaw, pitch, roll), one per path",
    "few_directions": "3-vectors, a few: nearest_reachable searches the joint plane for each",
    "few_paths": "paths of T 3-vectors, a few: the arm's followers search for targets out of reach",
    "few_closing_path_starts": "joint pairs at which every arm's loop closes, one per few_paths path",
}
# Joint limits that every arm's reachable pairs straddle, and a start that closes for every arm.
LIMITS = ((-1.0, 1.5), (-1.2, 0.8))
START = (0.3, -0.2)
# The neck followers' limits and start in the rows below.
NECK_LIMITS = ((-2.0, 2.0), (-1.2, 1.2), (-0.6, 0.6))
NECK_START = (0.1, 0.2, 0.3)
TWO = Literal(2)

SAMPLES = [
    Sample("fk", arm="arms", theta_a="theta_a", theta_b="theta_b", workers=TWO),
    Sample("direction", arm="arms", theta_a="theta_a", theta_b="theta_b", workers=TWO),
    Sample("ik", arm="arms", rotations="rotations", workers=TWO),
    Sample("ik_from_direction", arm="arms", directions="directions", near="near", workers=TWO),
    Sample("ik_from_direction", arm="arms", directions="directions"),
    Sample("ik_path", arm="arms", directions="paths", start="finite_path_starts", max_step=Literal(0.25),
           workers=TWO),
    Sample("ik_path", arm="arms", directions="paths"),
    Sample("ik_path", arm="arms", directions="paths", start="path_starts"),  # refused: NaN starts
    Sample("direction_solutions", arm="arms", directions="directions", workers=TWO),
    Sample("jacobian", arm="arms", theta_a="theta_a", theta_b="theta_b", workers=TWO),
    Sample("geometry_jacobian", arm="arms", theta_a="theta_a", theta_b="theta_b", workers=TWO),
    Sample("singularity_measure", arm="arms", theta_a="theta_a", theta_b="theta_b", workers=TWO),
    Sample("joint_rates", arm="arms", theta_a="theta_a", theta_b="theta_b", v3_dot="vectors", workers=TWO),
    Sample("neck_fk", angles="neck_angles", workers=TWO),
    Sample("neck_ik", rotations="neck_rotations", workers=TWO),
    Sample("neck_rates", angles="neck_angles", angles_dot="vectors", workers=TWO),
    Sample("neck_angle_rates", angles="neck_angles", omega="vectors", workers=TWO),
    Sample("ik", arm="arms", rotations="rotations", limits=Literal(LIMITS)),
    Sample("ik_from_direction", arm="arms", directions="directions", near="near", limits=Literal(LIMITS)),
    Sample("ik_path", arm="arms", directions="paths", start="finite_path_starts", max_step=Literal(0.25),
           limits=Literal(LIMITS)),
    Sample("direction_solutions", arm="arms", directions="directions", limits=Literal(LIMITS)),
    Sample("joint_rates", arm="arms", theta_a="theta_a", theta_b="theta_b", v3_dot="vectors",
           damping=Literal(0.05)),
    Sample("neck_ik", rotations="neck_rotations", near="vectors"),
    Sample("ik", arm="arms", rotations="rotations", limits=Literal(LIMITS), margin=Literal(0.02)),
    Sample("ik_from_direction", arm="arms", directions="directions", near="near", margin=Literal(0.02)),
    Sample("ik_path", arm="arms", directions="paths", start="finite_path_starts", max_step=Literal(0.25),
           margin=Literal(0.02)),
    Sample("direction_solutions", arm="arms", directions="directions", limits=Literal(LIMITS),
           margin=Literal(0.02)),
    Sample("closure_margin", arm="arms", theta_a="theta_a", theta_b="theta_b", workers=TWO),
    Sample("nearest_reachable", arm="arms", directions="few_directions", workers=TWO),
    Sample("nearest_reachable", arm="arms", directions="few_directions", limits=Literal(LIMITS),
           margin=Literal(0.02)),
    Sample("follow", arm="arms", directions="few_paths", start="few_closing_path_starts", max_step=Literal(0.25)),
    Sample("follow", arm="arms", directions="few_paths", start=Literal(START), max_step=Literal(0.05), workers=TWO),
    Sample("follow", arm="arms", directions="few_paths", start=Literal(START), max_step=Literal(0.2),
           limits=Literal(LIMITS), damping=Literal(0.0)),
    Sample("follow", arm="arms", directions="few_paths", start=Literal(START), max_step=Literal(0.05),
           limits=Literal(LIMITS), margin=Literal(0.0), max_step_change=Literal(0.005)),
    Sample("neck_follow", rotations="neck_paths", start="neck_path_starts", max_step=Literal(0.3),
           max_step_change=Literal(0.1), limits=Literal(((-1.0, 1.0),) * 3)),
    Sample("neck_follow", rotations="neck_paths", start=Literal(NECK_START), max_step=Literal(0.05),
           workers=TWO),
    Sample("neck_follow", rotations="neck_paths", start=Literal(NECK_START), max_step=Literal(0.2),
           max_step_change=Literal(0.01), limits=Literal(NECK_LIMITS)),
    # Not over arrays: called element by element in bit_hashes.py. The followers'
    # constructors on drawn settings (many refused), then a few followers each
    # stepped through a long stream of the drawn targets.
    Sample("arm_json", arm="built_arms"),
    Sample("arm_json", arm="five_bars"),
    # The general arm: FiveBar's surface, and the arm functions on arms of unequal arcs and tilted bases.
    Sample("FiveBar", arm_arcs="arc_pairs", coupler_arcs="coupler_pairs", base_angle="base_angles",
           mirror="mirror_flags", branch="branch_names"),
    Sample("FiveBar.from_arm", arm="built_arms"),
    Sample("FiveBar.from_json", text="documents"),
    Sample("FiveBar.to_json", each="five_bars"),
    Sample("FiveBar.arm_arcs", each="five_bars"),
    Sample("FiveBar.coupler_arcs", each="five_bars"),
    Sample("FiveBar.base_angle", each="five_bars"),
    Sample("FiveBar.mirror", each="five_bars"),
    Sample("FiveBar.branch", each="five_bars"),
    Sample("fk", arm="general_arms", theta_a="theta_a", theta_b="theta_b", workers=TWO),
    Sample("ik", arm="general_arms", rotations="rotations"),
    Sample("direction_solutions", arm="general_arms", directions="directions"),
    Sample("ik_from_direction", arm="general_arms", directions="directions", near="near"),
    Sample("jacobian", arm="general_arms", theta_a="theta_a", theta_b="theta_b"),
    Sample("geometry_jacobian", arm="general_arms", theta_a="theta_a", theta_b="theta_b"),
    Sample("joint_rates", arm="general_arms", theta_a="theta_a", theta_b="theta_b", v3_dot="vectors"),
    Sample("ArmFollower", arm="follower_arms", start="follower_starts", max_step="follower_steps",
           limits="follower_limits", damping="follower_dampings"),
    Sample("ArmFollower", arm="follower_arms", start="follower_starts", max_step="follower_steps",
           limits="follower_limits", damping="follower_dampings", margin="follower_dampings",
           max_step_change="follower_steps"),
    Sample("ArmFollower.step", on="arm_followers", direction="few_directions"),
    Sample("ArmFollower.pair", each="arm_followers"),
    Sample("ArmFollower.velocity", each="arm_followers"),
    Sample("ArmFollower.max_step", each="arm_followers"),
    Sample("ArmFollower.max_step_change", each="arm_followers"),
    Sample("ArmFollower.limits", each="arm_followers"),
    Sample("ArmFollower.margin", each="arm_followers"),
    Sample("ArmFollower.damping", each="arm_followers"),
    Sample("ArmFollower.configure", on="arm_followers", max_step="follower_steps", limits="follower_limits",
           damping="follower_dampings", margin="follower_dampings", max_step_change="follower_steps"),
    Sample("ArmFollower.reset", on="arm_followers", pair="follower_starts"),
    Sample("NeckFollower", start="neck_angles", max_step="follower_steps", limits="neck_limits"),
    Sample("NeckFollower", start="neck_angles", max_step="follower_steps", max_step_change="follower_dampings",
           limits="neck_limits"),
    Sample("NeckFollower.step", on="neck_followers", rotation="neck_rotations"),
    Sample("NeckFollower.angles", each="neck_followers"),
    Sample("NeckFollower.velocity", each="neck_followers"),
    Sample("NeckFollower.configure", on="neck_followers", max_step="follower_steps",
           max_step_change="follower_dampings", limits="neck_limits"),
    Sample("NeckFollower.max_step", each="neck_followers"),
    Sample("NeckFollower.max_step_change", each="neck_followers"),
    Sample("NeckFollower.limits", each="neck_followers"),
    # Stepped again after configure: a row's key names its call, so the hash
    # kept under this key is this second stream's.
    Sample("NeckFollower.step", on="neck_followers", rotation="neck_rotations"),
    Sample("NeckFollower.reset", on="neck_followers", angles="neck_angles"),
]
# Functions of one object, not of arrays, and the classes.
ELEMENTWISE = {"arm_json", "ArmFollower", "NeckFollower", "FiveBar"}


def first_samples():
    """{name: its first row} of each function over arrays: its plain call."""
    first = {}
    for sample in SAMPLES:
        if sample.name.partition(".")[0] not in ELEMENTWISE:
            first.setdefault(sample.name, sample)
    return first
