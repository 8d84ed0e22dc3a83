"""What a training run reports and leaves behind: the kept model's metrics,
divergence, model selection, names, predictions and the live log."""

import os
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from conftest import child_env
from quelmar.tools.ordane import predict
from helpers import make_config, run
from quelmar.tools.ordane.main import load_model




def smooth_frame(n=400, seed=0, scale2=None):
    rng = np.random.default_rng(seed)
    x = rng.uniform(0, 1, size=(n, 2))
    frame = pd.DataFrame({"a": x[:, 0], "b": x[:, 1],
                          "y": np.sin(2 * x[:, 0]) + x[:, 1] ** 2})
    if scale2 is not None:
        frame["z"] = scale2 * (np.cos(3 * x[:, 1]) + x[:, 0])
    return frame


def write_parts(tmp_path, frame, sizes):
    paths, start = [], 0
    for i, size in enumerate(sizes):
        path = tmp_path / f"part{i}.csv"
        frame.iloc[start:start + size].to_csv(path, index=False)
        paths.append(path)
        start += size
    return paths


def rmse(model, path):
    frame = pd.read_csv(path)
    return float(np.sqrt(np.mean((predict(model, frame)["y"] - frame["y"]) ** 2)))


def test_reported_errors_are_the_saved_models(tmp_path):
    train, val, test = write_parts(tmp_path, smooth_frame(500), [300, 100, 100])
    config = make_config(tmp_path, [train, val, test], MODEL_PARAM={"interp_method": "MLP"},
                         TRAIN_PARAM={"num_epochs_MLP": 60, "validation_period": 5,
                                      "patience": 3, "learning_rate": 0.03,
                                      "bool_save_model": True})
    config["OUTPUT"]["log_file"] = str(tmp_path / "logs" / "training_MLP_20261208_231500_2.log")
    result, printed = run(config)
    output = config["OUTPUT"]
    assert Path(output["model_file"]).name == "ordane_MLP_regression_20261208_231500_2.json"
    model = load_model(output["model_file"])
    assert result.errors_train[-1] == pytest.approx(rmse(model, train), rel=1e-4)
    assert result.errors_val[-1] == pytest.approx(rmse(model, val), rel=1e-4)
    assert result.error_test == pytest.approx(rmse(model, test), rel=1e-4)
    assert output["metrics"]["test"]["RMSE"]["y"] == pytest.approx(result.error_test)
    assert output["best_epoch"] == result.best_epoch and output["epochs_run"] == result.epochs_run
    assert output["stop_reason"] == result.stop_reason and output["device"]
    assert f"kept the model of epoch {result.best_epoch}" in printed


@pytest.mark.parametrize(("method", "rate"), [("linear", 1e3), ("MLP", 100.0)])
def test_a_diverging_run_raises(tmp_path, method, rate):
    (path,) = write_parts(tmp_path, smooth_frame(300), [300])
    config = make_config(tmp_path, [path], MODEL_PARAM={"interp_method": method},
                         TRAIN_PARAM={"num_epochs_INN": 30, "num_epochs_MLP": 30,
                                      "learning_rate": rate, "bool_save_model": True})
    with pytest.raises(ValueError, match="lower TRAIN_PARAM.learning_rate"):
        run(config)
    assert not (tmp_path / "models").exists()


def test_classification_keeps_improving_in_cross_entropy(tmp_path):
    rng = np.random.default_rng(0)
    x = rng.uniform(0, 1, size=(900, 2))
    x = x[np.abs(x.sum(axis=1) - 1.0) > 0.15][:400]
    path = tmp_path / "classes.csv"
    pd.DataFrame({"a": x[:, 0], "b": x[:, 1],
                  "kind": np.where(x.sum(axis=1) > 1.0, 1, 0)}).to_csv(path, index=False)
    config = make_config(tmp_path, [path], MODEL_PARAM={"interp_method": "MLP"},
                         TRAIN_PARAM={"num_epochs_MLP": 80, "validation_period": 10,
                                      "patience": 100, "bool_save_model": True})
    result, _ = run(config, run_type="classification")
    # Separable data: the error reaches 0 early, the cross-entropy keeps falling.
    assert result.best_epoch == result.epochs_run == 80
    metrics = config["OUTPUT"]["metrics"]
    assert metrics["test"]["accuracy"] == pytest.approx(1 - result.error_test)
    assert set(metrics["validation"]) == {"accuracy", "cross_entropy"}
    predicted = predict(result.model_path, path)
    assert list(predicted.columns) == ["kind", "P(0)", "P(1)"]
    assert np.mean(predicted["kind"] == pd.read_csv(path)["kind"]) > 0.95


