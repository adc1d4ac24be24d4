"""BLAS for the fit: one thread while it runs, and products that are right."""

from __future__ import annotations

import contextlib
import functools
from collections.abc import Callable, Iterator
from typing import Any

import numpy as np
import numpy.typing as npt

Array = npt.NDArray[np.float64]

# The shapes of the products a fit makes: samples by 3 by 3, the 64-wide blocks
# where BLAS kernels switch to their tiled paths, and the Jacobian's Gram
# matrix (rows by parameters).
CHECKED_SHAPES = (((150, 3), (3, 3)), ((64, 64), (64, 64)), ((10, 600), (600, 10)), ((7, 7), (7, 33)))
# A product may differ from the plain loop's by rounding: this many units of
# the sum of the terms' magnitudes.
PRODUCT_TOLERANCE = 1e-12


@functools.cache
def _controller() -> Any:
    """threadpoolctl's view of the loaded BLAS libraries (made once: it scans them), or None."""
    try:
        from threadpoolctl import ThreadpoolController  # type: ignore[import-untyped,import-not-found,unused-ignore]
    except ImportError:
        return None
    return ThreadpoolController()


def describe_blas() -> str:
    """The BLAS libraries in use, as threadpoolctl reports them: name, version and core."""
    controller = _controller()
    if controller is None:
        return "NumPy's BLAS (install threadpoolctl to have it named)"
    found = [f"{info.get('internal_api', '?')} {info.get('version') or ''} (core {info.get('architecture') or '?'}, "
             f"{info.get('filepath', '?')})" for info in controller.info() if info.get("user_api") == "blas"]
    return "; ".join(found) or "NumPy's BLAS (threadpoolctl found none)"


def product_error(product: Callable[[Array, Array], Array]) -> float:
    """The largest error of `product` on the checked shapes, in units of the
    sum of the terms' magnitudes, against a loop that does not use BLAS."""
    rng = np.random.default_rng(0)
    worst = 0.0
    for left_shape, right_shape in CHECKED_SHAPES:
        left, right = rng.normal(size=left_shape), rng.normal(size=right_shape)
        terms = left[:, :, None] * right[None, :, :]
        reference = terms.sum(axis=1)
        size = np.abs(terms).sum(axis=1)
        with np.errstate(all="ignore"):
            error = np.abs(np.asarray(product(left, right), dtype=float) - reference) / size
        worst = max(worst, float(np.nanmax(np.where(np.isfinite(error), error, np.inf))))
    return worst


def _scipy_product(left: Array, right: Array) -> Array:
    from scipy.linalg.blas import dgemm  # type: ignore[import-untyped]

    return np.asarray(dgemm(1.0, left, right), dtype=float)


@functools.cache
def _check_once() -> None:
    # NumPy's BLAS (its products and LAPACK) and SciPy's own (least_squares' QR and SVD).
    check_products(np.matmul)
    check_products(_scipy_product)


def check_products(product: Callable[[Array, Array], Array]) -> None:
    """Raises RuntimeError when `product` (a BLAS matrix product) is wrong."""
    error = product_error(product)
    if not error <= PRODUCT_TOLERANCE:
        size = f"off by {error:.3g} of their size" if error < np.inf else "some not even finite"
        raise RuntimeError(
            f"the float64 matrix products of this process's BLAS are wrong ({size}, against a plain loop), "
            f"so no fit is made: {describe_blas()}. OpenBLAS picks its kernel by the "
            "core it detects; set OPENBLAS_CORETYPE to another core (on aarch64 with SME, "
            "OPENBLAS_CORETYPE=NEOVERSEN1) before Python starts.")


@contextlib.contextmanager
def blas_for_fitting() -> Iterator[None]:
    """BLAS and LAPACK on the calling thread only, while the block runs, after
    checking once per process that BLAS's products are right.

    The fit's matrices are small (a few thousand rows, ten columns): a
    threaded LAPACK spends more on waking and joining its threads than on the
    work, and on a loaded machine a fit then takes ten times as long. Without
    threadpoolctl (it comes with the calibration extra) the threads stay as they are.
    """
    controller = _controller()
    if controller is None:
        _check_once()
        yield
        return
    with controller.limit(limits=1, user_api="blas"):
        _check_once()
        yield
