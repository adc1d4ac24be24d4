"""The followers through the Python surface: follow() is the loop of
ArmFollower.step, every row is a command that can be sent, and a teleoperation
stream keeps both arms moving wherever their targets are reachable."""

from __future__ import annotations

import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import velmora_torso_batch as vb
import velmora_torso_kinematics as vtk
from batch_helpers import arms, assert_same
from conftest import property_examples

STATUS = {"tracking": vb.TRACKING, "approaching": vb.APPROACHING, "holding": vb.HOLDING,
          "saturated": vb.SATURATED}
LEFT = vtk.VelmoraArmKinematics.default_left()
RIGHT = vtk.VelmoraArmKinematics.default_right()


def joint_distances(pairs, start):
    """Each step's length, as near measures it: sqrt(da^2 + db^2)."""
    d = np.diff(np.vstack([start, pairs]), axis=0)
    return np.sqrt(d[:, 0] * d[:, 0] + d[:, 1] * d[:, 1])


def stream(rng, arm, steps):
    """A random walk's pointing directions, with stretches of arbitrary
    (often unreachable) directions and NaN bursts."""
    walk = np.cumsum(rng.normal(0.0, 0.04, size=(steps, 2)), axis=0)
    directions, ok = vb.direction(arm, walk[:, 0], walk[:, 1])
    directions[~ok] = [0.0, 0.0, -1.0]
    start = int(rng.integers(0, steps))
    directions[start:start + 30] = rng.normal(size=3)
    burst = int(rng.integers(0, steps))
    directions[burst:burst + 4] = np.nan
    return directions


@settings(max_examples=property_examples(25), deadline=None)
@given(arm=arms, seed=st.integers(0, 2**32 - 1), max_step=st.floats(0.005, 0.3),
       bounded=st.booleans(), damping=st.sampled_from([0.0, 0.05, 0.5]),
       margin=st.sampled_from([0.0, 0.02, 0.1]), change=st.sampled_from([None, 0.02, 0.3]))
def test_follow_is_the_step_loop_and_every_row_is_a_command(arm, seed, max_step, bounded, damping, margin, change):
    max_step_change = None if change is None else change * max_step
    rng = np.random.default_rng(seed)
    starts = [p for p in rng.uniform(-1, 1, size=(20, 2)).tolist() if arm.is_reachable_joints(*p)][:2]
    if not starts:
        return
    limits = None
    if bounded:
        a, b = starts[0]
        limits = ((a - 0.8, a + rng.uniform(0.1, 1.0)), (b - rng.uniform(0.1, 1.0), b + 0.8))
        starts = [p for p in starts if limits[0][0] <= p[0] <= limits[0][1] and limits[1][0] <= p[1] <= limits[1][1]]
    directions = np.stack([stream(rng, arm, 120) for _ in starts])
    keywords = dict(max_step=max_step, limits=limits, damping=damping, margin=margin, max_step_change=max_step_change)
    pairs, status = vb.follow(arm, directions, starts, **keywords)
    for k, start in enumerate(starts):
        follower = vb.ArmFollower(arm, start, **keywords)
        stepped = [follower.step(d.tolist()) for d in directions[k]]
        assert_same(pairs[k], np.array([pair for pair, _ in stepped]))
        assert status[k].tolist() == [STATUS[name] for _, name in stepped]
        assert np.all(joint_distances(pairs[k], start) <= max_step)
        steps = np.diff(np.vstack([start, start, pairs[k]]), axis=0)  # at rest before the first
        if max_step_change is not None:
            assert np.all(joint_distances(steps[1:], steps[0]) <= max_step_change)
        # The margin is kept once reached, and below it only grows.
        margins = vb.closure_margin(arm, pairs[k][:, 0], pairs[k][:, 1])
        history = np.concatenate([[vb.closure_margin(arm, *start)], margins])
        reached = np.maximum.accumulate(history >= margin)
        assert np.all(margins[reached[1:]] >= margin)
        moved = np.any(steps[1:] != 0, axis=1)
        assert np.all(np.diff(history)[moved & ~reached[:-1]] > 0)
        assert np.isfinite(pairs[k]).all() and vb.fk(arm, pairs[k][:, 0], pairs[k][:, 1])[1].all()
        if limits is not None:
            assert np.all((pairs[k] >= [limits[0][0], limits[1][0]]) & (pairs[k] <= [limits[0][1], limits[1][1]]))
        assert np.all(status[k][np.isnan(directions[k]).any(axis=1)] == vb.HOLDING)


