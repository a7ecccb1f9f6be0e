"""Reads gcovr's JSON report of the instrumented test run, prints the per-file
table of line and branch coverage, checks the uncovered lines against the
lines tagged as unreachable in the sources, and applies the floors.

    python tools/coverage_report.py DETAILS.json REPO LINE_FLOOR BRANCH_FLOOR

A line that no test can reach from Python carries, in its own trailing
comment, the tag `// uncovered: <why>`, so the reason sits beside the code
and moves with it. The tags are the one account of what the tests leave out:
a tagged line is left out of the figures the floors apply to (with its
branches), as a gcovr exclusion marker would leave it out, and an uncovered
line without the tag, or a tagged line that is covered or no code, fails the
run. The table shows both the raw figures and the ones the floors apply to.
Exit status 1 on any failure.
"""

import json
import re
import sys
from collections import defaultdict
from pathlib import Path

TAG = re.compile(r"//\s*uncovered:\s*(.*)$")
SOURCES = ("*.cpp", "*.hpp", "*.h", "*.cc")


def read_tags(repo):
    """{(file, line): reason} for each line of src/ tagged `// uncovered: reason`,
    with file relative to the repository, as gcovr names it."""
    root = Path(repo)
    tagged = {}
    for pattern in SOURCES:
        for path in sorted((root / "src").rglob(pattern)):
            name = path.relative_to(root).as_posix()
            for number, text in enumerate(path.read_text().splitlines(), 1):
                match = TAG.search(text)
                if not match:
                    continue
                if not match.group(1).strip():
                    raise SystemExit(f"{name}:{number}: the uncovered tag gives no reason")
                tagged[(name, number)] = match.group(1).strip()
    return tagged


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


def main(details_path, repo, line_floor, branch_floor):
    details = json.loads(Path(details_path).read_text())
    tagged = read_tags(repo)
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
            if key not in tagged:
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
    print("(net: without the lines tagged `// uncovered:` in src/)")

    def source(key):
        lines = (Path(repo) / key[0]).read_text().splitlines()
        return lines[key[1] - 1].strip() if key[1] <= len(lines) else "<past the end>"

    problems = [f"uncovered, not tagged: {k[0]}:{k[1]}: {source(k)}"
                for k in sorted(missed - tagged.keys())]
    problems += [f"tagged uncovered but {'covered now' if k in code else 'no code line'}: "
                 f"{k[0]}:{k[1]}: {source(k)}" for k in sorted(tagged.keys() - missed)]
    total = net["TOTAL"]
    for what, pair, floor in (("line", total.lines, line_floor), ("branch", total.branches, branch_floor)):
        p = Tally.percent(pair)
        if p is not None and p < float(floor):
            problems.append(f"{what} coverage {p:.1f} % is below the floor of {floor} %")
    print()
    print("\n".join(problems) if problems else f"floors met; {len(missed)} lines uncovered, all tagged")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
