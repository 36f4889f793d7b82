"""Builds the qelcode package; pyproject.toml holds its metadata.

By default the wheel carries libqelcode, built with CMake from the
project's sources (the repository two folders up, or the copy an sdist
carries in libqelcode-src/), and is a platform wheel. The environment
changes that:

  QELCODE_BUNDLE=0                    no library inside: a pure wheel
                                      (py3-none-any) that uses
                                      QELCODE_LIBRARY or the system's
  QELCODE_BUNDLE_LIBRARY=PATH         bundle the library already built at PATH
  QELCODE_CMAKE_ARGS="-DX=Y ..."      more arguments for CMake's configure step
  CMAKE_BUILD_PARALLEL_LEVEL=N        jobs for the CMake build (default 2)
"""

import os
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py
from setuptools.command.sdist import sdist

try:
    from setuptools.command.bdist_wheel import bdist_wheel
except ImportError:  # setuptools before 70.1
    from wheel.bdist_wheel import bdist_wheel

HERE = Path(__file__).resolve().parent
VENDORED = HERE / "libqelcode-src"
# What CMake needs to build the library alone (no tests, no tool).
C_SOURCES = ["CMakeLists.txt", "LICENSE", "include", "src", "cmake", "man"]


def bundling():
    return os.environ.get("QELCODE_BUNDLE", "1").strip().lower() not in ("0", "no", "off", "false")


def library_file_name():
    if sys.platform == "win32":
        return "qelcode.dll"
    if sys.platform == "darwin":
        return "libqelcode.1.dylib"
    return "libqelcode.so.1"


def source_tree():
    """The C sources: the copy in an sdist, else the repository around this folder."""
    for root in (VENDORED, HERE.parent.parent):
        if (root / "include" / "qelcode.h").is_file() and (root / "CMakeLists.txt").is_file():
            return root
    return None


class build_py_with_library(build_py):
    """Copies the pure-Python files, then the library and its license beside them."""

    def run(self):
        super().run()
        target = Path(self.build_lib) / "qelcode"
        if not bundling():
            for stale in (target / library_file_name(), target / "LICENSE"):  # from an earlier build
                if stale.exists():
                    stale.unlink()
            return
        given = os.environ.get("QELCODE_BUNDLE_LIBRARY")
        library = Path(given) if given else self.build_library()
        if not library.is_file():
            raise SystemExit("setup.py: no library at %s" % library)
        self.copy_file(str(library.resolve()), str(target / library_file_name()))
        root = source_tree()
        if root is not None and (root / "LICENSE").is_file():
            self.copy_file(str(root / "LICENSE"), str(target / "LICENSE"))

    def build_library(self):
        root = source_tree()
        if root is None:
            raise SystemExit("setup.py: the library's sources are not here; set QELCODE_BUNDLE_LIBRARY "
                             "to a built libqelcode, or QELCODE_BUNDLE=0 for a package without it")
        build = Path(self.get_finalized_command("build").build_temp).resolve() / "libqelcode"
        configure = ["cmake", "-S", str(root), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                     "-DQEL_BUILD_TESTS=OFF", "-DQEL_BUILD_TOOL=OFF", "-DBUILD_SHARED_LIBS=ON"]
        configure += shlex.split(os.environ.get("QELCODE_CMAKE_ARGS", ""))
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
        self.announce("building libqelcode with CMake in %s" % build, level=2)
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(build), "--target", "qelcode", "-j", jobs], check=True)
        found = sorted(p for p in build.rglob(library_file_name()) if p.is_file())
        if not found:
            raise SystemExit("setup.py: CMake built no %s in %s" % (library_file_name(), build))
        return found[0]


class sdist_with_sources(sdist):
    """An sdist that carries the library's sources, so that a wheel built from it bundles the library."""

    def make_release_tree(self, base_dir, files):
        super().make_release_tree(base_dir, files)
        root = source_tree()
        if root is None:
            return
        dest = Path(base_dir) / VENDORED.name
        for name in C_SOURCES:
            source = root / name
            if source.is_dir():
                shutil.copytree(source, dest / name, ignore=shutil.ignore_patterns("__pycache__", "*.pyc"))
            elif source.is_file():
                dest.mkdir(parents=True, exist_ok=True)
                shutil.copy2(source, dest / name)


class LibraryDistribution(Distribution):
    """A distribution with a compiled part when it carries the library, so
    that it installs into the platform's library folder."""

    def has_ext_modules(self):
        return bundling()


class platform_wheel(bdist_wheel):
    """A wheel for this platform when it carries the library; any Python 3, as ctypes loads it."""

    def get_tag(self):
        python, abi, platform = super().get_tag()
        if bundling():
            return "py3", "none", platform
        return python, abi, platform


setup(distclass=LibraryDistribution,
      cmdclass={"build_py": build_py_with_library, "sdist": sdist_with_sources, "bdist_wheel": platform_wheel})
