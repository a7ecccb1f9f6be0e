#!/usr/bin/env bash
# Builds both native modules with AddressSanitizer and UndefinedBehaviorSanitizer
# into a virtual environment of their own and runs the whole test suite
# against that build.
#
# The interpreter itself is not instrumented: the sanitizer runtimes are
# preloaded, and PYTHONMALLOC=malloc sends every Python object allocation
# through the instrumented allocator, so a use of a freed or overrun object by
# our code is caught. Leak detection is off: the interpreter keeps memory for
# the life of the process on purpose (tests/test_leaks.py counts our leaks).
# Tests that start a child interpreter pass this environment on, so the child
# runs instrumented too.
#
# Usage: tools/sanitize.sh [pytest arguments]   (default: the whole suite)
# Needs: a CPython 3.13, g++ with the ASan and UBSan runtimes (CXX may name
# another GCC, such as g++-14; clang is refused), PyPI.
# BRINDOVA_SAN_VENV overrides where the environment lives (outside the clone:
# the tests insist on a module installed elsewhere). It is kept between runs,
# as is the build directory, so a second run rebuilds only what changed.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=${BRINDOVA_SAN_VENV:-${XDG_CACHE_HOME:-$HOME/.cache}/brindova/venv-sanitize}
# Separate from the normal build directory: objects of the two must never mix.
build_dir=build/sanitize
export CXX=${CXX:-g++}
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_PROGRESS_BAR=off PIP_NO_INPUT=1

log() { printf '\n=== %s\n' "$*"; }

source "$repo/tools/common.sh"

# Needs g++ with the ASan and UBSan runtimes (on Debian they come along:
# libasan, libubsan). Nothing is installed here: what is missing is named,
# with the package that brings it.
ensure_compiler() {
    if ! command -v "$CXX" >/dev/null 2>&1; then
        echo "tools/sanitize.sh needs g++: $CXX not found" >&2
        echo "(Debian: apt-get install g++, which brings the sanitizer runtimes; or set CXX to another g++)" >&2
        exit 1
    fi
    # The runtimes preloaded below, and the check that the modules link them,
    # are GCC's shared libasan and libubsan; clang links its own runtime into
    # each module statically, so its build could not be checked that way.
    if echo | "$CXX" -dM -E -x c++ - | grep -q '__clang__'; then
        echo "tools/sanitize.sh needs g++: CXX=$CXX is clang, whose sanitizer runtime this script does not support" >&2
        echo "(run it with CXX unset, or CXX naming a g++; Debian: apt-get install g++)" >&2
        exit 1
    fi
    asan=$("$CXX" -print-file-name=libasan.so)
    ubsan=$("$CXX" -print-file-name=libubsan.so)
    if [[ ! -e $asan || ! -e $ubsan ]]; then
        echo "$CXX has no sanitizer runtimes (libasan.so, libubsan.so)" >&2
        echo "(Debian: apt-get install libasan8 libubsan1, or the g++ package that matches $CXX)" >&2
        exit 1
    fi
}

make_venv() {
    make_build_venv "$venv"
}

install_package() {
    log "building brindova with ASan and UBSan in $build_dir"
    (cd "$repo" && BRINDOVA_SANITIZE=ON "$py" -m pip install -q --no-build-isolation \
        -C build-dir="$build_dir" ".[test]")
    # An uninstrumented build would pass every test below and prove nothing.
    local module origin
    for module in talvesh extensions; do
        origin=$("$py" -c "import importlib.util as u; print(u.find_spec('brindova.$module').origin)")
        if [[ $(ldd "$origin") != *libasan* ]]; then
            echo "brindova.$module is not linked against the sanitizer runtime" >&2
            return 1
        fi
    done
}

# Runs a command with the sanitizer runtimes preloaded.
sanitized() {
    LD_PRELOAD="$asan $ubsan${LD_PRELOAD:+ $LD_PRELOAD}" \
    PYTHONMALLOC=malloc \
    ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0:allocator_may_return_null=1:halt_on_error=1 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        "$@"
}

# A read of freed memory must stop the interpreter: otherwise the runtime is
# not in effect and a passing run below would mean nothing.
check_runtime() {
    log "the sanitizer runtime catches a use after free"
    local report
    if report=$(sanitized "$py" -c '
import ctypes
libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
block = libc.malloc(8)
libc.free(ctypes.c_void_p(block))
ctypes.string_at(block, 8)' 2>&1) || [[ $report != *"AddressSanitizer: heap-use-after-free"* ]]; then
        echo "no sanitizer report for a use after free:" >&2
        echo "$report" >&2
        return 1
    fi
    echo "caught"
}

run_tests() {
    log "python -m pytest under ASan and UBSan"
    cd "$repo"
    sanitized "$py" -m pytest -p no:cacheprovider -m "" "$@"
}

find_python
ensure_compiler
make_venv
install_package
check_runtime
run_tests "$@"