def test_teleoperation_keeps_both_arms_moving_and_the_neck_within_its_step():
    """20 s at 500 Hz: a tracker's target sweeps in and out of both arms' reach
    with 1 mrad of jitter, and the head turns across yaw pi and through the
    gimbal-lock band."""
    rng = np.random.default_rng(18)
    t = np.arange(10_000) / 500.0
    max_step = 4.0 / 500.0  # 4 rad/s motors
    jitter = rng.normal(0.0, 1e-3, size=(t.size, 3))
    # About the middle of the left arm's workspace, out to where it ends.
    centre, across, up = np.array([0.6, 0.25, 0.6]), np.array([1.0, 0.0, -1.0]), np.array([-0.25, 1.2, -0.25])
    sweep = centre + np.sin(0.7 * t)[:, None] * 0.3 * across + np.sin(0.45 * t + 1.0)[:, None] * 0.36 * up
    for arm, mirror in ((LEFT, [1, 1, 1]), (RIGHT, [-1, -1, 1])):
        targets = (sweep + jitter) * mirror
        start = arm.ik_from_direction(targets[0].tolist()) if arm.is_reachable_direction(targets[0].tolist()) else (0.0, 0.0)
        pairs, status = vb.follow(arm, targets, start, max_step=max_step)
        reachable = vb.direction_solutions(arm, targets)[1] > 0
        previous = np.vstack([start, pairs[:-1]])
        still = np.all(pairs == previous, axis=1)
        frozen = (status == vb.HOLDING) | ((status != vb.TRACKING) & still)
        assert 0.3 < reachable.mean() < 0.9  # the stream does leave reach
        assert (frozen & reachable).mean() <= 0.01, (frozen & reachable).mean()

    head = np.stack([4.0 * np.sin(0.2 * t), 1.3 + 0.5 * np.sin(0.9 * t), 0.3 * np.sin(0.5 * t)], axis=-1)
    rotations = vb.neck_fk(head + jitter)
    neck = vb.NeckFollower(tuple(head[0]), max_step=max_step)
    angles = np.array([neck.step(r.tolist())[0] for r in rotations])
    assert np.abs(np.diff(angles, axis=0)).max() <= max_step
    # Continuous across the band: the command keeps up with the head's rotation.
    reached = np.abs(vb.neck_fk(angles) - rotations).max(axis=(1, 2))
    assert np.median(reached) < 1e-9 and reached.max() < 0.5


