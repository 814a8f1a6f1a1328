"""The README's Python examples run as written: each block in a fresh interpreter, in an
empty directory, offline."""

import re

import pytest

from conftest import ROOT, run_python

BLOCKS = re.findall(r"```python\n(.*?)```", (ROOT / "README.md").read_text(encoding="utf-8"), re.S)


def test_there_are_examples():
    assert len(BLOCKS) >= 5


@pytest.mark.parametrize("number", range(len(BLOCKS)))
def test_readme_example_runs(number, tmp_path):
    # Offline: any attempt to connect fails at once, as it does without a network (an
    # OSError), so code that looks for a route and falls back, as Dask does, still runs.
    offline = ("import socket\n"
               "def offline(*args, **kwargs):\n"
               "    raise OSError(101, 'Network is unreachable')\n"
               "socket.socket.connect = offline\n")
    code = offline + BLOCKS[number]
    result = run_python(code, cwd=tmp_path, timeout=120)
    assert result.returncode == 0, result.stderr
