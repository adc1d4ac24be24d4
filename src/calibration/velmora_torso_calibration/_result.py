"""ArmFit: a fitted arm, its report, what it predicts, and its document."""

from __future__ import annotations

import json
import math
from collections.abc import Callable
from dataclasses import dataclass, field, fields
from typing import Any

import numpy as np
import numpy.typing as npt
from scipy.spatial.transform import Rotation  # type: ignore[import-untyped]

import velmora_torso_batch as vb
from velmora_torso_kinematics import VelmoraArmKinematics

from ._arguments import data, fail, floats
from ._model import GROUPS, Arm, Array, Model, known_values, pose


@dataclass(frozen=True, eq=False)
class ArmFit:
    """The fitted arm and how well the data determine it (see `fit_arm`).

    Its arrays are read-only. Save it with `to_json` and load it with `from_json`.

    Attributes
    ----------
    arm : velmora_torso_kinematics.VelmoraArmKinematics or velmora_torso_batch.FiveBar
        The fitted geometry with the given branch and mirror: a ``FiveBar`` when the four link
        arcs or the base angle were fitted or given.
    geometry_json : str
        ``arm_json(arm)``, or ``arm.to_json()`` for a ``FiveBar``.
    offsets : tuple of float
        (offset_a, offset_b), radians, added to the scaled readings (zeros when neither fitted
        nor given).
    scales : tuple of float
        (scale_a, scale_b), the joints' gear ratios: joint = scale * reading + offset (ones when
        neither fitted nor given).
    mount, tool : ndarray, shape (3, 3), or None
        The rotations the model used (fitted or given in ``initial``); None when neither.
    residuals : ndarray, shape (N,)
        Each sample's error after the fit, radians; NaN where the loop does not close.
    rms : float
        Root mean square of `residuals` over the samples the fit used, radians.
    parameter_names : tuple of str
        The fitted parameters, in the order of the groups 'arcs', 'link_arcs', 'base_angle',
        'offsets', 'scales', 'mount', 'tool'.
    parameters, std_errors : ndarray, shape (P,)
        Their values and standard errors (infinite where undetermined or not converged).
    covariance : ndarray, shape (P, P)
        Scaled by the residual variance; NaN rows and columns for the undetermined parameters.
    outliers, closed : ndarray of bool, shape (N,)
        Per sample: flagged by a robust fit; its loop closes on the fitted arm.
    sigma : ndarray, shape (N,)
        The per-sample noise the residuals were divided by (ones when not given).
    converged : bool
        Whether the estimate is a minimum of the samples it used.
    cost : float
        Half the sum of the squared residuals divided by `sigma`, over the samples used.
    message : str
        The optimiser's message for the reported estimate.
    warnings : list of str
        Whether the fit did not converge or its rms is implausible, then what the data leave
        undetermined or weakly determined.

    Examples
    --------
    >>> fit = fit_arm(poses[:, 0], poses[:, 1], directions=measured)  # doctest: +SKIP
    >>> fit.converged, fit.rms < 2e-3  # doctest: +SKIP
    (True, True)
    """

    arm: Arm
    geometry_json: str
    offsets: tuple[float, float]
    scales: tuple[float, float]
    mount: npt.NDArray[np.float64] | None
    tool: npt.NDArray[np.float64] | None
    residuals: npt.NDArray[np.float64]
    rms: float
    parameter_names: tuple[str, ...]
    parameters: npt.NDArray[np.float64]
    covariance: npt.NDArray[np.float64]
    std_errors: npt.NDArray[np.float64]
    outliers: npt.NDArray[np.bool_]
    closed: npt.NDArray[np.bool_]
    sigma: npt.NDArray[np.float64]
    converged: bool
    cost: float
    message: str
    warnings: list[str] = field(default_factory=list)

    def __post_init__(self) -> None:
        for name in ARRAY_FIELDS:
            value = getattr(self, name)
            if value is not None:
                value.flags.writeable = False

    @staticmethod
    def _readings(where: str, theta_a: object, theta_b: object) -> tuple[Array, Array]:
        a, b = floats(where, "theta_a", theta_a), floats(where, "theta_b", theta_b)
        try:
            a, b = np.broadcast_arrays(a, b)
        except ValueError:
            raise fail(where, f"'theta_a' and 'theta_b' do not broadcast together: shapes {a.shape} and "
                               f"{b.shape}") from None
        return a, b

    def _joints(self, readings: tuple[Array, Array]) -> tuple[Array, Array]:
        return self.scales[0] * readings[0] + self.offsets[0], self.scales[1] * readings[1] + self.offsets[1]

    def apply(self, theta_a: npt.ArrayLike, theta_b: npt.ArrayLike) -> tuple[npt.NDArray[np.float64],
                                                                             npt.NDArray[np.float64]]:
        """The model's joints for raw joint readings: scaled, plus the fitted offsets.

        Parameters
        ----------
        theta_a, theta_b : array_like
            Joint readings, radians; broadcast together.

        Returns
        -------
        joint_a, joint_b : ndarray
            ``scale_a * theta_a + offset_a`` and ``scale_b * theta_b + offset_b``, of the
            broadcast shape: the joints to pass to the kinematics of `arm`.

        Raises
        ------
        ValueError
            For readings that are not real numbers or do not broadcast.

        Examples
        --------
        >>> fit.apply(0.3, [-0.2, 0.1])  # doctest: +SKIP
        """
        return self._joints(self._readings("apply", theta_a, theta_b))

    def predict_error(self, theta_a: npt.ArrayLike, theta_b: npt.ArrayLike) -> npt.NDArray[np.float64]:
        """The fitted arm's pointing uncertainty at joint readings.

        Parameters
        ----------
        theta_a, theta_b : array_like
            Joint readings, radians; broadcast together.

        Returns
        -------
        ndarray
            Per reading, sqrt(trace(C_v3)) in radians, C_v3 the covariance of v_3 in the body
            frame that the parameters' covariance gives to first order: the rms pointing error
            of the calibrated arm (mount and tool do not move v_3 in the body frame). Infinite
            where an undetermined parameter moves v_3 (and everywhere for a fit that did not
            converge); NaN where the loop does not close.

        Raises
        ------
        ValueError
            For readings that are not real numbers or do not broadcast.

        Examples
        --------
        >>> fit.predict_error([0.3, 0.0], -0.2)  # doctest: +SKIP
        """
        readings = self._readings("predict_error", theta_a, theta_b)
        joint_a, joint_b = self._joints(readings)
        solved = pose(self.arm, joint_a.ravel(), joint_b.ravel())
        columns = np.zeros(solved.v3.shape + (len(self.parameter_names),))
        at = 0
        for group in fitted_groups(self.parameter_names):
            size = len(GROUPS[group].names)
            moves = GROUPS[group].moves
            if moves is not None:
                columns[..., at:at + size] = moves(solved, (readings[0].ravel(), readings[1].ravel()))[0]
            at += size
        finite = np.isfinite(self.covariance)
        variance = np.einsum("nip,pq,niq->n", columns, np.where(finite, self.covariance, 0.0), columns)
        moved = np.abs(columns).max(axis=1) > 0.0  # [n, P]: the parameters that move v_3 there
        unknown = ~finite.all(axis=1)
        error = np.sqrt(np.maximum(variance, 0.0))
        error[(moved & unknown).any(axis=1)] = math.inf
        error[~solved.ok] = math.nan
        return np.asarray(error.reshape(joint_a.shape), dtype=float)

    def validate(self, theta_a: npt.ArrayLike, theta_b: npt.ArrayLike, *, directions: npt.ArrayLike | None = None,
                 rotations: npt.ArrayLike | None = None) -> tuple[npt.NDArray[np.float64], float]:
        """The fitted model's errors on other measurements (poses held out of the fit).

        Parameters
        ----------
        theta_a, theta_b : array_like, shape (M,)
            Joint readings, radians.
        directions : array_like, shape (M, 3), optional
        rotations : array_like, shape (M, 3, 3), optional
            Exactly one of them, as for `fit_arm`; rotations use the fitted `tool` (the identity
            when there is none).

        Returns
        -------
        residuals : ndarray, shape (M,)
            Each sample's error in radians, as in `ArmFit.residuals`; NaN where the loop does not close.
        rms : float
            Root mean square of the residuals of the samples that close (NaN when none does).

        Raises
        ------
        ValueError
            "validate(): ..." naming the argument, for the bad inputs `fit_arm` rejects.

        Examples
        --------
        >>> residuals, rms = fit.validate(held[:, 0], held[:, 1], directions=measured)  # doctest: +SKIP
        """
        readings_a, readings_b, measured_directions, measured_rotations = data(
            "validate", theta_a, theta_b, directions, rotations)
        geometry = json.loads(self.geometry_json)
        known = known_values(self.arm) | {"offsets": np.array(self.offsets), "scales": np.array(self.scales)}
        for group in ("mount", "tool"):
            matrix = getattr(self, group)
            if matrix is not None:
                known[group] = np.asarray(Rotation.from_matrix(matrix).as_rotvec(), dtype=float)
        model = Model(readings_a, readings_b, directions=measured_directions, rotations=measured_rotations,
                      mirror=geometry["mirror"], branch=geometry["branch"], initial=known, fit=())
        errors, closed = model.sample_errors(model.start())
        rms = math.sqrt(float(np.mean(errors[closed] ** 2))) if closed.any() else math.nan
        return errors, rms

    def to_json(self) -> str:
        """The whole fit as a JSON document (standard JSON: non-finite numbers as strings).

        Returns
        -------
        str
            A document that `ArmFit.from_json` reads back to the same values, bit for bit.

        Examples
        --------
        >>> ArmFit.from_json(fit.to_json()).parameters.tolist() == fit.parameters.tolist()  # doctest: +SKIP
        True
        """
        document: dict[str, Any] = {"format": FORMAT, "geometry": json.loads(self.geometry_json)}
        for item in fields(self):
            if item.name in ("arm", "geometry_json"):
                continue
            value = getattr(self, item.name)
            document[item.name] = _encode(value.tolist() if isinstance(value, np.ndarray) else value)
        return json.dumps(document, allow_nan=False)

    @staticmethod
    def from_json(text: str) -> ArmFit:
        """Reads a fit that `ArmFit.to_json` wrote.

        Parameters
        ----------
        text : str
            The document.

        Returns
        -------
        ArmFit
            The same fit, its arrays read-only, its `arm` built from the saved geometry.

        Raises
        ------
        ValueError
            "ArmFit.from_json(): ..." for text that is not such a document.

        Examples
        --------
        >>> saved = fit.to_json()  # doctest: +SKIP
        >>> ArmFit.from_json(saved).apply(0.3, -0.2)  # doctest: +SKIP
        """
        where = "ArmFit.from_json"
        if not isinstance(text, str):
            raise fail(where, f"'text' must be a str, not {type(text).__name__}")
        try:
            document = json.loads(text)
            if not isinstance(document, dict) or document.get("format") != FORMAT:
                raise ValueError(f"no {FORMAT!r} format")
            geometry = json.dumps(document["geometry"])
            arm: Arm
            if isinstance(document["geometry"], dict) and "arm_arcs" in document["geometry"]:
                arm = vb.FiveBar.from_json(geometry)
                values: dict[str, Any] = {"arm": arm, "geometry_json": arm.to_json()}
            else:
                arm = VelmoraArmKinematics.from_json(geometry)
                values = {"arm": arm, "geometry_json": vb.arm_json(arm)}
            # A fit saved before the joints had scales has none: they were ones.
            document.setdefault("scales", [1.0, 1.0])
            for item in fields(ArmFit):
                if item.name not in values:
                    values[item.name] = READERS[item.name](document[item.name])
            return ArmFit(**values)
        except (KeyError, TypeError, ValueError) as error:
            raise fail(where, f"'text' is not a fit's document ({type(error).__name__}: {error})") from None