@pytest.mark.parametrize("make, error, message", [
    (lambda: vb.ArmFollower(LEFT, (0.3, -0.2), max_step=0.0), ValueError,
     "ArmFollower(): 'max_step' must be a positive finite number, not 0.0"),
    (lambda: vb.ArmFollower(LEFT, (0.3, -0.2), max_step=math.inf), ValueError,
     "ArmFollower(): 'max_step' must be a positive finite number, not inf"),
    (lambda: vb.ArmFollower(LEFT, (0.3, -0.2), max_step="1"), TypeError,
     "ArmFollower(): 'max_step' must be a real number, not 'str'"),
    (lambda: vb.ArmFollower(LEFT, (0.3, -0.2), max_step=0.1, damping=math.nan), ValueError,
     "ArmFollower(): 'damping' must be a non-negative finite number, not nan"),
    (lambda: vb.ArmFollower(LEFT, (0.3, -0.2, 0.0), max_step=0.1), ValueError,
     "ArmFollower(): 'start' must be a sequence of 2 real numbers, not 3"),
    (lambda: vb.ArmFollower(LEFT, (0.0, math.pi), max_step=0.1), ValueError,
     "ArmFollower(): 'start' must be a finite pair inside 'limits' at which the loop closes, not (0.0, 3.141592653589793)"),
    (lambda: vb.ArmFollower(LEFT, (0.3, -0.2), max_step=0.1, limits=((0.5, 1), (-1, 1))), ValueError,
     "ArmFollower(): 'start' must be a finite pair inside 'limits' at which the loop closes, not (0.3, -0.2)"),
    (lambda: vb.ArmFollower(vtk.VelmoraNeckKinematics(), (0.3, -0.2), max_step=0.1), TypeError,
     "ArmFollower(): 'arm' must be a velmora_torso_kinematics.VelmoraArmKinematics or a velmora_torso_batch.FiveBar, not 'VelmoraNeckKinematics'"),
    (lambda: vb.ArmFollower(LEFT, (0.3, -0.2), max_step=0.1).step("abc"), TypeError,
     "ArmFollower.step(): 'direction' must hold real numbers, not an array of dtype <U3"),
    (lambda: vb.ArmFollower(LEFT, (0.3, -0.2), max_step=0.1).step([[0.0, 0.0, 1.0]]), ValueError,
     "ArmFollower.step(): 'direction' must have shape (3,), not (1, 3)"),
    (lambda: vb.ArmFollower(LEFT, (0.3, -0.2), max_step=0.1).step(np.array([0.0, 1j, 1.0])), TypeError,
     "ArmFollower.step(): 'direction' must hold real numbers, not an array of dtype complex128"),
    (lambda: vb.ArmFollower(LEFT, (0.3, -0.2), max_step=0.1).reset((math.nan, 0.0)), ValueError,
     "ArmFollower.reset(): 'pair' must be a finite pair inside 'limits' at which the loop closes, not (nan, 0.0)"),
    (lambda: vb.follow(LEFT, np.zeros((2, 2, 3)), [(0.3, -0.2), (0.0, math.pi)], max_step=0.1), ValueError,
     "follow(): 'start' must be finite pairs inside 'limits' at which the loop closes, not "
     "[(0.3, -0.2), (0.0, 3.141592653589793)]"),
    (lambda: vb.NeckFollower((0.0, 0.0, 0.0), max_step=-1.0), ValueError,
     "NeckFollower(): 'max_step' must be a positive finite number, not -1.0"),
    (lambda: vb.NeckFollower((0.0, 2.0, 0.0), max_step=0.1, limits=((-1, 1), (-1, 1), (-1, 1))), ValueError,
     "NeckFollower(): 'start' must be finite angles inside 'limits', not (0.0, 2.0, 0.0)"),
    (lambda: vb.NeckFollower((0.0, 0.0, 0.0), max_step=0.1).step([[1, 0, 0], [0, 1, 0]]), ValueError,
     "NeckFollower.step(): 'rotation' must have shape (3, 3), not (2, 3)"),
    (lambda: vb.NeckFollower((0.0, 0.0, 0.0), max_step=0.1).step(np.eye(3, dtype=np.complex64)), TypeError,
     "NeckFollower.step(): 'rotation' must hold real numbers, not an array of dtype complex64"),
    (lambda: vb.NeckFollower((0.0, 0.0, 0.0), max_step=0.1).step(0.5), ValueError,
     "NeckFollower.step(): 'rotation' must have shape (3, 3), not ()"),
    (lambda: vb.NeckFollower((0.0, 0.0, 0.0), max_step=0.1, max_step_change=0.0), ValueError,
     "NeckFollower(): 'max_step_change' must be a positive finite number or None, not 0.0"),
    (lambda: vb.NeckFollower((0.0, 0.0, 0.0), max_step=0.1).configure(max_step=0.2, limits=((0, 1),)), TypeError,
     "NeckFollower.configure(): 'limits' must be ((yaw_min, yaw_max), (pitch_min, pitch_max), (roll_min, roll_max)) "
     "or None, not 'tuple'"),
    (lambda: vb.NeckFollower((0.0, 0.0, 0.0), max_step=0.1).configure(step=0.2), TypeError,
     "NeckFollower.configure() got an unexpected keyword argument 'step'"),
    (lambda: vb.neck_follow(np.eye(3)[None], [(0.0, 0.0, 0.0), (0.0, 2.0, 0.0)], max_step=0.1,
                            limits=((-1, 1), (-1, 1), (-1, 1))), ValueError,
     "neck_follow(): 'start' must be finite angles inside 'limits', not [(0.0, 0.0, 0.0), (0.0, 2.0, 0.0)]"),
    (lambda: vb.neck_follow(np.eye(3), (0.0, 0.0, 0.0), max_step=0.1), ValueError,
     "neck_follow(): 'rotations' must have shape (..., T, 3, 3), not (3, 3)"),
])
def test_bad_arguments_are_refused(make, error, message):
    with pytest.raises(error) as raised:
        make()
    assert str(raised.value) == message


