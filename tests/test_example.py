"""The example report, run as a user runs it: a child process on the installed package."""

import os
import pty
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLE = Path(__file__).parents[1] / "examples" / "ignore_report.py"
IGNORED, KEPT, TOTAL = "  IGNORED        app.yaml~", "  kept     yaml  app.yaml", "  6 of 12 files ignored"


def run(*args, prefix=(), stderr=subprocess.PIPE):
    return subprocess.run([*prefix, sys.executable, EXAMPLE, *args], stdout=subprocess.PIPE,
                          stderr=stderr, stdin=subprocess.DEVNULL, text=True, timeout=120)


def unreadable_under(locked):
    # Root reads a mode-000 directory unless it gives up its override capabilities.
    drop = (shutil.which("setpriv") or "setpriv", "--bounding-set=-dac_override,-dac_read_search")
    probe = "import os, sys; sys.exit(42 * (not os.access(sys.argv[1], os.R_OK)))"
    for prefix in [(), drop]:
        if subprocess.run([*prefix, sys.executable, "-c", probe, locked]).returncode == 42:
            return prefix
    pytest.skip("no way to make a directory unreadable here")


@pytest.mark.parametrize(("args", "status", "present", "absent", "stderr"), [
    # the demo's known rows and each listing option's filter; no progress off a terminal
    (["--demo"], 0, [IGNORED, KEPT, TOTAL], [], ""),
    (["--demo", "--summary"], 0, [TOTAL], [IGNORED, KEPT], ""),
    (["--demo", "--ignored-only"], 0, [IGNORED, TOTAL], [KEPT], ""),
    # a directory that cannot be walked at all: a message, no report
    (["{tmp}/missing"], 2, [], [], "error: {tmp}/missing does not exist\n"),
    (["{tmp}/tree/a.yaml"], 2, [], [], "error: {tmp}/tree/a.yaml is not a directory\n"),
    # an unreadable subdirectory is named, and the rest is still reported
    (["--summary", "{tmp}/tree"], 1, ["  0 of 1 files ignored", "  1 directory could not be read"],
     [], "warning: cannot read {tmp}/tree/locked: Permission denied\n"),
])
def test_report(tmp_path, args, status, present, absent, stderr):
    locked = tmp_path / "tree" / "locked"
    locked.mkdir(parents=True)
    (locked.parent / "a.yaml").touch()
    (locked / "hidden.json").touch()
    locked.chmod(0)
    prefix = unreadable_under(locked) if status == 1 else ()
    proc = run(*(a.format(tmp=tmp_path) for a in args), prefix=prefix)
    locked.chmod(0o700)  # lets the temporary tree be removed even by a user who is not root
    lines = proc.stdout.splitlines()
    assert (proc.returncode, proc.stderr) == (status, stderr.format(tmp=tmp_path))
    assert [line in lines for line in present + absent] == [True] * len(present) + [False] * len(absent)
    assert bool(lines) == (status != 2)


def test_progress_goes_to_a_terminal_and_is_erased():
    main, tty = pty.openpty()
    proc = run("--demo", stderr=tty)
    os.close(tty)
    shown = os.read(main, 4096).decode()
    os.close(main)
    assert shown.startswith("\rwalked 1 files, 0 ignored...") and re.search(r"\r +\r\Z", shown)
    assert proc.returncode == 0 and TOTAL in proc.stdout.splitlines() and "\r" not in proc.stdout
