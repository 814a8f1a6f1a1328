"""The installed command. `pip install --target DIR` puts the command in DIR/bin and the
packages in DIR, which is not on the interpreter's path: the command must find them itself."""

import os
import shutil
import subprocess
import sys

from conftest import PACKAGE_DIR, ROOT, extension_path

import quillmere


def test_command_of_a_target_install_runs_without_pythonpath(tmp_path):
    target = tmp_path / "target"
    (target / "bin").mkdir(parents=True)
    os.symlink(os.path.join(PACKAGE_DIR, "quillmere"), target / "quillmere")
    os.symlink(extension_path(), target / os.path.basename(extension_path()))
    shutil.copy(ROOT / "python" / "bin" / "quillmere", target / "bin" / "quillmere")
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "QM_EXTENSION_DIR")}
    done = subprocess.run([sys.executable, str(target / "bin" / "quillmere"), "--version"], cwd=tmp_path,
                          env=env, capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout) == (0, f"quillmere {quillmere.__version__}\n"), done.stderr
