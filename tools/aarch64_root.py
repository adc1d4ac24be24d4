"""An aarch64 CPython 3.13 to test the aarch64 wheel with, on any Linux machine:
Debian 13's interpreter and standard library, unpacked from its packages by
debootstrap (first stage only: nothing of the root is run) and dpkg-deb, run
by qemu-user; NumPy and the [test] extra of pyproject.toml as aarch64 wheels
from the package index, installed for that interpreter by this interpreter's
pip. Installs qemu-user-static and debootstrap with apt when missing.

Everything is kept in a cache outside the clone, keyed by the package lists,
so a machine makes it once: $VELMORA_CACHE_DIR, or
${XDG_CACHE_HOME:-~/.cache}/velmora_torso_kinematics. Prints the directory:
  python      runs the emulated interpreter (the wheels' site on its path)
  include/    CPython's headers configured for aarch64, to build against
  root/  site/  pycache/   the root, the wheels, the bytecode compiled under emulation
With --venv, also makes DIRECTORY a virtual environment of the emulated
interpreter with WHEEL installed.

    .venv/bin/python tools/aarch64_root.py [--venv DIRECTORY WHEEL]
"""

import fcntl
import hashlib
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

from requirements import requirements

SUITE = "trixie"
PACKAGES = "python3.13,python3.13-venv,libpython3.13-stdlib,libpython3.13-dev"
PLATFORM = "manylinux_2_28_aarch64"
# pip's options to install for the emulated interpreter, binaries only.
FOR_AARCH64 = ["--quiet", "--disable-pip-version-check", "--python-version", "3.13", "--implementation", "cp",
               "--abi", "cp313", "--only-binary=:all:"]
UNUSED_DAYS = 14

# Under qemu-user -L, a path that exists in the root is read from there and any
# other from the machine. The bytecode goes to pycache/ (compiling under
# emulation costs a minute per run otherwise). A caller may name the path the
# interpreter takes for its own (VELMORA_ARGV0: a virtual environment's python).
# The CPU is a Neoverse N1 (the Cortex-A76 class of the boards the arm runs on):
# qemu's default reports SME with a 256-bit vector length, for which OpenBLAS's
# SME kernels (written for 512 bits) compute wrong float64 products; and it
# emulates pointer authentication in software, several times slower.
LAUNCHER = """#!/bin/sh
dir="{}"
exec env -u PYTHONDONTWRITEBYTECODE -u VELMORA_ARGV0 PYTHONPYCACHEPREFIX="$dir/pycache" \\
    PYTHONPATH="${{PYTHONPATH:+$PYTHONPATH:}}$dir/site" \\
    qemu-aarch64-static -cpu neoverse-n1 -L "$dir/root" -0 "${{VELMORA_ARGV0:-$dir/root/usr/bin/python3.13}}" \\
    "$dir/root/usr/bin/python3.13" "$@"
"""


def key(*parts: str) -> str:
    """The cache key of a root made from PARTS (the same as `printf '%s\\n' PARTS | sha256sum`)."""
    return hashlib.sha256("".join(f"{part}\n" for part in parts).encode()).hexdigest()[:16]


def remove_unused(cache: Path, now: float) -> None:
    """Roots of other package lists that no run has used for two weeks go; one in
    use by another run (another clone, another branch) stays."""
    for stamp in cache.glob("*/last-used"):
        if now - stamp.stat().st_mtime >= (UNUSED_DAYS + 1) * 86400:
            shutil.rmtree(stamp.parent)


def run(*command: str | Path) -> None:
    subprocess.run(command, check=True, stdout=sys.stderr)


