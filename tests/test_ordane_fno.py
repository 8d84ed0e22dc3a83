"""FNO as an operator: the head setting, one shared scale, prediction on other grids."""

import jax
import numpy as np
import pandas as pd
import pytest

from helpers import make_config, run
from quelmar.tools.ordane import predict
from quelmar.tools.ordane.data import Scaling
from quelmar.tools.ordane.main import load_model
from quelmar.tools.ordane.model_io import _numbered
from quelmar.tools.ordane.models import ModelSpec, fno

N = 16          # training grid
SHIFT = 0.25    # the operator: y(s) = x(s + SHIFT) + 2, periodic


def band_limited(rows, n, seed):
    """Periodic functions of at most 3 frequencies on n points, with offset and
    amplitude that differ from row to row (and so from column to column)."""
    rng = np.random.default_rng(seed)
    a, b = rng.normal(size=(2, rows, 4))
    s = np.arange(n) / n

    def at(t):
        k = np.arange(4)[None, :, None]
        return (a[:, :, None] * np.cos(2 * np.pi * k * t) + b[:, :, None]
                * np.sin(2 * np.pi * k * t)).sum(axis=1) * 3.0

    return at(s), at(s + SHIFT) + 2.0


def write(path, x, y):
    n = x.shape[1]
    frame = pd.DataFrame(np.hstack([x, y]), columns=[f"u0_{j}" for j in range(n)]
                         + [f"u1_{j}" for j in range(y.shape[1])])
    frame.to_csv(path, index=False)
    return path


@pytest.fixture(scope="module")
def operator_run(tmp_path_factory):
    """One saved function-head model of the shift operator (training takes a few
    seconds: the finer-grid checks need a model that has learnt the operator)."""
    tmp = tmp_path_factory.mktemp("fno")
    x, y = band_limited(500, N, 0)
    path = write(tmp / "train.csv", x, y)
    config = make_config(tmp, [path], inputs=range(N), outputs=range(N, 2 * N),
                         MODEL_PARAM={"interp_method": "FNO", "num_layers": 1, "modes": 5},
                         TRAIN_PARAM={"num_epochs_FNO": 30, "learning_rate": 0.01,
                                      "bool_save_model": True, "patience": 100})
    result, printed = run(config)
    return result, printed, x


def relative_error(pred, true):
    return float(np.mean(np.linalg.norm(pred - true, axis=1) / np.linalg.norm(true, axis=1)))


@pytest.mark.parametrize("grid", [N, 2 * N, 4 * N])
def test_function_head_predicts_on_finer_grids(operator_run, tmp_path, grid):
    result, _, _ = operator_run
    x, y = band_limited(100, grid, 7)
    # The saved model, read back, is not tied to the training grid.
    got = predict(result.model_path, x)
    assert list(got.columns) == [f"u1_{j}" for j in range(grid)]
    # Measured: 0.011, 0.051, 0.078 (the grid position's samples differ a little
    # between grids); reading the wrong columns or values gives about 1.
    assert relative_error(got.to_numpy(), y) < 0.15
    # A file whose input names continue the training names is read as that grid
    # (its first N columns alone would be a wrong function on the training grid).
    from_file = predict(result.model_path, write(tmp_path / "fine.csv", x, y))
    np.testing.assert_allclose(from_file.to_numpy(), got.to_numpy(), rtol=1e-5, atol=1e-5)


def test_one_shared_scale_and_the_log_line(operator_run):
    result, printed, x = operator_run
    scaling = result.model.scaling
    assert scaling.x_min.shape == scaling.x_range.shape == scaling.y_std.shape == (1,)
    assert scaling.x_min[0] == pytest.approx(x.min(), rel=0.5)   # over all columns
    assert "FNO head: function to function (auto: regression with 16 outputs for 16 inputs)" \
        in printed
    assert "inputs and outputs each scaled by one shared scale" in printed
    assert load_model(result.model_path).scaling.x_min.shape == (1,)


def test_pooled_head_is_tabular(tmp_path):
    """fno_head 'pooled' on as many outputs as inputs: per-column scaling, a pooled
    model, its own grid only."""
    x, y = band_limited(120, 4, 3)
    path = write(tmp_path / "t.csv", x, y)
    config = make_config(tmp_path, [path], inputs=range(4), outputs=range(4, 8),
                         MODEL_PARAM={"interp_method": "FNO", "fno_head": "pooled",
                                      "num_layers": 1},
                         TRAIN_PARAM={"num_epochs_FNO": 5, "learning_rate": 0.01})
    result, printed = run(config)
    assert "FNO head: pooled (MODEL_PARAM.fno_head is 'pooled')" in printed
    assert "4-point grids only; 8 channels" in printed   # narrower on a short grid
    assert result.model.params["lift_w"].shape == (2, 8)
    assert result.model.scaling.x_min.shape == (4,) and "pool" in result.model.params
    with pytest.raises(ValueError, match=r"expected inputs of shape \(N, 4\), got \(2, 8\)"):
        result.model.predict(np.zeros((2, 8)))


