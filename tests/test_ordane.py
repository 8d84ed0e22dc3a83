"""Tests of the ordane training pipeline (quelmar.tools.ordane)."""

import copy
import json
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
import yaml

import quelmar.tools
from quelmar.tools.ordane.data import generate_dataset
from helpers import make_config, run
from quelmar.tools.ordane.main import TrainResult, load_model, train_model
from quelmar.tools.ordane.settings import DEFAULTS

REF_PATH = Path(quelmar.tools.__file__).parent / "config" / "config_ref.yaml"
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def ref_config():
    return yaml.safe_load(REF_PATH.read_text())




@pytest.fixture(scope="module")
def smooth_csv(tmp_path_factory):
    path = tmp_path_factory.mktemp("data") / "smooth.csv"
    generate_dataset(path, 500, [0, 1], [2], seed=3)
    return path


@pytest.fixture(scope="module")
def small_run(tmp_path_factory, smooth_csv):
    """One short, saved and plotted run shared by the contract tests."""
    tmp = tmp_path_factory.mktemp("run")
    config = make_config(tmp, [smooth_csv], MODEL_PARAM={"interp_method": "linear"},
                         TRAIN_PARAM={"num_epochs_INN": 30, "validation_period": 5,
                                      "bool_save_model": True},
                         PLOT={"bool_plot": True, "plot_params_number": 2})
    result, printed = run(config)
    return config, result, printed


# ---------------------------------------------------------------- reference file

def test_reference_config_covers_settings_and_matches_defaults():
    ref = ref_config()
    assert set(ref) == {"DATA_PARAM", "MODEL_PARAM", "TRAIN_PARAM", "PLOT"}
    tool_keys = {
        "DATA_PARAM": ["data_filenames", "split_ratio", "bool_data_generation",
                       "bool_normalize", "bool_shuffle"],
        "MODEL_PARAM": ["interp_method", "nmode", "nseg", "s_patch", "alpha_dil", "p_order",
                        "radial_basis", "INNactivation", "sigma_factor", "nlayers", "nneurons",
                        "activation", "hidden_dim", "grid_size", "spline_order",
                        "num_layers", "modes"],
        "TRAIN_PARAM": ["num_epochs_INN", "num_epochs_MLP", "num_epochs_KAN", "num_epochs_FNO",
                        "batch_size", "learning_rate", "validation_period",
                        "bool_denormalize", "patience", "stopping_loss_train",
                        "bool_save_model"],
        "PLOT": ["bool_plot", "plot_in_axis", "plot_out_axis", "plot_params_number"],
    }
    for section, keys in tool_keys.items():
        assert not set(keys) - set(ref[section]), section
    for key in ("input_col", "output_col", "data_train"):
        assert key not in ref["DATA_PARAM"]
    assert ref["MODEL_PARAM"]["interp_method"] == "linear"
    for section, values in DEFAULTS.items():
        for key, value in values.items():
            assert ref[section][key] == value, f"{section}.{key}"


# ---------------------------------------------------------------- fit quality

@pytest.mark.parametrize("method", ["linear", "MLP"])
def test_regression_fit_beats_mean_predictor(tmp_path, smooth_csv, method):
    config = make_config(tmp_path, [smooth_csv], MODEL_PARAM={"interp_method": method},
                         TRAIN_PARAM={"num_epochs_INN": 100, "num_epochs_MLP": 100,
                                      "random_seed": 1, "patience": 100})
    result, _ = run(config)
    y = pd.read_csv(smooth_csv)["y"].to_numpy()
    # Predicting the mean gives an RMSE near std(y) (0.37); measured: about
    # 0.011 (linear) and 0.015 (MLP).
    assert result.error_test < 0.15 * y.std()
    assert result.errors_val[-1] < 0.5 * result.errors_val[0]


