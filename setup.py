"""The Python module `tamsa` for pip: the project's CMake builds it, for the interpreter pip runs
(its headers and numpy from Debian), and the wheel holds the module and its stub."""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


def version():
    header = (ROOT / "include" / "tamsa" / "tamsa.h").read_text()
    return ".".join(re.search(rf"#define TAMSA_VERSION_{part} +(\d+)", header).group(1)
                    for part in ("MAJOR", "MINOR", "PATCH"))


class cmake_build(build_ext):
    def build_extension(self, ext):
        build = Path(self.build_temp).resolve() / "cmake"
        build.mkdir(parents=True, exist_ok=True)
        # The module alone; CMAKE_ARGS in the environment adds to or overrides these.
        options = ["-DCMAKE_BUILD_TYPE=Release", "-DTAMSA_PYTHON=ON", "-DTAMSA_BUILD_TESTS=OFF",
                   "-DTAMSA_BUILD_BENCH=OFF", "-DTAMSA_BUILD_TOOLS=OFF", "-DBUILD_SHARED_LIBS=OFF",
                   f"-DPython_EXECUTABLE={sys.executable}"]
        options += os.environ.get("CMAKE_ARGS", "").split()
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), *options], check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", str(os.cpu_count() or 1))
        subprocess.run(["cmake", "--build", str(build), "--target", "tamsa_python", "-j", jobs],
                       check=True)
        built = next((build / "python" / "package").glob("tamsa*.so"))
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)
        # The stub beside the module, as `cmake --install` puts it.
        shutil.copyfile(ROOT / "python" / "tamsa.pyi", target.parent / "tamsa.pyi")


setup(
    version=version(),
    # The module is the one extension; the source folders are no Python packages.
    packages=[],
    ext_modules=[Extension("tamsa", sources=[])],
    cmdclass={"build_ext": cmake_build},
    # Beside the CMake build directories, not in build/.
    options={"build": {"build_base": "build-pip"}},
    zip_safe=False,
)
