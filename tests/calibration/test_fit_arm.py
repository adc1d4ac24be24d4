"""velmora_torso_calibration against simulated arms of known truth: arcs off nominal by up to
0.03 rad, offsets up to 0.05 rad, mount up to 5 degrees, 1 mrad noise, suggested poses; and
general arms (four arcs, a base angle off a right angle, gear ratios off one) in the full model."""

from __future__ import annotations

import functools
import math
import subprocess
import sys

import numpy as np
import pytest
from scipy.spatial.transform import Rotation

import velmora_torso_batch as vb
import velmora_torso_kinematics as vtk
from conftest import property_examples

cal = pytest.importorskip("velmora_torso_calibration")
from velmora_torso_calibration import _model, _poses  # noqa: E402  (the internals under test)

NOISE = 1e-3  # radians, per sample
# Runs that draw fewer examples (memcheck, where every call costs fifty times as
# much) leave the many-fit tests to the plain run: they are pure Python over
# batch calls that the other tests make under memcheck too.
many_fits = pytest.mark.skipif(property_examples(100) < 100, reason="many fits: left to the plain run")
LEFT = vtk.VelmoraArmKinematics.default_left()
# The full model of a direction fit: every group but the tool.
FULL = ("link_arcs", "base_angle", "offsets", "scales", "mount")


def truth(seed, mirror=False, branch="positive", general=False):
    """An arm off nominal; `general`: its four arcs apart by sd 0.01, its base angle off a right
    angle by sd 5 mrad, its joints' gear ratios off one by up to 0.5%."""
    rng = np.random.default_rng(seed)
    axis = rng.normal(size=3)
    arcs = 0.7 + rng.uniform(-0.03, 0.03), 0.5 + rng.uniform(-0.03, 0.03)
    t = {
        "arm": _model.make_arm(*arcs, branch, mirror),
        "offsets": rng.uniform(-0.05, 0.05, 2),
        "scales": np.ones(2),
        "mount": Rotation.from_rotvec(axis / np.linalg.norm(axis) * rng.uniform(0, math.radians(5))),
        "tool": Rotation.from_rotvec(rng.uniform(-0.05, 0.05, 3)),
        "rng": rng,
    }
    if general:
        arm_arcs, coupler_arcs = arcs[0] + rng.normal(0, 0.01, 2), arcs[1] + rng.normal(0, 0.01, 2)
        t["arm"] = vb.FiveBar(tuple(arm_arcs), tuple(coupler_arcs), _model.RIGHT_ANGLE + rng.normal(0, 5e-3),
                              mirror=mirror, branch=branch)
        t["scales"] = 1.0 + rng.uniform(-0.005, 0.005, 2)
    return t


def measure(t, poses, kind, noise=NOISE):
    """What a tracker reports at the poses' readings: directions (of any length) with a random
    tangent step of `noise` rms, or rotations turned by a random small rotation of `noise` rms."""
    a = t["scales"][0] * poses[:, 0] + t["offsets"][0]
    b = t["scales"][1] * poses[:, 1] + t["offsets"][1]
    rotations, ok = vb.fk(t["arm"], a, b)
    assert ok.all(), "a suggested pose does not close on the true arm"
    if kind == "d":
        v3 = rotations[..., 2] @ t["mount"].as_matrix().T
        step = t["rng"].normal(scale=noise / math.sqrt(2), size=v3.shape)
        step -= np.einsum("ni,ni->n", step, v3)[:, None] * v3
        return 2.5 * (v3 + step)
    jitter = Rotation.from_rotvec(t["rng"].normal(scale=noise / math.sqrt(3), size=(len(a), 3))).as_matrix()
    return jitter @ t["mount"].as_matrix() @ rotations @ t["tool"].as_matrix()


def true_parameters(t, names):
    arm = vb.FiveBar.from_arm(t["arm"]) if isinstance(t["arm"], vtk.VelmoraArmKinematics) else t["arm"]
    values = dict(zip(_model.GROUPS["link_arcs"].names, arm.arm_arcs + arm.coupler_arcs))
    values |= {"arm_arc": arm.arm_arcs[0], "coupler_arc": arm.coupler_arcs[0], "base_angle": arm.base_angle}
    values |= dict(zip(_model.GROUPS["offsets"].names, t["offsets"])) | dict(zip(_model.GROUPS["scales"].names,
                                                                                t["scales"]))
    for group in ("mount", "tool"):
        values.update(zip(_model.GROUPS[group].names, t[group].as_rotvec()))
    return np.array([values[name] for name in names])