def test_a_reset_follower_moves_from_its_new_pair_and_the_neck_holds_on_nan():
    follower = vb.ArmFollower(LEFT, (0.3, -0.2), max_step=0.05)
    follower.reset((0.31, -0.21))
    assert follower.pair == (0.31, -0.21)
    assert follower.step(LEFT.direction(0.3, -0.2)) == (follower.pair, "tracking")
    neck = vb.NeckFollower((0.1, 0.2, 0.3), max_step=0.05, limits=((-1, 1), (-1, 1), (-1, 1)))
    assert neck.step(np.full((3, 3), np.nan).tolist()) == ((0.1, 0.2, 0.3), "holding")
    # A head beyond the yaw limit: the neck stops at the limit, saturated there.
    head = vb.neck_fk([2.0, 0.2, 0.3]).tolist()
    statuses = [neck.step(head)[1] for _ in range(30)]
    assert neck.angles == (1.0, 0.2, 0.3) and statuses[-1] == "saturated" and "approaching" in statuses


def braking_path_kept(arm, pairs, steps, change, limits, margin):
    """Whether the pairs a follower would pass braking from each command (slowing
    by `change` a tick) keep the limits and the margin."""
    for pair, step in zip(pairs, steps):
        speed = math.sqrt(step @ step)
        slower = np.arange(speed - change, 0.0, -change)
        if speed == 0.0 or slower.size == 0:
            continue
        path = pair + np.cumsum(slower)[:, None] * (step / speed)
        if limits is not None and not np.all((path >= [limits[0][0], limits[1][0]]) &
                                             (path <= [limits[0][1], limits[1][1]])):
            return False
        # Sampled between commands at 0.02: a hair of rounding allowed at the margin's edge.
        if not np.all(vb.closure_margin(arm, path[:, 0], path[:, 1]) >= margin - 1e-9):
            return False
    return True


@settings(max_examples=property_examples(25), deadline=None)
@given(arm=arms, seed=st.integers(0, 2**32 - 1), max_step=st.floats(0.01, 0.1),
       change=st.sampled_from([None, 0.05, 0.3, 1.0]), bounded=st.booleans())
def test_a_static_target_is_reached_at_its_global_best_without_reversing(arm, seed, max_step, change, bounded):
    rng = np.random.default_rng(seed)
    starts = [p for p in rng.uniform(-1.5, 1.5, size=(40, 2)).tolist() if arm.is_reachable_joints(*p)]
    if not starts:
        return
    start = starts[0]
    limits = None
    if bounded:
        limits = ((start[0] - rng.uniform(0.1, 1.5), start[0] + rng.uniform(0.1, 1.5)),
                  (start[1] - rng.uniform(0.1, 1.5), start[1] + rng.uniform(0.1, 1.5)))
    max_step_change = None if change is None else change * max_step
    target = rng.normal(size=3)
    follower = vb.ArmFollower(arm, start, max_step=max_step, limits=limits, max_step_change=max_step_change)
    pairs, status = vb.follow(arm, np.broadcast_to(target, (2500, 3)), start, max_step=max_step, limits=limits,
                              max_step_change=max_step_change)
    steps = np.diff(np.vstack([start, pairs]), axis=0)
    lengths = np.sqrt((steps * steps).sum(axis=1))
    assert lengths[-1] == 0.0 and status[-1] in (vb.TRACKING, vb.SATURATED)
    long = lengths > max_step / 4
    against = (steps[1:] * steps[:-1]).sum(axis=1) < 0
    assert not np.any(against & long[1:] & long[:-1])
    goal, _, best = vb.nearest_reachable(arm, target, limits=limits, margin=follower.margin)
    reached = angle_between(vb.direction(arm, *pairs[-1])[0], target)
    if vb.closure_margin(arm, *start) >= follower.margin and max_step_change is not None:
        assert braking_path_kept(arm, pairs, steps, max_step_change, limits, follower.margin)
    # Wherever the goal is joined to the start by a way through the admissible set
    # at least a route cell wide, the follower gets there, round whatever lies
    # between: the global best, and at rest there.
    if best > 0.0 and joined(arm, start, goal, limits, follower.margin):
        assert reached <= best + 1e-6 and status[-1] == vb.SATURATED, (reached, best)
    if best == 0.0 and status[-1] == vb.TRACKING:
        assert reached < 1e-6


