"""What a fit says about itself: convergence over several starts, any tracker frame, weights,
prediction and validation, the saved fit, and the check of BLAS's products."""

from __future__ import annotations

import functools
import json
import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from scipy.spatial.transform import Rotation

import velmora_torso_batch as vb
from conftest import property_examples

cal = pytest.importorskip("velmora_torso_calibration")
from velmora_torso_calibration import _blas, _fit, _model  # noqa: E402  (the internals under test)

NOISE = 1e-3
# Runs that draw fewer examples (memcheck and emulation, where every call costs
# 20 to 50 times as much) leave the campaigns over many seeds to the plain run:
# they are pure Python over batch calls that the other tests make there too.
many_fits = pytest.mark.skipif(property_examples(100) < 100, reason="many fits: left to the plain run")
FIT_SETTINGS = settings(max_examples=property_examples(20), deadline=None, derandomize=True)
NOMINAL = _model.make_arm(0.7, 0.5, "positive", False)


def solve(arm_arc, coupler_arc, theta_a, theta_b):
    """The pose of a left arm of positive branch with these arcs."""
    return _model.pose(_model.make_arm(arm_arc, coupler_arc, "positive", False), theta_a, theta_b)


@functools.cache
def suggested():
    """The 150 poses suggested for the nominal arm."""
    poses = cal.suggest_poses(NOMINAL, 150)
    poses.flags.writeable = False
    return poses


def campaign(seed, n, kind):
    """A user's campaign: random poses that close with margin on the real arm (arcs off by
    0.01 rad, offsets of 0.02-0.05 rad, a tracker turned by 1-5 degrees, 0.5-3 mrad of noise)."""
    rng = np.random.default_rng(seed)
    arcs = (0.7 + 0.01 * rng.choice([-1, 1]), 0.5 + 0.01 * rng.choice([-1, 1]))
    offsets = rng.uniform(0.02, 0.05, 2) * rng.choice([-1, 1], 2)
    axis = rng.normal(size=3)
    mount = Rotation.from_rotvec(axis / np.linalg.norm(axis) * math.radians(rng.uniform(1, 5))).as_matrix()
    noise = rng.uniform(0.5e-3, 3e-3)
    poses = np.zeros((0, 2))
    while len(poses) < n:
        candidates = rng.uniform(-math.pi, math.pi, size=(400, 2))
        solved = solve(*arcs, candidates[:, 0] + offsets[0], candidates[:, 1] + offsets[1])
        poses = np.concatenate([poses, candidates[solved.ok & (solved.closure >= 0.02)]])
    poses = poses[:n]
    solved = solve(*arcs, poses[:, 0] + offsets[0], poses[:, 1] + offsets[1])
    truth = np.r_[arcs, offsets, Rotation.from_matrix(mount).as_rotvec()]
    v3 = solved.v3 @ mount.T
    step = rng.normal(scale=noise / math.sqrt(2), size=v3.shape)
    step -= np.einsum("ni,ni->n", step, v3)[:, None] * v3
    if kind == "r":
        jitter = Rotation.from_rotvec(rng.normal(scale=noise / math.sqrt(3), size=(n, 3))).as_matrix()
        return poses, {"rotations": jitter @ mount @ solved.rotation}, truth, noise
    return poses, {"directions": v3 + step}, truth, noise


def said_not_converged(fit):
    return (not fit.converged and fit.warnings[0].startswith("The fit did not converge")
            and np.isinf(fit.std_errors).all() and not np.isfinite(fit.covariance).any())


# Campaigns in which a solve from the identity mount stops at a closure wall
# (each stalled the fit before it restarted), and the identity as that start.
STALLED = [(49, 100, "r"), (236, 100, "r"), (228, 60, "d")]


@many_fits
@pytest.mark.parametrize(("seed", "n", "kind"), STALLED)
def test_a_stalled_fit_says_so_and_restarts(monkeypatch, seed, n, kind):
    poses, data, truth, noise = campaign(seed, n, kind)
    start = {"mount": np.zeros(3)}
    with monkeypatch.context() as patch:
        patch.setattr(_fit, "STARTS", 1)
        stalled = cal.fit_arm(poses[:, 0], poses[:, 1], initial=start, **data)
    assert said_not_converged(stalled) and stalled.rms > 10 * noise
    assert np.isinf(stalled.predict_error(poses[:5, 0], poses[:5, 1])).all()
    fit = cal.fit_arm(poses[:, 0], poses[:, 1], initial=start, **data)
    assert fit.converged and not fit.warnings and fit.rms < 1.3 * noise and fit.cost < stalled.cost
    assert (np.abs(fit.parameters - truth) < 4 * fit.std_errors).all()