@pytest.mark.parametrize("setting, n_in, n_out, classify, expected", [
    ("auto", 5, 5, False, ("function", "auto: regression with 5 outputs for 5 inputs")),
    ("auto", 5, 2, False, ("pooled", "auto: 2 output(s) for 5 inputs")),
    ("auto", 3, 3, True, ("pooled", "auto: classification")),
    ("pooled", 5, 5, False, ("pooled", "MODEL_PARAM.fno_head is 'pooled'")),
    ("function", 5, 5, False, ("function", "MODEL_PARAM.fno_head is 'function'")),
    ("function", 5, 2, False, "2 output\\(s\\) for 5 inputs"),
    ("function", 3, 3, True, "this run has classification"),
])
def test_head_setting(setting, n_in, n_out, classify, expected):
    spec = ModelSpec("FNO", n_in, n_out, {"num_layers": 1, "modes": 8, "fno_head": setting},
                     classify=classify)
    if isinstance(expected, str):
        with pytest.raises(ValueError, match="MODEL_PARAM.fno_head 'function' needs .*" + expected):
            fno.head(spec)
    else:
        assert fno.head(spec) == expected


def test_function_head_refused_through_the_run(tmp_path):
    x, y = band_limited(40, 4, 1)
    path = write(tmp_path / "t.csv", x, y[:, :2])
    config = make_config(tmp_path, [path], inputs=range(4), outputs=range(4, 6),
                         MODEL_PARAM={"interp_method": "FNO", "fno_head": "function"})
    with pytest.raises(ValueError, match="MODEL_PARAM.fno_head 'function' needs"):
        run(config)


@pytest.mark.parametrize("n_train, modes", [(8, 5), (6, 4)])
def test_layers_agree_across_grids_on_band_limited_functions(n_train, modes):
    """One Fourier layer and the head on the training grid and on a grid twice as
    fine agree at the common points for a function the training grid resolves,
    also when the training grid's Nyquist frequency is kept (its sine part, absent
    there, stays absent on the finer grid)."""
    spec = ModelSpec("FNO", n_train, n_train, {"num_layers": 1, "modes": modes,
                                               "fno_head": "function"},
                     [0.0] * n_train, [1.0] * n_train)
    # Random parameters of init's layout (every entry nonzero), drawn with NumPy.
    rng = np.random.default_rng(n_train)
    shapes = jax.eval_shape(lambda key: fno.init(spec, key), jax.random.PRNGKey(0))
    params = {k: (0.3 * rng.standard_normal(v.shape)).astype(np.float32)
              for k, v in shapes.items()}
    # The lift of the grid position s is not band-limited: hold it out.
    params["lift_w"][1] = 0.0
    kmax = fno.kept_modes(spec)
    fine = 2 * n_train
    s = np.arange(fine) / fine
    rng = np.random.default_rng(0)
    x = sum(rng.normal(size=(3, 1)) * np.cos(2 * np.pi * k * s + rng.uniform(0, 6, (3, 1)))
            for k in range(kmax)).astype(np.float32)
    apply = jax.jit(fno.make_apply(spec))
    np.testing.assert_allclose(apply(params, x)[:, ::2], apply(params, x[:, ::2]),
                               atol=2e-5, rtol=1e-4)


@pytest.mark.parametrize("names, expected", [
    (["u0_0", "u0_1", "u0_2"], ("u0_", 0)),
    (["x1", "x2"], ("x", 1)),
    (["a", "b"], (None, 0)),
    (["x0", "x2"], (None, 0)),
    (["x0", "y1"], (None, 0)),
])
def test_numbered_names(names, expected):
    assert _numbered(names) == expected


def test_a_file_with_outputs_continuing_the_numbering_is_no_finer_grid(operator_run):
    """Inputs c0..c15 and outputs c16..c31 in one frame: the inputs are the 16
    training columns, not a 32-point grid."""
    result, _, x = operator_run
    model = result.model
    frame = pd.DataFrame(np.hstack([x[:5], x[:5]]), columns=[f"c{j}" for j in range(2 * N)])
    model.input_names = [f"c{j}" for j in range(N)]
    model.output_names = [f"c{j}" for j in range(N, 2 * N)]
    try:
        np.testing.assert_allclose(predict(model, frame).to_numpy(), model.predict(x[:5]))
    finally:
        model.input_names = [f"u0_{j}" for j in range(N)]
        model.output_names = [f"u1_{j}" for j in range(N)]


@pytest.mark.parametrize("shared", [False, True])
def test_shared_scaling_applies_to_rows_of_any_length(shared):
    rng = np.random.default_rng(0)
    x = rng.normal(size=(50, 6)) * np.arange(1, 7)
    y = rng.normal(size=(50, 6)) + np.arange(6)
    scaling = Scaling.fit(x, y, scale_outputs=True, shared=shared)
    assert scaling.x(x).min() == pytest.approx(0.0) and scaling.x(x).max() == pytest.approx(1.0)
    # Shared: one affine map for the whole function, so it keeps the shape.
    column_ranges = np.ptp(scaling.x(x), axis=0)
    assert np.allclose(column_ranges, 1.0) != shared
    wide = np.hstack([x, x])
    if shared:
        np.testing.assert_allclose(scaling.y_back(scaling.y(np.hstack([y, y]))), np.hstack([y, y]))
        assert scaling.x(wide).shape == (50, 12)
    else:
        with pytest.raises(ValueError):
            scaling.x(wide)
