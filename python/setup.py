"""The package's build puts the VarnoDLL library into the package (varno/), so that an install
or a wheel carries it, and tags a wheel for the platform of the library it holds.

VARNO_BUILD_LIBRARY says which library:
  a file         libVarnoDLL.so (or .so.1, ...) or VarnoDLL.dll, copied in as libVarnoDLL.so or
                 VarnoDLL.dll
  a directory    a CMake build tree of this project (its link/ holds the library)
  none           no library in the package: it loads the system's
  unset          built from the source tree this directory lies in (CMake, a release build of the
                 library alone, in build/native/ here)
"""
import os
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

HERE = Path(__file__).resolve().parent
SOURCE_TREE = HERE.parent
NATIVE_NAMES = ("libVarnoDLL.so", "VarnoDLL.dll")

# ELF e_machine and PE machine numbers, and the platform tags of wheels for them.
ELF_PLATFORMS = {62: "linux_x86_64", 3: "linux_i686", 183: "linux_aarch64", 40: "linux_armv7l"}
PE_PLATFORMS = {0x8664: "win_amd64", 0x14C: "win32", 0xAA64: "win_arm64"}


def fail(message):
    sys.exit(f"varno build: {message}")


def in_build_tree(directory):
    found = [directory / "link" / n for n in NATIVE_NAMES if (directory / "link" / n).exists()]
    if len(found) != 1:
        fail(f"{directory} is not a build tree with one library in link/ "
             f"(found: {', '.join(map(str, found)) or 'none'})")
    return found[0]


def build_from_source():
    """The library from the source tree, built as a release."""
    if not (SOURCE_TREE / "link" / "include" / "varno_link.h").exists():
        fail(f"{HERE} is not in VarnoDLL's source tree: set VARNO_BUILD_LIBRARY to the library, "
             "to a build tree, or to 'none' (the package then loads the system's library)")
    build = HERE / "build" / "native"
    configure = ["cmake", "-S", str(SOURCE_TREE), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                 "-DVARNO_BUILD_TESTS=OFF", "-DVARNO_BUILD_BENCH=OFF"]
    try:
        subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
        parallel = [] if "CMAKE_BUILD_PARALLEL_LEVEL" in os.environ else [
            "--parallel", str(os.cpu_count() or 2)]
        subprocess.run(["cmake", "--build", str(build), "--target", "VarnoDLL", *parallel],
                       check=True, stdout=subprocess.DEVNULL)
    except (OSError, subprocess.CalledProcessError) as e:
        fail(f"building the library with CMake failed ({e}); set VARNO_BUILD_LIBRARY to a "
             "library or a build tree")
    return in_build_tree(build)


_chosen = []


def chosen_library():
    """The library file to put into the package, or None (worked out once: the wheel's tag and
    the package's contents come from the same)."""
    if not _chosen:
        _chosen.append(_choose_library())
    return _chosen[0]


def _choose_library():
    given = os.environ.get("VARNO_BUILD_LIBRARY", "")
    if given.lower() == "none":
        return None
    if not given:
        return build_from_source()
    path = Path(given).resolve()
    if path.is_dir():
        return in_build_tree(path)
    if not path.is_file():
        fail(f"VARNO_BUILD_LIBRARY: no such file or directory: {given}")
    return path


def platform_of(library):
    """The wheel platform tag for the library's processor and system."""
    with open(library, "rb") as f:
        head = f.read(4096)
    if head[:4] == b"\x7fELF":
        machine = int.from_bytes(head[18:20], "little" if head[5] == 1 else "big")
        tag = ELF_PLATFORMS.get(machine)
    elif head[:2] == b"MZ":
        pe = int.from_bytes(head[0x3C:0x40], "little")
        tag = PE_PLATFORMS.get(int.from_bytes(head[pe + 4:pe + 6], "little"))
    else:
        tag = None
    if tag is None:
        fail(f"{library}: neither a Linux nor a Windows library of a known processor")
    return tag


def library_name(library):
    return "VarnoDLL.dll" if platform_of(library).startswith("win") else "libVarnoDLL.so"


class BuildPy(build_py):
    """Copies the chosen library into the built package, and only that one."""

    def run(self):
        super().run()
        package = Path(self.build_lib) / "varno"
        for name in NATIVE_NAMES:  # a library an earlier build left there
            (package / name).unlink(missing_ok=True)
        library = chosen_library()
        if library is not None:
            target = package / library_name(library)
            shutil.copyfile(library, target)  # the file itself, not the link
            os.chmod(target, 0o755)


class WithLibrary(Distribution):
    """With a library inside, the package is not pure: it installs to platlib, and a wheel of it
    is not Root-Is-Purelib."""

    def has_ext_modules(self):
        return chosen_library() is not None


commands = {"build_py": BuildPy}

try:
    from wheel.bdist_wheel import bdist_wheel
except ImportError:  # only a wheel needs the tag
    pass
else:
    class BdistWheel(bdist_wheel):
        """A wheel holding a library is for that library's platform and any Python 3:
        py3-none-PLATFORM (a Windows wheel is made on Linux too)."""

        def get_tag(self):
            library = chosen_library()
            if library is None:
                return super().get_tag()
            return "py3", "none", platform_of(library)

    commands["bdist_wheel"] = BdistWheel

setup(cmdclass=commands, distclass=WithLibrary)
