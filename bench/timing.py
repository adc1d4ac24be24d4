"""Timing shared by the Python benchmarks. The machine's other load only ever
slows a run down, so each figure is the fastest of several; calls that are set
against each other run in alternating rounds, so that both see the same load."""

from __future__ import annotations

import math
import time
from collections.abc import Callable, Hashable, Mapping
from typing import Any


def fastest(call: Callable[[], Any], repeat: int = 1, clock: Callable[[], int] = time.perf_counter_ns) -> float:
    """The fastest of `repeat` calls in ns of `clock` (time.process_time_ns: CPU
    time, which other processes do not stretch)."""
    best = math.inf
    for _ in range(repeat):
        start = clock()
        call()
        best = min(best, clock() - start)
    return best


def keep_fastest(best: dict, figures: Mapping) -> dict:
    """`best` with each figure lowered to the one in `figures` where that is faster."""
    for key, value in figures.items():
        best[key] = min(value, best.get(key, math.inf))
    return best


def alternating(calls: Mapping[Hashable, Any], rounds: int, measure: Callable[[Any], float] = fastest) -> dict:
    """measure(call) of every call (a callable, or what `measure` takes), the calls
    taking turns, round after round; the fastest round of each."""
    best: dict = {}
    for _ in range(rounds):
        keep_fastest(best, {key: measure(call) for key, call in calls.items()})
    return best
