"""The checks of the calibration's arguments: each bad input a ValueError naming it."""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence

import numpy as np
import numpy.typing as npt
from scipy.spatial.transform import Rotation  # type: ignore[import-untyped]

from ._model import GROUPS, Array

Bools = npt.NDArray[np.bool_]

# A measured rotation may be off orthonormal by this much (largest element of
# R^T R - I): a tracker's rounding, not a wrong kind of matrix.
ROTATION_TOLERANCE = 1e-6
# A direction shorter than this has no direction (the core's own limit).
SHORTEST_DIRECTION = 1e-12


def fail(where: str, message: str) -> ValueError:
    return ValueError(f"{where}(): {message}")


def floats(where: str, name: str, value: object) -> Array:
    """Real numbers as a float array, or an error naming the argument."""
    if value is None or isinstance(value, (str, bytes)):
        raise fail(where, f"'{name}' must be an array of real numbers, not {value!r:.40}")
    try:
        array = np.asarray(value)
    except (TypeError, ValueError) as error:
        raise fail(where, f"'{name}' must be an array of real numbers ({error})") from None
    if array.dtype.kind not in "iuf":
        raise fail(where, f"'{name}' must hold real numbers, not {array.dtype} values")
    return np.asarray(array, dtype=float)


def finite(where: str, name: str, values: Array) -> None:
    bad = ~np.isfinite(values).all(axis=tuple(range(1, values.ndim)))
    if bad.any():
        raise fail(where, f"'{name}' holds a non-finite value (sample {int(np.argmax(bad))})")


def readings(where: str, name: str, value: object) -> Array:
    array = floats(where, name, value)
    if array.ndim != 1:
        raise fail(where, f"'{name}' must be a 1-D array of joint readings, not shape {array.shape}")
    finite(where, name, array)
    return array


def _rotation_errors(array: Array) -> Bools:
    gram = np.einsum("...ji,...jk->...ik", array, array) - np.eye(3)
    return np.asarray(~((np.abs(gram).max(axis=(-2, -1)) <= ROTATION_TOLERANCE) & (np.linalg.det(array) > 0.0)))


def measurements(where: str, name: str, value: object, count: int) -> Array:
    array = floats(where, name, value)
    tail = (3,) if name == "directions" else (3, 3)
    if array.shape != (count,) + tail:
        raise fail(where, f"'{name}' must have shape {(count,) + tail} (one per joint reading), not {array.shape}")
    finite(where, name, array)
    if name == "directions":
        largest = np.abs(array).max(axis=-1, initial=0.0)
        safe = np.where(largest > 0.0, largest, 1.0)
        short = ~(largest * np.linalg.norm(array / safe[:, None], axis=-1) >= SHORTEST_DIRECTION)
        if short.any():
            raise fail(where, f"'directions' holds a zero direction (sample {int(np.argmax(short))})")
    else:
        bad = _rotation_errors(array)
        if bad.any():
            raise fail(where, f"'rotations' holds a matrix that is not a rotation within {ROTATION_TOLERANCE:g} "
                               f"(sample {int(np.argmax(bad))})")
    return array


def data(where: str, theta_a: object, theta_b: object, directions: object, rotations: object
          ) -> tuple[Array, Array, Array | None, Array | None]:
    readings_a, readings_b = readings(where, "theta_a", theta_a), readings(where, "theta_b", theta_b)
    count = readings_a.shape[0]
    if readings_b.shape[0] != count:
        raise fail(where, f"'theta_b' has {readings_b.shape[0]} samples, 'theta_a' {count}")
    if (directions is None) == (rotations is None):
        raise fail(where, "give exactly one of 'directions' and 'rotations'")
    measured_directions = None if directions is None else measurements(where, "directions", directions, count)
    measured_rotations = None if rotations is None else measurements(where, "rotations", rotations, count)
    return readings_a, readings_b, measured_directions, measured_rotations


