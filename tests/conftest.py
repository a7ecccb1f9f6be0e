import subprocess
import sys
import textwrap

import pytest


@pytest.fixture
def run_py(tmp_path):
    """Runs a Python snippet in a fresh interpreter and returns the finished process.

    The module guards are process-wide, so anything that imports a native
    module under unusual conditions needs a process of its own. The child starts
    in an empty directory with the safe-path flag, so only the installed package
    can be imported, and turns warnings into errors like the test run itself.
    A non-zero exit fails the test with the child's output.
    """

    def run(code: str) -> subprocess.CompletedProcess[str]:
        proc = subprocess.run(
            [sys.executable, "-P", "-W", "error", "-c", textwrap.dedent(code)],
            cwd=tmp_path,
            capture_output=True,
            text=True,
            stdin=subprocess.DEVNULL,
            timeout=300,
        )
        assert proc.returncode == 0, (
            f"snippet exited with {proc.returncode}\n"
            f"--- stdout\n{proc.stdout}--- stderr\n{proc.stderr}"
        )
        return proc

    return run