@many_fits
@FIT_SETTINGS
@given(seed=st.integers(0, 2**32 - 1), kind=st.sampled_from("dr"), n=st.sampled_from([30, 100]))
def test_campaigns_converge_or_say_so(seed, kind, n):
    poses, data, truth, noise = campaign(seed, n, kind)
    fit = cal.fit_arm(poses[:, 0], poses[:, 1], **data)
    assert fit.converged or said_not_converged(fit)
    if fit.converged:
        assert fit.rms < 1.5 * noise and (np.abs(fit.parameters - truth) < 5 * fit.std_errors).all()


@FIT_SETTINGS
@given(seed=st.integers(0, 2**32 - 1), evaluations=st.integers(1, 3))
def test_a_fit_cut_short_has_no_finite_error(seed, evaluations):
    poses, data, _, _ = campaign(seed, 40, "d")
    solver = _fit.least_squares

    def cut_short(*args, **kwargs):
        return solver(*args, **(kwargs | {"max_nfev": evaluations}))

    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(_fit, "least_squares", cut_short)
        fit = cal.fit_arm(poses[:, 0], poses[:, 1], **data)
    # One evaluation per solve never moves; more may reach the minimum over the restarts,
    # and then it must be the minimum.
    assert said_not_converged(fit) if evaluations == 1 else fit.converged or said_not_converged(fit)
    if fit.converged:
        whole = cal.fit_arm(poses[:, 0], poses[:, 1], **data)
        assert (np.abs(fit.parameters - whole.parameters) < 1e-3 * whole.std_errors).all()


def rotated(seed, angle, which, kind):
    """An arm off nominal (arcs 0.02, offsets 0.04) measured at the suggested poses by a
    tracker (or a sensor) turned by `angle` about a random axis, 1 mrad of noise."""
    rng = np.random.default_rng(seed)
    arcs = 0.7 + rng.uniform(-0.02, 0.02), 0.5 + rng.uniform(-0.02, 0.02)
    offsets = rng.uniform(-0.04, 0.04, 2)
    axis = rng.normal(size=3)
    turned = Rotation.from_rotvec(axis / np.linalg.norm(axis) * angle)
    small = Rotation.from_rotvec(rng.uniform(-0.05, 0.05, 3))
    mount, tool = (turned, small) if which == "mount" else (small, turned)
    solved = solve(*arcs, suggested()[:, 0] + offsets[0], suggested()[:, 1] + offsets[1])
    if kind == "d":
        v3 = solved.v3 @ mount.as_matrix().T
        step = rng.normal(scale=NOISE / math.sqrt(2), size=v3.shape)
        step -= np.einsum("ni,ni->n", step, v3)[:, None] * v3
        return {"directions": v3 + step}, mount, (arcs, offsets)
    jitter = Rotation.from_rotvec(rng.normal(scale=NOISE / math.sqrt(3), size=(len(v3 := solved.v3), 3)))
    return {"rotations": jitter.as_matrix() @ mount.as_matrix() @ solved.rotation @ tool.as_matrix(),
            "fit": ("arcs", "offsets", "mount", "tool")}, mount, (arcs, offsets)


@many_fits
@FIT_SETTINGS
@given(seed=st.integers(0, 2**32 - 1), case=st.sampled_from([("mount", "d"), ("mount", "r"), ("tool", "r")]))
def test_any_tracker_frame_converges(seed, case):
    data, mount, _ = rotated(seed, math.pi, *case)
    fit = cal.fit_arm(suggested()[:, 0], suggested()[:, 1], **data)
    assert fit.converged and not fit.warnings and fit.rms < 1.5 * NOISE
    assert (Rotation.from_matrix(fit.mount) * mount.inv()).magnitude() < 0.01


def test_a_wrong_mirror_turns_the_mount_half_way_about_z():
    data, _, _ = rotated(3, 0.05, "mount", "d")
    fit = cal.fit_arm(suggested()[:, 0], suggested()[:, 1], mirror=True, **data)
    turn = Rotation.from_matrix(fit.mount).as_rotvec()
    assert fit.converged and fit.rms < 1.5 * NOISE
    assert abs(np.linalg.norm(turn) - math.pi) < 0.1 and abs(turn[2]) > 0.99 * np.linalg.norm(turn)


def test_an_implausible_rms_blames_the_model_not_the_poses():
    data, _, _ = rotated(4, 0.05, "mount", "d")
    fit = cal.fit_arm(suggested()[:, 0], suggested()[:, 1], branch="negative", **data)
    assert fit.rms > _fit.IMPLAUSIBLE_RMS
    said = [w for w in fit.warnings if "far above any tracker's noise" in w]
    assert said and "'mirror' or 'branch' is wrong, not the poses" in said[0]


