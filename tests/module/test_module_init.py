"""Module initialisation: the module object, repeated imports, sub-interpreters."""

import importlib
import json
import os
import subprocess
import sys
import textwrap

import pytest

import velmora_torso_kinematics as vtk

CLASS_NAMES = ["VelmoraArmKinematics", "VelmoraNeckKinematics"]
# What the import machinery gives every extension module.
STANDARD_ATTRIBUTES = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}


def test_module_holds_its_doc_all_and_the_two_classes():
    assert (vtk.__name__, vtk.__doc__) == ("velmora_torso_kinematics", "")
    assert type(vtk.__all__) is list and vtk.__all__ == CLASS_NAMES
    assert set(vars(vtk)) - STANDARD_ATTRIBUTES == {"__all__", *CLASS_NAMES}


def test_reimport_returns_the_same_module_and_classes():
    classes = [getattr(vtk, name) for name in CLASS_NAMES]
    for _ in range(2):
        del sys.modules[vtk.__name__]
        again = importlib.import_module(vtk.__name__)
        assert again is vtk and [getattr(again, name) for name in CLASS_NAMES] == classes
        assert again.__all__ == CLASS_NAMES  # the module body did not run again


# Runs in a child process, so that sub-interpreters stay out of the test process.
# The 'legacy' configuration switches off the interpreter's own refusal of
# single-phase modules: any ImportError there is the module's own.
SUB_INTERPRETER_SCRIPT = textwrap.dedent("""
    import json, sys
    import _interpreters
    import velmora_torso_kinematics as vtk

    outcomes = []
    for _ in range(2):
        interp = _interpreters.create("legacy")
        try:
            failure = _interpreters.run_string(
                interp, f"import sys\\nsys.path.insert(0, {sys.argv[1]!r})\\nimport velmora_torso_kinematics\\n")
        finally:
            _interpreters.destroy(interp)
        outcomes.append(failure and [failure.type.__module__, failure.type.__name__, failure.msg])
    del sys.modules["velmora_torso_kinematics"]
    import velmora_torso_kinematics as again
    arm = again.VelmoraArmKinematics.default_left()
    print(json.dumps({"outcomes": outcomes, "same_module": again is vtk,
                      "arm": [arm.arm_arc(), arm.coupler_arc(), arm.mirror()]}))
""")


def test_second_interpreter_is_refused_and_the_first_keeps_working():
    pytest.importorskip("_interpreters")
    child = subprocess.run(
        [sys.executable, "-c", SUB_INTERPRETER_SCRIPT, os.path.dirname(os.path.abspath(vtk.__file__))],
        capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    report = json.loads(child.stdout.strip().splitlines()[-1])
    for outcome in report["outcomes"]:
        assert outcome is not None, "a sub-interpreter imported the module"
        module, name, message = outcome
        assert (module, name) == ("builtins", "ImportError")  # not ModuleNotFoundError
        assert "does not support loading in subinterpreters" not in message  # not the interpreter's check
        assert "interpreter" in message.lower()
    assert report["same_module"] is True and report["arm"] == [0.7, 0.5, False]
