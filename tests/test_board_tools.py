"""The board build's checks, run on this machine's own build of the modules."""

import pathlib
import subprocess
import sys
import sysconfig

import pytest

from xalo_sdk.redis import utils

CHECK_ABI = pathlib.Path(__file__).resolve().parent.parent / "tools" / "board" / "check_abi.py"
pytestmark = pytest.mark.skipif(not CHECK_ABI.exists(), reason="the board tools are not in this test tree")


@pytest.mark.parametrize("glibc, passes", [("2.99", True), ("2.2", False)])
def test_abi_check_holds_modules_to_the_wheel_tags_glibc(glibc, passes):
    triple = sysconfig.get_config_var("MULTIARCH")
    run = subprocess.run([sys.executable, str(CHECK_ABI), "/", triple, glibc, utils.__file__],
                         capture_output=True, text=True, timeout=60)
    assert (run.returncode == 0) == passes, run.stdout + run.stderr
    assert "newest symbol versions needed: " in run.stdout
    assert passes or f"beyond the wheel's tag (glibc {glibc})" in run.stderr
