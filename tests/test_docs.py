"""The documentation's Python examples hold, and an editor reading the stubs
shows their docstrings."""

import doctest
import re
import sys
from pathlib import Path

import jedi
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


def test_editor_shows_stub_docstrings(tmp_path):
    # A user's editor: jedi on the interpreter the package is installed in.
    env = jedi.create_environment(sys.executable, safe=False)
    lines = ["LoaderIgnore(", "rules.is_ignored", "rules.file_masks", "Extensions.yaml"]
    code = "\n".join(["from brindova.talvesh import LoaderIgnore",
                      "from brindova.extensions import Extensions",
                      "rules = LoaderIgnore()", *lines])
    script = jedi.Script(code, path=tmp_path / "use.py", environment=env)
    signatures = script.get_signatures(4, len(lines[0]))
    assert signatures, "jedi found no signature for LoaderIgnore("
    shown = {"LoaderIgnore": signatures[0].docstring()}
    for row, line in enumerate(lines[1:], start=5):
        shown |= {c.name: c.docstring() for c in script.complete(row, len(line))}
    for name, phrase in [
        ("LoaderIgnore", "kept as the caller's very objects, not copied"),
        ("is_ignored", "the name is tested only when the path side misses"),
        ("file_masks", "the very list the rules consult"),
        ("yaml", "YAML files"),
    ]:
        assert phrase in " ".join(shown.get(name, "").split()), (name, shown.get(name))
