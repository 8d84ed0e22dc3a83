import subprocess
import sys
import textwrap

import pytest


@pytest.fixture
def run_python(tmp_path):
    """Runs a snippet in a fresh interpreter (installed package, source tree off the path)."""

    def run(code, **kw):
        proc = subprocess.run(
            [sys.executable, "-P", "-c", textwrap.dedent(code)],
            capture_output=True, text=True, cwd=tmp_path, timeout=300, **kw,
        )
        assert proc.returncode == 0, proc.stdout + proc.stderr
        return proc.stdout

    return run
