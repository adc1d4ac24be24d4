"""velmora_torso_batch needs NumPy: the wheel's metadata requires it, at the
version the tests pass with, and the module imports it when it is imported."""

from __future__ import annotations

import importlib.metadata
import subprocess
import sys
import tomllib
from pathlib import Path

import numpy as np
from packaging.requirements import Requirement
from packaging.version import Version

ROOT = Path(__file__).resolve().parents[2]


def numpy_requirements(requirements):
    return [r for r in map(Requirement, requirements or []) if r.name == "numpy" and r.marker is None]


def test_the_installed_metadata_requires_numpy_as_pyproject_says():
    installed = numpy_requirements(importlib.metadata.requires("velmora_torso_kinematics"))
    with open(ROOT / "pyproject.toml", "rb") as file:
        declared = numpy_requirements(tomllib.load(file)["project"]["dependencies"])
    assert len(installed) == 1 and [str(r) for r in installed] == [str(r) for r in declared]
    # The lowest version it admits is a NumPy 2 (the first built for CPython
    # 3.13); the one the tests run with satisfies it.
    lowest = min(Version(spec.version) for spec in installed[0].specifier if spec.operator == ">=")
    assert lowest >= Version("2.1") and installed[0].specifier.contains(np.__version__)


def test_importing_the_module_imports_numpy():
    # The child leaves through os._exit: what is checked is the import, not the
    # interpreter's finalization (under memcheck, the strings an import interned
    # show as lost there, attributed to the module whose init ran the import).
    code = "import os, sys, velmora_torso_batch; print('numpy' in sys.modules, flush=True); os._exit(0)"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert result.stdout.strip() == "True"
