"""The steps of a training run: progress handed to the run, the epoch loop on
its own, and the two objectives' figures."""
import math
import re
import threading
from types import SimpleNamespace

import numpy as np
import pytest

from helpers import make_config
from quelmar.tools.ordane import progress
from quelmar.tools.ordane.data import generate_dataset
from quelmar.tools.ordane.fit import fit
from quelmar.tools.ordane.main import train_model
from quelmar.tools.ordane.objective import Classification, Regression


@pytest.fixture(scope="module")
def rows_csv(tmp_path_factory):
    path = tmp_path_factory.mktemp("data") / "rows.csv"
    generate_dataset(path, 120, [0, 1], [2], seed=5)
    return path


def _config(tmp_path, data, epochs):
    return make_config(tmp_path, [data], MODEL_PARAM={"interp_method": "linear", "nmode": 2,
                                                      "nseg": 4},
                       TRAIN_PARAM={"num_epochs_INN": epochs, "validation_period": 2,
                                    "learning_rate": 0.02})


def _quiet_run(config, **kwargs):
    import contextlib
    import io

    with contextlib.redirect_stdout(io.StringIO()):
        return train_model(config=config, run_type="regression", gpu_idx=0, **kwargs)


# -- progress -------------------------------------------------------------------------

def test_on_epoch_sees_each_epoch_once_and_the_installed_callback_nothing(tmp_path, rows_csv):
    given, installed = [], []
    previous = progress.set_callback(lambda done, total: installed.append(done))
    try:
        result = _quiet_run(_config(tmp_path, rows_csv, 5),
                            on_epoch=lambda done, total: given.append((done, total)))
    finally:
        progress.set_callback(previous)
    assert given == [(n, 5) for n in range(1, result.epochs_run + 1)] and result.epochs_run == 5
    assert installed == []


@pytest.mark.parametrize("bad", [5, "print", [print]])
def test_an_on_epoch_that_cannot_be_called_is_refused(tmp_path, rows_csv, bad):
    config = _config(tmp_path, rows_csv, 2)
    with pytest.raises(TypeError, match="on_epoch must be a callable"):
        train_model(config=config, run_type="regression", on_epoch=bad)
    assert "metrics" not in config["OUTPUT"]


def test_two_threads_follow_their_own_runs(tmp_path, rows_csv):
    """The tool's way: each thread installs its callback, then calls
    train_model with the three settings only.  Both callbacks are installed
    before either run starts, and both runs are under way at once (they meet
    after their first epoch)."""
    both_installed = threading.Barrier(2, timeout=60)
    both_started = threading.Barrier(2, timeout=60)
    seen = {6: [], 8: []}
    errors = []

    def work(epochs):
        def follow(done, total):
            seen[epochs].append((done, total))
            if done == 1:
                both_started.wait()

        try:
            progress.set_callback(follow)
            both_installed.wait()
            _quiet_run(_config(tmp_path / str(epochs), rows_csv, epochs))
            assert progress.current() is follow
        except BaseException as exc:  # reported by the main thread
            errors.append(exc)
            both_installed.abort()
            both_started.abort()

    threads = [threading.Thread(target=work, args=(n,)) for n in seen]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    assert seen == {n: [(k, n) for k in range(1, n + 1)] for n in seen}
    assert progress.current() is None  # the main thread installed nothing


def test_the_callback_installed_when_the_run_starts_is_the_one_it_follows(tmp_path, rows_csv):
    late = []

    def first(done, total):
        early.append(done)
        progress.set_callback(lambda d, t: late.append(d))  # too late for this run

    early = []
    previous = progress.set_callback(first)
    try:
        _quiet_run(_config(tmp_path, rows_csv, 3))
    finally:
        progress.set_callback(previous)
    assert early == [1, 2, 3] and late == []


# -- the epoch loop -------------------------------------------------------------------

class ScriptedTrainer:
    """An epoch whose loss is the next of `losses`; the parameters count epochs."""

    def __init__(self, losses):
        self.losses = list(losses)

    def epoch(self, params, opt_state, ep):
        return params + 1, opt_state, self.losses[ep - 1]


def _fit(losses, keys, epochs, period=1, patience=10, stopping=0.0, start_loss=4.0):
    """fit() on scripted losses and validation scores (one per check)."""
    keys, lines, reports = list(keys), [], []

    def score(split, params):
        key = keys[0] if split == "train" else keys.pop(0)
        return {"_error": 10.0 * key, "_key": (key,)}

    s = SimpleNamespace(num_epochs=epochs, validation_period=period, patience=patience,
                        stopping_loss_train=stopping, learning_rate=0.003)
    fitted = fit(ScriptedTrainer(losses), 0, None, score, start_loss, s, "RMSE",
                 lambda done, total: reports.append((done, total)), lines.append)
    return fitted, lines, reports


@pytest.mark.parametrize(
    "losses, keys, options, stop, checks, best",
    [
        # every check better: all epochs, the last model kept
        ([3, 2, 1, 0.5, 0.4], [5, 4, 3], {"period": 2}, "epochs", [2, 4, 5], 5),
        # two checks without a better score (a tie is not better)
        ([3, 2, 1, 1, 1, 1], [5, 4, 4, 6, 4], {"patience": 2}, "patience", [1, 2, 3, 4], 2),
        # a low loss stops at once, between the checks, and is checked
        ([3, 2, 1e-9, 1, 1], [5], {"period": 10, "stopping": 1e-6}, "stopping_loss_train",
         [3], 3),
    ])
