"""Helpers shared by the tests of the tool modules."""
import contextlib
import ctypes
import gc
import io
import sys
import traceback
from pathlib import Path


class S(str):
    """A str subclass: refused by the exact type checks, compared by value as a keyword name."""


def last_entry(exc):
    """(file name, qualified name, line) of the last traceback entry of `exc`."""
    entry = traceback.extract_tb(exc.__traceback__)[-1]
    return entry.filename, entry.name, entry.lineno


def last_code(exc):
    """The code object of the last traceback entry of `exc`."""
    tb = exc.__traceback__
    while tb.tb_next:
        tb = tb.tb_next
    return tb.tb_frame.f_code


def vectorcall(fn, args, kwnames):
    """Calls fn through the vectorcall protocol with an arbitrary keyword-names tuple."""
    api = ctypes.pythonapi
    api.PyObject_Vectorcall.restype = ctypes.py_object
    api.PyObject_Vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
    vec = (ctypes.py_object * len(args))(*args)
    return api.PyObject_Vectorcall(fn, ctypes.cast(vec, ctypes.c_void_p), len(args) - len(kwnames), kwnames)


def assert_refcounts_stable(watched, calls, rounds=300, expected=(TypeError, ValueError)):
    """Runs every call of `calls` `rounds` times (after one warm-up round), swallowing
    `expected` errors, and checks that the reference counts of `watched` are unchanged."""

    def run(n):
        for _ in range(n):
            for call in calls:
                try:
                    call()
                except expected:
                    pass
        gc.collect()  # an error kept in a frame cycle holds its arguments until collected

    run(1)
    before = [sys.getrefcount(o) for o in watched]
    run(rounds)
    assert [sys.getrefcount(o) for o in watched] == before


# -- the training pipeline ---------------------------------------------------------

def make_config(tmp_path, files, inputs=(0, 1), outputs=(2,), **sections):
    """The reference configuration with the run's data, outputs into tmp_path, no model saved."""
    import yaml

    import quelmar.tools

    config = yaml.safe_load((Path(quelmar.tools.__file__).parent / "config" / "config_ref.yaml").read_text())
    config["DATA_PARAM"].update(data_filenames=[str(f) for f in files],
                                input_col=list(inputs), output_col=list(outputs))
    config["TRAIN_PARAM"].update(bool_save_model=False)
    for section, values in sections.items():
        config[section].update(values)
    config["OUTPUT"] = {"model_save_dir": str(tmp_path / "models"),
                        "plots_dir": str(tmp_path / "plots"), "logs_dir": str(tmp_path / "logs")}
    return config


def run(config, run_type="regression"):
    """train_model with sys.stdout captured; returns (result, printed)."""
    from quelmar.tools.ordane.main import train_model

    buffer = io.StringIO()
    with contextlib.redirect_stdout(buffer):
        result = train_model(config=config, run_type=run_type, gpu_idx=0)
    return result, buffer.getvalue()
