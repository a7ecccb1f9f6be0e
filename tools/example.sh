#!/usr/bin/env bash
# Installs brindova into a fresh virtual environment and runs the example
# report on its embedded demo directory and environment. Extra arguments go to
# the example (for instance: --help, or a directory to walk instead of --demo).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$repo/tools/common.sh"
find_python

venv=${BRINDOVA_EXAMPLE_VENV:-$repo/.venv-example}
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_PROGRESS_BAR=off PIP_NO_INPUT=1
"$python" -m venv "$venv"
"$venv/bin/python" -m pip install --quiet -U pip
"$venv/bin/python" -m pip install --quiet "$repo"

if [[ $# -eq 0 ]]; then
    set -- --demo
fi
"$venv/bin/python" "$repo/examples/ignore_report.py" "$@"