def joined(arm, start, goal, limits, margin, points=120, width=3):
    """Whether start and goal lie in one part of the admissible set thickened
    away from its edges: on a grid of the joint plane (one turn of each angle, a
    torus, or the limits' box), the pairs whose every neighbour within `width`
    points keeps the margin with 0.005 to spare, walked 8-connected from the
    start; the goal counts as joined when such a pair lies within 0.2 rad of it
    with a straight way to it that keeps the margin."""
    periodic = limits is None
    lows, highs = ((-math.pi, -math.pi), (math.pi, math.pi)) if periodic else zip(*limits)
    axes = [np.linspace(low, high, points, endpoint=not periodic) for low, high in zip(lows, highs)]
    a, b = np.meshgrid(*axes, indexing="ij")
    margins = vb.closure_margin(arm, a.ravel(), b.ravel()).reshape(a.shape)
    wide = margins >= margin + 0.005  # NaN (not closing) is not admissible
    for axis in (0, 1):  # thinned by `width` points on every side
        shifted = wide.copy()
        for k in range(1, width + 1):
            for sign in (1, -1):
                moved = np.roll(wide, sign * k, axis=axis)
                if not periodic:
                    edge = [slice(None)] * 2
                    edge[axis] = slice(0, k) if sign > 0 else slice(-k, None)
                    moved[tuple(edge)] = False
                shifted &= moved
        wide = shifted
    spacing = [(high - low) / (points if periodic else points - 1) for low, high in zip(lows, highs)]
    place = [int(round((x - low) / step)) for x, low, step in zip(start, lows, spacing)]
    if periodic:
        place = [p % points for p in place]
    if not all(0 <= p < points for p in place) or not wide[tuple(place)]:
        return False
    seen = np.zeros_like(wide)
    seen[tuple(place)] = True
    todo = [tuple(place)]
    while todo:
        i, j = todo.pop()
        for di in (-1, 0, 1):
            for dj in (-1, 0, 1):
                ni, nj = i + di, j + dj
                if periodic:
                    ni, nj = ni % points, nj % points
                elif not (0 <= ni < points and 0 <= nj < points):
                    continue
                if wide[ni, nj] and not seen[ni, nj]:
                    seen[ni, nj] = True
                    todo.append((ni, nj))
    da, db = goal[0] - a, goal[1] - b
    if periodic:
        da, db = np.angle(np.exp(1j * da)), np.angle(np.exp(1j * db))
    near = seen & (np.sqrt(da * da + db * db) <= 0.2)
    if not near.any():
        return False
    # ... and from one of them the straight way to the goal keeps the margin.
    t = np.linspace(0.0, 1.0, 20)[:, None]
    ways_a = a[near][None, :] + t * da[near][None, :]
    ways_b = b[near][None, :] + t * db[near][None, :]
    kept = vb.closure_margin(arm, ways_a.ravel(), ways_b.ravel()).reshape(ways_a.shape) >= margin
    return bool(np.any(kept.all(axis=0)))


def angle_between(v, target):
    target = np.asarray(target) / np.linalg.norm(target)
    return math.atan2(np.linalg.norm(np.cross(v, target)), float(v @ target))


@settings(max_examples=property_examples(40), deadline=None)
@given(seed=st.integers(0, 2**32 - 1), distance=st.floats(0.01, 1.5), max_step=st.floats(0.002, 0.05),
       change=st.floats(0.01, 1.0))
