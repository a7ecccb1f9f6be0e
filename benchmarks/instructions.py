"""Instructions per call of each workload, counted by valgrind's cachegrind.

Timings on a shared or virtual machine scatter by 10 % and more; instruction
counts do not: the same build, inputs and environment give the same count,
whatever else the machine is doing. Each workload and variant runs its timing
loop twice, with two loop counts, in a child under cachegrind; the difference
divided by the extra calls is the cost of one call, start-up excluded.

    python benchmarks/instructions.py [WORKLOAD ...]
"""

import os
import re
import subprocess
import sys

import bench

HERE = os.path.dirname(os.path.abspath(__file__))
SHORT, LONG = 100, 200

CHILD = """
import os, sys
sys.path.insert(0, {here!r})
import bench
tree = bench.make_tree()
os.chdir(tree.name)
w = {{w.name: w for w in bench.call_workloads() + bench.init_workloads()}}[{name!r}]
w.loop(20, *w.variants[{variant!r}])  # warm up: specialisation, fnmatch's pattern cache
w.loop({loops}, *w.variants[{variant!r}])
"""


def count(name, variant, loops):
    code = CHILD.format(here=HERE, name=name, variant=variant, loops=loops)
    proc = subprocess.run(
        ["valgrind", "--tool=cachegrind", "--cache-sim=no", "--cachegrind-out-file=/dev/null",
         sys.executable, "-c", code],
        capture_output=True, text=True, env={**os.environ, "PYTHONHASHSEED": "0"}, check=True)
    return int(re.search(r"I\s+refs:\s+([\d,]+)", proc.stderr).group(1).replace(",", ""))


def per_call(workload, variant):
    calls = (LONG - SHORT) * (workload.inner_loops or 1)
    return (count(workload.name, variant, LONG) - count(workload.name, variant, SHORT)) / calls


def main(selected):
    workloads = [w for w in bench.call_workloads() + bench.init_workloads()
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