def test_per_output_metrics_with_outputs_of_different_scales(tmp_path):
    path = tmp_path / "two.csv"
    smooth_frame(400, scale2=600.0).to_csv(path, index=False)
    config = make_config(tmp_path, [path], outputs=(2, 3), MODEL_PARAM={"interp_method": "MLP"},
                         TRAIN_PARAM={"num_epochs_MLP": 60, "learning_rate": 0.01})
    result, printed = run(config)
    test = config["OUTPUT"]["metrics"]["test"]
    assert set(test) == {"RMSE", "MAE", "R2"} and set(test["RMSE"]) == {"y", "z"}
    assert test["R2"]["y"] > 0.9 and test["R2"]["z"] > 0.9
    assert test["RMSE"]["y"] < test["RMSE"]["z"] / 100
    # The pooled error reported is dominated by the large output.
    assert result.error_test == pytest.approx(
        np.sqrt((test["RMSE"]["y"] ** 2 + test["RMSE"]["z"] ** 2) / 2), rel=1e-4)
    assert "y: RMSE" in printed and "z: RMSE" in printed


def test_predict_by_column_name_and_numeric_header(tmp_path):
    frame = smooth_frame(300)
    frame.columns = ["2019", "2020", "2021"]
    path = tmp_path / "years.csv"
    frame.to_csv(path, index=False)
    config = make_config(tmp_path, [path], MODEL_PARAM={"interp_method": "MLP"},
                         TRAIN_PARAM={"num_epochs_MLP": 30, "bool_save_model": True})
    result, printed = run(config)
    # The header of numbers is a header: 300 data rows, named in the log.
    assert "210 train / 45 validation / 45 test" in printed
    assert "Inputs: 2019, 2020; output(s): 2021" in printed
    model = load_model(result.model_path)
    assert (model.input_names, model.output_names) == (["2019", "2020"], ["2021"])
    shuffled = frame[["2021", "2020", "2019"]].assign(extra=1.0)
    by_name = predict(result.model_path, shuffled)
    assert list(by_name.columns) == ["2021"]
    np.testing.assert_allclose(by_name["2021"], model.predict(frame[["2019", "2020"]].to_numpy())[:, 0])
    np.testing.assert_allclose(predict(result.model_path, path)["2021"], by_name["2021"])
    with pytest.raises(ValueError, match="lacks the model's input column"):
        predict(result.model_path, frame[["2019"]])


LIVE_RUN = """
import sys
from quelmar.tools import fitrun
sys.stdout.write("started\\n"); sys.stdout.flush()
fitrun.execute_fitrun(input_col=[0, 1], output_col=[2], data_train={data!r},
                      interp_method="linear", num_epochs_INN=10**6, validation_period=1,
                      patience=10**9, stopping_loss_train=0.0, bool_save_model=False)
"""


def test_the_log_grows_during_a_run_and_survives_a_kill(tmp_path):
    path = tmp_path / "data.csv"
    smooth_frame(200).to_csv(path, index=False)
    logs = tmp_path / "home" / "logs"  # the run's own output home: no other run writes there
    proc = subprocess.Popen([sys.executable, "-P", "-c", textwrap.dedent(LIVE_RUN.format(data=str(path)))],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, cwd=tmp_path,
                            env=child_env(QUELMAR_HOME=str(tmp_path / "home")))
    try:
        proc.stdout.readline()
        deadline, new = time.monotonic() + 120, []
        while time.monotonic() < deadline:
            new = [p for p in logs.glob("training_linear_*.log") if "elapsed" in p.read_text()]
            if new:
                break
            time.sleep(0.5)
        assert new, "the log stayed empty while the run went on"
        os.kill(proc.pid, signal.SIGKILL)
        proc.wait()
        text = new[0].read_text()
        assert "Starting Training Pipeline" in text and "elapsed" in text
    finally:
        if proc.poll() is None:
            os.kill(proc.pid, signal.SIGKILL)
            proc.wait()


# ---------------------------------------------------------------- one evaluator

def regression_figures(model_file, path, names):
    """RMSE, MAE, R2 per output and the pooled RMSE of `predict` on a CSV file."""
    frame = pd.read_csv(path)
    diff = predict(model_file, frame)[names].to_numpy() - frame[names].to_numpy()
    y = frame[names].to_numpy()
    sse = np.sum(diff ** 2, axis=0)
    return {"RMSE": dict(zip(names, np.sqrt(sse / len(y)))),
            "MAE": dict(zip(names, np.mean(np.abs(diff), axis=0))),
            "R2": dict(zip(names, 1 - sse / np.sum((y - y.mean(axis=0)) ** 2, axis=0)))}, \
        float(np.sqrt(np.mean(diff ** 2)))


