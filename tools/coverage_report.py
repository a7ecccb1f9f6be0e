"""Reads gcovr's JSON reports of the instrumented test run, prints the
per-file table of line and branch coverage, and checks the uncovered lines
against the list of lines that cannot be reached from Python.

    python tools/coverage_report.py SUMMARY.json DETAILS.json LIST REPO

Exit status 1 when an uncovered line is not in the list, or a listed line is
covered (or no longer code): the list stays the one true account of what the
tests do not reach. The floors are gcovr's own (--fail-under-*).
"""

import json
import sys
from pathlib import Path


def read_list(path):
    """{(file, line): reason} from lines `file:line  reason`; # starts a comment."""
    listed = {}
    for number, text in enumerate(Path(path).read_text().splitlines(), 1):
        text = text.split("#", 1)[0].strip() if text.lstrip().startswith("#") else text.strip()
        if not text:
            continue
        where, _, reason = text.partition(" ")
        file, _, line = where.rpartition(":")
        if not file or not line.isdigit() or not reason.strip():
            raise SystemExit(f"{path}:{number}: expected `file:line  reason`, got {text!r}")
        listed[(file, int(line))] = reason.strip()
    return listed


def uncovered(details):
    """(file, line) of every code line that no test ran."""
    counts = {}
    for f in details["files"]:
        for line in f["lines"]:
            key = (f["file"], line["line_number"])
            counts[key] = counts.get(key, 0) + line["count"]
    return {key for key, count in counts.items() if count == 0}, set(counts)


def table(summary):
    rows = [("file", "lines", "%", "branches", "%")]

    def percent(value):
        return "-" if value is None else f"{value:.1f}"

    def row(name, item):
        return (name, f"{item['line_covered']}/{item['line_total']}", percent(item["line_percent"]),
                f"{item['branch_covered']}/{item['branch_total']}", percent(item["branch_percent"]))

    rows += [row(f["filename"], f) for f in sorted(summary["files"], key=lambda f: f["filename"])]
    rows.append(row("TOTAL", summary))
    widths = [max(len(r[i]) for r in rows) for i in range(5)]
    out = []
    for i, r in enumerate(rows):
        out.append(f"{r[0]:<{widths[0]}}  " + "  ".join(f"{c:>{w}}" for c, w in zip(r[1:], widths[1:])))
        if i == 0 or i == len(rows) - 2:
            out.append("-" * len(out[-1]))
    return "\n".join(out)


def main(summary_path, details_path, list_path, repo):
    summary = json.loads(Path(summary_path).read_text())
    print(table(summary))
    missed, code = uncovered(json.loads(Path(details_path).read_text()))
    listed = read_list(list_path)

    def source(key):
        lines = (Path(repo) / key[0]).read_text().splitlines()
        return lines[key[1] - 1].strip() if key[1] <= len(lines) else "<past the end>"

    problems = []
    for key in sorted(missed - listed.keys()):
        problems.append(f"uncovered, not in {list_path}: {key[0]}:{key[1]}: {source(key)}")
    for key in sorted(listed.keys() - missed):
        state = "covered now" if key in code else "no longer a code line"
        problems.append(f"listed in {list_path} but {state}: {key[0]}:{key[1]}: {source(key)}")
    print(f"\n{len(missed)} lines uncovered, each listed with its reason in {list_path}"
          if not problems else "\n" + "\n".join(problems))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
