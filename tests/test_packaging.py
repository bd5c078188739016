"""`pip install .` into a fresh venv gives a module that imports silently and works."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]

CHECK = """
import numpy as np
import tavorin.operators as m
y = np.array([[0.2, 0.5, 0.9]])
assert m.proj_csimplex(y, 1.0, 0.0, 1.0) is None
assert abs(y.sum() - 1.0) < 1e-4 and y.min() >= 0.0, y
print(m.__file__)
"""


@pytest.mark.unsanitized
def test_pip_install_into_a_fresh_venv(tmp_path):
    venv = tmp_path / "venv"
    subprocess.run([sys._base_executable, "-m", "venv", str(venv)], check=True)
    python = venv / "bin" / "python"
    # A build directory outside the checkout, so this does not disturb the
    # development build.
    subprocess.run(
        [
            str(python),
            "-m",
            "pip",
            "install",
            "-q",
            "--disable-pip-version-check",
            f"--config-settings=build-dir={tmp_path / 'build'}",
            str(ROOT),
        ],
        check=True,
        capture_output=True,
        timeout=900,
    )
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_PRELOAD")}
    out = subprocess.run(
        [str(python), "-X", "dev", "-W", "error", "-c", CHECK],
        cwd=tmp_path,
        env=env,
        check=True,
        capture_output=True,
        text=True,
    )
    assert out.stdout.strip().startswith(str(venv))
    assert out.stderr == ""
