"""Fuzzes every function of the tool modules with random argument vectors.

    .venv/bin/python -P fuzz/fuzz.py -n 2000            # 2,000 inputs per function
    .venv/bin/python -P fuzz/fuzz.py -n 100000 -j 2 -f _deep_update
    .venv/bin/python -P fuzz/fuzz.py --replay fuzz/corpus

Each function is fuzzed in a child process, so that a crash (a signal, or a
sanitizer's abort under scripts/sanitize.sh) ends only the child: the driver
reads which input the child was running, keeps it in the corpus directory as a
regression case and goes on with the next input. A call may return or raise one
of the function's documented exceptions; anything else (SystemError, NameError,
a changed sys.stdout, a result of the wrong shape, ...) is a finding, kept and
reported like a crash. The exit status is 1 when anything was found.

The training tool runs with a replaced pipeline in a scratch tools directory.
"""
import argparse
import collections
import concurrent.futures
import ctypes
import json
import math
import os
import pathlib
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import warnings

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import inputs  # noqa: E402

ARITH = ["a", "b"]
PARAMS_FITRUN = [
    "input_col", "output_col", "data_train", "data_val", "data_test", "interp_method", "nmode", "nseg", "s_patch",
    "alpha_dil", "p_order", "radial_basis", "INNactivation", "sigma_factor", "nlayers", "nneurons", "activation",
    "hidden_dim", "grid_size", "spline_order", "num_layers", "modes", "split_ratio", "bool_data_generation",
    "bool_normalize", "bool_shuffle", "num_epochs_INN", "num_epochs_MLP", "num_epochs_KAN", "num_epochs_FNO",
    "batch_size", "learning_rate", "validation_period", "bool_denormalize", "patience", "stopping_loss_train",
    "bool_save_model", "bool_plot", "plot_in_axis", "plot_out_axis", "plot_params_number", "run_type", "gpu_idx",
]
# name: (module, attribute path, parameter names or None for no arguments, extra documented exceptions)
FUNCTIONS = {
    "execute_plusor": ("plusor", "execute_plusor", ARITH, ()),
    "execute_timesor": ("timesor", "execute_timesor", ARITH, ()),
    "execute_minusor": ("minusor", "execute_minusor", ARITH, ()),
    "execute_tabextent": ("tabextent", "execute_tabextent", ["file_path", "csv_content"], (OSError,)),
    "execute_fitrun": ("fitrun", "execute_fitrun", PARAMS_FITRUN, (OSError, KeyError, AttributeError)),
    "_deep_update": ("fitrun", "_deep_update", ["base", "updates"], ()),
    "_validate_required_fields": ("fitrun", "_validate_required_fields", ["user_config"], ()),
    "_get_tools_dir": ("fitrun", "_get_tools_dir", [], (OSError,)),
    "_get_model_save_dir": ("fitrun", "_get_model_save_dir", [], (OSError,)),
    "_get_plots_dir": ("fitrun", "_get_plots_dir", [], (OSError,)),
    "_get_logs_dir": ("fitrun", "_get_logs_dir", [], (OSError,)),
    "_get_config_ref_path": ("fitrun", "_get_config_ref_path", [], ()),
    "_load_reference_config": ("fitrun", "_load_reference_config", [], (OSError,)),
    "LogCapture.__init__": ("fitrun", "LogCapture.__init__", ["self", "log_path"], (AttributeError,)),
    "LogCapture.__enter__": ("fitrun", "LogCapture.__enter__", ["self"], (AttributeError,)),
    "LogCapture.__exit__": ("fitrun", "LogCapture.__exit__", ["self", "exc_type", "exc_val", "exc_tb"],
                            (AttributeError, OSError)),
    "LogCapture.get_logs": ("fitrun", "LogCapture.get_logs", ["self"], (AttributeError,)),
}
MAX_CRASHES = 25  # per function and run: more means something is broken for every input
DOCUMENTED = (TypeError, ValueError, OverflowError, RecursionError, inputs.Boom)


class PipelineError(Exception):
    """Raised by the replaced pipeline; the training tool passes it on."""


# ---------------------------------------------------------------------------
# Worker: runs inputs of one function in this process.

def vectorcall():
    api = ctypes.pythonapi
    api.PyObject_Vectorcall.restype = ctypes.py_object
    api.PyObject_Vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]

    def call(fn, args, kwnames):
        vec = (ctypes.py_object * max(len(args), 1))(*args)
        return api.PyObject_Vectorcall(fn, ctypes.cast(vec, ctypes.c_void_p), len(args) - len(kwnames), kwnames)

    return call


