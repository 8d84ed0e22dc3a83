"""The module frame, by concern: function objects and the method type, binding, traceback
entries, lookups from bodies, module life, references and fuzzed arguments.

The crash cases run in a child interpreter. MALLOC_PERTURB_ makes the C library
fill freed memory, so that a read of freed memory may show even without the
sanitizer build; under it (make sanitize) every such read aborts the child.
"""
import decimal
import functools
import importlib
import math
import os
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quelmar.tools.fitrun as fitrun
import quelmar.tools.minusor as minusor
import quelmar.tools.plusor as plusor
import quelmar.tools.tabextent as tabextent
import quelmar.tools.timesor as timesor
from helpers import S, assert_refcounts_stable, last_code, vectorcall

PERTURB = {"MALLOC_PERTURB_": "165"}


# -- function objects and the method type ------------------------------------------------

TOOLS = [plusor.execute_plusor, timesor.execute_timesor, minusor.execute_minusor]


@pytest.mark.parametrize("fn", TOOLS)
def test_function_objects(fn):
    name = fn.__name__
    assert type(fn).__name__ == "builtin_function_or_method"
    assert fn.__qualname__ == name and name.startswith("execute_")
    assert fn.__module__ == "quelmar.tools." + name[len("execute_"):]
    assert fn.__self__ is None
    assert fn.__text_signature__ is None
    assert fn.__doc__.startswith("\n    Perform ")


def test_module_attributes():
    assert plusor.__doc__ == "JAX-based addition tool - Cython-compiled module."
    assert plusor.__builtins__ is __import__("builtins")
    assert not hasattr(plusor, "__path__")
    assert plusor.__package__ == "quelmar.tools"
    assert plusor.__file__.endswith(".so")
    assert {k for k in vars(plusor) if not k.startswith("__")} == {"Union", "jnp", "execute_plusor"}
    assert plusor.jnp is sys.modules["jax.numpy"]


def test_method_names_stay_strings(run_python):
    out = run_python("""
        import quelmar.tools.fitrun as fitrun
        method = fitrun.LogCapture.get_logs
        for attr in ("__qualname__", "__name__"):
            for action in (lambda: delattr(method, attr), lambda: setattr(method, attr, 12345)):
                try:
                    action()
                except TypeError as e:
                    print(e)
        print(repr(method).split(" at ")[0], method.__name__)
        method.__qualname__ = "Other.name"
        print(repr(method).split(" at ")[0])
    """, pipeline=False)
    assert out.splitlines() == ["__qualname__ must be set to a string object"] * 2 + [
        "__name__ must be set to a string object"] * 2 + ["<function LogCapture.get_logs get_logs",
                                                          "<function Other.name"]


def test_freed_methods_release_their_type(run_python):
    out = run_python("""
        import gc, sys
        import quelmar.tools.fitrun as fitrun
        kind = type(fitrun.LogCapture.get_logs)
        before = sys.getrefcount(kind)
        for name in ("__init__", "__enter__", "__exit__", "get_logs"):
            delattr(fitrun.LogCapture, name)
        gc.collect()
        print(before - sys.getrefcount(kind))
    """, pipeline=False)
    assert out.split() == ["4"]


# -- binding: messages, keyword names, call forms ----------------------------------------


