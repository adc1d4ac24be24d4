"""velmora_torso_batch needs NumPy: the installed distribution requires it,
admitting the NumPy the module runs with and none older than the first built
for CPython 3.13, and the module imports it when it is imported."""

from __future__ import annotations

import importlib.metadata
import subprocess
import sys

import numpy as np
from packaging.requirements import Requirement
from packaging.version import Version


def numpy_requirements(requirements):
    return [r for r in map(Requirement, requirements or []) if r.name == "numpy" and r.marker is None]


def test_the_installed_metadata_requires_the_numpy_the_module_runs_with():
    # Without the requirement, installing the wheel alone gives a module that
    # cannot be imported; with a floor below NumPy 2.1 (the first built for
    # CPython 3.13) an installer may pick a NumPy that does not exist for it.
    installed = numpy_requirements(importlib.metadata.requires("velmora_torso_kinematics"))
    assert len(installed) == 1
    lowest = min(Version(spec.version) for spec in installed[0].specifier if spec.operator == ">=")
    assert lowest >= Version("2.1") and installed[0].specifier.contains(np.__version__)


def test_importing_the_module_imports_numpy():
    # The child leaves through os._exit: what is checked is the import, not the
    # interpreter's finalization (under memcheck, the strings an import interned
    # show as lost there, attributed to the module whose init ran the import).
    code = "import os, sys, velmora_torso_batch; print('numpy' in sys.modules, flush=True); os._exit(0)"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert result.stdout.strip() == "True"
