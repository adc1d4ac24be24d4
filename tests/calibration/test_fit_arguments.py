"""Every bad input to fit_arm and suggest_poses gets a ValueError naming the argument."""

from __future__ import annotations

import math

import numpy as np
import pytest

import velmora_torso_batch as vb
import velmora_torso_kinematics as vtk

cal = pytest.importorskip("velmora_torso_calibration")

LEFT = vtk.VelmoraArmKinematics.default_left()
GROUPS = "'arcs', 'link_arcs', 'base_angle', 'offsets', 'scales', 'mount', 'tool'"
A = np.linspace(-0.4, 0.4, 10)
B = np.linspace(0.3, -0.3, 10)
D = vb.direction(LEFT, A, B)[0]
R = vb.fk(LEFT, A, B)[0]


def with_(array, index, value):
    changed = np.array(array, dtype=float)
    changed[index] = value
    return changed


@pytest.mark.parametrize(("arguments", "message"), [
    (dict(theta_a=A[:, None]), "'theta_a' must be a 1-D array of joint readings, not shape (10, 1)"),
    (dict(theta_b=B[:9]), "'theta_b' has 9 samples, 'theta_a' 10"),
    (dict(theta_a=with_(A, 3, math.nan)), "'theta_a' holds a non-finite value (sample 3)"),
    (dict(theta_b=with_(B, 0, math.inf)), "'theta_b' holds a non-finite value (sample 0)"),
    (dict(directions=None), "give exactly one of 'directions' and 'rotations'"),
    (dict(rotations=R), "give exactly one of 'directions' and 'rotations'"),
    (dict(directions=D[:, :2]), "'directions' must have shape (10, 3) (one per joint reading), not (10, 2)"),
    (dict(directions=D[:9]), "'directions' must have shape (10, 3) (one per joint reading), not (9, 3)"),
    (dict(directions=with_(D, (2, 1), math.nan)), "'directions' holds a non-finite value (sample 2)"),
    (dict(directions=with_(D, 4, 0.0)), "'directions' holds a zero direction (sample 4)"),
    (dict(directions=None, rotations=R[:, :2]),
     "'rotations' must have shape (10, 3, 3) (one per joint reading), not (10, 2, 3)"),
    (dict(directions=None, rotations=with_(R, (5, 0, 0), R[5, 0, 0] + 1e-5)),
     "'rotations' holds a matrix that is not a rotation within 1e-06 (sample 5)"),
    (dict(directions=None, rotations=with_(R, 1, -R[1])),
     "'rotations' holds a matrix that is not a rotation within 1e-06 (sample 1)"),
    (dict(theta_a=A[:6], theta_b=B[:6], directions=D[:6]), "'theta_a' has 6 samples, fewer than the 7 parameters to fit"),
    (dict(fit=("arcs", "wheels")), "'fit' names an unknown group 'wheels': choose from " + GROUPS),
    (dict(fit=("arcs", "arcs")), "'fit' must name each group to fit once, not ('arcs', 'arcs')"),
    (dict(fit=()), "'fit' must name each group to fit once, not ()"),
    (dict(fit=("arcs", "tool")), "'fit' includes 'tool', which only 'rotations' can determine"),
    (dict(mirror=1), "'mirror' must be True or False, not 1"),
    (dict(branch="Positive"), "'branch' must be 'positive' or 'negative', not 'Positive'"),
    (dict(initial=(0.7,)), "'initial' must be two finite arcs (arm_arc, coupler_arc), not (0.7,)"),
    (dict(initial=(0.7, math.nan)), "'initial' must be two finite arcs (arm_arc, coupler_arc), not (0.7, nan)"),
    (dict(initial="ab"), "'initial' must be two finite arcs (arm_arc, coupler_arc), not 'ab'"),
    (dict(loss="l1"), "'loss' must be one of 'linear', 'soft_l1', 'huber', 'cauchy', 'arctan', not 'l1'"),
    (dict(f_scale=0.0), "'f_scale' must be a positive finite number, not 0.0"),
    (dict(f_scale=math.inf), "'f_scale' must be a positive finite number, not inf"),
    (dict(f_scale="0.01"), "'f_scale' must be a positive finite number, not '0.01'"),
    (dict(initial=(0.7, 0.05)), "the loop closes for only 0 of the 10 samples at the current estimate "
                                "(from 'initial'), fewer than the 7 parameters"),
    (dict(theta_a=[], theta_b=[], directions=np.zeros((0, 3))), "'theta_a' has 0 samples, fewer than the 7 "
                                                                "parameters to fit"),
    (dict(theta_a="0.1 0.2"), "'theta_a' must be an array of real numbers, not '0.1 0.2'"),
    (dict(theta_b=B + 1j), "'theta_b' must hold real numbers, not complex128 values"),
    (dict(theta_a=None), "'theta_a' must be an array of real numbers, not None"),
    (dict(directions=D.astype(str)), "'directions' must hold real numbers, not <U32 values"),
    (dict(directions=np.full((10, 3), 1e-13)), "'directions' holds a zero direction (sample 0)"),
    (dict(fit=None), "'fit' must be a sequence of group names, not None"),
    (dict(fit=("arcs", 3)), "'fit' names an unknown group 3: choose from " + GROUPS),
    (dict(sigma=0.0), "'sigma' must be a positive finite number, or one per sample (shape (10,)), not 0.0"),
    (dict(sigma=np.ones(9)), "'sigma' must be a positive finite number, or one per sample (shape (10,)), not "
                             "array([1., 1., 1., 1., 1., 1., 1., 1., 1.])"),
    (dict(sigma=with_(np.ones(10), 2, math.nan)), "'sigma' must be a positive finite number, or one per sample "
                                                  "(shape (10,)), not array([ 1.,  1., nan,  1.,  1.,  1.,"),
    (dict(sigma="1e-3"), "'sigma' must be an array of real numbers, not '1e-3'"),
    (dict(initial={"arcs": (0.7, 0.5), "wheels": 1}), "'initial' has an unknown group 'wheels': choose from "
                                                       + GROUPS),
    (dict(initial={"offsets": (0.1,)}), "'initial['offsets']' must be two finite numbers (offset_a, offset_b), "
                                        "not (0.1,)"),
    (dict(initial={"mount": (0.1, 0.2)}), "'initial['mount']' must be a rotation vector (3 finite numbers) or a "
                                          "rotation matrix (3x3, within 1e-06), not shape (2,)"),
    (dict(initial={"mount": 2 * np.eye(3)}), "'initial['mount']' must be a rotation vector (3 finite numbers) or "
                                             "a rotation matrix (3x3, within 1e-06), not shape (3, 3)"),
    (dict(initial={"tool": "x"}), "'initial['tool']' must be an array of real numbers, not 'x'"),
    (dict(fit=("arcs", "link_arcs")), "'fit' names both 'arcs' and 'link_arcs': 'link_arcs' are the four arcs "
                                      "that 'arcs' ties in pairs, so choose one"),
    (dict(initial={"link_arcs": (0.7, 0.7, 0.5, 0.5)}), "'initial' gives 'link_arcs', the four arcs, but 'fit' "
                                                        "ties them in pairs with 'arcs': fit 'link_arcs' instead"),
    (dict(initial={"link_arcs": (0.7, 0.5)}, fit=("link_arcs",)),
     "'initial['link_arcs']' must be four finite numbers (arm_arc_a, arm_arc_b, coupler_arc_a, coupler_arc_b), "
     "not (0.7, 0.5)"),
    (dict(initial={"base_angle": (1.5, 1.6)}), "'initial['base_angle']' must be one finite number (base_angle), "
                                               "not (1.5, 1.6)"),
    (dict(initial={"base_angle": math.nan}), "'initial['base_angle']' must be one finite number (base_angle), "
                                             "not nan"),
    (dict(initial={"scales": "1"}), "'initial['scales']' must be two finite numbers (scale_a, scale_b), not '1'"),
    (dict(fit=("link_arcs", "base_angle", "offsets", "scales", "mount")),
     "'theta_a' has 10 samples, fewer than the 12 parameters to fit"),
])
def test_fit_arm_bad_input(arguments, message):
    call = dict(theta_a=A, theta_b=B, directions=D) | arguments
    theta_a, theta_b = call.pop("theta_a"), call.pop("theta_b")
    with pytest.raises(ValueError) as error:
        cal.fit_arm(theta_a, theta_b, **call)
    assert type(error.value) is ValueError and str(error.value).startswith("fit_arm(): " + message)