@pytest.mark.parametrize("scale", [1.0, 1e20])
def test_predict_reproduces_every_reported_figure(tmp_path, scale):
    # Outputs of 1e20 overflow float32 once squared: figures are float64.
    frame = smooth_frame(400, scale2=3.0)
    frame[["y", "z"]] *= scale
    paths = write_parts(tmp_path, frame, [240, 80, 80])
    config = make_config(tmp_path, paths, outputs=(2, 3), MODEL_PARAM={"interp_method": "MLP"},
                         TRAIN_PARAM={"num_epochs_MLP": 40, "learning_rate": 0.01,
                                      "bool_save_model": True})
    result, _ = run(config)
    metrics = config["OUTPUT"]["metrics"]
    reported = [result.errors_train[-1], result.errors_val[-1], result.error_test]
    for split, path, error in zip(["train", "validation", "test"], paths, reported):
        figures, pooled = regression_figures(result.model_path, path, ["y", "z"])
        assert error == pytest.approx(pooled, rel=1e-12, abs=0)
        for name, per_output in figures.items():
            for output, value in per_output.items():
                assert metrics[split][name][output] == pytest.approx(value, rel=1e-12, abs=0)
    assert metrics["test"]["R2"]["y"] > 0.9 and metrics["test"]["R2"]["z"] > 0.9


def test_predict_reproduces_classification_figures_unseen_labels_included(tmp_path):
    rng = np.random.default_rng(3)
    x = rng.uniform(0, 1, size=(300, 2))
    label = np.where(x[:, 0] + 0.3 * rng.normal(size=300) > 0.5, 4, 1)  # overlapping classes
    label[-10:] = 5                             # a label of the test file only
    frame = pd.DataFrame({"a": x[:, 0], "b": x[:, 1], "label": label})
    paths = write_parts(tmp_path, frame, [180, 60, 60])
    config = make_config(tmp_path, paths, MODEL_PARAM={"interp_method": "linear"},
                         TRAIN_PARAM={"num_epochs_INN": 30, "learning_rate": 0.01,
                                      "bool_save_model": True})
    result, printed = run(config, run_type="classification")
    assert list(result.model.classes) == [1, 4]
    assert "test: 10 of 60 rows have a label that no training row has (5)" in printed
    metrics = config["OUTPUT"]["metrics"]
    reported = [result.errors_train[-1], result.errors_val[-1], result.error_test]
    for split, path, error in zip(["train", "validation", "test"], paths, reported):
        data = pd.read_csv(path)
        out = predict(result.model_path, data)
        assert error == np.mean(out["label"] != data["label"])   # label 5: always wrong
        assert metrics[split]["accuracy"] == np.mean(out["label"] == data["label"])
        known = data["label"] != 5                                # cross-entropy: known labels
        proba = np.where(data["label"] == 4, out["P(4)"], out["P(1)"])[known]
        assert metrics[split]["cross_entropy"] == pytest.approx(-np.mean(np.log(proba)),
                                                                rel=1e-9)
    summary = next(line for line in printed.splitlines() if line.startswith("Finished"))
    assert "misclassification rate" in summary
    # A validation file with no label of the training rows cannot rank models.
    config["DATA_PARAM"]["data_filenames"][1] = str(paths[2])
    frame.iloc[240:].assign(label=9).to_csv(paths[2], index=False)
    with pytest.raises(ValueError, match="no validation row has a label of the training rows"):
        run(config, run_type="classification")


def test_near_tied_logits_give_the_larger_ones_class():
    from quelmar.tools.ordane.data import Scaling
    from quelmar.tools.ordane.model_io import TrainedModel
    from quelmar.tools.ordane.models import ModelSpec

    # Logits 0 and 2e-8: equal probabilities in float32, class 7 by the logits.
    spec = ModelSpec("MLP", 1, 2, {"nlayers": 0, "nneurons": 1, "activation": "relu"},
                     [0.0], [1.0], classify=True)
    params = {"w0": np.zeros((1, 2), np.float32), "b0": np.array([0.0, 2e-8], np.float32)}
    model = TrainedModel(spec, params, Scaling.identity(1, 1), "classification", [0], [1],
                         classes=[3, 7], input_names=["x"], output_names=["label"])
    out = predict(model, np.zeros((4, 1)))
    assert list(out["label"]) == list(model.predict(np.zeros((4, 1)))) == [7] * 4
    assert (out["P(7)"] > out["P(3)"]).all()


# ---------------------------------------------------------------- files matched by name

