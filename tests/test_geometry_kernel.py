"""The native geometry kernel's own test program (tests/native/geometry_test.cpp).

Runs the program named by XALO_GEOMETRY_TEST when set (the build's
`geometry_test` target); otherwise builds it from the sources with the C++
compiler at hand, with the flags the extension uses, warnings as errors.
Skipped when neither is possible (an installed kit without its sources).
"""

import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCES = [ROOT / "tests" / "native" / "geometry_test.cpp", ROOT / "native" / "roi" / "geometry.cpp"]


def program(tmp_path):
    given = os.environ.get("XALO_GEOMETRY_TEST")
    if given:
        return given
    compiler = next(filter(None, map(shutil.which, [os.environ.get("CXX", ""), "c++", "g++", "clang++"])), None)
    if compiler is None or not all(s.exists() for s in SOURCES):
        pytest.skip("no C++ compiler or no kernel sources")
    out = tmp_path / "geometry_test"
    build = subprocess.run([compiler, "-std=c++17", "-O2", "-Wall", "-Wextra", "-Werror", "-ffp-contract=off",
                            f"-I{ROOT / 'native'}", *map(str, SOURCES), "-o", str(out)],
                           capture_output=True, text=True)
    assert build.returncode == 0, build.stderr
    return str(out)


def test_geometry_kernel(tmp_path):
    run = subprocess.run([program(tmp_path)], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout[-4000:] + run.stderr[-2000:]
