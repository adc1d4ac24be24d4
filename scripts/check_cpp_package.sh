#!/usr/bin/env bash
# The C++ core as a consumer gets it, with no Python involved:
# - installed: a plain configure, build and install of this tree into a fresh
#   temporary prefix, then examples/cpp configured against that install alone
#   (find_package); the package's version file must carry the project's version;
# - as a subproject: examples/cpp_fetchcontent fetches an archive of this tree
#   with FetchContent; only the core may be built, and installing the consumer
#   must install its own program and nothing of the core.
# Usage: scripts/check_cpp_package.sh [VERSION]   (VERSION: the one the wheel reports)
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cmake=${CMAKE:-$(command -v cmake || echo "$root/.venv/bin/cmake")}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Configures SOURCE into BUILD with ARGS... and builds it, quietly.
build() { "$cmake" -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release "${@:3}" >/dev/null && "$cmake" --build "$2" -j 2 >/dev/null; }

build "$root" "$work/core"
"$cmake" --install "$work/core" --prefix "$work/prefix" >/dev/null
! grep -q '^Python_EXECUTABLE' "$work/core/CMakeCache.txt" || fail "a plain configure looked for Python"
version_file="$work/prefix/lib/cmake/velmora_torso_kinematics/velmora_torso_kinematicsConfigVersion.cmake"
installed_version=$(sed -n 's/^set(PACKAGE_VERSION "\(.*\)")$/\1/p' "$version_file")
[ -z "${1:-}" ] || [ "$installed_version" = "$1" ] ||
    fail "the C++ package says version $installed_version, the wheel $1"

# Copies, so that the consumers cannot reach into the source tree.
cp -r "$root/examples" "$work/examples"
build "$work/examples/cpp" "$work/consumer" -DCMAKE_PREFIX_PATH="$work/prefix"
"$work/consumer/round_trip"

# The tree's files as a release archive would hold them (tracked and new, not ignored).
git ls-files -z --cached --others --exclude-standard |
    xargs -0 tar -czf "$work/velmora_torso_kinematics.tar.gz" --transform 's,^,velmora_torso_kinematics/,' \
        --ignore-failed-read
build "$work/examples/cpp_fetchcontent" "$work/fetched" \
    -DVELMORA_TORSO_KINEMATICS_SOURCE="$work/velmora_torso_kinematics.tar.gz"
"$work/fetched/round_trip" >/dev/null
built=$(cd "$work/fetched" && find . -path './_deps/*-src' -prune -o -type f \
    \( -name '*.so' -o -name 'velmora_stubgen' -o -name 'test_*' \) -print)
[ -z "$built" ] || fail "the subproject built more than the core:" $built
"$cmake" --install "$work/fetched" --prefix "$work/fetched-prefix" >/dev/null
installed=$(cd "$work/fetched-prefix" && find . -type f | sort)
[ "$installed" = "./bin/round_trip" ] || fail "installing the consumer installed more than its program:" $installed
echo "C++ package $installed_version: find_package and FetchContent consumers: ok"
