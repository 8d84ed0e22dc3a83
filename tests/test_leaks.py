"""Leak checks in the manner of CPython's regression tests: each public path and its error paths
runs a few warm-up rounds, then the allocated blocks and the arguments' reference counts must not
grow over the measured rounds.

Under the sanitizer build (PYTHONMALLOC=malloc) the interpreter counts no blocks; the reference
counts are still checked there.
"""
import gc
import math
import sys

import pytest

import quelmar.tools.minusor as minusor
import quelmar.tools.plusor as plusor
import quelmar.tools.tabextent as tabextent
import quelmar.tools.timesor as timesor

WARMUP, ROUNDS = 2, 4
# Under the runner's recording of warnings the rounds of some paths grow by
# about a block per call (not so in a plain interpreter); these checks measure
# the tools, not the runner.
pytestmark = pytest.mark.filterwarnings("ignore")


from helpers import S, vectorcall


class BadFloat:
    def __float__(self):
        raise ArithmeticError("no float")


class Pipeline:
    """A training pipeline that keeps nothing from its calls."""

    def __init__(self, error=None):
        self.error = error
        self.result = type("Result", (), {"errors_train": [0.5], "errors_val": [0.4], "error_test": 0.3})()

    def __call__(self, config, run_type, gpu_idx):
        print("epoch 1")
        if self.error:
            raise type(self.error)(*self.error.args)  # a new one each time: a raised one keeps its frames
        return self.result



def check_no_leak(fn, args=(), kwargs=None, per_round=16, expect=None, per_call=1.0, warmup=WARMUP, attempts=3):
    """Calls fn(*args, **kwargs) in rounds; fails when blocks or argument references keep growing.

    A leak in a call leaks on every call: `per_call` blocks or more per call in every round.
    Smaller steps come from the libraries' caches and the test runner; `warmup` rounds
    first let bounded caches fill (a leak goes on growing after any number of them).
    A cache that an earlier test in the process left half full can still grow in every
    round of one measurement: one that grows is measured again, up to `attempts` times,
    and a leak grows in every round of all of them.
    """
    kwargs = kwargs or {}
    watched = list(args) + list(kwargs.values())

    def one_round():
        for _ in range(per_round):
            try:
                fn(*args, **kwargs)
            except Exception as e:  # the error paths are measured as well
                if expect is None or not isinstance(e, expect):
                    raise

    for _ in range(warmup):
        one_round()
    measured = []
    for _ in range(attempts):
        gc.collect()
        gc.freeze()  # the collections below then look at new objects only: fast with JAX loaded
        try:
            refs = [sys.getrefcount(o) for o in watched]
            blocks, deltas = sys.getallocatedblocks(), []
            for _ in range(ROUNDS):
                one_round()
                gc.collect()
                now = sys.getallocatedblocks()
                deltas.append(now - blocks)
                blocks = now
        finally:
            gc.unfreeze()
        assert [sys.getrefcount(o) for o in watched] == refs
        measured.append(deltas)
        if min(deltas) < per_round * per_call:
            return
    raise AssertionError(f"allocated blocks grew in every round: {measured}")


INF = math.inf


def num(text):
    """A float object of its own (a literal would be a constant shared with other code)."""
    return float(text)


ARITH_PATHS = [
    (plusor.execute_plusor, lambda: ((num("1.5"), num("2.25")), {}), None),
    (timesor.execute_timesor, lambda: ((num("1e30"), num("1e30")), {}), ValueError),   # infinite result
    (minusor.execute_minusor, lambda: ((num("inf"), num("inf")), {}), ValueError),     # NaN result
    (plusor.execute_plusor, lambda: ((num("1.5"),), {}), TypeError),                   # count
    (plusor.execute_plusor, lambda: ((num("1.5"),), {"c": num("2")}), TypeError),      # unknown keyword
    (plusor.execute_plusor, lambda: ((num("1.5"),), {"a": num("2")}), TypeError),      # multiple values
    (plusor.execute_plusor, lambda: ((num("1.5"),), {S("b"): num("2")}), None),        # str subclass keyword
    (plusor.execute_plusor, lambda: ((S("x"), num("1")), {}), TypeError),              # conversion
    (plusor.execute_plusor, lambda: ((BadFloat(), num("1")), {}), ArithmeticError),    # a raising __float__
    (plusor.execute_plusor, lambda: ((10**400 + 1, num("1")), {}), OverflowError),
]


