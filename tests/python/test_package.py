"""Installing the package: pip without a network, with the library inside, and the build's
install rule."""
import os
import shutil
import subprocess
import sys

import pytest

from conftest import BUILD, ROOT

CHECK = ("import varno, pathlib, sys; d = varno.Data.from_decimal(123.45, 2); "
         "assert bytes(d).hex() == '39300002', d; "
         "assert varno.__version__ == varno.library_version(), varno.__version__; "
         "assert (pathlib.Path(varno.__file__).parent / 'py.typed').exists(); "
         "print(varno.library_path())")


def run_python(args, **env):
    clean = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "VARNO_LIBRARY")}
    return subprocess.run([sys.executable] + args, capture_output=True, text=True,
                          env={**clean, **env}, timeout=300)


def test_pip_installs_the_package_with_its_library(tmp_path):
    if run_python(["-m", "pip", "--version"]).returncode != 0:
        pytest.skip(f"no pip for {sys.executable} (python3-pip)")
    # A copy outside the source tree: the library comes from VARNO_BUILD_LIBRARY, a build tree's.
    source = tmp_path / "source"
    shutil.copytree(ROOT / "python", source, ignore=shutil.ignore_patterns(
        "build", "*.egg-info", "__pycache__", "*.so", "*.dll"))
    site = tmp_path / "site"
    done = run_python(["-m", "pip", "install", "--no-build-isolation", "--no-index",
                       "--no-warn-script-location", "--disable-pip-version-check",
                       "--target", str(site), str(source)],
                      VARNO_BUILD_LIBRARY=os.environ["VARNO_LIBRARY"])
    assert done.returncode == 0, done.stdout + done.stderr
    # Found in the package by itself, with no VARNO_LIBRARY.
    done = run_python(["-c", CHECK], PYTHONPATH=str(site))
    assert done.returncode == 0, done.stderr
    assert os.path.samefile(done.stdout.strip(), site / "varno" / "libVarnoDLL.so")


def test_install_rule_puts_the_package_beside_a_link_to_its_library(tmp_path):
    if not (BUILD / "cmake_install.cmake").exists():
        pytest.skip(f"no build tree at {BUILD}")
    prefix = tmp_path / "prefix"
    done = subprocess.run(["cmake", "--install", str(BUILD), "--prefix", str(prefix)],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    site = prefix / "lib" / "python3" / "dist-packages"
    # Found in the package by itself: no VARNO_LIBRARY, nothing on the loader's path.
    done = run_python(["-c", CHECK], PYTHONPATH=str(site))
    assert done.returncode == 0, done.stderr
    assert os.path.samefile(done.stdout.strip(), next(prefix.glob("lib*/libVarnoDLL.so")))