@functools.cache
def suggested(n, seed, branch="positive", mirror=False, fit=("arcs", "offsets", "mount")):
    poses = cal.suggest_poses(_model.make_arm(0.7, 0.5, branch, mirror), n, seed=seed, fit=fit)
    poses.flags.writeable = False
    return poses


@pytest.fixture(scope="module")
def poses():
    return suggested(150, 3)


def fit(t, poses, kind, noise=NOISE, general=False, **options):
    data = measure(t, poses, kind, noise)
    groups = FULL if general else ("arcs", "offsets", "mount")
    if kind == "d":
        return cal.fit_arm(poses[:, 0], poses[:, 1], directions=data, fit=groups, **options)
    return cal.fit_arm(poses[:, 0], poses[:, 1], rotations=data, fit=groups + ("tool",), **options)


@pytest.mark.parametrize("general", [False, True], ids=["two arcs", "full model"])
@pytest.mark.parametrize("kind", ["d", "r"])
@pytest.mark.parametrize(("mirror", "branch"), [(False, "positive"), (True, "negative")])
def test_noise_free_data_give_back_the_truth(poses, kind, mirror, branch, general):
    t = truth(11, mirror, branch, general)
    poses = suggested(100, 1, branch, mirror, FULL if general else ("arcs", "offsets", "mount"))
    result = fit(t, poses, kind, noise=0.0, general=general, mirror=mirror, branch=branch)
    assert np.abs(result.parameters - true_parameters(t, result.parameter_names)).max() < 1e-8
    assert result.rms < 1e-10 and result.converged and not result.warnings and not result.outliers.any()
    if general:
        assert isinstance(result.arm, vb.FiveBar) and vb.FiveBar.from_json(result.geometry_json) == result.arm
        assert np.allclose(result.scales, t["scales"], rtol=0, atol=1e-8)
    else:
        back = vtk.VelmoraArmKinematics.from_json(result.geometry_json)
        assert vb.arm_json(back) == vb.arm_json(result.arm) == result.geometry_json
    assert np.allclose(result.apply(poses[:, 0], poses[:, 1]), (poses * t["scales"] + t["offsets"]).T, atol=1e-8)
    assert np.allclose(result.mount, t["mount"].as_matrix(), atol=1e-8)


@many_fits
@pytest.mark.parametrize("kind", ["d", "r"])
def test_reported_errors_are_honest(poses, kind):
    # The truth within 2 standard errors for 90-99% of each group's estimates (95.4% expected).
    seeds = range(100)
    groups = {"arcs": [], "offsets": [], "mount": [], "tool": []}
    for seed in seeds:
        t = truth(seed)
        result = fit(t, poses, kind)
        inside = np.abs(result.parameters - true_parameters(t, result.parameter_names)) <= 2 * result.std_errors
        for group in groups:
            groups[group] += [inside[i] for i, name in enumerate(result.parameter_names)
                              if name in _model.GROUPS[group].names]
    for group, hits in groups.items():
        if hits:
            assert 0.90 <= np.mean(hits) <= 0.99, (group, np.mean(hits))


@many_fits
@pytest.mark.parametrize("kind", ["d", "r"])
@pytest.mark.parametrize("noise", [NOISE, 0.0])
def test_gross_outliers_are_flagged_and_refit_away(poses, kind, noise):
    t = truth(4)
    data = measure(t, poses, kind, noise)
    bad = t["rng"].random(len(poses)) < 0.05
    corrupted = data.copy()
    # Pointing anywhere, or turned anyhow.
    corrupted[bad] = t["rng"].normal(size=(bad.sum(), 3)) if kind == "d" else \
        Rotation.random(bad.sum(), random_state=4).as_matrix()
    groups = ("arcs", "offsets", "mount") + (("tool",) if kind == "r" else ())
    given = "directions" if kind == "d" else "rotations"
    robust = cal.fit_arm(poses[:, 0], poses[:, 1], **{given: corrupted}, fit=groups, loss="soft_l1", f_scale=0.01)
    clean = cal.fit_arm(poses[~bad, 0], poses[~bad, 1], **{given: data[~bad]}, fit=groups)
    assert np.array_equal(robust.outliers, bad)
    # The reported estimate is the plain fit of the rest.
    assert np.allclose(robust.parameters, clean.parameters, rtol=0, atol=1e-9)
    assert np.allclose(robust.std_errors, clean.std_errors, rtol=1e-6, atol=1e-12)
    error = np.abs(robust.parameters - true_parameters(t, robust.parameter_names))
    assert (error <= 3 * robust.std_errors + 1e-9).all()


