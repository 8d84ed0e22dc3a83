"""The fuzz harness: the kept inputs (fuzz/corpus) replayed, and a short fuzz run of every function."""
import importlib.util
import json
import pathlib

FUZZ = pathlib.Path(__file__).resolve().parent.parent / "fuzz"


def load_harness():
    spec = importlib.util.spec_from_file_location("fuzz_harness", FUZZ / "fuzz.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_kept_inputs_and_a_short_run(tmp_path):
    harness = load_harness()
    kept = [json.loads(p.read_text()) for p in sorted((FUZZ / "corpus").glob("*.json"))]
    entries = [[k["function"], k["seed"], k["index"]] for k in kept]
    entries += [[function, 7, i] for function in harness.FUNCTIONS for i in range(25)]
    outcomes, problems = harness.run_inputs("suite", entries, tmp_path, timeout=120)
    assert problems == []
    assert sum(outcomes.values()) == len(entries)
    assert outcomes["returned"] > 0 and outcomes["TypeError"] > 0
