import os
import subprocess
import sys
import textwrap

import pytest


# The environment that a child interpreter needs to load the sanitized build
# (see scripts/sanitize.sh); empty in a normal run.
SANITIZER_ENV = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC", "PYTHONPATH")


def child_env(env=None, **extra):
    """`env` (default: this process's environment) with `extra`, keeping the sanitizer settings."""
    out = dict(os.environ if env is None else env, **extra)
    out.update((k, os.environ[k]) for k in SANITIZER_ENV if k in os.environ and k not in extra)
    return out


# Put first in a child that imports the training tool but never runs the training pipeline: a
# stand-in for the pipeline's module, so that the tool imports without JAX, pandas and optax (in
# a twentieth of the time).
NO_PIPELINE = """
import sys as _sys, types as _types
_pipeline = _types.ModuleType("quelmar.tools.ordane.main")
_pipeline.train_model = None
_sys.modules[_pipeline.__name__] = _pipeline
"""


@pytest.fixture
def run_python(tmp_path):
    """Runs a snippet in a fresh interpreter (installed package, source tree off the path).

    `env` replaces the environment, except for the sanitizer settings, which a child always keeps;
    `pipeline=False` gives the child the stand-in for the training pipeline (NO_PIPELINE).
    """

    def run(code, env=None, pipeline=True, **kw):
        code = textwrap.dedent(code) if pipeline else NO_PIPELINE + textwrap.dedent(code)
        proc = subprocess.run(
            [sys.executable, "-P", "-c", code],
            capture_output=True, text=True, cwd=tmp_path, timeout=300, env=child_env(env), **kw,
        )
        assert proc.returncode == 0, proc.stdout + proc.stderr
        return proc.stdout

    return run


class FakePipeline:
    """Stands in for the training pipeline: records its calls, prints, returns `result` or raises `error`."""

    def __init__(self):
        self.calls = []
        self.result = type("Result", (), {"errors_train": [0.5, 0.25], "errors_val": [0.6, 0.3],
                                          "error_test": 0.35})()
        self.error = None
        self.output = "fake pipeline line 1\nfake pipeline line 2"
        self.action = None

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        print(self.output)
        if self.action:
            self.action(kwargs)
        if self.error is not None:
            raise self.error
        return self.result


@pytest.fixture
def tools_dir(tmp_path):
    """A temporary tools directory laid out like the installed package (with the reference file)."""
    import pathlib
    import shutil

    import quelmar.tools

    tools = tmp_path / "tools"
    (tools / "config").mkdir(parents=True)
    shutil.copy(pathlib.Path(quelmar.tools.__file__).parent / "config" / "config_ref.yaml", tools / "config")
    return tools


@pytest.fixture
def fitrun(tools_dir, monkeypatch):
    """The training tool module pointed at `tools_dir`, with a fake pipeline as `train_model`."""
    import quelmar.tools.fitrun as module

    monkeypatch.setattr(module, "__file__", str(tools_dir / "fitrun.so"))
    monkeypatch.setattr(module, "train_model", FakePipeline())
    return module


# On several workers, every test still has its own temporary folders and ports (bound at 0); a
# training that logs into the installed package's folder gets a log name of its own. The workers
# and their children share this user's JAX compilation cache, as the host's training workers do:
# JAX writes an entry only when it is missing and reads it through zlib, whose checksum turns an
# entry read while another process writes it into a miss (a warning and one more compile), never
# into a wrong program.
@pytest.hookimpl(tryfirst=True)
def pytest_collection_modifyitems(items):
    """With the suite on several pytest-xdist workers (`--dist loadgroup`), the tests that share a
    module-scoped fixture (a host and its workers, a training) run on one worker, which builds the
    fixture once: their group is named by the module and those fixtures."""
    for item in items:
        info = getattr(item, "_fixtureinfo", None)
        if info is None:
            continue
        shared = sorted(name for name in info.names_closure
                        if any(d.scope == "module" for d in info.name2fixturedefs.get(name, ())))
        if shared:
            item.add_marker(pytest.mark.xdist_group(item.nodeid.split("::")[0] + "::" + "+".join(shared)))


# The shared helpers (tests/helpers.py) are imported by name.
sys.path.insert(0, os.path.dirname(__file__))