@pytest.mark.parametrize("fn", TOOLS)
@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "{}() takes exactly 2 positional arguments (1 given)"),
        ((), {}, "{}() takes exactly 2 positional arguments (0 given)"),
        ((1, 2, 3), {}, "{}() takes exactly 2 positional arguments (3 given)"),
        ((), {"b": 1}, "{}() takes exactly 2 positional arguments (0 given)"),
        ((), {"a": 1}, "{}() takes exactly 2 positional arguments (1 given)"),
        ((1, 2, 3), {"a": 1}, "{}() takes exactly 2 positional arguments (3 given)"),
        ((1,), {"a": 2}, "{}() got multiple values for keyword argument 'a'"),
        ((1, 2), {"c": 3}, "{}() got an unexpected keyword argument 'c'"),
        ((1,), {"x": 1, "a": 2}, "{}() got an unexpected keyword argument 'x'"),
        ((1, 2), {"\u00e9t\u00e9": 3}, "{}() got an unexpected keyword argument '\u00e9t\u00e9'"),
        ((1, 2), {"\u043a\u043b\u044e\u0447": 3}, "{}() got an unexpected keyword argument '\u043a\u043b\u044e\u0447'"),
        ((1, 2), {"\U0001d4b3": 3}, "{}() got an unexpected keyword argument '\U0001d4b3'"),
        ((1,), {S("a"): 2}, "{}() got multiple values for keyword argument 'a'"),
    ],
)
def test_binding_messages(fn, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    assert str(info.value) == message.format(fn.__name__)
    code = last_code(info.value)
    assert (code.co_name, code.co_firstlineno) == (f"{fn.__module__}.{fn.__name__}", 14)


def test_keyword_names_must_be_strings():
    with pytest.raises(TypeError, match=r"^execute_plusor\(\) keywords must be strings$"):
        vectorcall(plusor.execute_plusor, (1.0, 2.0), (1,))
    assert vectorcall(plusor.execute_plusor, (1.0, 2.0), ("b",)) == 3.0


def test_str_subclass_keyword_names_compare_by_value():
    assert plusor.execute_plusor(1, **{S("b"): 2}) == 3.0
    assert vectorcall(minusor.execute_minusor, (1.0, 5.0), (S("b"), S("a"))) == 4.0

BASE = {"a": 1}

RUNTIME = "".join(["up", "dates"])  # a keyword name that is not interned


@pytest.mark.parametrize("call", [
    lambda f: f(BASE, {"b": 2}),
    lambda f: f(BASE, updates={"b": 2}),
    lambda f: f(updates={"b": 2}, base=BASE),
    lambda f: f(BASE, **{RUNTIME: {"b": 2}}),
    lambda f: f(BASE, **{S("updates"): {"b": 2}}),
    lambda f: functools.partial(f, BASE)(updates={"b": 2}),
    lambda f: f(*[BASE], **{"updates": {"b": 2}}),
    lambda f: vectorcall(f, (BASE, {"b": 2}), ("updates",)),
])
def test_call_forms_bind_alike(call):
    assert call(fitrun._deep_update) == {"a": 1, "b": 2}


def test_run_time_keyword_names_are_remembered_soundly():
    """A name built at run time is kept after it matched a parameter by text: the
    same object again binds by identity, in any order, and is still checked for
    duplicates; only the last such name per parameter is held."""
    base, updates = "".join(["ba", "se"]), "".join(["upd", "ates"])
    f = fitrun._deep_update
    for _ in range(3):
        assert f(**{base: BASE, updates: {"b": 2}}) == {"a": 1, "b": 2}
        assert f(**{updates: {"b": 3}, base: BASE}) == {"a": 1, "b": 3}
        assert vectorcall(f, (BASE, {"b": 4}), (updates,)) == {"a": 1, "b": 4}
    with pytest.raises(TypeError, match=r"^_deep_update\(\) got multiple values for keyword argument 'base'$"):
        f(BASE, **{updates: {}, base: {}})
    with pytest.raises(TypeError, match=r"^_deep_update\(\) got multiple values for argument 'base'$"):
        vectorcall(f, (BASE, {}), (base, "".join(["ba", "se"])))
    with pytest.raises(TypeError, match=r"^Argument 'base' has incorrect type"):
        f(**{base: [], updates: {}})
    # A fresh name per call: each replaces the last, none accumulates.
    names = ["".join(["ba", "se"]) for _ in range(5)]
    counts = [sys.getrefcount(n) for n in names]
    for n in names:
        f(**{n: BASE, updates: {}})
    del n
    assert [sys.getrefcount(n) for n in names] == counts[:-1] + [counts[-1] + 1]
    assert_refcounts_stable([base, updates, BASE], [lambda: f(**{base: BASE, updates: {}})])


@pytest.mark.parametrize("call, message", [
    (lambda f: f(BASE, **{RUNTIME: {}, "base": {}}), "_deep_update() got multiple values for keyword argument 'base'"),
    (lambda f: vectorcall(f, (BASE, {}, {}), ("updates", RUNTIME)),
     "_deep_update() got multiple values for argument 'updates'"),
    (lambda f: f(BASE, **{"".join(["upd", "ate"]): {}}), "_deep_update() got an unexpected keyword argument 'update'"),
    (lambda f: functools.partial(f, BASE, {}, {})(), "_deep_update() takes exactly 2 positional arguments (3 given)"),
    (lambda f: f(BASE, updates=[]), "Argument 'updates' has incorrect type (expected dict, got list)"),
])
def test_call_forms_fail_alike(call, message):
    with pytest.raises(TypeError) as info:
        call(fitrun._deep_update)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "fn, args, kwnames, message",
    [
        (plusor.execute_plusor, (1.0, 2.0), ("a", S("a")), "execute_plusor() got multiple values for argument 'a'"),
        (plusor.execute_plusor, (1.0, 2.0, 3.0), ("b", "a", "b"),
         "execute_plusor() got multiple values for argument 'b'"),
        (fitrun.execute_fitrun, (1, 2), (S("nmode"), "nmode"),
         "execute_fitrun() got multiple values for argument 'nmode'"),
        (fitrun.LogCapture.__init__, (None, "x", "y"), ("log_path", S("log_path")),
         "LogCapture.__init__() got multiple values for argument 'log_path'"),
    ],
)
def test_a_keyword_bound_twice_in_one_call(fn, args, kwnames, message):
    with pytest.raises(TypeError) as info:
        vectorcall(fn, args, kwnames)
    assert str(info.value) == message
    assert last_code(info.value).co_firstlineno in (14, 135, 52)