LINE = np.linspace(-0.6, 0.6, 120)


@many_fits
@pytest.mark.parametrize(("theta_a", "theta_b", "degenerate"), [
    (np.full(120, 0.25), np.full(120, -0.1), True),  # one pose repeated
    (np.zeros(120), LINE, True),
    (LINE, np.zeros(120), True),
    (LINE, LINE, False),
    (np.full(120, 0.5), LINE, False),
], ids=["repeated", "theta_a=0", "theta_b=0", "theta_a=theta_b", "theta_a=0.5"])
def test_data_that_cannot_determine_say_so(poses, theta_a, theta_b, degenerate):
    t = truth(2)
    t["offsets"] = np.zeros(2)  # the readings' line is the joints' line
    line = np.stack([theta_a, theta_b], axis=-1)
    result = fit(t, line, "d")
    well = fit(truth(2), poses, "d")
    if degenerate:
        assert result.converged and result.warnings and "do not determine" in result.warnings[0]
        error = np.abs(result.parameters - true_parameters(t, result.parameter_names))
        # No finite error for what the data cannot determine, and none far below the actual error.
        assert np.isinf(result.std_errors).any()
        finite = np.isfinite(result.std_errors)
        assert (error[finite] <= 4 * result.std_errors[finite]).all()
    else:
        assert not any("do not determine" in w for w in result.warnings)
        assert np.isfinite(result.std_errors).all()
        # Weaker than spread poses, and the errors say so.
        assert result.std_errors.max() > 3 * well.std_errors.max()
        error = np.abs(result.parameters - true_parameters(t, result.parameter_names))
        assert (error <= 4 * result.std_errors).all()


@pytest.mark.parametrize(("mirror", "branch"), [(False, "positive"), (True, "negative"), (False, "negative")])
def test_arm_groups_move_the_arm_as_central_differences_do(mirror, branch):
    # Each group's body-frame columns (the core's derivatives composed with the pairing of
    # the arcs, the scales' readings) against differences of fk at a general arm.
    values = {"arcs": np.array([0.72, 0.48]), "link_arcs": np.array([0.72, 0.69, 0.48, 0.51]),
              "base_angle": np.array([1.58]), "offsets": np.array([0.02, -0.03]), "scales": np.array([1.004, 0.997])}
    readings = suggested(40, 5, branch, mirror).T
    for group, four in [("arcs", False), ("link_arcs", True), ("base_angle", True), ("offsets", True),
                        ("scales", True)]:
        def at(shifted):
            arm = _model.arm_of(shifted, True, four, branch, mirror)
            return vb.fk(arm, *_model.joints(shifted, *readings))[0]

        solved = _model.pose(_model.arm_of(values, True, four, branch, mirror), *_model.joints(values, *readings))
        assert solved.ok.all()
        dv3, omega = _model.GROUPS[group].moves(solved, tuple(readings))
        for k, h in enumerate(np.eye(len(values[group])) * 1e-6):
            plus, minus = at(values | {group: values[group] + h}), at(values | {group: values[group] - h})
            # The frame's angular velocity from dR R^T = [omega]x.
            spin = np.einsum("nij,nkj->nik", (plus - minus) / 2e-6, solved.rotation)
            assert np.allclose(dv3[..., k], (plus[..., 2] - minus[..., 2]) / 2e-6, atol=1e-7), (group, k)
            assert np.allclose(omega[..., k], np.stack([spin[:, 2, 1], spin[:, 0, 2], spin[:, 1, 0]], -1),
                               atol=1e-7), (group, k)