def test_the_loop_stops_and_keeps_the_best_check(losses, keys, options, stop, checks, best):
    fitted, lines, reports = _fit(losses, keys, len(losses), **options)
    assert (fitted.stop_reason, fitted.check_epochs, fitted.best_epoch) == (stop, checks, best)
    assert fitted.best_params == best  # the parameters of the kept check, not the last ones
    assert reports == [(n, len(losses)) for n in range(1, fitted.epochs_run + 1)]
    assert fitted.errors_val == [10.0 * k for k in keys[:len(checks)]]
    marked = [line.split()[1] for line in lines if line.startswith("epoch") and line.endswith("*")]
    assert int(marked[-1]) == best


def test_the_loop_remembers_its_lowest_and_last_loss():
    fitted, _, _ = _fit([3.0, 1.0, 2.0], [5, 4, 3], 3)
    assert fitted.lowest == (1.0, 2) and fitted.last == (2.0, 3) and fitted.epochs_run == 3
    untrained_best, _, _ = _fit([5.0, 6.0], [5, 4], 2, start_loss=4.0)
    assert untrained_best.lowest == (4.0, 0)


@pytest.mark.parametrize("bad, shown", [(math.nan, "nan"), (math.inf, "inf"), (4.1e4, "4.1e+04")])
def test_the_loop_refuses_a_diverged_loss(bad, shown):
    with pytest.raises(ValueError, match=rf"training diverged: the loss is {re.escape(shown)} at epoch 2 "
                                         r"\(before training: 4\)"):
        _fit([3.0, bad, 1.0], [5, 4, 3], 3, period=1)


# -- the objectives ------------------------------------------------------------------

def _identity(out):
    return np.asarray(out, np.float64)


def test_the_regression_baseline_predicts_the_training_mean():
    # Two outputs, the second ten times the first: the selection score (RMSE
    # over the training standard deviation) counts both alike.
    train = np.array([[0.0, 0.0], [2.0, 20.0]])
    val = np.array([[1.0, 10.0], [3.0, 30.0]])
    objective = Regression({"train": train, "validation": val}, train, ["y", "z"], _identity,
                           y_std=np.ones(2), denormalize=True)
    base = objective.baseline("validation")
    assert base["RMSE"] == pytest.approx({"y": math.sqrt(2), "z": 10 * math.sqrt(2)})
    assert base["MAE"] == pytest.approx({"y": 1.0, "z": 10.0})
    assert base["R2"] == pytest.approx({"y": -1.0, "z": -1.0})  # about the validation mean
    assert base["_key"] == pytest.approx((math.sqrt(2),))
    assert base["_error"] == pytest.approx(math.sqrt((2 + 200) / 2))


@pytest.mark.parametrize("denormalize, rmse, meaning", [(True, 2.0, "data's units"),
                                                         (False, 0.5, "model's units")])
def test_regression_errors_in_the_data_or_model_units(denormalize, rmse, meaning):
    train = np.array([[0.0], [4.0]])
    objective = Regression({"train": train}, (train - 2.0) / 4.0, ["y"], _identity,
                           y_std=np.array([4.0]), denormalize=denormalize)
    m = objective.metrics("train", np.array([[2.0], [2.0]]))
    assert m["RMSE"]["y"] == pytest.approx(rmse) and meaning in objective.meaning
    assert m["_key"] == pytest.approx((1.0,))  # the score does not depend on the unit
    # the start loss is in the model's units, against the scaled outputs
    assert objective.start_loss(np.zeros((2, 1))) == pytest.approx(0.25)


def test_the_classification_baseline_predicts_the_training_class_shares():
    classes = np.array([3, 7])
    labels = {"train": np.array([[3], [3], [3], [7]]), "validation": np.array([[3], [7], [9]])}

    def predict_from(out):
        return classes[np.argmax(out, axis=1)]

    objective = Classification(labels, classes, predict_from)
    base = objective.baseline("validation")
    # the majority class (3) everywhere; label 9 is no class: an error, left
    # out of the cross-entropy
    assert base["accuracy"] == pytest.approx(1 / 3)
    assert base["cross_entropy"] == pytest.approx(-(math.log(0.75) + math.log(0.25)) / 2)
    assert base["_key"] == pytest.approx((base["cross_entropy"], 2 / 3))
    sure = np.array([[0.0, -50.0]] * 3 + [[-50.0, 0.0]])
    assert objective.start_loss(sure) == pytest.approx(0.0, abs=1e-12)
    assert objective.metrics("train", sure)["accuracy"] == 1.0


@pytest.mark.parametrize("kind, m_val, base, words", [
    (Regression, {"_key": (0.9,), "R2": {"y": 0.1, "z": None}}, {"_key": (1.0,)},
     ["error (each output's RMSE over its training standard deviation, averaged over the "
      "outputs)", "0.9 (R2 y 0.1, z n/a) "
      "against 1 for predicting the training mean"]),
    (Classification, {"_key": (1.0, 0.5), "accuracy": 0.5}, {"_key": (1.02, 0.5), "accuracy": 0.5},
     ["cross-entropy", "1 (accuracy 0.5) against 1.02 (accuracy 0.5) for predicting the "
      "training rows' class shares (their majority class)"]),
])
def test_each_objective_words_a_model_that_did_not_learn(kind, m_val, base, words):
    assert list(kind.shortfall(m_val, base)) == words