class Pipeline:
    """The replaced training pipeline: prints, may change the configuration, returns or raises at random."""

    def __init__(self):
        self.rng = random.Random(0)
        self.values = None

    def __call__(self, config, run_type, gpu_idx):
        r = self.rng
        print(r.choice(inputs.STRINGS), "epoch", r.randint(0, 9))
        action = r.randrange(12)
        if action == 0:
            raise PipelineError("training failed")
        if action == 1:
            raise KeyboardInterrupt if r.random() < 0.2 else PipelineError("late")
        if action == 2:
            config[r.choice(["MODEL_PARAM", "TRAIN_PARAM", "PLOT", "OUTPUT"])] = self.values.value()
        if action == 3:
            return self.values.value()
        result = type("Result", (), {})()
        for name in ("errors_train", "errors_val", "error_test"):
            if r.random() < 0.8:
                setattr(result, name, [0.5, 0.25] if r.random() < 0.7 else self.values.value())
        return result


class Worker:
    def __init__(self, function, scratch):
        self.function = function
        module, path, params, extra = FUNCTIONS[function]
        self.allowed = DOCUMENTED + extra
        if function == "execute_fitrun":
            self.allowed += (PipelineError, KeyboardInterrupt)
        self.scratch = pathlib.Path(scratch)
        import quelmar.tools.fitrun as fitrun
        self.fitrun = fitrun
        mod = __import__(f"quelmar.tools.{module}", fromlist=["x"])
        self.fn = mod
        for part in path.split("."):
            self.fn = getattr(self.fn, part)
        self.params = params
        self.call = vectorcall()
        self.setup_fitrun()
        self.paths = [self.scratch / "table.csv", self.scratch / "empty.csv", self.scratch / "missing.csv",
                      self.scratch, self.scratch / "logs" / "run.log", self.scratch / "nodir" / "x.log"]
        (self.scratch / "table.csv").write_text("a,b,c\n1,2,3\n4,5,6\n")
        (self.scratch / "empty.csv").write_text("")
        self.stdout = sys.stdout

    def setup_fitrun(self):
        tools = self.scratch / "tools"
        (tools / "config").mkdir(parents=True, exist_ok=True)
        installed = pathlib.Path(self.fitrun.__file__).parent
        shutil.copy(installed / "config" / "config_ref.yaml", tools / "config")
        self.fitrun.__file__ = str(tools / "fitrun.so")
        self.pipeline = Pipeline()
        self.fitrun.train_model = self.pipeline

    def build(self, seed, index):
        """The call of one input: (callable, positional arguments, keyword names, keyword values,
        recursion limit to set for the call or None)."""
        edge = random.Random(f"{self.function}/{seed}/{index}/edge")
        if edge.random() < inputs.EDGE_SHARE:
            call = inputs.edge_call(self.function, self.fn, self.params, edge)
            if call:
                return call
        params = self.params
        args, kwnames, kwvalues = inputs.make_call(self.function, params, seed, index, self.paths)
        rng = random.Random(f"{self.function}/{seed}/{index}/extra")
        values = inputs.Values(rng, self.paths)
        self.pipeline.rng = rng
        self.pipeline.values = values
        fn = self.fn
        if self.function == "execute_fitrun" and rng.random() < 0.6:
            kw = inputs.fitrun_arguments(rng, values)
            return fn, [], tuple(kw), list(kw.values()), None
        if self.function.startswith("LogCapture.") and rng.random() < 0.7:
            # Any path or string, but no number: open() takes an int as a file descriptor, and
            # closing the harness's own descriptors would end this child.
            log = values.choice([self.scratch / "logs" / "run.log", self.scratch / "nodir" / "x.log",
                                 values.path(), values.string()])
            instance = rng.choice([lambda: self.fitrun.LogCapture(self.scratch / "run.log"),
                                   lambda: object.__new__(self.fitrun.LogCapture),
                                   lambda: self.fitrun.LogCapture(log)])()
            if rng.random() < 0.5:  # through the bound method
                fn = getattr(instance, self.function.split(".")[1])
                args = args[1:]
            elif args:
                args[0] = instance
            else:
                args = [instance]
        return fn, args, kwnames, kwvalues, None

    def check(self, result):
        """A problem with a returned result, or None."""
        name = self.function
        if name.startswith("execute_") and name[8:] in ("plusor", "timesor", "minusor"):
            if type(result) is not float or not math.isfinite(result):
                return f"result {result!r}"
        elif name == "execute_tabextent":
            if type(result) is not dict or list(result) != ["rows", "columns", "column_names"]:
                return f"result {result!r}"
        elif name == "_deep_update" and type(result) is not dict:
            return f"result of type {type(result).__name__}"
        elif name == "_validate_required_fields":
            if type(result) is not list or not all(type(x) is str for x in result):
                return f"result {result!r}"
        elif name == "execute_fitrun" and (type(result) is not dict or result.get("training_completed") is not True):
            return "result without training_completed"
        return None

    def run_one(self, seed, index):
        """Runs one input; returns (outcome name, problem or None)."""
        fn, args, kwnames, kwvalues, limit = self.build(seed, index)
        problem = None
        saved_limit = sys.getrecursionlimit()
        try:
            if limit:
                sys.setrecursionlimit(limit)
            result = self.call(fn, list(args) + list(kwvalues), kwnames)
        except self.allowed as e:
            outcome = type(e).__name__
        except BaseException as e:  # noqa: B036 - every other exception is a finding
            outcome = type(e).__name__
            problem = "".join(traceback.format_exception(e, limit=-8))
        else:
            outcome = "returned"
            problem = self.check(result)
            del result
        finally:
            sys.setrecursionlimit(saved_limit)
        if sys.stdout is not self.stdout:
            if not self.function.startswith("LogCapture."):
                problem = (problem or "") + "sys.stdout left replaced"
            sys.stdout = self.stdout
        return outcome, problem




