#!/usr/bin/env bash
# The C++ core as a consumer gets it, with no Python involved:
# - installed: a plain configure, build and install of this tree into a fresh
#   temporary prefix, then examples/cpp configured against that install alone
#   (find_package); the package's version file must carry the project's version;
# - as a subproject: examples/cpp_fetchcontent fetches an archive of this tree
#   with FetchContent; only the core may be built, and installing the consumer
#   must install its own program and nothing of the core.
# Usage: scripts/check_cpp_package.sh [VERSION]   (VERSION: the one the wheel reports)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cmake=${CMAKE:-$(command -v cmake || echo "$root/.venv/bin/cmake")}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$cmake" -S "$root" -B "$work/core" -DCMAKE_BUILD_TYPE=Release >/dev/null
"$cmake" --build "$work/core" -j 2 >/dev/null
"$cmake" --install "$work/core" --prefix "$work/prefix" >/dev/null
if grep -q '^Python_EXECUTABLE' "$work/core/CMakeCache.txt"; then
    echo "check_cpp_package: a plain configure looked for Python" >&2
    exit 1
fi
version_file="$work/prefix/lib/cmake/velmora_torso_kinematics/velmora_torso_kinematicsConfigVersion.cmake"
installed_version=$(sed -n 's/^set(PACKAGE_VERSION "\(.*\)")$/\1/p' "$version_file")
if [ -n "${1:-}" ] && [ "$installed_version" != "$1" ]; then
    echo "check_cpp_package: the C++ package says version $installed_version, the wheel $1" >&2
    exit 1
fi

# Copies, so that the consumers cannot reach into the source tree.
cp -r "$root/examples" "$work/examples"
"$cmake" -S "$work/examples/cpp" -B "$work/consumer" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
"$cmake" --build "$work/consumer" >/dev/null
"$work/consumer/round_trip"

# The tree's files as a release archive would hold them (tracked and new, not ignored).
(cd "$root" && git ls-files -z --cached --others --exclude-standard |
    xargs -0 tar -czf "$work/velmora_torso_kinematics.tar.gz" --transform 's,^,velmora_torso_kinematics/,' \
        --ignore-failed-read)
"$cmake" -S "$work/examples/cpp_fetchcontent" -B "$work/fetched" -DCMAKE_BUILD_TYPE=Release \
    -DVELMORA_TORSO_KINEMATICS_SOURCE="$work/velmora_torso_kinematics.tar.gz" >/dev/null
"$cmake" --build "$work/fetched" -j 2 >/dev/null
"$work/fetched/round_trip" >/dev/null
built=$(cd "$work/fetched" && find . -path './_deps/*-src' -prune -o -type f \
    \( -name '*.so' -o -name 'velmora_stubgen' -o -name 'test_*' \) -print)
if [ -n "$built" ]; then
    echo "check_cpp_package: the subproject built more than the core:" $built >&2
    exit 1
fi
"$cmake" --install "$work/fetched" --prefix "$work/fetched-prefix" >/dev/null
installed=$(cd "$work/fetched-prefix" && find . -type f | sort)
if [ "$installed" != "./bin/round_trip" ]; then
    echo "check_cpp_package: installing the consumer installed more than its program:" $installed >&2
    exit 1
fi
echo "C++ package $installed_version: find_package and FetchContent consumers: ok"