@pytest.mark.parametrize(("kind", "groups"), [
    ("d", ("arcs", "offsets", "mount")),
    ("r", ("arcs", "offsets", "mount", "tool")),
    ("d", FULL),
    ("r", FULL + ("tool",)),
], ids=["directions", "rotations", "directions, full model", "rotations, full model"])
def test_model_jacobian_matches_central_differences(poses, kind, groups):
    # Every column the solver gets, at a point away from the start.
    t = truth(3, general=True)
    data = measure(t, poses[:30], kind)
    model = _model.Model(poses[:30, 0], poses[:30, 1], directions=data if kind == "d" else None,
                         rotations=data if kind == "r" else None, mirror=False, branch="positive",
                         initial={}, fit=groups)
    x = model.start() + np.random.default_rng(1).uniform(-0.04, 0.04, len(model.names))
    _, jacobian, ok = model.evaluate(x)
    assert ok.all()
    for k, h in enumerate(np.eye(len(x)) * 1e-6):
        difference = (model.evaluate(x + h)[0] - model.evaluate(x - h)[0]) / 2e-6
        assert np.allclose(jacobian[..., k], difference, atol=2e-7), model.names[k]


def test_loop_that_does_not_close_is_left_out_then_taken_back(poses):
    t = truth(5)
    # A pose where the loop does not close at the initial arcs, but does for the arm measured.
    wide = _model.make_arm(0.7, 0.56, "positive", False)
    grid = np.stack(np.meshgrid(np.linspace(-2, 2, 81), np.linspace(-2, 2, 81)), -1).reshape(-1, 2)
    closes_wide = vb.fk(wide, grid[:, 0], grid[:, 1])[1] & vb.jacobian(wide, grid[:, 0], grid[:, 1])[2]
    closes_nominal = vb.fk(LEFT, grid[:, 0], grid[:, 1])[1]
    extra = grid[closes_wide & ~closes_nominal][:5]
    t["arm"], t["offsets"] = wide, np.zeros(2)
    both = np.concatenate([poses, extra])
    result = fit(t, both, "d", noise=0.0)
    assert result.closed.all() and np.isfinite(result.residuals).all()
    assert abs(result.arm.coupler_arc() - 0.56) < 1e-8
    # Readings where no nearby arm closes: NaN residual, not a crash.
    result = fit(truth(5), poses, "d", noise=0.0)
    far = cal.fit_arm(np.r_[poses[:, 0], 0.0], np.r_[poses[:, 1], math.pi / 2],
                      directions=np.r_[measure(truth(5), poses, "d", 0.0), [[0.0, 0.0, 1.0]]])
    assert not far.closed[-1] and math.isnan(far.residuals[-1]) and far.closed[:-1].all()
    assert np.allclose(far.parameters, result.parameters, atol=1e-8)


@many_fits
def test_suggested_poses_close_for_arms_off_nominal():
    poses = suggested(200, 9)
    assert poses.shape == (200, 2) and len(np.unique(poses, axis=0)) == 200
    rng = np.random.default_rng(0)
    for _ in range(property_examples(50)):
        real = _model.make_arm(0.7 + rng.uniform(-0.03, 0.03), 0.5 + rng.uniform(-0.03, 0.03), "positive", False)
        offsets = rng.uniform(-0.05, 0.05, 2)
        assert vb.fk(real, poses[:, 0] + offsets[0], poses[:, 1] + offsets[1])[1].all()
    limited = cal.suggest_poses(LEFT, 30, limits=((-0.5, 0.5), (0.0, 0.8)), seed=1)
    assert (np.abs(limited[:, 0]) <= 0.5).all() and ((limited[:, 1] >= 0) & (limited[:, 1] <= 0.8)).all()
    both = cal.suggest_poses(LEFT, 30, limits=(-0.5, 0.5), seed=1)
    assert np.array_equal(both, cal.suggest_poses(LEFT, 30, limits=((-0.5, 0.5), (-0.5, 0.5)), seed=1))
    # Chosen for the fit: a smaller covariance determinant than as many random poses that pass
    # the same margins.
    candidates = rng.uniform(-math.pi, math.pi, size=(4000, 2))
    candidates = candidates[_poses._usable(vb.FiveBar.from_arm(LEFT), *candidates.T)][:50]
    chosen = cal.fit_arm(poses[:50, 0], poses[:50, 1], directions=measure(truth(1), poses[:50], "d"))
    plain = cal.fit_arm(candidates[:, 0], candidates[:, 1], directions=measure(truth(1), candidates, "d"))
    assert np.linalg.det(chosen.covariance) < 0.1 * np.linalg.det(plain.covariance)


def test_import_without_scipy_names_the_extra():
    code = ("import sys; sys.modules['scipy'] = None\n"
            "try:\n    import velmora_torso_calibration\n"
            "except ImportError as error:\n    print(error)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert "pip install 'velmora_torso_kinematics[calibration]'" in out
