#!/usr/bin/env bash
# Installs brindova into a virtual environment of its own and runs the example
# report on its embedded demo directory and environment. Extra arguments go to
# the example (for instance: --help, or a directory to walk instead of --demo).
#
# The environment is kept: a later run, --help included, installs again only
# when the sources or the build settings have changed since the last install.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$repo/tools/common.sh"

venv=${BRINDOVA_EXAMPLE_VENV:-$repo/.venv-example}
stamp=$venv/.brindova-sources
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_PROGRESS_BAR=off PIP_NO_INPUT=1

# One digest of everything that goes into the installed modules.
sources_digest() {
    (cd "$repo" && find CMakeLists.txt pyproject.toml src -type f -print0 \
        | LC_ALL=C sort -z | xargs -0 sha256sum | sha256sum | cut -d' ' -f1)
}

digest=$(sources_digest)
if [[ ! -x $venv/bin/python || $(cat "$stamp" 2>/dev/null) != "$digest" ]]; then
    find_python
    echo "Installing brindova into ${venv/#$repo\//}: building its two C++ modules" \
         "(about 10-30 s; the first time also fetches pip and the build tools from PyPI)..." >&2
    start=$SECONDS
    rm -f "$stamp"
    if ! is_cpython313 "$venv/bin/python" >/dev/null; then
        "$python" -m venv --clear "$venv"
        "$venv/bin/python" -m pip install --quiet -U pip
    fi
    "$venv/bin/python" -m pip install --quiet --force-reinstall --no-deps "$repo"
    echo "$digest" >"$stamp"
    echo "Installed in $((SECONDS - start)) s." >&2
fi

if [[ $# -eq 0 ]]; then
    set -- --demo
fi
"$venv/bin/python" "$repo/examples/ignore_report.py" "$@"
