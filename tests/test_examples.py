"""Every script in examples/ runs to completion, so none of them rots."""

import subprocess
import sys

import pytest

import checkout


@pytest.mark.parametrize("script", checkout.example_scripts(), ids=lambda path: path.name)
def test_example_runs(script):
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip()
