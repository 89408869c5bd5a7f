"""The type stub and the package's hints accept what the README does, under mypy and pyright."""
import pathlib
import shutil
import subprocess
import sys

import pytest

SCRIPT = pathlib.Path(__file__).parent / "typing" / "uses_every_method.py"
BIN = pathlib.Path(sys.executable).parent


@pytest.mark.parametrize("checker", [
    [str(BIN / "mypy"), "--no-incremental", str(SCRIPT)],
    [str(BIN / "pyright"), "--pythonpath", sys.executable, str(SCRIPT)],
], ids=["mypy", "pyright"])
def test_a_script_using_every_method_type_checks(checker, tmp_path):
    if "pyright" in checker[0] and shutil.which("node") is None:
        pytest.skip("pyright runs on node, which this machine lacks")
    done = subprocess.run(checker, capture_output=True, text=True, cwd=tmp_path, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
