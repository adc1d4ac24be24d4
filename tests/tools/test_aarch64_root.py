"""The emulated aarch64 root's cache (tools/aarch64_root.py): a root per package
list, and roots that no run has used for two weeks removed."""

from __future__ import annotations

import os
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
from aarch64_root import key, remove_unused  # noqa: E402

DAY = 86400.0


@pytest.mark.parametrize("one, other", [
    (("trixie", "numpy>=2.1"), ("trixie", "numpy>=2.2")),
    (("trixie", "numpy", "scipy"), ("trixie", "numpy")),
    (("ab", "c"), ("a", "bc")),           # the lists' boundaries count, not their text alone
    (("a", "b"), ("b", "a")),
])
def test_another_list_gets_another_root(one, other):
    assert key(*one) == key(*one) != key(*other)


@pytest.mark.parametrize("days, stays", [(0, True), (14.5, True), (15.5, False), (40, False)])
def test_roots_unused_for_two_weeks_go(tmp_path, days, stays):
    now = 1_800_000_000.0
    root = tmp_path / "aarch64-0123456789abcdef"
    (root / "site").mkdir(parents=True)
    (root / "last-used").touch()
    os.utime(root / "last-used", (now - days * DAY, now - days * DAY))
    making = tmp_path / "aarch64-fedcba9876543210.partial"  # another run's, not stamped yet
    making.mkdir()
    remove_unused(tmp_path, now)
    assert root.exists() == stays
    assert making.exists()