# -- traceback entries -------------------------------------------------------------------


def test_each_function_keeps_its_own_entries():
    codes = []
    for fn in (fitrun._deep_update, fitrun._validate_required_fields, fitrun._deep_update, tabextent.execute_tabextent):
        with pytest.raises(TypeError) as info:
            fn(1, 2, 3)
        codes.append(last_code(info.value))
    assert [c.co_name.rsplit(".", 1)[1] for c in codes] == [
        "_deep_update", "_validate_required_fields", "_deep_update", "execute_tabextent"]
    assert codes[0] is codes[2] and codes[0] is not codes[1]
    assert [c.co_firstlineno for c in codes] == [113, 91, 113, 14]


def test_repeated_helper_failures_reuse_their_entry(run_python, tmp_path):
    out = run_python(f"""
        import quelmar.tools.fitrun as fitrun
        fitrun.__file__ = {str(tmp_path / "empty" / "fitrun.so")!r}
        codes = []
        for _ in range(3):
            try:
                fitrun._load_reference_config()
            except FileNotFoundError as e:
                tb = e.__traceback__
                while tb.tb_next:
                    tb = tb.tb_next
                codes.append(tb.tb_frame.f_code)
                bytes(range(48)) * 2  # reuses freed memory
        print(codes[0].co_name, codes[0].co_firstlineno, all(c is codes[0] for c in codes))
    """, pipeline=False, env=dict(os.environ, **PERTURB))
    assert out.split() == ["quelmar.tools.fitrun._load_reference_config", "83", "True"]


def test_repeated_init_failures_reuse_their_entry(run_python):
    out = run_python("""
        import sys
        sys.modules["jax"] = None
        codes = []
        for _ in range(3):
            try:
                import quelmar.tools.plusor
            except ImportError as e:
                tb = e.__traceback__
                while tb.tb_next:
                    tb = tb.tb_next
                codes.append(tb.tb_frame.f_code)
        print(codes[0].co_name, all(c is codes[0] for c in codes))
    """, env=dict(os.environ, **PERTURB))
    assert out.split() == ["init", "quelmar.tools.plusor", "True"]


# -- lookups and calls from tool bodies --------------------------------------------------


def test_a_missing_attribute_keeps_the_interpreters_details(monkeypatch):
    class Stub:
        arrays = None

    stub = Stub()
    monkeypatch.setattr(plusor, "jnp", stub)
    with pytest.raises(AttributeError) as info:
        plusor.execute_plusor(1.0, 2.0)
    assert (info.value.name, info.value.obj) == ("array", stub)
    assert "Did you mean: 'arrays'?" in "".join(__import__("traceback").format_exception(info.value))


# -- module life: import, reimport, interpreters, missing packages -----------------------


def test_reimport_returns_the_same_module_and_keeps_rebound_globals():
    saved = plusor.Union
    plusor.Union = marker = object()
    try:
        del sys.modules["quelmar.tools.plusor"]
        again = importlib.import_module("quelmar.tools.plusor")
        assert again is plusor
        assert again.Union is marker
    finally:
        sys.modules["quelmar.tools.plusor"] = plusor
        plusor.Union = saved


def test_second_interpreter_is_refused(run_python):
    out = run_python("""
        import _interpreters
        import quelmar.tools.plusor
        interp = _interpreters.create("legacy")
        err = _interpreters.run_string(interp, "import quelmar.tools.plusor")
        print(err.type.__name__, err.msg, sep="|")
    """)
    assert out.strip() == ("ImportError|Interpreter change detected - this module can only be loaded into one "
                           "interpreter per process.")


def test_a_failed_import_in_a_subinterpreter_leaves_no_claim(run_python):
    out = run_python("""
        import _interpreters
        interp = _interpreters.create("legacy")
        err = _interpreters.run_string(interp, "import sys; sys.modules['jax'] = None; import quelmar.tools.plusor")
        print(err.type.__name__)
        _interpreters.destroy(interp)
        import quelmar.tools.plusor as plusor
        print(plusor.execute_plusor(1, 2))
        other = _interpreters.create("legacy")
        err = _interpreters.run_string(other, "import quelmar.tools.plusor")
        print(err.msg.split(" - ")[0])
    """)
    assert out.splitlines() == ["ImportError", "3.0", "Interpreter change detected"]


