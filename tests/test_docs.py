"""The documentation's Python examples hold, and an editor reading the stubs
shows their docstrings."""

import doctest
import json
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
BLOCK = re.compile(r"^```python\n(.*?)^```", re.MULTILINE | re.DOTALL)


@pytest.mark.parametrize("name", ["README.md", "README.pypi.md", "docs/api.md"])
def test_examples_run(name, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # relative paths in the examples resolve here
    blocks = BLOCK.findall((ROOT / name).read_text())
    assert blocks, f"no python blocks in {name}"
    # `>>>` blocks form one doctest per file, so later blocks see earlier
    # imports; the others only need to run.
    for block in blocks:
        if not block.lstrip().startswith(">>>"):
            exec(compile(block, name, "exec"), {})
    text = "".join(b for b in blocks if b.lstrip().startswith(">>>"))
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    report: list[str] = []
    runner.run(doctest.DocTestParser().get_doctest(text, {}, name, name, 0), out=report.append)
    assert runner.failures == 0, "".join(report)


# In a child: jedi's caches would stay in this process and make every later
# garbage collection, which the leak tests run thousands of, several times slower.
EDITOR = """
import json, sys, jedi
lines = ["LoaderIgnore(", "rules.is_ignored", "rules.file_masks", "Extensions.yaml"]
code = "\\n".join(["from brindova.talvesh import LoaderIgnore",
                   "from brindova.extensions import Extensions",
                   "rules = LoaderIgnore()", *lines])
# A user's editor: jedi on the interpreter the package is installed in.
env = jedi.create_environment(sys.executable, safe=False)
script = jedi.Script(code, path=sys.argv[1], environment=env)
shown = {s.name: s.docstring() for s in script.get_signatures(4, len(lines[0]))[:1]}
for row, line in enumerate(lines[1:], start=5):
    shown |= {c.name: c.docstring() for c in script.complete(row, len(line))}
print(json.dumps(shown))
"""


def test_editor_shows_stub_docstrings(tmp_path):
    child = subprocess.run([sys.executable, "-c", EDITOR, str(tmp_path / "use.py")], cwd=tmp_path,
                           capture_output=True, text=True, check=True)
    shown = json.loads(child.stdout)
    assert "LoaderIgnore" in shown, "jedi found no signature for LoaderIgnore("
    for name, phrase in [
        ("LoaderIgnore", "kept as the caller's very objects, not copied"),
        ("is_ignored", "the name is tested only when the path side misses"),
        ("file_masks", "the very list the rules consult"),
        ("yaml", "YAML files"),
    ]:
        assert phrase in " ".join(shown.get(name, "").split()), (name, shown.get(name))
