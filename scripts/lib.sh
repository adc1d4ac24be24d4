# Sourced first by every script here: stops at the first failure, enters the
# tree's root ($root), and holds the steps that several scripts take.

set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
me=$(basename "$0" .sh)

fail() { echo "$me: $*" >&2; exit 1; }

# .venv/, the modules installed in it (scripts/setup.sh, run when it is missing).
need_venv() { [ -x .venv/bin/python ] || scripts/setup.sh >&2; }

# Debian packages for what this machine lacks: apt_install PACKAGE...
apt_install() {
    echo "$me: installing $* with apt" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >&2
    apt-get install -y -qq "$@" >&2
}

# A preset of CMakePresets.json configured and built; with --test, its C++ tests run too.
preset() {
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1"
    if [ "${2:-}" = --test ]; then ctest --preset "$1"; fi
}

# Runs the interpreter INTERPRETER... (with any environment in front of it, by
# env) on ARGUMENTS..., with the modules and the fault probe of build directory
# DIR first on the path, once both modules are seen to load from there:
# from_build DIR INTERPRETER... -- ARGUMENTS...
from_build() {
    local dir=$root/$1 name loaded interpreter=()
    shift
    while [ "$1" != -- ]; do interpreter+=("$1"); shift; done
    shift
    for name in velmora_torso_kinematics velmora_torso_batch; do
        loaded=$(PYTHONPATH="$dir" "${interpreter[@]}" -c "import $name as m; print(m.__file__)")
        [[ $loaded == "$dir"/* ]] || fail "imported $loaded instead of the module in $dir"
    done
    PYTHONPATH="$dir" VELMORA_FAULT_PROBE_DIR="$dir" "${interpreter[@]}" "$@"
}
