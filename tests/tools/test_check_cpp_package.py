"""The C++ package check's own rules (tools/check_cpp_package.py): what counts as
built beyond the core in a consumer's tree, and what the release archive holds."""

from __future__ import annotations

import sys
import tarfile
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
from check_cpp_package import beyond_core, files, release_archive  # noqa: E402


@pytest.mark.parametrize("path, beyond", [
    ("round_trip", False),
    ("CMakeFiles/round_trip.dir/main.cpp.o", False),
    ("_deps/velmora_torso_kinematics-build/libvelmora_torso_kinematics_core.a", False),
    ("_deps/velmora_torso_kinematics-build/velmora_torso_batch.cpython-313-x86_64-linux-gnu.so", True),
    ("_deps/velmora_torso_kinematics-build/velmora_stubgen", True),
    ("_deps/velmora_torso_kinematics-build/tests/test_forward_kinematics", True),
    ("_deps/velmora_torso_kinematics-src/tests/test_forward_kinematics.py", False),  # the fetched sources
    ("_deps/velmora_torso_kinematics-src/lib/module.so", False),
    ("src-build/velmora_torso_batch.so", True),
])
def test_modules_stub_generator_and_tests_are_beyond_the_core(tmp_path, path, beyond):
    (tmp_path / path).parent.mkdir(parents=True, exist_ok=True)
    (tmp_path / path).touch()
    assert beyond_core(files(tmp_path)) == ([path] if beyond else [])


def test_the_archive_holds_the_files_present_under_one_directory(tmp_path):
    (tmp_path / "include").mkdir()
    (tmp_path / "include/core.hpp").write_text("// core\n")
    (tmp_path / "CMakeLists.txt").write_text("project(x)\n")
    release_archive(tmp_path, ["CMakeLists.txt", "include/core.hpp", "deleted.cpp"], tmp_path / "tree.tar.gz")
    with tarfile.open(tmp_path / "tree.tar.gz") as tar:
        assert sorted(tar.getnames()) == ["velmora_torso_kinematics/CMakeLists.txt",
                                          "velmora_torso_kinematics/include/core.hpp"]
        assert tar.extractfile("velmora_torso_kinematics/include/core.hpp").read() == b"// core\n"
