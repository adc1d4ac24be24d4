#!/usr/bin/env bash
# An aarch64 CPython 3.13 to test the aarch64 wheel with, on any Linux machine:
# Debian 13's interpreter and standard library, unpacked from its packages by
# debootstrap (first stage only: nothing of the root is run) and dpkg-deb, run
# by qemu-user; NumPy and the [test] extra of pyproject.toml as aarch64 wheels
# from the package index, installed for that interpreter by the build machine's
# pip. Installs qemu-user-static and debootstrap with apt when missing.
#
# Everything is kept in a cache outside the clone, keyed by the package lists,
# so a machine makes it once: $VELMORA_CACHE_DIR, or
# ${XDG_CACHE_HOME:-~/.cache}/velmora_torso_kinematics. Prints the directory:
#   python      runs the emulated interpreter (the wheels' site on its path)
#   include/    CPython's headers configured for aarch64, to build against
#   root/  site/  pycache/   the root, the wheels, the bytecode compiled under emulation
# Usage: scripts/aarch64_root.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
need_venv

suite=trixie
mirror=${VELMORA_DEBIAN_MIRROR:-http://deb.debian.org/debian}
packages=python3.13,python3.13-venv,libpython3.13-stdlib,libpython3.13-dev
platform=manylinux_2_28_aarch64
mapfile -t requirements < <(.venv/bin/python tools/requirements.py test)
command -v qemu-aarch64-static >/dev/null && command -v debootstrap >/dev/null ||
    apt_install qemu-user-static debootstrap

cache=${VELMORA_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/velmora_torso_kinematics}
key=$(printf '%s\n' "$suite" "$mirror" "$packages" "$platform" "${requirements[@]}" | sha256sum | cut -c1-16)
dir="$cache/aarch64-$key"
mkdir -p "$cache"
exec 9>"$cache/aarch64.lock"
flock 9

# Roots of other package lists that no run has used for two weeks go; one in
# use by another run (another clone, another branch) stays.
find "$cache" -maxdepth 2 -name last-used -mtime +14 -printf '%h\n' | xargs -r rm -rf
if [ ! -e "$dir/complete" ]; then
    work="$dir.partial"
    rm -rf "$work"
    mkdir -p "$work"
    echo "aarch64_root: making $dir" >&2
    debootstrap --foreign --arch=arm64 --variant=minbase --include="$packages" \
        "$suite" "$work/root" "$mirror" >&2
    # The second stage would run the packages' scripts under emulation; unpacking
    # is all the interpreter needs.
    for deb in "$work"/root/var/cache/apt/archives/*.deb; do
        dpkg-deb -x "$deb" "$work/root"
    done
    rm -f "$work"/root/var/cache/apt/archives/*.deb

    # Debian's pyconfig.h dispatches on the architecture to a header under
    # /usr/include/<triplet>/; a build against it must not see the root's other
    # headers (a newer glibc's), so the aarch64 one takes its place in a copy.
    mkdir -p "$work/include"
    cp -r "$work/root/usr/include/python3.13" "$work/include/"
    cp "$work/root/usr/include/aarch64-linux-gnu/python3.13/pyconfig.h" "$work/include/python3.13/pyconfig.h"

    for_aarch64=(--quiet --disable-pip-version-check --platform "$platform" --python-version 3.13 --implementation cp
            --abi cp313 --only-binary=:all:)
    .venv/bin/python -m pip download "${for_aarch64[@]}" --dest "$work/wheels" "${requirements[@]}" >&2
    .venv/bin/python -m pip install "${for_aarch64[@]}" --no-index --find-links "$work/wheels" --target "$work/site" \
        "${requirements[@]}" >&2
    rm -rf "$work/wheels"

    mkdir -p "$work/pycache"
    rm -rf "$dir"
    mv "$work" "$dir"
    touch "$dir/complete"
fi
touch "$dir/last-used"

# Under qemu-user -L, a path that exists in the root is read from there and any
# other from the machine. The bytecode goes to pycache/ (compiling under
# emulation costs a minute per run otherwise). A caller may name the path the
# interpreter takes for its own (VELMORA_ARGV0: a virtual environment's python).
# The CPU is a Neoverse N1 (the Cortex-A76 class of the boards the arm runs on):
# qemu's default reports SME with a 256-bit vector length, for which OpenBLAS's
# SME kernels (written for 512 bits) compute wrong float64 products; and it
# emulates pointer authentication in software, several times slower.
cat > "$dir/python" <<EOF
#!/bin/sh
dir="$dir"
exec env -u PYTHONDONTWRITEBYTECODE -u VELMORA_ARGV0 PYTHONPYCACHEPREFIX="\$dir/pycache" \\
    PYTHONPATH="\${PYTHONPATH:+\$PYTHONPATH:}\$dir/site" \\
    qemu-aarch64-static -cpu neoverse-n1 -L "\$dir/root" -0 "\${VELMORA_ARGV0:-\$dir/root/usr/bin/python3.13}" \\
    "\$dir/root/usr/bin/python3.13" "\$@"
EOF
chmod +x "$dir/python"
echo "$dir"
