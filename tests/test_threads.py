"""Every tool called from eight threads at once."""
import sys
import threading

import numpy as np

import quelmar.tools.minusor as minusor
import quelmar.tools.plusor as plusor
import quelmar.tools.tabextent as tabextent
import quelmar.tools.timesor as timesor

THREADS, ROUNDS = 8, 4


class TaggedPipeline:
    """Prints lines naming its run (the training file), yielding the interpreter in between."""

    def __call__(self, config, run_type, gpu_idx):
        tag = config["DATA_PARAM"]["data_train"]
        for step in range(3):
            print(f"{tag} step {step}")
            threading.Event().wait(0.001)
        return {}


def test_eight_threads_call_every_tool(fitrun, capsys):
    fitrun.train_model = TaggedPipeline()
    stdout = sys.stdout
    start = threading.Barrier(THREADS)
    runs, failures = [], []

    def work(t):
        try:
            start.wait()
            for i in range(ROUNDS):
                a, b = np.float32(t + i / 4), np.float32(3.5)
                assert plusor.execute_plusor(float(a), float(b)) == float(a + b)
                assert timesor.execute_timesor(float(a), float(b)) == float(a * b)
                assert minusor.execute_minusor(float(a), float(b)) == float(a - b)
                rows = t + i
                table = tabextent.execute_tabextent(csv_content="x,y\n" + "1,2\n" * rows)
                assert table == {"rows": rows, "columns": 2, "column_names": ["x", "y"]}
                tag = f"thread{t}-run{i}"
                result = fitrun.execute_fitrun(input_col=[0], output_col=[1], data_train=tag)
                runs.append((tag, result["log_path"]))
        except BaseException as e:  # reported by the main thread
            failures.append(e)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(THREADS)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert not failures, failures
    assert sys.stdout is stdout
    print("the console still works")
    assert capsys.readouterr().out == "the console still works\n"
    assert len(runs) == THREADS * ROUNDS and len({log for _, log in runs}) == len(runs)
    for tag, log in runs:
        with open(log, encoding="utf-8") as f:
            steps = [line for line in f.read().splitlines() if " step " in line]
        assert steps == [f"{tag} step {s}" for s in range(3)]
