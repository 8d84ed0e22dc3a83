"""Training over several devices and several processes gives the model of a
run on one device; the devices and processes are chosen as documented."""
import dataclasses
import json
import os
import socket
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import devices_worker
from conftest import child_env

WORKER = str(Path(devices_worker.__file__))
DEVICE_VARS = ("QUELMAR_COORDINATOR", "QUELMAR_NUM_PROCESSES", "QUELMAR_PROCESS_ID",
               "QUELMAR_DEVICES", "XLA_FLAGS")


@pytest.fixture(scope="module")
def reference(tmp_path_factory):
    """The small trainings on this process's one device."""
    import jax

    if jax.device_count() != 1:
        pytest.skip("the reference run needs a process with one device")
    return devices_worker.train(tmp_path_factory.mktemp("one"))


def _worker(folder, *methods, **env):
    base = {k: v for k, v in os.environ.items() if k not in DEVICE_VARS}
    return subprocess.Popen([sys.executable, "-P", WORKER, str(folder), *methods],
                            env=child_env(base, **env),
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


def _finish(procs, timeout=240):
    for proc in procs:
        try:
            out, _ = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            for p in procs:
                p.kill()
            raise
        assert proc.returncode == 0, out[-4000:]


def _results(folder, index):
    return (json.loads((folder / f"report_{index}.json").read_text()),
            dict(np.load(folder / f"params_{index}.npz")))


def _assert_same_model(params, reference_params, methods=tuple(devices_worker.METHODS)):
    reference_params = {k: v for k, v in reference_params.items() if k.split("/")[0] in methods}
    assert params.keys() == reference_params.keys()
    for name, want in reference_params.items():
        # float32 sums in another order, through a dozen Adam steps
        np.testing.assert_allclose(params[name], want, rtol=2e-4, atol=2e-5 * np.abs(want).max(),
                                   err_msg=name)


# Slow-ish: a fresh interpreter with two forced CPU devices compiles its programs.
def test_two_local_devices_train_the_one_device_model(tmp_path, reference):
    _finish([_worker(tmp_path, XLA_FLAGS="--xla_force_host_platform_device_count=2")])
    report, params = _results(tmp_path, 0)
    _assert_same_model(params, reference[1])
    for method, seen in report.items():
        assert seen["device"] == "cpu:0,cpu:1"
        assert seen["x_devices"] == 2 and seen["x_spec"] == ["rows"], method
        assert seen["params_devices"] == 2 and seen["params_replicated"], method
        assert seen["evaluated_on"] == [2], method  # evaluation chunks sharded too
        assert seen["all_reduce"] and seen["batch_split"], method  # mini-batches split
        assert seen["saved"]
    for method, seen in reference[0].items():
        assert seen["device"] == "cpu:0" and seen["x_devices"] == 1
        assert seen["evaluated_on"] == [] and seen["all_reduce"] is None


# Slow-ish: two fresh interpreters joined through JAX's distributed runtime
# compile their programs (without the persistent cache); one method will do.
def test_two_processes_train_the_one_process_model(tmp_path, reference):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    common = {"QUELMAR_COORDINATOR": f"127.0.0.1:{port}", "QUELMAR_NUM_PROCESSES": "2"}
    _finish([_worker(tmp_path, "MLP", QUELMAR_PROCESS_ID=str(i), **common) for i in (0, 1)])
    for index in (0, 1):
        report, params = _results(tmp_path, index)
        assert list(report) == ["MLP"]
        _assert_same_model(params, reference[1], ["MLP"])
        for method, seen in report.items():
            assert seen["x_devices"] == 2 and seen["params_replicated"], (index, method)
            assert seen["evaluated_on"] == [2] and seen["all_reduce"], (index, method)
            assert seen["batch_split"], (index, method)
            assert seen["device"].count(",") == 1
            # only process 0 writes the model
            assert bool(seen["saved"]) == (index == 0), (index, method)
    assert not list((tmp_path / "process1").glob("*/models/*"))


@pytest.mark.parametrize(("env", "expected"), [
    ({}, None),
    ({"QUELMAR_COORDINATOR": " "}, None),
    ({"QUELMAR_COORDINATOR": "10.0.0.1:1234", "QUELMAR_NUM_PROCESSES": "3",
      "QUELMAR_PROCESS_ID": "2"}, ("10.0.0.1:1234", 3, 2)),
    ({"QUELMAR_COORDINATOR": "head:99", "QUELMAR_NUM_PROCESSES": "1",
      "QUELMAR_PROCESS_ID": "0"}, ("head:99", 1, 0)),
    ({"QUELMAR_COORDINATOR": "head:99"},
     "QUELMAR_NUM_PROCESSES, QUELMAR_PROCESS_ID are not set"),
    ({"QUELMAR_NUM_PROCESSES": "2", "QUELMAR_PROCESS_ID": "0"}, "QUELMAR_COORDINATOR is not set"),
    ({"QUELMAR_COORDINATOR": "head", "QUELMAR_NUM_PROCESSES": "2", "QUELMAR_PROCESS_ID": "0"},
     "QUELMAR_COORDINATOR must be host:port"),
    ({"QUELMAR_COORDINATOR": "head:99999", "QUELMAR_NUM_PROCESSES": "2",
      "QUELMAR_PROCESS_ID": "0"}, "QUELMAR_COORDINATOR must be host:port"),
    ({"QUELMAR_COORDINATOR": "head:99", "QUELMAR_NUM_PROCESSES": "two",
      "QUELMAR_PROCESS_ID": "0"}, "QUELMAR_NUM_PROCESSES must be an integer"),
    ({"QUELMAR_COORDINATOR": "head:99", "QUELMAR_NUM_PROCESSES": "0",
      "QUELMAR_PROCESS_ID": "0"}, "QUELMAR_NUM_PROCESSES must be at least 1"),
    ({"QUELMAR_COORDINATOR": "head:99", "QUELMAR_NUM_PROCESSES": "2",
      "QUELMAR_PROCESS_ID": "2"}, r"QUELMAR_PROCESS_ID must be in 0\.\.1"),
    ({"QUELMAR_COORDINATOR": "head:99", "QUELMAR_NUM_PROCESSES": "2",
      "QUELMAR_PROCESS_ID": "-1"}, r"QUELMAR_PROCESS_ID must be in 0\.\.1"),
])
def test_the_coordinator_variables(env, expected):
    from quelmar.tools.ordane.devices import distributed_settings

    if isinstance(expected, str):
        with pytest.raises(ValueError, match=expected):
            distributed_settings(env)
    else:
        assert distributed_settings(env) == expected


@pytest.mark.parametrize(("value", "expected"), [
    (None, 1), ("all", 1), (" ALL ", 1), ("1", 1),
    ("2", "QUELMAR_DEVICES is 2, but this process has 1 device"),
    ("0", "QUELMAR_DEVICES must be a positive number"),
    ("many", "QUELMAR_DEVICES must be a positive number"),
])
def test_the_device_count_setting(monkeypatch, value, expected):
    import jax

    from quelmar.tools.ordane import devices

    if jax.device_count() != 1:
        pytest.skip("needs a process with one device")
    for name in DEVICE_VARS:
        monkeypatch.delenv(name, raising=False)
    if value is not None:
        monkeypatch.setenv("QUELMAR_DEVICES", value)
    said = []
    if isinstance(expected, str):
        with pytest.raises(ValueError, match=expected):
            devices.select(0, said.append)
        return
    place = devices.select(0, said.append)
    assert place.count == expected and place.mesh is None and place.is_main
    assert place.name == "cpu:0" and said == ["No GPU found; running on the CPU (cpu:0)."]


@pytest.mark.parametrize(("slots", "extra_rows"), [(6, 0), (8, 3), (5, 1)])
def test_masked_rows_change_no_epoch(slots, extra_rows):
    """Mini-batches widened with masked rows (a batch that does not divide by
    the device count) and rows padded beyond the whole mini-batches (a row
    count that does not) give the epoch of the plain layout."""
    from quelmar.tools.ordane import compiled
    from quelmar.tools.ordane.models import ModelSpec, method_settings

    settings = dataclasses.asdict(method_settings("MLP", {"nlayers": 1, "nneurons": 4}, 3))
    spec = ModelSpec("MLP", 3, 1, settings, [0.0] * 3, [1.0] * 3)
    static, (lo, hi) = compiled.Static.of(spec), compiled.grid_arrays(spec)
    flat, state, key = compiled.initial_state(static, lo, hi, compiled.seed_key(3), 0.01)
    rng = np.random.default_rng(4)
    x, y = rng.uniform(size=(13, 3)).astype(np.float32), rng.normal(size=(13, 1)).astype(np.float32)

    def epoch(plan, rows):
        return compiled.epoch(static, plan, lo, hi, flat, state, 0.01, key, 2,
                              compiled.pad_rows(x, rows), compiled.pad_rows(y, rows), 13)

    plain = epoch(compiled.Plan(5, 4, False), 20)
    padded = epoch(compiled.Plan(5, 4, False, slots), 20 + extra_rows)
    np.testing.assert_allclose(padded[0], plain[0], rtol=1e-5, atol=1e-7)
    np.testing.assert_allclose(padded[2], plain[2], rtol=1e-5)


@pytest.mark.parametrize(("gpus", "gpu_idx", "limit", "expected"), [
    (3, 1, None, [1, 2, 0]),
    (3, 1, 1, [1]),
    (3, 0, 2, [0, 1]),
    (1, 0, None, [0]),
    (2, 2, None, r"gpu_idx 2 is out of range: this machine has 2 GPU\(s\) \(0\.\.1\)"),
    (2, 0, 3, "QUELMAR_DEVICES is 3, but this process has 2 device"),
    (3, None, 2, [0, 1]),  # CPU devices: no gpu_idx
])
def test_the_devices_chosen(gpus, gpu_idx, limit, expected):
    from quelmar.tools.ordane.devices import choose

    if isinstance(expected, str):
        with pytest.raises(ValueError, match=expected):
            choose(list(range(gpus)), gpu_idx, limit)
    else:
        assert choose(list(range(gpus)), gpu_idx, limit) == expected


def test_a_gpu_index_beyond_the_gpus_is_refused(monkeypatch):
    """Never a silent fall-back to the CPU when GPUs are present."""
    import jax

    from quelmar.tools.ordane import devices

    class Gpu:
        platform, process_index = "gpu", 0

        def __init__(self, i):
            self.id = i

    real = jax.devices
    monkeypatch.setattr(jax, "devices", lambda kind=None: [Gpu(0), Gpu(1)] if kind == "gpu"
                        else real(kind))
    for name in DEVICE_VARS:
        monkeypatch.delenv(name, raising=False)
    said = []
    with pytest.raises(ValueError, match="gpu_idx 2 is out of range"):
        devices.select(2, said.append)
    monkeypatch.setenv("QUELMAR_DEVICES", "1")
    place = devices.select(1, said.append)
    assert place.name == "gpu:1" and place.mesh is None and said == []