def groups(fit: object, rotations_given: bool, where: str = "fit_arm") -> tuple[str, ...]:
    if isinstance(fit, str):
        groups: tuple[object, ...] = (fit,)
    elif isinstance(fit, Sequence):
        groups = tuple(fit)
    else:
        raise fail(where, f"'fit' must be a sequence of group names, not {fit!r}")
    for group in groups:
        if group not in GROUPS:
            raise fail(where, f"'fit' names an unknown group {group!r}: choose from "
                              f"{', '.join(map(repr, GROUPS))}")
    if not groups or len(set(groups)) != len(groups):
        raise fail(where, f"'fit' must name each group to fit once, not {fit!r}")
    if "arcs" in groups and "link_arcs" in groups:
        raise fail(where, "'fit' names both 'arcs' and 'link_arcs': 'link_arcs' are the four arcs that 'arcs' "
                          "ties in pairs, so choose one")
    unseen = [group for group in groups if GROUPS[str(group)].pointing is None]
    if unseen and not rotations_given:
        raise fail(where, f"'fit' includes {unseen[0]!r}, which only 'rotations' can determine")
    return tuple(str(group) for group in groups)


def _rotation_vector(name: str, value: object) -> Array:
    array = floats("fit_arm", name, value)
    if array.shape == (3,) and np.isfinite(array).all():
        return array
    if array.shape == (3, 3) and np.isfinite(array).all() and not _rotation_errors(array):
        return np.asarray(Rotation.from_matrix(array).as_rotvec(), dtype=float)
    raise fail("fit_arm", f"'{name}' must be a rotation vector (3 finite numbers) or a rotation matrix "
                           f"(3x3, within {ROTATION_TOLERANCE:g}), not shape {array.shape}")


COUNTS = {1: "one finite number", 2: "two finite numbers", 4: "four finite numbers"}


def _numbers(name: str, value: object, count: int, what: str) -> Array:
    try:
        array = np.asarray(value, dtype=float) if not isinstance(value, (str, bytes)) else np.array([math.nan])
    except (TypeError, ValueError):
        array = np.array([math.nan])
    if count == 1 and array.shape == ():
        array = array.reshape(1)
    if array.shape != (count,) or not np.isfinite(array).all():
        raise fail("fit_arm", f"'{name}' must be {what}, not {value!r}")
    return array


def initial(initial: object, fit: tuple[str, ...]) -> dict[str, Array]:
    """The given start values per group (mount and tool as rotation vectors)."""
    if not isinstance(initial, Mapping):
        return {"arcs": _numbers("initial", initial, 2, "two finite arcs (arm_arc, coupler_arc)")}
    unknown = [key for key in initial if key not in GROUPS]
    if unknown:
        raise fail("fit_arm", f"'initial' has an unknown group {unknown[0]!r}: choose from "
                               f"{', '.join(map(repr, GROUPS))}")
    given = {}
    for group, value in initial.items():
        name = f"initial[{group!r}]"
        names = GROUPS[group].names
        given[group] = _rotation_vector(name, value) if GROUPS[group].rotation else \
            _numbers(name, value, len(names), f"{COUNTS[len(names)]} ({', '.join(names)})")
    if "link_arcs" in given and "arcs" in fit:
        raise fail("fit_arm", "'initial' gives 'link_arcs', the four arcs, but 'fit' ties them in pairs with "
                               "'arcs': fit 'link_arcs' instead")
    return given


def sigma(sigma: object, count: int) -> Array:
    array = floats("fit_arm", "sigma", sigma)
    if array.shape not in ((), (count,)) or not (np.isfinite(array) & (array > 0.0)).all():
        raise fail("fit_arm", f"'sigma' must be a positive finite number, or one per sample (shape ({count},)), "
                               f"not {sigma!r:.60}")
    return np.asarray(np.broadcast_to(array, (count,)), dtype=float).copy()
