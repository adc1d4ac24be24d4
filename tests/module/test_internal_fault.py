"""Internal faults surface as one process-wide BaseException subclass.

The test-only probe module throws C++ exceptions through the same entry guard
as the real module; it is found through VELMORA_FAULT_PROBE_DIR.
"""

import importlib
import os
import sys

import pytest

import velmora_torso_kinematics as vtk


@pytest.fixture(scope="module")
def probe():
    directory = os.environ.get("VELMORA_FAULT_PROBE_DIR")
    if not directory:
        pytest.skip("VELMORA_FAULT_PROBE_DIR is not set: the fault probe was not built")
    sys.path.insert(0, directory)
    try:
        yield importlib.import_module("_velmora_fault_probe")
    finally:
        sys.path.remove(directory)


def caught(call):
    try:
        call()
    except BaseException as error:  # the fault class is deliberately not an Exception
        return error
    raise AssertionError("the probe did not raise")


def test_faults_are_one_base_exception_class_carrying_the_fault_text(probe):
    faults = [caught(lambda: probe.throw_std_exception("fault: θ→π")), caught(probe.throw_unknown)]
    fault_class = type(faults[0])
    assert type(faults[1]) is fault_class and fault_class.__bases__ == (BaseException,)
    assert faults[0].args == ("fault: θ→π",)
    assert type(str(faults[1])) is str and str(faults[1])  # a fault without text still says something
    assert "BaseException" in fault_class.__doc__
    assert fault_class not in vars(vtk).values()
    arm = vtk.VelmoraArmKinematics.default_left()  # the module keeps working after faults
    assert (arm.arm_arc(), arm.coupler_arc(), arm.mirror()) == (0.7, 0.5, False)
