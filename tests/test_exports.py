"""Each extension module, as imported by the run at hand (installed, sanitized, Clang or wheel
build), exports exactly one dynamic symbol: its init function."""

import importlib
import shutil
import subprocess

import pytest

MODULES = ["velmora_torso_kinematics", "velmora_torso_batch"]


@pytest.mark.parametrize("name", MODULES)
def test_module_exports_only_its_init_function(name):
    nm = shutil.which("nm")
    assert nm is not None, "nm (binutils) is needed to read the modules' dynamic symbols"
    module = importlib.import_module(name)
    listing = subprocess.run([nm, "-D", "--defined-only", module.__file__], check=True,
                             capture_output=True, text=True).stdout
    assert [line.split()[-1] for line in listing.splitlines() if line.strip()] == [f"PyInit_{name}"]