def test_from_rest_a_straight_reach_takes_the_time_optimal_ticks(seed, distance, max_step, change):
    rng = np.random.default_rng(seed)
    start = rng.uniform(-1, 1, 2)
    heading = rng.normal(size=2)
    goal = start + distance * heading / np.linalg.norm(heading)
    line = start + np.linspace(0, 1, 200)[:, None] * (goal - start)
    if not np.min(vb.closure_margin(LEFT, line[:, 0], line[:, 1])) >= 0.03:
        return
    target = vb.direction(LEFT, *goal)[0]
    nearest, _ = vb.ik_from_direction(LEFT, target, start, margin=0.02)
    if not np.allclose(nearest, goal, atol=1e-9):
        return
    max_step_change = change * max_step
    # Rest to rest under both bounds: accelerate, cruise, brake (continuous time, in ticks).
    if distance >= max_step * max_step / max_step_change:
        optimal = distance / max_step + max_step / max_step_change
    else:
        optimal = 2.0 * math.sqrt(distance / max_step_change)
    follower = vb.ArmFollower(LEFT, tuple(start), max_step=max_step, max_step_change=max_step_change)
    for tick in range(1, 10 * math.ceil(optimal) + 10):
        _, status = follower.step(target)
        if status == "tracking" and follower.velocity == (0.0, 0.0):
            break
    # At rest on the target: one tick after the last step.
    assert tick - 1 <= 1.1 * optimal + 2


def test_settings_read_back_change_together_and_new_limits_are_walked_into():
    follower = vb.ArmFollower(LEFT, (0.3, -0.2), max_step=0.01, limits=((-1, 1), (-1, 1)), max_step_change=0.001)
    assert (follower.max_step, follower.max_step_change, follower.limits, follower.margin, follower.damping) == (
        0.01, 0.001, ((-1.0, 1.0), (-1.0, 1.0)), 0.02, 0.05)
    with pytest.raises(ValueError, match="'margin' must be a non-negative finite number"):
        follower.configure(max_step=0.02, margin=-1.0)
    assert follower.max_step == 0.01  # nothing changed
    with pytest.raises(TypeError, match="unexpected setting 'speed'"):
        follower.configure(speed=1.0)
    follower.configure(max_step=0.02, max_step_change=None, limits=((0.5, 1.0), (-1.0, 1.0)))
    assert (follower.max_step, follower.max_step_change, follower.limits) == (0.02, None, ((0.5, 1.0), (-1.0, 1.0)))
    here = LEFT.direction(0.3, -0.2)
    walked = [follower.step(here) for _ in range(40)]
    theta_a = [pair[0] for pair, _ in walked]
    assert all(b >= a for a, b in zip(theta_a, theta_a[1:])) and theta_a[-1] >= 0.5
    assert walked[-1][0][0] <= 1.0 and walked[-1][1] in ("tracking", "saturated")


def test_copies_and_pickles_continue_bit_for_bit():
    import copy
    import pickle
    follower = vb.ArmFollower(LEFT, (0.3, -0.2), max_step=0.01, limits=((-1.5, 1.5), (-1.5, 1.2)),
                              max_step_change=0.0005)
    target = [0.0, -1.0, 0.0]
    for _ in range(7):
        follower.step(target)
    assert follower.velocity != (0.0, 0.0)
    copies = [copy.copy(follower), copy.deepcopy(follower), pickle.loads(pickle.dumps(follower))]
    expected = [follower.step(target) for _ in range(50)]
    for other in copies:
        assert [other.step(target) for _ in range(50)] == expected
    follower.reset((0.3, -0.2))
    assert follower.velocity == (0.0, 0.0)


@pytest.mark.parametrize("direction, status", [
    ([math.nan, 0.0, 1.0], "holding"), ([0.0, 0.0, 1e-13], "holding"), ([math.inf, 0.0, 0.0], "holding"),
    ([0.0, 0.0, 1e-12], "approaching"),
])
def test_what_holds_and_that_a_hold_brakes_to_rest(direction, status):
    follower = vb.ArmFollower(LEFT, (0.3, -0.2), max_step=0.01, max_step_change=0.002)
    for _ in range(5):
        follower.step(LEFT.direction(0.6, 0.2))
    speed = math.hypot(*follower.velocity)
    results = [follower.step(direction) for _ in range(10)]
    assert results[0][1] == status
    if status == "holding":
        speeds = [math.hypot(*follower.velocity)]
        assert speed > 0.002 and all(s == "holding" for _, s in results) and speeds[-1] == 0.0


def test_the_locked_loop_is_no_resting_place():
    """An out-of-reach target used to park the arm where the loop locks."""
    follower = vb.ArmFollower(LEFT, (0.3, -0.2), max_step=0.008)
    for _ in range(400):
        pair, status = follower.step([0.0, -1.0, 0.0])
    assert status == "saturated" and vb.jacobian(LEFT, *pair)[2]
    assert vb.closure_margin(LEFT, *pair) >= 0.02
