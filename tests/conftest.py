import subprocess
import sys
import textwrap

import pytest


@pytest.fixture
def run_python():
    """Run a Python snippet in a fresh interpreter and return the finished process."""

    def run(code, timeout=60):
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True,
            text=True,
            timeout=timeout,
        )

    return run