def weighted_campaign(seed):
    """The suggested poses measured with per-pose noise spread over 0.5-6 mrad."""
    rng = np.random.default_rng(seed)
    sigma = np.exp(rng.uniform(math.log(5e-4), math.log(6e-3), len(suggested())))
    arcs, offsets = (0.71, 0.49), (0.03, -0.02)
    solved = solve(*arcs, suggested()[:, 0] + offsets[0], suggested()[:, 1] + offsets[1])
    step = rng.normal(size=solved.v3.shape) * sigma[:, None]
    step -= np.einsum("ni,ni->n", step, solved.v3)[:, None] * solved.v3
    return solved.v3 + step, sigma, np.r_[arcs, offsets, 0.0, 0.0, 0.0]


@many_fits
def test_weighted_fits_against_known_noise():
    weighted_errors, plain_errors, inside, scale = [], [], [], []
    for seed in range(40):
        directions, sigma, truth = weighted_campaign(seed)
        weighted = cal.fit_arm(suggested()[:, 0], suggested()[:, 1], directions=directions, sigma=sigma)
        plain = cal.fit_arm(suggested()[:, 0], suggested()[:, 1], directions=directions)
        weighted_errors.append(weighted.parameters - truth)
        plain_errors.append(plain.parameters - truth)
        inside += list(np.abs(weighted.parameters - truth) <= 2 * weighted.std_errors)
        # Residuals in units of the known noise: two components per direction, 7 parameters.
        scale.append(2 * weighted.cost / (2 * len(sigma) - 7))
        # Only the ratios of sigma count.
        if seed == 0:
            doubled = cal.fit_arm(suggested()[:, 0], suggested()[:, 1], directions=directions, sigma=2 * sigma)
            assert np.allclose(doubled.parameters, weighted.parameters, atol=1e-12)
            assert np.allclose(doubled.std_errors, weighted.std_errors, rtol=1e-9)
    ratio = np.sqrt(np.mean(np.square(plain_errors), axis=0) / np.mean(np.square(weighted_errors), axis=0))
    assert (ratio > 1.2).all(), ratio
    assert 0.9 <= np.mean(inside) <= 0.99 and 0.9 < np.mean(scale) < 1.1


@many_fits
def test_noisier_poses_with_their_sigma_are_not_outliers():
    rng = np.random.default_rng(7)
    noisy = rng.random(len(suggested())) < 0.2
    sigma = np.where(noisy, 5e-3, 1e-3)
    solved = solve(0.71, 0.49, suggested()[:, 0], suggested()[:, 1])
    step = rng.normal(size=solved.v3.shape) * sigma[:, None] / math.sqrt(2)
    directions = solved.v3 + step - np.einsum("ni,ni->n", step, solved.v3)[:, None] * solved.v3
    directions[::25] = rng.normal(size=(len(directions[::25]), 3))  # lost targets
    fit = cal.fit_arm(suggested()[:, 0], suggested()[:, 1], directions=directions, sigma=sigma, loss="soft_l1",
                      f_scale=3.0)
    lost = np.zeros(len(suggested()), dtype=bool)
    lost[::25] = True
    assert lost[fit.outliers].all() and fit.outliers[lost].all()


@pytest.fixture(scope="module")
def fits():
    poses, data, _, _ = campaign(5, 80, "r")
    line = np.linspace(-0.6, 0.6, 50)
    return {
        "directions": cal.fit_arm(suggested()[:, 0], suggested()[:, 1], sigma=np.linspace(1e-3, 2e-3, 150),
                                  **rotated(1, 0.3, "mount", "d")[0]),
        "rotations": cal.fit_arm(poses[:, 0], poses[:, 1], fit=("arcs", "offsets", "mount", "tool"), **data),
        "undetermined": cal.fit_arm(np.zeros(50), line, directions=solve(0.7, 0.5, np.zeros(50), line).v3),
        "robust": cal.fit_arm(poses[:, 0], poses[:, 1], loss="huber", initial={"offsets": (0.01, 0.0)},
                              fit=("arcs", "mount"), **data),
        "general": cal.fit_arm(poses[:, 0], poses[:, 1], initial={"scales": (1.0, 1.002)},
                               fit=("link_arcs", "base_angle", "offsets", "mount", "tool"), **data),
    }


@pytest.mark.parametrize("name", ["directions", "rotations", "undetermined", "robust", "general"])
def test_a_saved_fit_loads_bit_for_bit(fits, name):
    fit = fits[name]
    text = fit.to_json()
    json.loads(text, parse_constant=lambda word: pytest.fail(f"non-standard JSON: {word}"))
    back = cal.ArmFit.from_json(text)
    for field in fit.__dataclass_fields__:
        mine, theirs = getattr(fit, field), getattr(back, field)
        if isinstance(mine, np.ndarray):
            assert mine.dtype == theirs.dtype and mine.tobytes() == theirs.tobytes(), field
            assert not theirs.flags.writeable
        elif field != "arm":
            assert mine == theirs or (isinstance(mine, float) and math.isnan(mine) and math.isnan(theirs)), field
    assert back.to_json() == text
    readings = suggested()[:20].T
    assert np.array_equal(back.apply(*readings), fit.apply(*readings))
    assert np.array_equal(back.predict_error(*readings), fit.predict_error(*readings), equal_nan=True)
    assert np.array_equal(vb.direction(back.arm, 0.3, -0.2)[0], vb.direction(fit.arm, 0.3, -0.2)[0])