def test_classification_on_separable_data(tmp_path):
    rng = np.random.default_rng(0)
    x = rng.uniform(0, 1, size=(600, 2))
    margin = x.sum(axis=1) - 1.0
    x = x[np.abs(margin) > 0.1][:400]
    labels = np.where(x.sum(axis=1) > 1.0, 7, -3)   # arbitrary integer labels
    path = tmp_path / "classes.csv"
    pd.DataFrame({"a": x[:, 0], "b": x[:, 1], "label": labels}).to_csv(path, index=False)
    config = make_config(tmp_path, [path], MODEL_PARAM={"interp_method": "MLP"},
                         TRAIN_PARAM={"num_epochs_MLP": 60, "bool_save_model": True})
    result, printed = run(config, run_type="classification")
    assert result.error_name == "misclassification rate"
    assert result.error_test <= 0.05
    model = load_model(result.model_path)
    assert set(model.predict(x)) == {-3, 7}
    assert np.mean(model.predict(x) == labels) >= 0.95
    np.testing.assert_allclose(model.predict_proba(x).sum(axis=1), 1.0, rtol=1e-5)


# ---------------------------------------------------------------- the call contract

def test_keyword_only_call(small_run):
    config = small_run[0]
    with pytest.raises(TypeError):
        train_model(config, "regression", 0)


def test_result_and_progress(small_run):
    _, result, printed = small_run
    assert isinstance(result, TrainResult)
    # One error per check, then the kept model's.
    assert len(result.errors_train) == len(result.errors_val) == len(result.check_epochs) + 1 == 7
    assert result.check_epochs == [5, 10, 15, 20, 25, 30]
    kept = result.check_epochs.index(result.best_epoch)
    assert result.errors_val[-1] == result.errors_val[kept]
    assert result.errors_train[-1] == result.errors_train[kept]
    assert all(isinstance(e, float) and e >= 0 for e in result.errors_train + result.errors_val)
    assert isinstance(result.error_test, float)
    progress = [line for line in printed.splitlines() if line.startswith("epoch")]
    assert len(progress) == 6
    assert "No GPU" in printed or "gpu" in printed.lower()


def test_same_seed_same_result(tmp_path, smooth_csv):
    config = make_config(tmp_path, [smooth_csv], MODEL_PARAM={"interp_method": "MLP"},
                         TRAIN_PARAM={"num_epochs_MLP": 10, "validation_period": 5})
    first, _ = run(copy.deepcopy(config))
    second, _ = run(copy.deepcopy(config))
    assert first.errors_val == second.errors_val and first.error_test == second.error_test
    config["TRAIN_PARAM"]["random_seed"] = 5
    third, _ = run(config)
    assert third.errors_val != first.errors_val


@pytest.mark.parametrize("method", ["nonlinear", "gaussian"])
def test_node_weights_computed_once_or_per_step_train_alike(tmp_path, smooth_csv, monkeypatch,
                                                            method):
    config = make_config(tmp_path, [smooth_csv], MODEL_PARAM={"interp_method": method},
                         TRAIN_PARAM={"num_epochs_INN": 6, "validation_period": 3})
    once, _ = run(copy.deepcopy(config))
    monkeypatch.setattr("quelmar.tools.ordane.main.FEATURE_LIMIT", 0)
    per_step, _ = run(config)
    np.testing.assert_allclose(per_step.errors_val, once.errors_val, rtol=1e-4)


def test_stops_when_training_loss_is_low(tmp_path, smooth_csv):
    config = make_config(tmp_path, [smooth_csv],
                         TRAIN_PARAM={"num_epochs_INN": 200, "stopping_loss_train": 0.05,
                                      "validation_period": 50})
    result, printed = run(config)
    assert result.stop_reason == "stopping_loss_train" and result.epochs_run < 50
    assert result.check_epochs == [result.epochs_run]
    assert len(result.errors_val) == 2


def test_patience_stops_on_noise(tmp_path):
    rng = np.random.default_rng(1)
    path = tmp_path / "noise.csv"
    x = rng.uniform(size=(120, 2))   # a signal the model learns, under noise it cannot
    pd.DataFrame({"a": x[:, 0], "b": x[:, 1],
                  "y": x[:, 0] + 0.3 * rng.normal(size=120)}).to_csv(path, index=False)
    config = make_config(tmp_path, [path], MODEL_PARAM={"interp_method": "MLP"},
                         TRAIN_PARAM={"num_epochs_MLP": 400, "validation_period": 2,
                                      "patience": 3, "learning_rate": 0.01})
    result, printed = run(config)
    assert result.stop_reason == "patience" and result.epochs_run < 400
    # The kept model is the best validation check, 3 checks before the end.
    assert result.best_epoch == result.check_epochs[-4]
    assert "Stopping early" in printed


