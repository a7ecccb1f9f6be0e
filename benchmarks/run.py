"""Run the benchmark suite, save its pyperf JSON and print the comparison table.

    python benchmarks/run.py                   # full run (several minutes)
    python benchmarks/run.py --fast            # rough figures, quicker
    python benchmarks/run.py --select 'path-*' --fast
    python benchmarks/run.py --table benchmarks/results/bench-....json

Options that run.py does not know are handed to pyperf (for example
``-p 4``, ``--rigorous``, ``--affinity 1``). The JSON goes to
benchmarks/results/ unless ``-o`` names another file; ``python -m pyperf
stats FILE`` and ``python -m pyperf compare_to OLD NEW`` read it.
"""

import argparse
import datetime
import fnmatch
import math
import os
import statistics
import subprocess
import sys

import pyperf

HERE = os.path.dirname(os.path.abspath(__file__))
VARIANTS = ("native", "plain", "floor")
# The system calls that `resolve` makes, through ctypes, and as many ctypes
# calls that make none (see bench.py).
SYSCALL_VARIANTS = ("syscalls", "ctypes")

# What the native core is meant to reach, per workload (shell-style pattern):
# (pattern, column, comparison, threshold, wording).
GOALS = [
    ("call-no-args", "plain/native", ">=", 5.0, "no-argument call at least 5x faster than plain Python"),
    ("name-*", "glue ratio", ">=", 5.0, "native glue at most 1/5 of plain Python's"),
    ("path-*", "glue ratio", ">=", 5.0, "native glue at most 1/5 of plain Python's"),
    ("init-masks-names", "plain/native", ">=", 3.0, "construction without paths at least 3x faster than plain Python"),
    ("name-10-masks-miss", "native/floor", "<=", 1.05, "mask work within 1.05x the floor"),
    ("path-*", "native/floor", "<=", 1.05, "path work within 1.05x the floor"),
    ("walk-*", "plain/native", ">=", 4.0, "walk at least 4x faster than plain Python"),
]

DESCRIPTIONS = {
    "call-no-args": "is_ignored() with no argument",
    "name-20-names-hit-last": "is_ignored(name=) vs 20 names, hit on the last",
    "name-20-names-miss": "is_ignored(name=) vs 20 names, miss",
    "name-10-masks-miss": "is_ignored(name=) vs 10 name masks, miss",
    "path-file-hit": "is_ignored(path) relative, typical rules, first file hits",
    "path-miss": "is_ignored(path) relative, typical rules, miss",
    "path-hit-on-paths": "is_ignored(path) relative, typical rules, below the first paths entry",
    "init-masks-names": "LoaderIgnore(...) with mask and name lists",
    "init-files-paths": "LoaderIgnore(...) with files and paths",
    "walk-stdlib": "os.walk of the stdlib from inside, is_ignored(Path(dirpath, name)) per file",
    "import-talvesh": "import brindova.talvesh in a fresh interpreter",
    "import-extensions": "import brindova.extensions in a fresh interpreter",
}


def parse_args():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--fast", action="store_true", help="quick, rough run (pyperf --fast)")
    parser.add_argument("--select", metavar="PATTERN", help="only the workloads matching PATTERN")
    parser.add_argument("-o", "--output", metavar="FILE", help="where to save the pyperf JSON")
    parser.add_argument("--table", metavar="FILE", help="print the table of a saved run; run nothing")
    parser.add_argument("--stat", choices=("mean", "median"), default="mean",
                        help="which statistic the table shows (default: mean)")
    return parser.parse_known_args()


def run_suite(args, extra):
    output = args.output or os.path.join(
        HERE, "results", datetime.datetime.now().strftime("bench-%Y%m%d-%H%M%S.json"))
    output = os.path.abspath(output)
    os.makedirs(os.path.dirname(output), exist_ok=True)
    if os.path.exists(output):
        sys.exit(f"{output} exists already; pick another -o")
    cmd = [sys.executable, os.path.join(HERE, "bench.py"), "--quiet", "-o", output]
    if args.fast:
        cmd.append("--fast")
    if args.select:
        cmd.extend(("--select", args.select))
    cmd.extend(extra)
    print("$", " ".join(cmd), flush=True)
    subprocess.run(cmd, check=True)
    return output


# --- figures --------------------------------------------------------------------


class Figure:
    """A time in seconds with its spread."""

    def __init__(self, value, spread):
        self.value = value
        self.spread = spread

    def __sub__(self, other):
        return Figure(self.value - other.value, math.hypot(self.spread, other.spread))


def figure(bench, stat):
    values = bench.get_values()
    value = statistics.mean(values) if stat == "mean" else statistics.median(values)
    spread = statistics.stdev(values) if len(values) > 1 else 0.0
    return Figure(value, spread)


def fmt_time(seconds):
    if seconds is None:
        return "-"
    magnitude = abs(seconds)
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if magnitude >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def ratio(numerator, denominator):
    if numerator is None or denominator is None or denominator <= 0:
        return None
    return numerator / denominator