def test_validation_and_test_files_are_read_by_name(tmp_path):
    frame = smooth_frame(300)
    paths = write_parts(tmp_path, frame, [180, 60, 60])
    config = make_config(tmp_path, paths, MODEL_PARAM={"interp_method": "MLP"},
                         TRAIN_PARAM={"num_epochs_MLP": 10})
    original, _ = run(config)
    for path in paths[1:]:   # other order and an extra column: the same rows
        pd.read_csv(path).assign(z=1.0)[["z", "y", "b", "a"]].to_csv(path, index=False)
    again, _ = run(config)
    assert (again.errors_val, again.error_test) == (original.errors_val, original.error_test)


@pytest.mark.parametrize("slot", [1, 2])
@pytest.mark.parametrize("columns, message", [
    (["a", "B", "y"], r"part.\.csv lacks the column\(s\) 'b' of the training file"),
    (["a", "b", "target"], r"lacks the column\(s\) 'y'.*it has 'a', 'b', 'target'"),
])
def test_a_file_without_the_training_files_names_is_refused(tmp_path, slot, columns, message):
    paths = write_parts(tmp_path, smooth_frame(300), [180, 60, 60])
    pd.read_csv(paths[slot]).set_axis(columns, axis=1).to_csv(paths[slot], index=False)
    with pytest.raises(ValueError, match=message):
        run(make_config(tmp_path, paths))


# ---------------------------------------------------------------- models that learned nothing

@pytest.mark.parametrize("rows, message", [
    (1, "has 1 data row"), (9, "has 9 data row"), (16, None)])
def test_a_training_file_needs_enough_rows(tmp_path, rows, message):
    frame = smooth_frame(rows, seed=4)
    frame["y"] = frame["a"] + 2 * frame["b"]
    (path,) = write_parts(tmp_path, frame, [rows])
    config = make_config(tmp_path, [path], MODEL_PARAM={"interp_method": "MLP"},
                         TRAIN_PARAM={"num_epochs_MLP": 200, "learning_rate": 0.01})
    if message is None:   # enough rows: trains (it is not misreported as diverged)
        result, _ = run(config)
        assert result.errors_val[-1] < 0.2 * frame["y"].std()
        return
    with pytest.raises(ValueError, match=f"{message}.*at least 10 rows"):
        run(config)


@pytest.mark.parametrize("run_type", ["regression", "classification"])
def test_a_model_that_learned_nothing_is_refused(tmp_path, run_type):
    # A step size so small that the model stays at its start: near the training
    # mean (outputs about 0 in the model's units) or near uniform class shares.
    rng = np.random.default_rng(5)
    x = rng.uniform(0, 1, size=(300, 2))
    y = rng.integers(0, 3, size=300) if run_type == "classification" else rng.normal(size=300)
    path = tmp_path / "nothing.csv"
    pd.DataFrame({"a": x[:, 0], "b": x[:, 1], "y": y}).to_csv(path, index=False)
    config = make_config(tmp_path, [path], MODEL_PARAM={"interp_method": "MLP"},
                         TRAIN_PARAM={"num_epochs_MLP": 5, "learning_rate": 1e-9,
                                      "bool_save_model": True})
    with pytest.raises(ValueError, match="the model did not learn: its validation .* is "
                                         r"[\d.]+ .*against [\d.]+ .*for predicting") as info:
        run(config, run_type=run_type)
    assert "diverged" not in str(info.value)
    assert not (tmp_path / "models").exists()


@pytest.mark.parametrize("ratio, refused", [(0.96, True), (0.999, True), (0.94, False)])
def test_the_margin_over_the_trivial_predictor(ratio, refused):
    from quelmar.tools.ordane.main import _check_learned

    settings = type("S", (), {"learning_rate": 0.003})()
    m_val = {"_key": (ratio * 0.8,), "R2": {"y": 0.01}}
    losses = ((0.5, 3), (0.6, 10))
    if refused:
        with pytest.raises(ValueError, match="did not learn.*at least 5% below"):
            _check_learned(False, m_val, {"_key": (0.8,)}, settings, losses)
    else:
        _check_learned(False, m_val, {"_key": (0.8,)}, settings, losses)
    # The same model whose loss grew from its lowest: diverged.
    if refused:
        with pytest.raises(ValueError, match="diverged: the training loss grew from 0.5 "
                                             r"\(epoch 3\) to 0.9"):
            _check_learned(False, m_val, {"_key": (0.8,)}, settings, ((0.5, 3), (0.9, 10)))


def test_unscaled_outputs_too_large_for_float32_are_refused(tmp_path):
    frame = smooth_frame(100)
    frame["y"] *= 1e20
    (path,) = write_parts(tmp_path, frame, [100])
    config = make_config(tmp_path, [path], DATA_PARAM={"bool_normalize": False})
    with pytest.raises(ValueError, match="'y' reaches 1.*e\\+20.*bool_normalize true"):
        run(config)
