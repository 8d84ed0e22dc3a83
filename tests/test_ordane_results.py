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

import quelmar.tools
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
    import quelmar.tools

    path = tmp_path / "data.csv"
    smooth_frame(200).to_csv(path, index=False)
    logs = Path(quelmar.tools.__file__).parent / "logs"
    before = set(logs.glob("training_linear_*.log"))
    proc = subprocess.Popen([sys.executable, "-P", "-c", textwrap.dedent(LIVE_RUN.format(data=str(path)))],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, cwd=tmp_path)
    try:
        proc.stdout.readline()
        deadline, new = time.monotonic() + 120, []
        while time.monotonic() < deadline:
            new = [p for p in set(logs.glob("training_linear_*.log")) - before
                   if "elapsed" in p.read_text()]
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
        for log in set(logs.glob("training_linear_*.log")) - before:
            log.unlink()
