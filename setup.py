"""Installs the package `quillmere` (pure Python, typed, with the `quillmere` command), the
stubs of the native module, and the native extension `_quillmere`, built with CMake and Ninja.

    /usr/bin/python3 -m pip install --no-build-isolation .

The extension is built for the interpreter running pip (sys.executable); the C++ tests and
benchmarks are left out of this build. QM_BUILD_JOBS sets Ninja's parallelism (default 2).
"""

import os
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


class CMakeExtension(Extension):
    """An extension whose sources CMake knows; setuptools only places the result."""

    def __init__(self, name, target):
        super().__init__(name, sources=[])
        self.target = target


def _cached_tools(build_dir):
    """The cmake and ninja that configured `build_dir`, as its cache records them."""
    cache = build_dir / "CMakeCache.txt"
    if not cache.is_file():
        return None
    tools = {}
    for line in cache.read_text(errors="replace").splitlines():
        key, _, value = line.partition("=")
        if key in ("CMAKE_COMMAND:INTERNAL", "CMAKE_MAKE_PROGRAM:FILEPATH"):
            tools[key.split(":")[0]] = value
    return tools


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build_dir = Path(self.build_temp).resolve() / "cmake"
        # A tree built before by other tools (an isolated build's cmake and ninja are gone
        # once it ends) is configured afresh rather than pointed at programs that are gone.
        cached = _cached_tools(build_dir)
        current = {"CMAKE_COMMAND": shutil.which("cmake"), "CMAKE_MAKE_PROGRAM": shutil.which("ninja")}
        if cached is not None and any(cached.get(key) != value for key, value in current.items()):
            shutil.rmtree(build_dir)
        build_dir.mkdir(parents=True, exist_ok=True)
        subprocess.run(
            [
                "cmake", "-S", str(ROOT), "-B", str(build_dir), "-G", "Ninja",
                "-DCMAKE_BUILD_TYPE=Release",
                f"-DPython3_EXECUTABLE={sys.executable}",
                "-DQM_BUILD_TESTS=OFF",
                "-DQM_BUILD_BENCH=OFF",
                "-DQM_WERROR=OFF",  # a packager's compiler may warn where ours does not
            ],
            check=True,
        )
        jobs = os.environ.get("QM_BUILD_JOBS", "2")
        subprocess.run(["ninja", "-C", str(build_dir), "-j", jobs, ext.target], check=True)
        built = sorted((build_dir / "src" / "python").glob(ext.target + ".*.so"))
        if not built:
            raise RuntimeError(f"the build produced no {ext.target} module in {build_dir}")
        destination = Path(self.get_ext_fullpath(ext.name))
        destination.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built[-1], destination)


PACKAGES = ["quillmere"] + [p for p in ["_quillmere-stubs"] if (ROOT / "python" / p).is_dir()]

setup(
    packages=PACKAGES,
    package_dir={"": "python"},
    package_data={"quillmere": ["py.typed"], "_quillmere-stubs": ["*.pyi"]},
    ext_modules=[CMakeExtension("_quillmere", target="_quillmere")],
    cmdclass={"build_ext": CMakeBuild},
)