FORMAT = "velmora_torso_calibration.ArmFit/1"
ARRAY_FIELDS = ("mount", "tool", "residuals", "parameters", "covariance", "std_errors", "outliers", "closed", "sigma")
# Non-finite numbers, which JSON has not, as strings.
NON_FINITE = {"nan": math.nan, "inf": math.inf, "-inf": -math.inf}


def _encode(value: Any) -> Any:
    if isinstance(value, float) and not math.isfinite(value):
        return "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")
    if isinstance(value, (list, tuple)):
        return [_encode(item) for item in value]
    return value


def _decode(value: Any) -> Any:
    if isinstance(value, str) and value in NON_FINITE:
        return NON_FINITE[value]
    if isinstance(value, list):
        return [_decode(item) for item in value]
    return value


def _floats_of(value: Any) -> Array:
    return np.array(_decode(value), dtype=float)


def _float(value: Any) -> float:
    return float(_decode(value))


# Each field from its JSON value (non-finite numbers only where numbers are).
READERS: dict[str, Callable[[Any], Any]] = {
    "offsets": lambda value: (_float(value[0]), _float(value[1])),
    "scales": lambda value: (_float(value[0]), _float(value[1])),
    "mount": lambda value: None if value is None else _floats_of(value).reshape(3, 3),
    "tool": lambda value: None if value is None else _floats_of(value).reshape(3, 3),
    "residuals": _floats_of, "parameters": _floats_of, "std_errors": _floats_of, "sigma": _floats_of,
    "covariance": lambda value: _floats_of(value).reshape(len(value), len(value)),
    "outliers": lambda value: np.array(value, dtype=bool), "closed": lambda value: np.array(value, dtype=bool),
    "rms": _float, "cost": _float, "converged": bool, "message": str,
    "parameter_names": lambda value: tuple(str(name) for name in value),
    "warnings": lambda value: [str(text) for text in value],
}


def fitted_groups(names: tuple[str, ...]) -> tuple[str, ...]:
    return tuple(group for group in GROUPS if GROUPS[group].names[0] in names)
