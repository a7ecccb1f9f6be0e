"""Reads gcovr's JSON report of the instrumented test run, prints the per-file
table of line and branch coverage, checks the uncovered lines against the
list of lines that cannot be reached from Python, and applies the floors.

    python tools/coverage_report.py DETAILS.json LIST REPO LINE_FLOOR BRANCH_FLOOR

The list is the one account of what the tests leave out: a line listed there
is left out of the figures the floors apply to (with its branches), as a
gcovr exclusion marker would leave it out, and an uncovered line that is not
listed, or a listed line that is covered or no longer code, fails the run.
The table shows both the raw figures and the ones the floors apply to.
Exit status 1 on any failure.
"""

import json
import sys
from collections import defaultdict
from pathlib import Path


def read_list(path):
    """{(file, line): reason} from lines `file:line  reason`; # starts a comment line."""
    listed = {}
    for number, text in enumerate(Path(path).read_text().splitlines(), 1):
        text = text.strip()
        if not text or text.startswith("#"):
            continue
        where, _, reason = text.partition(" ")
        file, _, line = where.rpartition(":")
        if not file or not line.isdigit() or not reason.strip():
            raise SystemExit(f"{path}:{number}: expected `file:line  reason`, got {text!r}")
        listed[(file, int(line))] = reason.strip()
    return listed


class Tally:
    """Lines and branches, counted as gcovr counts them: one entry per line
    of each function (a line shared by two functions counts twice)."""

    def __init__(self):
        self.lines = [0, 0]
        self.branches = [0, 0]

    def add(self, entry):
        self.lines[0] += entry["count"] > 0
        self.lines[1] += 1
        self.branches[0] += sum(b["count"] > 0 for b in entry["branches"])
        self.branches[1] += len(entry["branches"])

    @staticmethod
    def percent(pair):
        return 100.0 * pair[0] / pair[1] if pair[1] else None


def main(details_path, list_path, repo, line_floor, branch_floor):
    details = json.loads(Path(details_path).read_text())
    listed = read_list(list_path)
    raw, net = defaultdict(Tally), defaultdict(Tally)
    missed, code = set(), set()
    for f in details["files"]:
        for entry in f["lines"]:
            key = (f["file"], entry["line_number"])
            code.add(key)
            if entry["count"] == 0:
                missed.add(key)
            for tally in (raw[f["file"]], raw["TOTAL"]):
                tally.add(entry)
            if key not in listed:
                for tally in (net[f["file"]], net["TOTAL"]):
                    tally.add(entry)

    def cell(pair):
        p = Tally.percent(pair)
        return f"{pair[0]}/{pair[1]}", "-" if p is None else f"{p:.1f}"

    rows = [("", "lines", "%", "net %", "branches", "%", "net %")]
    for name in [*sorted(k for k in raw if k != "TOTAL"), "TOTAL"]:
        lines, branches = cell(raw[name].lines), cell(raw[name].branches)
        rows.append((name, *lines, cell(net[name].lines)[1], *branches, cell(net[name].branches)[1]))
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    for i, r in enumerate(rows):
        print(f"{r[0]:<{widths[0]}}  " + "  ".join(f"{c:>{w}}" for c, w in zip(r[1:], widths[1:])))
        if i in (0, len(rows) - 2):
            print("-" * (sum(widths) + 2 * (len(widths) - 1)))
    print("(net: without the lines listed in", list_path + ")")

    def source(key):
        lines = (Path(repo) / key[0]).read_text().splitlines()
        return lines[key[1] - 1].strip() if key[1] <= len(lines) else "<past the end>"

    problems = [f"uncovered, not listed in {list_path}: {k[0]}:{k[1]}: {source(k)}"
                for k in sorted(missed - listed.keys())]
    problems += [f"listed in {list_path} but {'covered now' if k in code else 'no longer a code line'}: "
                 f"{k[0]}:{k[1]}: {source(k)}" for k in sorted(listed.keys() - missed)]
    total = net["TOTAL"]
    for what, pair, floor in (("line", total.lines, line_floor), ("branch", total.branches, branch_floor)):
        p = Tally.percent(pair)
        if p is not None and p < float(floor):
            problems.append(f"{what} coverage {p:.1f} % is below the floor of {floor} %")
    print()
    print("\n".join(problems) if problems else f"floors met; {len(missed)} lines uncovered, all listed")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