@pytest.fixture(scope="module")
def fitted():
    return cal.fit_arm(A, B, directions=D)


@pytest.mark.parametrize(("method", "arguments", "message"), [
    ("apply", (None, 0.0), "'theta_a' must be an array of real numbers, not None"),
    ("apply", (np.zeros(3), np.zeros(4)), "'theta_a' and 'theta_b' do not broadcast together: shapes (3,) and (4,)"),
    ("apply", (0.0, 1j), "'theta_b' must hold real numbers, not complex128 values"),
    ("predict_error", ("a", 0.0), "'theta_a' must be an array of real numbers, not 'a'"),
    ("predict_error", (np.zeros(2), np.zeros(5)), "'theta_a' and 'theta_b' do not broadcast together"),
    ("validate", (A, B), "give exactly one of 'directions' and 'rotations'"),
    ("validate", (A[:3], B[:3], D), "'directions' must have shape (3, 3) (one per joint reading), not (10, 3)"),
    ("validate", (A, B[:9], D), "'theta_b' has 9 samples, 'theta_a' 10"),
    ("validate", (A, B, None, with_(R, (2, 1, 1), 0.5)), "'rotations' holds a matrix that is not a rotation"),
], ids=lambda value: value if isinstance(value, str) and len(value) < 20 else None)
def test_fit_methods_bad_input(fitted, method, arguments, message):
    positional, keywords = arguments[:2], dict(zip(("directions", "rotations"), arguments[2:]))
    with pytest.raises(ValueError) as error:
        getattr(fitted, method)(*positional, **keywords)
    assert type(error.value) is ValueError and str(error.value).startswith(f"{method}(): {message}")