def test_undetermined_parameters_named_are_infinite(fits):
    fit = fits["undetermined"]
    named = {name for warning in fit.warnings if warning.startswith("The data do not determine")
             for name in fit.parameter_names if name in warning.split(":")[0]}
    assert named and all(np.isinf(fit.std_errors[fit.parameter_names.index(name)]) for name in named)


def test_predicted_error_matches_the_spread_of_the_fitted_arm(fits):
    fit = fits["directions"]
    readings = suggested()[::10].T
    predicted = fit.predict_error(*readings)
    # Arms drawn from the estimate's covariance point where, around the fitted one?
    rng = np.random.default_rng(0)
    draws = rng.multivariate_normal(fit.parameters, fit.covariance, size=400)
    spread = []
    for draw in draws:
        moved = solve(draw[0], draw[1], readings[0] + draw[2], readings[1] + draw[3])
        spread.append(moved.v3)
    centre = solve(*fit.parameters[:2], *fit.apply(*readings)).v3
    empirical = np.sqrt(np.mean(np.sum((np.array(spread) - centre) ** 2, axis=-1), axis=0))
    assert np.allclose(predicted, empirical, rtol=0.15)
    assert predicted.shape == (15,) and fit.predict_error(0.1, [[0.0], [0.2]]).shape == (2, 1)
    assert math.isnan(fit.predict_error(0.0, math.pi / 2)[()])


def test_validation_of_held_out_poses(fits):
    fit = fits["directions"]
    data, mount, (arcs, offsets) = rotated(1, 0.3, "mount", "d")
    # The fit's own samples give its residuals back (the mount through its matrix).
    residuals, rms = fit.validate(suggested()[:, 0], suggested()[:, 1], directions=data["directions"])
    assert np.allclose(residuals, fit.residuals, rtol=0, atol=1e-14) and rms == pytest.approx(fit.rms, rel=1e-9)
    # Poses it did not see, one where the loop does not close, measured with 1 mrad of noise:
    # the held-out rms is the noise and the fitted arm's own error together.
    held = np.r_[np.random.default_rng(2).uniform(-0.5, 0.5, size=(200, 2)), [[0.0, math.pi / 2]]]
    v3 = solve(*arcs, held[:, 0] + offsets[0], held[:, 1] + offsets[1]).v3
    v3[-1] = (0.0, 0.0, 1.0)
    step = np.random.default_rng(3).normal(scale=NOISE / math.sqrt(2), size=v3.shape)
    step -= np.einsum("ni,ni->n", step, v3)[:, None] * v3
    residuals, rms = fit.validate(held[:, 0], held[:, 1], directions=(v3 + step) @ mount.as_matrix().T)
    assert math.isnan(residuals[-1]) and np.isfinite(residuals[:-1]).all()
    expected = math.sqrt(NOISE**2 + np.mean(fit.predict_error(held[:-1, 0], held[:-1, 1]) ** 2))
    assert rms == pytest.approx(expected, rel=0.15)


def test_broken_blas_products_stop_the_fit():
    assert _blas.product_error(np.matmul) < _blas.PRODUCT_TOLERANCE
    with pytest.raises(RuntimeError, match="OPENBLAS_CORETYPE") as error:
        _blas.check_products(lambda a, b: np.matmul(a, b) + (a.shape[0] >= 64) * 1e-6)
    assert "core" in str(error.value) and "no fit is made" in str(error.value)
    with pytest.raises(RuntimeError, match="OPENBLAS_CORETYPE"):
        _blas.check_products(lambda a, b: np.full((a.shape[0], b.shape[1]), np.nan))


@pytest.mark.parametrize("scale", [1e-10, 1e200])
def test_a_direction_of_any_length_fits_as_its_unit(fits, scale):
    data, _, _ = rotated(1, 0.3, "mount", "d")
    sigma = np.linspace(1e-3, 2e-3, 150)
    fit = cal.fit_arm(suggested()[:, 0], suggested()[:, 1], directions=scale * data["directions"], sigma=sigma)
    # Normalising a scaled direction can move it by an ulp, and the solver's path with it:
    # the estimate agrees far below the noise (about 1e-12 on x86_64, more on aarch64).
    assert np.allclose(fit.parameters, fits["directions"].parameters, rtol=0, atol=1e-9)
