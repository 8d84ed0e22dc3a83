"""A training compiles its programs once per shape: a repeated run, or a run on
as many mini-batches and evaluation chunks of other rows, compiles nothing."""
import jax.monitoring
import numpy as np
import pytest

from helpers import make_config, run

BACKEND_COMPILE = "/jax/core/compile/backend_compile_duration"
_compiles = [0]


def _count(event, duration, **_):
    if event == BACKEND_COMPILE:
        _compiles[0] += 1


jax.monitoring.register_event_duration_secs_listener(_count)

# Small models and few epochs: the count, not the fit, is under test.
METHODS = {
    "linear": {"nmode": 2, "nseg": 4},
    "gaussian": {"nmode": 2, "nseg": 4},
    "nonlinear": {"nmode": 2, "nseg": 4},
    "MLP": {"nlayers": 1, "nneurons": 8},
    "KAN": {"hidden_dim": 3, "grid_size": 3},
    "FNO": {"num_layers": 1, "modes": 2},
}


def _rows(path, n, seed):
    rng = np.random.default_rng(seed)
    x = rng.uniform(size=(n, 3))
    y = x.sum(axis=1, keepdims=True) + 0.1 * x[:, :1] ** 2
    np.savetxt(path, np.hstack([x, y]), delimiter=",", header="a,b,c,y", comments="")
    return path


def _compiles_of(config, run_type="regression"):
    _compiles[0] = 0
    try:
        result, _ = run(config, run_type)
    except ValueError as exc:  # a model that did not learn in 4 epochs ran all its programs
        assert "did not learn" in str(exc)
        result = None
    return _compiles[0], result


def _config(tmp_path, data, method):
    return make_config(tmp_path, [data], inputs=(0, 1, 2), outputs=(3,),
                       MODEL_PARAM={"interp_method": method, **METHODS[method]},
                       TRAIN_PARAM={f"num_epochs_{k}": 4 for k in ("INN", "MLP", "KAN", "FNO")}
                       | {"validation_period": 2, "batch_size": 16})


def test_the_counter_sees_a_compile():
    import jax

    _compiles[0] = 0
    jax.jit(lambda x: x * 3.25 - 1.5)(np.ones(7, np.float32))
    assert _compiles[0] == 1


@pytest.mark.parametrize("method", list(METHODS))
def test_a_repeated_run_compiles_nothing(tmp_path, method):
    data = _rows(tmp_path / "rows.csv", 60, 0)
    _compiles_of(_config(tmp_path, data, method))
    assert _compiles_of(_config(tmp_path, data, method))[0] == 0


@pytest.mark.parametrize("method", ["linear", "KAN"])
def test_other_rows_of_the_same_buckets_compile_nothing(tmp_path, method):
    """60 and 52 rows (other values, another input range): 42 and 36 training
    rows make three mini-batches of 16, padded to four, and every split fits
    the smallest evaluation chunk."""
    _compiles_of(_config(tmp_path, _rows(tmp_path / "a.csv", 60, 1), method))
    again, result = _compiles_of(_config(tmp_path, _rows(tmp_path / "b.csv", 52, 2), method))
    assert again == 0
    if result is not None:
        assert result.epochs_run == 4


def test_the_learning_rate_and_seed_are_not_compiled_in(tmp_path):
    data = _rows(tmp_path / "rows.csv", 60, 3)
    _compiles_of(_config(tmp_path, data, "MLP"))
    config = _config(tmp_path, data, "MLP")
    config["TRAIN_PARAM"].update(learning_rate=0.02, random_seed=5)
    assert _compiles_of(config)[0] == 0


@pytest.mark.parametrize(("env", "expected"), [
    ({}, "{home}/.cache/quelmar/jax"),
    ({"XDG_CACHE_HOME": "/var/cache/u"}, "/var/cache/u/quelmar/jax"),
    ({"QUELMAR_JAX_CACHE_DIR": "/srv/jaxcache", "XDG_CACHE_HOME": "/x"}, "/srv/jaxcache"),
    ({"QUELMAR_JAX_CACHE_DIR": "~/c"}, "{home}/c"),
    ({"QUELMAR_JAX_CACHE": "0", "QUELMAR_JAX_CACHE_DIR": "/srv/jaxcache"}, None),
    ({"QUELMAR_JAX_CACHE": "off"}, None),
    ({"QUELMAR_JAX_CACHE": "1"}, "{home}/.cache/quelmar/jax"),
])
def test_the_cache_folder(monkeypatch, tmp_path, env, expected):
    from quelmar.tools.ordane import jax_cache

    for name in ("QUELMAR_JAX_CACHE", "QUELMAR_JAX_CACHE_DIR", "XDG_CACHE_HOME"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("HOME", str(tmp_path))
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    want = None if expected is None else expected.format(home=tmp_path)
    assert jax_cache.cache_dir() == want


@pytest.mark.parametrize(("quick_work", "quick"), [(1 << 16, True), (0, False)])
def test_a_run_of_little_work_runs_the_quickly_compiled_epoch(tmp_path, monkeypatch, quick_work,
                                                             quick):
    """42 rows for 4 epochs is little work: its epoch is the program compiled
    without backend optimisations; a run above the bound gets the optimised one."""
    from quelmar.tools.ordane import compiled

    ran = []
    for name in ("_epoch", "_epoch_quick"):
        program = getattr(compiled, name)
        monkeypatch.setattr(compiled, name, lambda *a, _p=program, _n=name: ran.append(_n) or _p(*a))
    monkeypatch.setattr(compiled, "QUICK_WORK", quick_work)
    _compiles_of(_config(tmp_path, _rows(tmp_path / "rows.csv", 60, 4), "MLP"))
    assert set(ran) == {"_epoch_quick" if quick else "_epoch"} and len(ran) == 4
