# Sourced by the project's scripts. `find_python` sets $python to the path of
# a working CPython 3.13, or fails with a message; `make_build_venv` prepares a
# virtual environment for builds that reuse their build directory.

# Prints sys.executable when the command given is a working CPython 3.13.
is_cpython313() {
    "$@" -c 'import platform, sys
assert platform.python_implementation() == "CPython" and sys.version_info[:2] == (3, 13)
print(sys.executable)' 2>/dev/null
}

# Sets $python to a working CPython 3.13: a plain python3.13 on PATH, then
# each 3.13 that pyenv knows (its shim may need PYENV_VERSION), then pyenv's
# install directory, then the system's.
find_python() {
    local version candidate root
    if python=$(is_cpython313 python3.13); then
        return
    fi
    if command -v pyenv >/dev/null 2>&1; then
        for version in $(pyenv versions --bare 2>/dev/null | grep -E '^3\.13(\.[0-9]+)?$' | sort -rV); do
            if python=$(is_cpython313 env PYENV_VERSION="$version" python3.13); then
                return
            fi
        done
    fi
    root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
    for candidate in "$root"/versions/3.13*/bin/python3.13 /usr/bin/python3.13; do
        if [[ -x $candidate ]] && python=$(is_cpython313 "$candidate"); then
            return
        fi
    done
    echo "no working CPython 3.13 found" >&2
    return 1
}

# Makes (or reuses) the virtual environment $1 from $python, with the build
# requirements inside it, so that builds can run without isolation and reuse
# their directory from the last run; sets $py to its interpreter.
make_build_venv() {
    local venv=$1
    if ! is_cpython313 "$venv/bin/python" >/dev/null; then
        printf '\n=== %s\n' "virtual environment in $venv from $python"
        rm -rf "$venv"
        "$python" -m venv "$venv"
    fi
    py=$venv/bin/python
    "$py" -m pip install -q -U pip
    "$py" -m pip install -q "scikit-build-core>=0.11" cmake ninja
}