@pytest.mark.parametrize("text", ["", "[]", '{"format": "other"}', '{"format": "velmora_torso_calibration.ArmFit/1"}'])
def test_from_json_bad_input(fitted, text):
    with pytest.raises(ValueError, match=r"^ArmFit.from_json\(\): 'text' is not a fit's document"):
        cal.ArmFit.from_json(text)
    with pytest.raises(ValueError, match=r"^ArmFit.from_json\(\): 'text' must be a str"):
        cal.ArmFit.from_json(fitted.to_json().encode())


@pytest.mark.parametrize("name", ["parameters", "covariance", "std_errors", "residuals", "outliers", "closed",
                                  "mount", "sigma"])
def test_fit_arrays_are_read_only(fitted, name):
    with pytest.raises(ValueError, match="read-only"):
        getattr(fitted, name)[0] = 99


@pytest.mark.parametrize(("arguments", "message"), [
    (dict(n=0), "'n' must be a positive integer, not 0"),
    (dict(n=2.0), "'n' must be a positive integer, not 2.0"),
    (dict(seed=None), "'seed' must be a non-negative integer, not None"),
    (dict(seed=-1), "'seed' must be a non-negative integer, not -1"),
    (dict(limits=((0.0, 1.0),)), "'limits' must be ((a_low, a_high), (b_low, b_high)) or (low, high) with "
                                 "finite lows below highs, not ((0.0, 1.0),)"),
    (dict(limits=((1.0, 0.0), (0.0, 1.0))), "'limits' must be ((a_low, a_high), (b_low, b_high)) or (low, high) "
                                            "with finite lows below highs, not ((1.0, 0.0), (0.0, 1.0))"),
    (dict(limits=((0.0, 1.0), (0.0, math.nan))), "'limits' must be ((a_low, a_high), (b_low, b_high)) or (low, high) "
                                                 "with finite lows below highs, not ((0.0, 1.0), (0.0, nan))"),
    (dict(n=50, limits=((2.9, 3.0), (2.9, 3.0))), "only 0 joint pairs within 'limits' close with a margin for "
                                                  "arcs off by 0.03 rad and joints off by 0.05 rad; asked for 50"),
    (dict(fit=("arcs", "tool")), "'fit' includes 'tool', which only 'rotations' can determine"),
    (dict(fit=("arcs", "gears")), "'fit' names an unknown group 'gears': choose from " + GROUPS),
    (dict(fit=None), "'fit' must be a sequence of group names, not None"),
    (dict(arm_arcs=(0.7, 0.71), fit=("arcs", "link_arcs")), "'fit' names both 'arcs' and 'link_arcs': "
                                                             "'link_arcs' are the four arcs that 'arcs' ties in "
                                                             "pairs, so choose one"),
])
def test_suggest_poses_bad_input(arguments, message):
    call = dict(n=5) | arguments
    # A general arm built here: one kept in the table would outlive the module at exit.
    arm = vb.FiveBar(call.pop("arm_arcs"), (0.5, 0.5)) if "arm_arcs" in call else LEFT
    with pytest.raises(ValueError) as error:
        cal.suggest_poses(arm, **call)
    assert type(error.value) is ValueError and str(error.value) == "suggest_poses(): " + message
