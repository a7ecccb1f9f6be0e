"""Allocation-failure sweep (tests/alloc_sweep.py, helper tests/failalloc.c):
every path through the native modules with the Nth allocation of ours
failing, one-shot and persistent, each path in children of its own."""

import importlib.util
import os

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
_spec = importlib.util.spec_from_file_location("alloc_sweep", os.path.join(HERE, "alloc_sweep.py"))
sweep = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(sweep)


pytestmark = pytest.mark.slow


@pytest.fixture(scope="session")
def helper(tmp_path_factory):
    so = sweep.build_helper(str(tmp_path_factory.mktemp("failalloc")))
    try:
        sweep.check_sweepable(so)
    except sweep.Unsweepable as e:
        pytest.skip(str(e))
    return so


@pytest.mark.parametrize("mode", sweep.MODES)
@pytest.mark.parametrize("name", sweep.all_path_names())
def test_allocation_failures(helper, tmp_path, name, mode):
    records = sweep.sweep(helper, name, mode, str(tmp_path))
    problems = sweep.problems(name, records)
    assert not problems, "\n".join(problems)
