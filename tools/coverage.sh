#!/usr/bin/env bash
# Builds both native modules with gcov instrumentation into a virtual
# environment of their own, runs the whole test suite against that build (the
# allocation-failure sweep included) and reports line and branch coverage of
# src/ with gcovr. Fails when lines fall below 98 % or branches below 90 %,
# or when the uncovered lines differ from those tagged `// uncovered: <why>`
# in src/, each a line no test can reach with the reason beside it; the floors
# apply to the code without those lines (tools/coverage_report.py).
#
# Usage: tools/coverage.sh [pytest arguments]   (default: the whole suite)
# Needs: a CPython 3.13, g++ (or CXX, with gcov to match: GCOV), PyPI.
# BRINDOVA_COV_VENV overrides where the environment lives (outside the clone:
# the tests insist on a module installed elsewhere). It is kept between runs,
# as is the build directory, so a second run rebuilds only what changed.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=${BRINDOVA_COV_VENV:-${XDG_CACHE_HOME:-$HOME/.cache}/brindova/venv-coverage}
# Separate from the other builds: instrumented objects must never mix with them.
build_dir=build/coverage
line_floor=98
branch_floor=90
export CXX=${CXX:-g++}
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_PROGRESS_BAR=off PIP_NO_INPUT=1

log() { printf '\n=== %s\n' "$*"; }

source "$repo/tools/common.sh"

make_venv() {
    make_build_venv "$venv"
    "$py" -m pip install -q "gcovr>=7"
}

# -O0 keeps one counted line per source line; NDEBUG as in a release build,
# so that the code measured is the code shipped. The interpreter loads the
# modules, so libgcov comes in through the module's own link.
install_package() {
    log "building brindova with gcov instrumentation in $build_dir"
    (cd "$repo" && "$py" -m pip install -q --no-build-isolation \
        -C build-dir="$build_dir" \
        -C cmake.build-type=Release \
        -C cmake.define.CMAKE_CXX_FLAGS=--coverage \
        -C "cmake.define.CMAKE_CXX_FLAGS_RELEASE=-O0 -DNDEBUG" \
        -C cmake.define.CMAKE_MODULE_LINKER_FLAGS=--coverage \
        ".[test]")
    # An uninstrumented build would report nothing and prove nothing.
    if ! find "$repo/$build_dir" -name '*.gcno' | grep -q .; then
        echo "the build left no .gcno files: it is not instrumented" >&2
        return 1
    fi
}

# Counts of an earlier run would be added to this one's.
reset_counts() {
    find "$repo/$build_dir" -name '*.gcda' -delete
}

# Each process, the children the tests start included, adds its counts to
# the .gcda files in the build directory when it exits (they hold absolute
# paths, so a child's working directory does not matter); a child that
# crashes or leaves by os._exit adds nothing. A failing test does not stop the
# report: the run fails afterwards. A fixed seed makes the property-based
# tests draw the same cases every run, so the uncovered lines do not change
# from one run to the next. `-m ""` selects every test, those a default run
# leaves out included: the tags must match what the whole suite reaches.
run_tests() {
    log "python -m pytest against the instrumented build"
    tests_status=0
    (cd "$repo" && BRINDOVA_UNOPTIMISED_BUILD=1 "$py" -m pytest -p no:cacheprovider -q --hypothesis-seed=0 -m "" "$@") \
        || tests_status=$?
}

# Options, and why:
#   --exclude-throw-branches       we build with -fno-exceptions, so the only
#                                  throw edges are the compiler's own
#   --exclude-unreachable-branches branches gcov puts on lines with no code of
#                                  their own (a closing brace running the
#                                  destructors of owning references)
#   --exclude-noncode-lines        braces and `else` lines counted for those
#                                  destructor calls; the release itself is
#                                  counted in ref.hpp
# Only the objects of our three targets are read: CMake's compiler probe in
# the same build directory has a .gcno of its own.
report() {
    log "coverage of src/ (lines at least $line_floor %, branches at least $branch_floor %)"
    local objects=$repo/$build_dir/CMakeFiles status=0
    (cd "$repo" && "$py" -m gcovr --root . --filter 'src/' \
        --exclude-throw-branches --exclude-unreachable-branches --exclude-noncode-lines \
        --json "$work/details.json" \
        "$objects/brindova_common.dir" "$objects/talvesh.dir" "$objects/extensions.dir")
    (cd "$repo" && "$py" tools/coverage_report.py "$work/details.json" . \
        "$line_floor" "$branch_floor") || status=1
    if ((tests_status != 0)); then echo "the test run failed (exit $tests_status)" >&2; fi
    ((status == 0 && tests_status == 0))
}

work=$(mktemp -d "${TMPDIR:-/tmp}/brindova-coverage.XXXXXX")
trap 'rm -rf "$work"' EXIT
find_python
make_venv
install_package
reset_counts
run_tests "$@"
report