@pytest.mark.skipif(sys.getallocatedblocks() == 0, reason="the interpreter counts no blocks (PYTHONMALLOC=malloc)")
def test_a_leak_is_caught():
    kept = []
    with pytest.raises(AssertionError, match="grew in every round"):
        check_no_leak(lambda: kept.append(object()))
    assert len(kept) == 16 * (WARMUP + 3 * ROUNDS)  # measured three times


@pytest.mark.parametrize("fn, make, expect", ARITH_PATHS)
def test_arithmetic_paths(fn, make, expect):
    args, kwargs = make()
    check_no_leak(fn, args, kwargs, expect=expect)


def test_duplicate_keyword_path():
    check_no_leak(vectorcall, (plusor.execute_plusor, (1.0, 2.0), ("a", S("a"))), expect=TypeError)


@pytest.mark.parametrize(
    "make, expect",
    [
        (lambda: {"csv_content": "a,b\n1,2\n3,4\n" * 2}, None),
        (lambda: {}, ValueError),
        (lambda: {"file_path": "x.csv" * 2, "csv_content": "a" * 2}, ValueError),
        (lambda: {"csv_content": S("a,b\n")}, TypeError),
        (lambda: {"csv_content": "" + str()}, ValueError),
        (lambda: {"file_path": "/nonexistent/table.csv" * 1}, OSError),
    ],
)
def test_table_paths(make, expect):
    # Caches of pandas and the interpreter settle over the first reads; after some other tests
    # that took more than two rounds (about one block a call for four more rounds).
    check_no_leak(tabextent.execute_tabextent, (), make(), expect=expect, warmup=24)


def test_training_helper_paths(fitrun, tools_dir):
    loop = {}
    loop["k"] = loop
    base, updates = {"A": {"x": 1}, "B": 2}, {"A": {"y": [1]}, "C": {}}
    check_no_leak(fitrun._deep_update, (base, updates))
    check_no_leak(fitrun._deep_update, (base, [1]), expect=TypeError)
    check_no_leak(fitrun._deep_update, (loop, loop), per_round=1, expect=RecursionError, per_call=50)
    check_no_leak(fitrun._validate_required_fields, ({"DATA_PARAM": {"input_col": [0]}},))
    check_no_leak(fitrun._validate_required_fields, ({"DATA_PARAM": 5},), expect=TypeError)
    for helper in (fitrun._get_logs_dir, fitrun._get_config_ref_path, fitrun._load_reference_config):
        check_no_leak(helper, per_round=8)
    check_no_leak(fitrun._get_logs_dir, (1,), expect=TypeError)


def test_missing_reference_path(fitrun, tmp_path, monkeypatch):
    monkeypatch.setattr(fitrun, "__file__", str(tmp_path / "none" / "fitrun.so"))
    check_no_leak(fitrun._load_reference_config, expect=FileNotFoundError)


def test_log_capture_paths(fitrun, tmp_path):
    log = tmp_path / "run.log"

    def capture():
        with fitrun.LogCapture(log) as c:
            print("line")
        return c.get_logs()

    def failing_capture():
        with fitrun.LogCapture(log):
            raise KeyError("in flight")

    check_no_leak(capture, per_round=8)
    check_no_leak(failing_capture, per_round=8, expect=KeyError)
    check_no_leak(fitrun.LogCapture, (), {"log_path": log, "path": 1}, expect=TypeError)
    check_no_leak(fitrun.LogCapture(log).get_logs, (1,), expect=TypeError)


@pytest.mark.parametrize(
    "make, error, expect",
    [
        (lambda: {"input_col": [0], "output_col": [1], "data_train": "t.csv" * 2, "nmode": num("3.5")}, None, None),
        (lambda: {"input_col": [0], "output_col": [1], "data_train": "t.csv" * 2}, RuntimeError("failed"),
         RuntimeError),
        (lambda: {"input_col": [0]}, None, ValueError),
        (lambda: {"input_col": (0,)}, None, TypeError),
        (lambda: {"learning_rate": 10**400 + 1}, None, OverflowError),
    ],
)
def test_training_paths(fitrun, tools_dir, make, error, expect):
    fitrun.train_model = Pipeline(error)
    logs = tools_dir / "logs"

    def run(**kwargs):
        try:
            return fitrun.execute_fitrun(**kwargs)
        finally:  # each run finds the first log name free, as runs in a process mostly do
            for log in logs.glob("*.log"):
                log.unlink()

    # The run's libraries (YAML, paths, the clock) fill caches by a few blocks per call for
    # hundreds of calls; a leaked configuration or result would be dozens of blocks per call.
    check_no_leak(run, (), make(), per_round=6, expect=expect, per_call=6)