def test_saved_model_reloads_and_predicts_the_same(tmp_path, small_run, smooth_csv):
    config, result, _ = small_run
    x = pd.read_csv(smooth_csv).to_numpy()[:50, :2]
    saved = Path(result.model_path)
    meta = json.loads(saved.read_text())
    assert meta["model"]["method"] == "linear" and meta["input_col"] == [0, 1]
    for path in (saved, saved.with_suffix(".npz"), saved.with_suffix("")):
        np.testing.assert_allclose(load_model(path).predict(x), result.model.predict(x),
                                   rtol=1e-6)
    # A second run does not overwrite the first.
    again, _ = run(copy.deepcopy(config))
    assert again.model_path != result.model_path
    assert len(list(saved.parent.glob("*.json"))) == 2
    assert len(list(saved.parent.glob("*.npz"))) == 2


def test_plots_are_png_files(small_run):
    paths = small_run[1].plot_paths
    assert [Path(p).name.rsplit("_", 1)[-1] for p in paths] == ["errors.png", "actual.png",
                                                                  "response.png"]
    for p in paths:
        assert Path(p).read_bytes()[:8] == PNG_SIGNATURE


# ---------------------------------------------------------------- data handling

def test_two_and_three_files(tmp_path, smooth_csv):
    frame = pd.read_csv(smooth_csv)
    parts = [tmp_path / f"part{i}.csv" for i in range(3)]
    for p, rows in zip(parts, [slice(0, 300), slice(300, 400), slice(400, 500)]):
        frame.iloc[rows].to_csv(p, index=False)
    # Two files: validation rows come from the training file, never the test file.
    two, printed = run(make_config(tmp_path, parts[:2], TRAIN_PARAM={"num_epochs_INN": 10}))
    assert "247 train / 53 validation / 100 test" in printed
    assert two.error_test != pytest.approx(two.errors_val[-1], rel=1e-3)
    model = two.model
    x_test = pd.read_csv(parts[1]).iloc[:, :2].to_numpy()
    y_test = pd.read_csv(parts[1]).iloc[:, 2].to_numpy()
    assert two.error_test == pytest.approx(
        float(np.sqrt(np.mean((model.predict(x_test)[:, 0] - y_test) ** 2))), rel=1e-4)
    _, printed = run(make_config(tmp_path, parts, TRAIN_PARAM={"num_epochs_INN": 10}))
    assert "300 train / 100 validation / 100 test" in printed
    # No validation file: the training file gives validation rows (0.7 : 0.15).
    config = make_config(tmp_path, parts, TRAIN_PARAM={"num_epochs_INN": 10})
    config["DATA_PARAM"]["data_filenames"][1] = None
    _, printed = run(config)
    assert "247 train / 53 validation / 100 test" in printed


def test_data_generation_never_overwrites(tmp_path):
    path = tmp_path / "gen" / "made.csv"
    config = make_config(tmp_path, [path], inputs=[0, 1, 2], outputs=[3],
                         DATA_PARAM={"bool_data_generation": True, "data_size": 200},
                         TRAIN_PARAM={"num_epochs_INN": 40, "learning_rate": 0.05})
    run(copy.deepcopy(config))
    frame = pd.read_csv(path)
    assert frame.shape == (200, 4)
    path.write_text("a,b,c,d\n1,2,3,4\n2,3,4,5\n3,4,5,6\n")
    with pytest.raises(ValueError, match="made.csv has 3 data row"):  # too few rows to train
        run(config)
    assert path.read_text() == "a,b,c,d\n1,2,3,4\n2,3,4,5\n3,4,5,6\n"


# ---------------------------------------------------------------- refused configurations

def _bad_csv(tmp_path, text):
    path = tmp_path / "bad.csv"
    path.write_text(text)
    return path