def worker_main(args):
    """Runs the inputs on a thread with a small stack (`--stack`), as a host's worker thread may have."""
    threading.stack_size(args.stack)
    failure = []
    thread = threading.Thread(target=lambda: failure.append(run_worker(args)))
    thread.start()
    thread.join()
    if failure != [None]:
        raise SystemExit("the fuzzing thread failed")


def run_worker(args):
    warnings.simplefilter("ignore")
    inputs_list = json.loads(pathlib.Path(args.inputs).read_text())
    scratch = tempfile.mkdtemp(prefix="fuzz-")
    os.chdir(scratch)  # relative paths among the values land here
    workers = {}
    outcomes = collections.Counter()
    progress = os.open(args.progress, os.O_WRONLY)
    counts = pathlib.Path(args.findings + ".outcomes")
    with open(args.findings, "a", encoding="utf-8") as findings:
        for position, (function, seed, index) in enumerate(inputs_list):
            if position < args.start:
                continue
            os.pwrite(progress, struct.pack("<q", position), 0)
            if function not in workers:
                workers[function] = Worker(function, pathlib.Path(scratch) / function.replace(".", "_"))
            outcome, problem = workers[function].run_one(seed, index)
            outcomes[outcome] += 1
            if position % 100 == 99:  # what a crash later in this child would lose otherwise
                counts.write_text(json.dumps(outcomes))
            if problem:
                findings.write(json.dumps({"function": function, "seed": seed, "index": index,
                                           "kind": "finding", "detail": problem}) + "\n")
                findings.flush()
    os.pwrite(progress, struct.pack("<q", len(inputs_list)), 0)
    shutil.rmtree(scratch, ignore_errors=True)
    counts.write_text(json.dumps(outcomes))


# ---------------------------------------------------------------------------
# Driver: runs workers, notices crashes, keeps the inputs.

def run_inputs(label, entries, workdir, timeout, stack=1 << 20):
    """Runs `entries` ([function, seed, index], ...) in child processes; returns (outcomes, problems).

    label: names the work files in `workdir`
    timeout: seconds an input may take before its child is killed (and the input kept)
    stack: stack size of the children's calling thread
    """
    workdir.mkdir(parents=True, exist_ok=True)
    listing, progress, findings, log = (workdir / f"{label}.{ext}" for ext in ("inputs", "progress", "findings", "log"))
    listing.write_text(json.dumps(entries))
    findings.write_text("")
    outcomes, problems, start = collections.Counter(), [], 0
    while start < len(entries):
        progress.write_bytes(struct.pack("<q", start))
        with open(log, "w") as out:
            child = subprocess.Popen([sys.executable, "-P", __file__, "--worker", "--stack", str(stack),
                                      "--inputs", str(listing),
                                      "--progress", str(progress), "--findings", str(findings), "--start",
                                      str(start)], stdout=out, stderr=subprocess.STDOUT)
            last, since = start, time.monotonic()
            while child.poll() is None:
                time.sleep(0.2)
                now = struct.unpack("<q", progress.read_bytes()[:8])[0]
                if now != last:
                    last, since = now, time.monotonic()
                elif time.monotonic() - since > timeout:
                    child.kill()
                    child.wait()
        position = struct.unpack("<q", progress.read_bytes()[:8])[0]
        counts = workdir / f"{label}.findings.outcomes"
        if counts.exists():
            outcomes.update(json.loads(counts.read_text()))
            counts.unlink()
        if child.returncode == 0 and position >= len(entries):
            break
        if position >= len(entries) or outcomes["crash"] >= MAX_CRASHES:
            raise SystemExit(f"{label}: the fuzzing child failed (exit status {child.returncode}):\n"
                             + log.read_text()[-4000:])
        function, seed, index = entries[position]
        problems.append({"function": function, "seed": seed, "index": index, "kind": "crash",
                         "detail": f"exit status {child.returncode}\n" + log.read_text()[-4000:]})
        outcomes["crash"] += 1
        start = position + 1
    for line in findings.read_text().splitlines():
        problems.append(json.loads(line))
    return outcomes, problems


