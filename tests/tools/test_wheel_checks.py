"""The wheel's platform-tag check (tools/wheel_checks.py, run by scripts/wheel.sh):
auditwheel's verdict and every tag in the name must be at the newest glibc allowed or older."""

from __future__ import annotations

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
from wheel_checks import tags  # noqa: E402

NAME = "velmora_torso_kinematics-1.0-cp313-cp313-{}.whl"
SHOW = 'is consistent with the following platform tag:\n  "manylinux_2_{}_{}".'


@pytest.mark.parametrize("platforms, verdict, arch, failures", [
    ("manylinux_2_17_x86_64.manylinux2014_x86_64", 17, "x86_64", 0),
    ("manylinux_2_28_aarch64", 28, "aarch64", 0),
    ("manylinux1_x86_64.manylinux2010_x86_64", 5, "x86_64", 0),
    ("manylinux_2_17_x86_64.manylinux_2_31_x86_64", 17, "x86_64", 1),  # one tag too new
    ("manylinux_2_17_x86_64.linux_x86_64", 17, "x86_64", 1),           # not a manylinux tag
    ("manylinux_2_17_x86_64", 31, "x86_64", 1),                         # auditwheel places it too new
    ("manylinux_2_17_aarch64", 17, "x86_64", 1),                        # the other architecture's verdict
])
def test_tags_are_held_to_the_newest_glibc(platforms, verdict, arch, failures):
    shown_arch = "aarch64" if platforms.endswith("aarch64") else "x86_64"
    assert len(tags(NAME.format(platforms), 28, SHOW.format(verdict, shown_arch), arch)) == failures