@pytest.mark.parametrize("change, error, message", [
    ({"MODEL_PARAM": {"interp_method": "Linear"}}, ValueError, "unknown.*'Linear'.*'nonlinear'"),
    ({"MODEL_PARAM": {"interp_method": "KAN", "grid_size": 0}}, ValueError,
     "MODEL_PARAM.grid_size must be an integer from 1 to 1000, got 0"),
    ({"MODEL_PARAM": {"interp_method": "spline"}}, ValueError, "unknown.*'spline'"),
    ({"DATA_PARAM": {"split_ratio": [0.5, 0.2, 0.2]}}, ValueError, "sum to 1"),
    ({"DATA_PARAM": {"split_ratio": [1.2, -0.1, -0.1]}}, ValueError, r"split_ratio\[1\]"),
    ({"DATA_PARAM": {"split_ratio": [0.0, 0.5, 0.5]}}, ValueError, "positive training"),
    ({"DATA_PARAM": {"split_ratio": "0.8,0.1,0.1"}}, ValueError, "split_ratio"),
    ({"DATA_PARAM": {"input_col": [0, 2], "output_col": [2]}}, ValueError, "both"),
    ({"DATA_PARAM": {"input_col": [0, 7]}}, ValueError, "index 7.*smooth.csv.*3 columns"),
    ({"DATA_PARAM": {"output_col": None}}, ValueError, "output_col is required"),
    ({"DATA_PARAM": {"bool_normalize": "yes"}}, TypeError, "bool_normalize"),
    ({"DATA_PARAM": {"data_filenames": ["nowhere.csv"]}}, FileNotFoundError, "nowhere.csv"),
    ({"TRAIN_PARAM": {"batch_size": 0}}, ValueError, "batch_size"),
    ({"TRAIN_PARAM": {"num_epochs_INN": 0}}, ValueError, "num_epochs_INN"),
    ({"TRAIN_PARAM": {"learning_rate": -0.1}}, ValueError, "learning_rate"),
    ({"TRAIN_PARAM": {"patience": 2.5}}, TypeError, "patience"),
    ({"TRAIN_PARAM": {"learning_rate": 1e9}}, ValueError, "diverged"),
    ({"MODEL_PARAM": {"interp_method": "MLP", "activation": "swish2"}}, ValueError,
     "activation"),
    ({"PLOT": {"plot_out_axis": [1]}}, ValueError, "plot_out_axis"),
])
def test_bad_configuration(tmp_path, smooth_csv, change, error, message):
    config = make_config(tmp_path, [smooth_csv], TRAIN_PARAM={"num_epochs_INN": 3})
    for section, values in change.items():
        config[section].update(values)
    with pytest.raises(error, match=message):
        run(config)


@pytest.mark.parametrize("text, message", [
    ("x1,x2,y\n1,2,3\n4,oops,6\n", r"bad.csv, column 1 \('x2'\): non-numeric value 'oops'"),
    ("x1,x2,y\n1,2,3\n4,,6\n", r"bad.csv, column 1 \('x2'\): missing value in data row 2"),
    ("x1,x2,y\n", "bad.csv has no data rows"),
    ("", "bad.csv is empty"),
])
def test_bad_data(tmp_path, text, message):
    config = make_config(tmp_path, [_bad_csv(tmp_path, text)])
    with pytest.raises(ValueError, match=message):
        run(config)


@pytest.mark.parametrize("run_type, method, message", [
    ("fitting", "linear", "run_type"),
    ("classification", "linear", "labels must be integers"),
])
def test_bad_run_type(tmp_path, smooth_csv, run_type, method, message):
    config = make_config(tmp_path, [smooth_csv], MODEL_PARAM={"interp_method": method})
    with pytest.raises(ValueError, match=message):
        run(config, run_type=run_type)


def test_bad_gpu_index(tmp_path, smooth_csv):
    with pytest.raises(ValueError, match="gpu_idx"):
        train_model(config=make_config(tmp_path, [smooth_csv]), run_type="regression",
                    gpu_idx=-1)


def test_progress_callback_sees_every_epoch_and_can_stop_the_run(tmp_path, smooth_csv):
    from quelmar.tools.ordane import progress

    seen = []

    def follow(done, total):
        seen.append((done, total))
        if done == 7:
            raise KeyboardInterrupt

    config = make_config(tmp_path, [smooth_csv], MODEL_PARAM={"interp_method": "linear"},
                         TRAIN_PARAM={"num_epochs_INN": 20})
    previous = progress.set_callback(follow)
    try:
        with pytest.raises(KeyboardInterrupt):
            run(config)
    finally:
        assert progress.set_callback(previous) is follow
    assert seen == [(n, 20) for n in range(1, 8)]
