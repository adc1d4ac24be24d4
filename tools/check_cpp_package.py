"""The C++ core as a consumer gets it, with no Python involved:
- installed: a plain configure, build and install of this tree into a fresh
  temporary prefix, then examples/cpp configured against that install alone
  (find_package); the package's version file must carry the project's version;
- as a subproject: examples/cpp_fetchcontent fetches an archive of this tree
  with FetchContent; only the core may be built, and installing the consumer
  must install its own program and nothing of the core.

    python tools/check_cpp_package.py [VERSION]   (VERSION: the one the wheel reports)
"""

import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
CMAKE = os.environ.get("CMAKE") or shutil.which("cmake") or str(ROOT / ".venv/bin/cmake")
VERSION_FILE = "lib/cmake/velmora_torso_kinematics/velmora_torso_kinematicsConfigVersion.cmake"


def cmake(*arguments: object) -> None:
    subprocess.run([CMAKE, *map(str, arguments)], check=True, stdout=subprocess.DEVNULL)


def build(source: Path, directory: Path, *definitions: str) -> None:
    cmake("-S", source, "-B", directory, "-DCMAKE_BUILD_TYPE=Release", *definitions)
    cmake("--build", directory, "-j", "2")


def release_archive(tree: Path, names: list[str], archive: Path) -> None:
    """The tree's files NAMES as a release archive holds them, under velmora_torso_kinematics/
    (a tracked file deleted from the work tree is left out)."""
    with tarfile.open(archive, "w:gz") as tar:
        for name in names:
            if os.path.lexists(tree / name):
                tar.add(tree / name, arcname=f"velmora_torso_kinematics/{name}", recursive=False)


def files(tree: Path) -> list[Path]:
    """The regular files under TREE, as paths relative to it."""
    return sorted(path.relative_to(tree) for path in tree.rglob("*") if path.is_file() and not path.is_symlink())


def beyond_core(build_tree: list[Path]) -> list[str]:
    """Modules, the stub generator and tests among a build tree's files, outside the fetched sources."""
    return [str(path) for path in build_tree
            if not (path.parts[0] == "_deps" and any(part.endswith("-src") for part in path.parts[1:-1]))
            and (path.suffix == ".so" or path.name == "velmora_stubgen" or path.name.startswith("test_"))]


def main(expected: str | None) -> str | None:
    with tempfile.TemporaryDirectory() as temporary:
        work = Path(temporary)
        build(ROOT, work / "core")
        cmake("--install", work / "core", "--prefix", work / "prefix")
        if re.search("^Python_EXECUTABLE", (work / "core/CMakeCache.txt").read_text(), re.M):
            return "a plain configure looked for Python"
        found = re.search(r'^set\(PACKAGE_VERSION "(.*)"\)$', (work / "prefix" / VERSION_FILE).read_text(), re.M)
        version = found[1] if found else ""
        if expected and version != expected:
            return f"the C++ package says version {version}, the wheel {expected}"

        # Copies, so that the consumers cannot reach into the source tree.
        shutil.copytree(ROOT / "examples", work / "examples")
        build(work / "examples/cpp", work / "consumer", f"-DCMAKE_PREFIX_PATH={work / 'prefix'}")
        subprocess.run([work / "consumer/round_trip"], check=True)

        # The tree's files as a release archive would hold them (tracked and new, not ignored).
        names = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"], cwd=ROOT,
                               check=True, capture_output=True, text=True).stdout.split("\0")[:-1]
        release_archive(ROOT, names, work / "velmora_torso_kinematics.tar.gz")
        build(work / "examples/cpp_fetchcontent", work / "fetched",
              f"-DVELMORA_TORSO_KINEMATICS_SOURCE={work / 'velmora_torso_kinematics.tar.gz'}")
        subprocess.run([work / "fetched/round_trip"], check=True, stdout=subprocess.DEVNULL)
        if built := beyond_core(files(work / "fetched")):
            return f"the subproject built more than the core: {' '.join(built)}"
        cmake("--install", work / "fetched", "--prefix", work / "fetched-prefix")
        installed = [str(path) for path in files(work / "fetched-prefix")]
        if installed != ["bin/round_trip"]:
            return f"installing the consumer installed more than its program: {' '.join(installed)}"
    print(f"C++ package {version}: find_package and FetchContent consumers: ok")
    return None


if __name__ == "__main__":
    if failure := main(sys.argv[1] if len(sys.argv) > 1 else None):
        sys.exit(f"check_cpp_package: {failure}")
