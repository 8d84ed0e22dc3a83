"""Helpers shared by the tests of the tool modules."""
import ctypes
import gc
import sys
import traceback


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
