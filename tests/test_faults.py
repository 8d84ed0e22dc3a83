"""Faults found by sanitizers, fuzzing and threads: each case once crashed, leaked or lost output.

The crashes run in a child interpreter. MALLOC_PERTURB_ makes the C library
fill freed memory, so that a read of freed memory may show even without the
sanitizer build; under it (make sanitize) every such read aborts the child.
"""
import os
import sys
import threading
import time

import pytest

import quelmar.tools.fitrun as fitrun_module
import quelmar.tools.plusor as plusor

PERTURB = {"MALLOC_PERTURB_": "165"}
REQUIRED = {"input_col": [0], "output_col": [1], "data_train": "train.csv"}


from helpers import S, vectorcall
from helpers import last_code as last_entry


# -- traceback entries whose name was a temporary string ------------------------------

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
    """, env=dict(os.environ, **PERTURB))
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


# -- the method type -------------------------------------------------------------------

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
    """)
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
    """)
    assert out.split() == ["4"]


# -- _deep_update on a small stack --------------------------------------------------

def test_deep_update_on_a_one_megabyte_thread_stack(run_python):
    out = run_python("""
        import sys, threading
        import quelmar.tools.fitrun as fitrun
        loop = {}; loop["k"] = loop
        deep = {}
        for _ in range(100000):
            deep = {"k": deep}
        def run(a, b):
            try:
                fitrun._deep_update(a, b)
            except RecursionError as e:
                print("RecursionError", e)
        threading.stack_size(1 << 20)
        for a, b in [(loop, loop), (deep, deep), (loop, deep)]:
            t = threading.Thread(target=run, args=(a, b)); t.start(); t.join()
        nested = {}
        for _ in range(sys.getrecursionlimit() - 10):
            nested = {"k": nested}
        print(fitrun._deep_update(nested, nested) == nested)
    """)
    lines = out.splitlines()
    assert lines[:3] == ["RecursionError maximum recursion depth exceeded while calling a Python object"] * 3
    assert lines[3] == "True"


def test_deep_update_depth_follows_the_recursion_limit():
    depth, frame = 0, sys._getframe()
    while frame:
        depth, frame = depth + 1, frame.f_back
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(depth + 100)
    try:
        for levels, fails in [(depth + 110, True), (depth + 90, False)]:
            nested = {}
            for _ in range(levels):
                nested = {"k": nested}
            if fails:
                with pytest.raises(RecursionError) as info:
                    fitrun_module._deep_update(nested, nested)
            else:
                assert fitrun_module._deep_update(nested, nested) == nested
    finally:
        sys.setrecursionlimit(limit)
    assert last_entry(info.value).co_name == "quelmar.tools.fitrun._deep_update"


# -- binding -------------------------------------------------------------------------

@pytest.mark.parametrize(
    "fn, args, kwnames, message",
    [
        (plusor.execute_plusor, (1.0, 2.0), ("a", S("a")), "execute_plusor() got multiple values for argument 'a'"),
        (plusor.execute_plusor, (1.0, 2.0, 3.0), ("b", "a", "b"),
         "execute_plusor() got multiple values for argument 'b'"),
        (fitrun_module.execute_fitrun, (1, 2), (S("nmode"), "nmode"),
         "execute_fitrun() got multiple values for argument 'nmode'"),
        (fitrun_module.LogCapture.__init__, (None, "x", "y"), ("log_path", S("log_path")),
         "LogCapture.__init__() got multiple values for argument 'log_path'"),
    ],
)
def test_a_keyword_bound_twice_in_one_call(fn, args, kwnames, message):
    with pytest.raises(TypeError) as info:
        vectorcall(fn, args, kwnames)
    assert str(info.value) == message
    assert last_entry(info.value).co_firstlineno in (14, 135, 52)


# -- training runs ---------------------------------------------------------------------

class Steered:
    """A pipeline whose runs are told apart by their training file; run "A" waits until it is let go."""

    def __init__(self):
        self.let_go = threading.Event()
        self.order = []

    def __call__(self, config, run_type, gpu_idx):
        name = config["DATA_PARAM"]["data_train"]
        self.order.append(name + " start")
        print("line of", name)
        if name == "A":
            self.let_go.wait(5)
            print("more of A")
        self.order.append(name + " end")
        return {}


def test_training_runs_do_not_overlap_their_captures(fitrun, capsys):
    pipeline = fitrun.train_model = Steered()
    stdout = sys.stdout
    results = {}

    def run(name):
        results[name] = fitrun.execute_fitrun(input_col=[0], output_col=[1], data_train=name)

    a = threading.Thread(target=run, args=("A",))
    a.start()
    while not pipeline.order:
        time.sleep(0.005)
    b = threading.Thread(target=run, args=("B",))
    b.start()
    time.sleep(0.1)
    pipeline.let_go.set()
    a.join()
    b.join()
    assert pipeline.order == ["A start", "A end", "B start", "B end"]
    assert sys.stdout is stdout
    print("after the runs")
    assert capsys.readouterr().out == "after the runs\n"
    logs = {name: open(r["log_path"], encoding="utf-8").read() for name, r in results.items()}
    assert "line of A\nmore of A\n" in logs["A"] and "line of B" not in logs["A"]
    assert "line of B\n" in logs["B"] and "of A" not in logs["B"]


def test_a_run_that_prints_unencodable_text_keeps_log_and_result(fitrun):
    fitrun.train_model.output = "lone \udcff surrogate"
    result = fitrun.execute_fitrun(**REQUIRED)
    with open(result["log_path"], encoding="utf-8") as f:
        assert "lone \\udcff surrogate\n" in f.read()
    assert result["training_completed"] is True


def test_a_failed_run_with_unencodable_text_keeps_its_own_error(fitrun, tools_dir):
    fitrun.train_model.output = "\ud800"
    fitrun.train_model.error = KeyError("pipeline failure")
    with pytest.raises(KeyError) as info:
        fitrun.execute_fitrun(**REQUIRED)
    assert info.value is fitrun.train_model.error and info.value.__context__ is None
    log, = (tools_dir / "logs").iterdir()
    text = log.read_text(encoding="utf-8")
    assert "\\ud800\n" in text and "Training failed with error: 'pipeline failure'" in text


# -- interpreters ------------------------------------------------------------------------

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