def save_problems(problems, corpus):
    corpus.mkdir(parents=True, exist_ok=True)
    for p in problems:
        name = f"{p['function']}-{p['seed']}-{p['index']}.json"
        entry = {k: p[k] for k in ("function", "seed", "index", "kind")}
        entry["detail"] = p["detail"].splitlines()[:40]
        (corpus / name).write_text(json.dumps(entry, indent=1) + "\n")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("-n", type=int, default=2000, help="inputs per function")
    ap.add_argument("-f", "--function", action="append", choices=sorted(FUNCTIONS),
                    help="fuzz only this function (repeatable); default: all")
    ap.add_argument("-j", "--jobs", type=int, default=1, help="functions fuzzed at the same time")
    ap.add_argument("--seed", type=int, default=None, help="seed of the run (default: from the clock)")
    ap.add_argument("--corpus", type=pathlib.Path, default=HERE / "corpus",
                    help="where inputs that crashed or misbehaved are kept")
    ap.add_argument("--replay", type=pathlib.Path, help="run the kept inputs of this corpus directory instead")
    ap.add_argument("--timeout", type=float, default=120, help="seconds one input may take")
    ap.add_argument("--stack", type=int, default=1 << 20, help="stack size of the calling thread (bytes)")
    ap.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--inputs", help=argparse.SUPPRESS)
    ap.add_argument("--progress", help=argparse.SUPPRESS)
    ap.add_argument("--findings", help=argparse.SUPPRESS)
    ap.add_argument("--start", type=int, default=0, help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.worker:
        return worker_main(args)

    workdir = pathlib.Path(tempfile.mkdtemp(prefix="fuzz-run-"))
    if args.replay:
        entries = [[e["function"], e["seed"], e["index"]] for e in
                   (json.loads(p.read_text()) for p in sorted(args.replay.glob("*.json")))]
        outcomes, problems = run_inputs("replay", entries, workdir, args.timeout, args.stack)
        shutil.rmtree(workdir, ignore_errors=True)
        print(f"replayed {len(entries)} kept inputs: {dict(outcomes)}")
        for p in problems:
            print(f"\n{p['kind']} in {p['function']} (seed {p['seed']}, input {p['index']}):\n{p['detail']}")
        return 1 if problems else 0

    seed = args.seed if args.seed is not None else int(time.time())
    functions = args.function or list(FUNCTIONS)
    kept = [[e["function"], e["seed"], e["index"]] for e in
            (json.loads(p.read_text()) for p in sorted(args.corpus.glob("*.json")))]
    total = []
    if kept:  # the inputs that once failed come first
        outcomes, total = run_inputs("kept", kept, workdir, args.timeout, args.stack)
        print(f"{'kept inputs':28} {sum(outcomes.values()):7} inputs  {len(total)} failed", flush=True)
    print(f"fuzzing {len(functions)} functions, {args.n} inputs each, seed {seed}", flush=True)

    def fuzz(function):
        started = time.monotonic()
        entries = [[function, seed, i] for i in range(args.n)]
        outcomes, problems = run_inputs(function.replace(".", "_"), entries, workdir, args.timeout, args.stack)
        return function, outcomes, problems, time.monotonic() - started

    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        for function, outcomes, problems, seconds in pool.map(fuzz, functions):
            crashes = sum(p["kind"] == "crash" for p in problems)
            common = ", ".join(f"{k} {v}" for k, v in outcomes.most_common(5))
            print(f"{function:28} {sum(outcomes.values()):7} inputs  {crashes} crashes  "
                  f"{len(problems) - crashes} findings  {seconds:7.1f} s  ({common})", flush=True)
            total += problems
    save_problems(total, args.corpus)
    for p in total:
        print(f"\n{p['kind']} in {p['function']} (seed {p['seed']}, input {p['index']}):\n{p['detail']}")
    shutil.rmtree(workdir, ignore_errors=True)
    if total:
        print(f"\n{len(total)} inputs kept in {args.corpus}")
    return 1 if total else 0


if __name__ == "__main__":
    sys.exit(main())