def make(directory: Path, mirror: str, wanted: list[str]) -> None:
    work = directory.with_name(directory.name + ".partial")
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    print(f"aarch64_root: making {directory}", file=sys.stderr)
    run("debootstrap", "--foreign", "--arch=arm64", "--variant=minbase", f"--include={PACKAGES}",
        SUITE, work / "root", mirror)
    # The second stage would run the packages' scripts under emulation; unpacking
    # is all the interpreter needs.
    for deb in sorted((work / "root/var/cache/apt/archives").glob("*.deb")):
        run("dpkg-deb", "-x", deb, work / "root")
        deb.unlink()

    # Debian's pyconfig.h dispatches on the architecture to a header under
    # /usr/include/<triplet>/; a build against it must not see the root's other
    # headers (a newer glibc's), so the aarch64 one takes its place in a copy.
    headers = work / "include/python3.13"
    shutil.copytree(work / "root/usr/include/python3.13", headers, symlinks=True)
    shutil.copy(work / "root/usr/include/aarch64-linux-gnu/python3.13/pyconfig.h", headers / "pyconfig.h")

    pip = [sys.executable, "-m", "pip"]
    run(*pip, "download", *FOR_AARCH64, "--platform", PLATFORM, "--dest", work / "wheels", *wanted)
    run(*pip, "install", *FOR_AARCH64, "--platform", PLATFORM, "--no-index", "--find-links", work / "wheels",
        "--target", work / "site", *wanted)
    shutil.rmtree(work / "wheels")

    (work / "pycache").mkdir()
    shutil.rmtree(directory, ignore_errors=True)
    work.rename(directory)
    (directory / "complete").touch()


def make_venv(directory: Path, emulated: Path, wheel: str) -> None:
    """A virtual environment of the emulated interpreter, made by hand: its
    python runs qemu with its own path as argv[0], so that sys.executable
    starts the emulated interpreter again in a child process. The wheel goes
    into its site-packages by this machine's pip; the test requirements are
    the root's (on PYTHONPATH, from the root's python)."""
    shutil.rmtree(directory, ignore_errors=True)
    site = directory / "lib/python3.13/site-packages"
    site.mkdir(parents=True)
    (directory / "bin").mkdir()
    (directory / "pyvenv.cfg").write_text(
        f"home = {emulated}/root/usr/bin\ninclude-system-site-packages = false\nversion = 3.13\n")
    python = directory / "bin/python"
    python.write_text(f'#!/bin/sh\nVELMORA_ARGV0="$0" exec "{emulated}/python" "$@"\n')
    python.chmod(0o755)
    platforms = [f"--platform=manylinux{tag}_aarch64" for tag in ("_2_28", "_2_17", "2014")]
    run(sys.executable, "-m", "pip", "install", *FOR_AARCH64, *platforms, "--no-deps", "--target", site, wheel)


def main() -> None:
    mirror = os.environ.get("VELMORA_DEBIAN_MIRROR", "http://deb.debian.org/debian")
    wanted = requirements("test")
    if not (shutil.which("qemu-aarch64-static") and shutil.which("debootstrap")):
        print("aarch64_root: installing qemu-user-static debootstrap with apt", file=sys.stderr)
        os.environ["DEBIAN_FRONTEND"] = "noninteractive"
        run("apt-get", "update", "-qq")
        run("apt-get", "install", "-y", "-qq", "qemu-user-static", "debootstrap")

    default = Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache") / "velmora_torso_kinematics"
    cache = Path(os.environ.get("VELMORA_CACHE_DIR") or default)
    directory = cache / f"aarch64-{key(SUITE, mirror, PACKAGES, PLATFORM, *wanted)}"
    cache.mkdir(parents=True, exist_ok=True)
    with open(cache / "aarch64.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        remove_unused(cache, time.time())
        if not (directory / "complete").exists():
            make(directory, mirror, wanted)
        (directory / "last-used").touch()
        launcher = directory / "python"
        launcher.write_text(LAUNCHER.format(directory))
        launcher.chmod(0o755)
    if sys.argv[1:2] == ["--venv"]:
        make_venv(Path(sys.argv[2]), directory, sys.argv[3])
    print(directory)


if __name__ == "__main__":
    main()
