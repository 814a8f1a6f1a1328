"""No input from Python may crash the interpreter or raise the internal-fault exception.
The driver runs in a child process so that a crash shows up as a failed test."""

import subprocess
import sys
from pathlib import Path

import pytest

from conftest import child_env

DRIVER = Path(__file__).with_name("hostile_driver.py")


@pytest.mark.parametrize("seed", [1, 2])
def test_hostile_input_raises_only_python_exceptions(tmp_path, seed):
    result = subprocess.run(
        [sys.executable, str(DRIVER), str(seed), "2000"],
        capture_output=True, text=True, env=child_env(), cwd=tmp_path, timeout=900)
    assert result.returncode == 0, (result.returncode, result.stderr[-4000:])
    assert result.stdout.startswith("ok ")


@pytest.mark.parametrize("seed", [2, 3])
def test_arguments_that_mutate_raise_or_reenter_during_conversion(tmp_path, seed):
    # The interpreter's debug allocator fills freed memory, so reading an object that a hook
    # freed under a borrowed reference crashes instead of passing by luck.
    result = subprocess.run(
        [sys.executable, str(DRIVER), "mutating", str(seed), "3000"],
        capture_output=True, text=True, env=dict(child_env(), PYTHONMALLOC="debug"),
        cwd=tmp_path, timeout=900)
    assert result.returncode == 0, (result.returncode, result.stderr[-4000:])
    assert result.stdout.startswith("ok ")


def test_hostile_calls_keep_no_references(tmp_path):
    result = subprocess.run(
        [sys.executable, str(DRIVER), "leaks"],
        capture_output=True, text=True, env=child_env(), cwd=tmp_path, timeout=900)
    assert result.returncode == 0, (result.returncode, result.stderr[-4000:])
    assert result.stdout.startswith("ok ")
