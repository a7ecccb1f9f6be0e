"""Instructions per call of each workload, counted by valgrind's cachegrind.

Timings on a shared or virtual machine scatter by 10 % and more; instruction
counts do not: the same build, inputs and environment give the same count,
whatever else the machine is doing. Each workload and variant runs its timing
loop twice, with two loop counts, in a child under cachegrind; the difference
divided by the extra calls is the cost of one call, start-up excluded.
The walk of the standard library is counted whole, once warm and once more.
The `syscalls` column of run.py is not counted here: cachegrind sees only
the user-space side of a system call, not the kernel's work.

    python benchmarks/instructions.py [WORKLOAD ...]
"""

import os
import re
import subprocess
import sys

import bench

HERE = os.path.dirname(os.path.abspath(__file__))
# Loops to warm up, then the two loop counts; one loop of the walk asks about
# every file of the standard library.
LOOPS = {"walk-stdlib": (1, 0, 1)}
DEFAULT_LOOPS = (20, 100, 200)

CHILD = """
import os, sys
sys.path.insert(0, {here!r})
import bench
tree = bench.make_tree()
os.chdir(tree.name)
workloads = bench.walk_workloads() if {name!r} == "walk-stdlib" else bench.call_workloads() + bench.init_workloads()
w = {{w.name: w for w in workloads}}[{name!r}]
w.loop({warm}, *w.variants[{variant!r}])  # warm up: specialisation, fnmatch's pattern cache
w.loop({loops}, *w.variants[{variant!r}])
"""


def count(name, variant, loops):
    code = CHILD.format(here=HERE, name=name, variant=variant, loops=loops,
                        warm=LOOPS.get(name, DEFAULT_LOOPS)[0])
    proc = subprocess.run(
        ["valgrind", "--tool=cachegrind", "--cache-sim=no", "--cachegrind-out-file=/dev/null",
         sys.executable, "-c", code],
        capture_output=True, text=True, env={**os.environ, "PYTHONHASHSEED": "0"}, check=True)
    return int(re.search(r"I\s+refs:\s+([\d,]+)", proc.stderr).group(1).replace(",", ""))


def per_call(workload, variant):
    _, short, long = LOOPS.get(workload.name, DEFAULT_LOOPS)
    calls = (long - short) * (workload.inner_loops or 1)
    return (count(workload.name, variant, long) - count(workload.name, variant, short)) / calls


def main(selected):
    walk = bench.walk_workloads() if not selected or "walk-stdlib" in selected else []
    workloads = [w for w in bench.call_workloads() + bench.init_workloads() + walk
                 if not selected or w.name in selected]
    print("| workload | native | plain Python | floor | plain/native | native/floor | glue ratio |")
    print("|---|---|---|---|---|---|---|")
    for w in workloads:
        native, plain, floor = (per_call(w, v) for v in bench.VARIANTS)
        glue = (plain - floor) / (native - floor) if native > floor else float("inf")
        print(f"| {w.name} | {native:,.0f} | {plain:,.0f} | {floor:,.0f} | {plain / native:.2f}x "
              f"| {native / floor:.3f}x | {glue:.1f} |", flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