@pytest.mark.parametrize("name", ["plusor", "timesor", "minusor"])
def test_import_without_jax(run_python, name):
    out = run_python(f"""
        import sys, traceback
        sys.modules["jax"] = None        # makes `import jax` fail
        try:
            import quelmar.tools.{name}
        except ImportError as e:
            print(type(e).__name__, e, sep="|")
            print(type(e.__cause__).__name__, e.__suppress_context__)
            print([(f.name, f.lineno, f.filename) for f in traceback.extract_tb(e.__traceback__)][-1])
            print([(f.name, f.lineno) for f in traceback.extract_tb(e.__cause__.__traceback__)][-1])
        print("quelmar.tools.{name}" in sys.modules)
        del sys.modules["jax"]           # a later import starts afresh and succeeds
        import quelmar.tools.{name} as m
        print(m.execute_{name}(5, 10))
    """)
    lines = out.splitlines()
    assert lines[0] == ("ImportError|JAX is not installed. Install it with: pip install 'jax[cpu]' or "
                        "'jax[cuda12]' for GPU support.")
    assert lines[1] == "ModuleNotFoundError True"
    assert lines[2] == str((f"init quelmar.tools.{name}", 8, f"quelmar/tools/{name}.py"))
    assert lines[3] == str((f"quelmar.tools.{name}", 6))
    assert lines[4] == "False"
    assert float(lines[5]) in (15.0, 50.0, -5.0)


@pytest.mark.parametrize(
    "module, package, message",
    [
        ("tabextent", "pandas", "pandas is not installed. Install it with: pip install pandas"),
        ("fitrun", "yaml", "PyYAML is not installed. Install it with: pip install pyyaml"),
    ],
)
def test_import_without_required_package(run_python, module, package, message):
    out = run_python(f"""
        import sys
        sys.modules["{package}"] = None
        try:
            import quelmar.tools.{module}
        except ImportError as e:
            print(e)
            print(type(e.__cause__).__name__, "quelmar.tools.{module}" in sys.modules)
    """)
    assert out.splitlines() == [message, "ModuleNotFoundError False"]


def test_tools_import_from_the_repository_root():
    import pathlib
    import subprocess
    root = pathlib.Path(__file__).resolve().parent.parent
    code = "import quelmar.tools.plusor as p, quelmar.tools.fitrun as f; print(p.execute_plusor(1, 2), f.__file__)"
    proc = subprocess.run([sys.executable, "-c", code], cwd=root, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    value, fitrun_file = proc.stdout.split()
    assert value == "3.0" and fitrun_file.endswith(".so")


# -- references and fuzzed arguments -----------------------------------------------------


def test_argument_references_are_released():
    a, b = decimal.Decimal("1.25"), 1e300 * 1.0
    bad, huge, key = "not a number", 10**400, "a"
    calls = [lambda: plusor.execute_plusor(a, b=2.0)] + [
        lambda args=args, kw=kw: timesor.execute_timesor(*args, **kw)
        for args, kw in [((bad, b), {}), ((huge, a), {}), ((a,), {key: b}), ((a, b, a), {}), ((a, b * 1e10), {})]
    ]
    assert_refcounts_stable((a, b, bad, huge, key), calls, rounds=3000,
                            expected=(TypeError, ValueError, OverflowError))


operands = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(min_value=-(10**400), max_value=10**400),
    st.booleans(),
    st.none(),
    st.text(max_size=5),
    st.builds(S, st.text(max_size=3)),
    st.builds(lambda x: type("F", (float,), {})(x), st.floats()),
    st.decimals(allow_nan=False),
    st.lists(st.integers(), max_size=2),
)


keywords = st.dictionaries(st.sampled_from(["a", "b", "c", "ä", ""]) | st.text(max_size=4), operands, max_size=3)


def _float32(x):
    return np.float32(float(x))


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(fn=st.sampled_from(TOOLS), args=st.lists(operands, max_size=3), kwargs=keywords)
def test_fuzz_arguments(fn, args, kwargs):
    try:
        result = fn(*args, **kwargs)
    except (TypeError, ValueError, OverflowError):
        return
    assert type(result) is float and math.isfinite(result)
    bound = dict(zip("ab", args), **kwargs)
    a, b = _float32(bound["a"]), _float32(bound["b"])
    with np.errstate(all="ignore"):
        op = {"execute_plusor": np.add, "execute_timesor": np.multiply, "execute_minusor": np.subtract}
        expected = float(op[fn.__name__](a, b))
    tiny = np.finfo(np.float32).tiny
    if all(v == 0 or abs(v) >= tiny for v in (a, b, expected)):
        assert result == expected