def fmt_ratio(value):
    return "-" if value is None else f"{value:.2f}x"


def glue(native, plain, floor):
    """(plain - floor) / (native - floor), with its table text.

    When native is at or below the floor, or so close to it that the
    difference is within the spread of the two figures, the ratio means
    nothing; the text says which.
    """
    native_glue = native - floor
    plain_glue = plain - floor
    noisy = " ?" if abs(native_glue.value) < native_glue.spread else ""
    if native_glue.value <= 0:
        return math.inf, "inf (native <= floor)" + noisy
    if plain_glue.value <= 0:
        return 0.0, "0 (plain <= floor)" + noisy
    value = plain_glue.value / native_glue.value
    return value, f"{value:.1f}{noisy}"


def rows(suite, stat):
    benches = {bench.get_name(): bench for bench in suite}
    workloads = []
    for name in benches:
        workload, _, variant = name.rpartition(".")
        if variant in VARIANTS and workload not in workloads:
            workloads.append(workload)

    for workload in workloads:
        figures = {}
        for variant in VARIANTS + SYSCALL_VARIANTS:
            bench = benches.get(f"{workload}.{variant}")
            if bench is None:
                continue
            figures[variant] = figure(bench, stat)
        native, plain, floor = (figures.get(v) for v in VARIANTS)
        syscalls, stand_in = (figures.get(v) for v in SYSCALL_VARIANTS)
        row = {
            "workload": workload,
            "native": native and native.value,
            "plain": plain and plain.value,
            "floor": floor and floor.value,
            "syscalls": syscalls and stand_in and (syscalls - stand_in).value,
        }
        row["plain/native"] = ratio(row["plain"], row["native"])
        row["native/floor"] = ratio(row["native"], row["floor"])
        row["glue ratio"], row["glue text"] = (
            glue(native, plain, floor) if native and plain and floor else (None, "-"))
        row["noisy"] = row["glue text"].endswith("?")
        yield row


def print_table(suite, stat):
    first = next(iter(suite))
    meta = first.get_metadata()
    dates = suite.get_dates()
    when = dates[0].strftime("%Y-%m-%d %H:%M") if dates else "?"
    print()
    print(f"{meta.get('python_implementation', '?')} {meta.get('python_version', '?')}, "
          f"{meta.get('cpu_model_name', '?')} ({meta.get('cpu_count', '?')} CPUs), "
          f"{meta.get('platform', '?')}; {when}; {first.get_nrun()} runs per benchmark; "
          f"{stat} of each variant's values")
    print()
    header = ["workload", "native", "plain Python", "floor", "syscalls", "plain/native",
              "native/floor", "glue ratio"]
    table = []
    for row in rows(suite, stat):
        table.append([row["workload"], fmt_time(row["native"]), fmt_time(row["plain"]),
                      fmt_time(row["floor"]), fmt_time(row["syscalls"]), fmt_ratio(row["plain/native"]),
                      fmt_ratio(row["native/floor"]), row["glue text"]])
    widths = [max(len(line[i]) for line in [header, *table]) for i in range(len(header))]

    def line(cells):
        return "| " + " | ".join(c.ljust(w) for c, w in zip(cells, widths)) + " |"

    print(line(header))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for cells in table:
        print(line(cells))
    print()
    print("glue ratio = (plain - floor) / (native - floor): how many times more time plain")
    print("Python spends beyond the floor than native does; higher is better.")
    print("'?' = native's distance from the floor is within the noise of the two figures.")
    print("syscalls = the system calls that resolve makes there, alone: made through ctypes,")
    print("less the same ctypes calls to a function that makes none.")
    print()
    for workload, text in DESCRIPTIONS.items():
        if any(cells[0] == workload for cells in table):
            print(f"  {workload:<24} {text}")
    print()
    print_goals(list(rows(suite, stat)))


def print_goals(all_rows):
    print("Goals:")
    if not any(fnmatch.fnmatchcase(row["workload"], goal[0]) for goal in GOALS for row in all_rows):
        print("  (none concerns the workloads run)")
    for pattern, column, comparison, threshold, wording in GOALS:
        for row in all_rows:
            if not fnmatch.fnmatchcase(row["workload"], pattern):
                continue
            value = row[column]
            if value is None:
                verdict, shown = "n/a ", "-"
            else:
                met = value >= threshold if comparison == ">=" else value <= threshold
                verdict = "ok  " if met else "MISS"
                shown = "inf" if math.isinf(value) else f"{value:.2f}"
            caveat = ("; native - floor is within the noise"
                      if row["noisy"] and column in ("glue ratio", "native/floor") else "")
            print(f"  {verdict} {row['workload']:<24} {column} {shown} "
                  f"(want {comparison} {threshold:g}): {wording}{caveat}")


def main():
    args, extra = parse_args()
    path = args.table or run_suite(args, extra)
    suite = pyperf.BenchmarkSuite.load(path)
    print(f"results: {path}")
    print_table(suite, args.stat)


if __name__ == "__main__":
    main()
