#!/usr/bin/env bash
# Runs a part of the test suite under valgrind's memcheck against a build with
# debug information, and sums up what it found: memory errors, and blocks
# definitely lost whose allocation passed through one of our modules.
#
# The interpreter allocates through malloc (PYTHONMALLOC=malloc) so that
# memcheck sees every object. Only definite leaks count as errors: the
# interpreter and our modules keep some memory for the life of the process on
# purpose (interned names, the module of the process), which memcheck reports
# as reachable.
#
# Usage: tools/valgrind.sh [pytest arguments]
#   default: tests/test_leaks.py -k 'not import' and tests/test_model.py with
#   20 examples per property (valgrind runs code some 50 times slower).
# BRINDOVA_VG_VENV overrides where the environment lives (outside the clone);
# the full report is left in build/valgrind/memcheck.log.
# Exits non-zero when memcheck reports an error in our modules or a definite
# leak that passes through them (other than interned names, see below).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=${BRINDOVA_VG_VENV:-${XDG_CACHE_HOME:-$HOME/.cache}/brindova/venv-valgrind}
build_dir=build/valgrind
log_file=$repo/$build_dir/memcheck.log
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_PROGRESS_BAR=off PIP_NO_INPUT=1

log() { printf '\n=== %s\n' "$*"; }

source "$repo/tools/common.sh"

ensure_tools() {
    local missing=()
    command -v valgrind >/dev/null 2>&1 || missing+=(valgrind)
    command -v g++ >/dev/null 2>&1 || missing+=(g++)
    if ((${#missing[@]})); then
        log "installing ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
}

make_venv() {
    make_build_venv "$venv"
}

# Optimised as usual, but with line numbers and symbols for the reports.
install_package() {
    log "building brindova with debug information in $build_dir"
    (cd "$repo" && "$py" -m pip install -q --no-build-isolation \
        -C build-dir="$build_dir" -C cmake.build-type=RelWithDebInfo -C install.strip=false ".[test]")
}

run_memcheck() {
    local args=("$@")
    if ((${#args[@]} == 0)); then
        args=(tests/test_leaks.py -k "not import" tests/test_model.py)
    fi
    log "pytest ${args[*]} under memcheck (log: $log_file)"
    mkdir -p "$(dirname "$log_file")"
    cd "$repo"
    local status=0
    PYTHONMALLOC=malloc BRINDOVA_MODEL_EXAMPLES=${BRINDOVA_MODEL_EXAMPLES:-20} \
        valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
        --errors-for-leak-kinds=definite --num-callers=40 --log-file="$log_file" \
        "$py" -m pytest -q -p no:cacheprovider "${args[@]}" || status=$?
    if ((status != 0)); then
        echo "pytest under memcheck exited with $status" >&2
        return "$status"
    fi
}

# Reads the memcheck log: each report is a run of lines between blank ones.
summarise() {
    log "memcheck summary"
    "$py" - "$log_file" <<'EOF'
import re
import sys

text = re.sub(r"^==\d+== ?", "", open(sys.argv[1]).read(), flags=re.M)
reports = [r.strip() for r in re.split(r"\n\s*\n", text) if r.strip()]
ours = re.compile(r"brindova::|PyInit_(talvesh|extensions)|(talvesh|extensions)\.cpython-313")
errors = [r for r in reports if re.match(r"(Invalid|Conditional|Use of uninit|Syscall param|Mismatched|"
                                         r"Source and destination|Argument .* fishy)", r)]
leaks = [r for r in reports if "definitely lost in loss record" in r]
total = re.search(r"ERROR SUMMARY: (\d+) errors", text)
print(f"memcheck error summary: {total.group(1) if total else 'missing'} "
      "(memory errors and definite leak records)")
print(f"memory errors: {len(errors)}, through our modules: {sum(bool(ours.search(r)) for r in errors)}")
lost = sum(int(re.match(r"([\d,]+) bytes", r).group(1).replace(",", "")) for r in leaks)
# Interned strings are immortal: the interpreter never frees them, and at exit
# memcheck finds those no longer referenced lost. Our modules intern their
# names once, at import, like every module does.
interned = re.compile(r"PyUnicode_Intern")
ours_interned = [r for r in leaks if ours.search(r) and interned.search(r)]
print(f"definite leak records: {len(leaks)} ({lost} bytes), through our modules: "
      f"{sum(bool(ours.search(r)) for r in leaks)}, of them interned names: {len(ours_interned)}")
bad = [r for r in errors + leaks if ours.search(r) and r not in ours_interned]
for report in bad:
    print("\n" + report)
sys.exit(1 if bad or not total else 0)
EOF
}

find_python
ensure_tools
make_venv
install_package
run_memcheck "$@"
summarise
