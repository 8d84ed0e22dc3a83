"""Faults of the training tool found by sanitizers, fuzzing and threads: each case once
crashed, leaked or lost output (the frame's own cases are in test_frame.py)."""
import sys
import threading
import time

import pytest

import quelmar.tools.fitrun as fitrun_module
from helpers import last_code as last_entry

REQUIRED = {"input_col": [0], "output_col": [1], "data_train": "train.csv"}


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
    """, pipeline=False)
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
