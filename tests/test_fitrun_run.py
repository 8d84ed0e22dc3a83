"""execute_fitrun: binding and typing, configuration assembly, the captured run and its result."""
import datetime as dt
import pathlib
import subprocess
import sys
import time
import traceback

import pytest
import yaml
from conftest import NO_PIPELINE
from helpers import assert_refcounts_stable

RULE = "=" * 60
REQUIRED = {"input_col": [0, 1], "output_col": [2], "data_train": "train.csv"}
MISSING_ALL = ("Missing required fields: DATA_PARAM.input_col, DATA_PARAM.output_col, DATA_PARAM.data_train. "
               "These fields must be provided by the user.")


class FixedClock:
    """Stands in for the datetime class so that every run gets the same stamp."""

    @staticmethod
    def now():
        return dt.datetime(2026, 1, 2, 3, 4, 5)


@pytest.fixture
def fixed_clock(fitrun, monkeypatch):
    monkeypatch.setattr(fitrun, "datetime", FixedClock)


def write_reference(tools_dir, update):
    path = tools_dir / "config" / "config_ref.yaml"
    ref = yaml.safe_load(path.read_text())
    for section, values in update.items():
        if values is None:
            ref[section] = None
        else:
            ref.setdefault(section, {}).update(values)
    path.write_text(yaml.safe_dump(ref))


def banner(tools_dir, log_path):
    return (f"\n{RULE}\nStarting Training Pipeline\n{RULE}\n"
            f"Model save directory: {tools_dir / 'ordane' / 'model_saved'}\n"
            f"Plots directory: {tools_dir / 'plots'}\nLog file: {log_path}\n{RULE}\n\n")


# -- binding and typing -----------------------------------------------------------

@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"bool_plot": 0}, TypeError, "Argument 'bool_plot' has incorrect type (expected bool, got int)"),
        ({"nmode": "3"}, TypeError, "Argument 'nmode' has incorrect type (expected int, got str)"),
        ({"learning_rate": "0.1"}, TypeError, "Argument 'learning_rate' has incorrect type (expected float, got str)"),
        ({"input_col": (0, 1)}, TypeError, "Argument 'input_col' has incorrect type (expected list, got tuple)"),
        ({"gpu_idx": None}, TypeError, "Argument 'gpu_idx' has incorrect type (expected int, got NoneType)"),
        ({"run_type": None}, TypeError, "Argument 'run_type' has incorrect type (expected str, got NoneType)"),
        ({"input_col": (0,), "patience": [1]}, TypeError,
         "Argument 'patience' has incorrect type (expected int, got list)"),
        ({"nseg": float("nan")}, ValueError, "cannot convert float NaN to integer"),
        ({"batch_size": float("inf")}, OverflowError, "cannot convert float infinity to integer"),
        ({"stopping_loss_train": 10**400}, OverflowError, "int too large to convert to float"),
        ({"data_val": b"x"}, TypeError, "Argument 'data_val' has incorrect type (expected str, got bytes)"),
    ],
)
def test_argument_errors(fitrun, tools_dir, kwargs, exc, message):
    with pytest.raises(exc) as info:
        fitrun.execute_fitrun(**kwargs)
    assert str(info.value) == message
    assert not (tools_dir / "logs").exists()


def test_binding_errors(fitrun):
    with pytest.raises(TypeError, match=r"^execute_fitrun\(\) takes at most 43 positional arguments \(44 given\)$"):
        fitrun.execute_fitrun(*[None] * 44)
    with pytest.raises(TypeError, match=r"^execute_fitrun\(\) got an unexpected keyword argument 'epochs'$"):
        fitrun.execute_fitrun(epochs=3)
    with pytest.raises(TypeError, match=r"got multiple values for keyword argument 'input_col'$"):
        fitrun.execute_fitrun([0], input_col=[0])


def test_conversion_errors_name_the_parameter_line(fitrun):
    for kwargs, line in [({"nmode": "x"}, 142), ({"gpu_idx": None}, 179), ({"learning_rate": []}, 167)]:
        with pytest.raises(TypeError) as info:
            fitrun.execute_fitrun(**kwargs)
        assert traceback.extract_tb(info.value.__traceback__)[-1].lineno == line
    with pytest.raises(TypeError) as info:  # an exact type check adds no entry of the tool
        fitrun.execute_fitrun(input_col=(1,))
    assert all(f.name != "quelmar.tools.fitrun.execute_fitrun" for f in traceback.extract_tb(info.value.__traceback__))


@pytest.mark.parametrize(
    "kwargs, section, key, expected",
    [
        ({"nmode": 3.7}, "MODEL_PARAM", "nmode", 3),
        ({"nmode": True}, "MODEL_PARAM", "nmode", 1),
        ({"learning_rate": 1}, "TRAIN_PARAM", "learning_rate", 1.0),
        ({"alpha_dil": True}, "MODEL_PARAM", "alpha_dil", 1.0),
        ({"bool_plot": False}, "PLOT", "bool_plot", False),
        ({"interp_method": ""}, "MODEL_PARAM", "interp_method", ""),
        ({"input_col": []}, "DATA_PARAM", "input_col", []),
    ],
)
def test_given_values_land_in_their_section(fitrun, kwargs, section, key, expected):
    args = dict(REQUIRED, **kwargs)
    result = fitrun.execute_fitrun(**args)
    value = result["config"][section][key]
    assert value == expected and type(value) is type(expected)


def test_caller_sections_and_merge(fitrun, monkeypatch):
    seen = {}
    real_update, real_validate = fitrun._deep_update, fitrun._validate_required_fields
    monkeypatch.setattr(fitrun, "_deep_update", lambda b, u: seen.setdefault("user", u) and real_update(b, u))
    monkeypatch.setattr(fitrun, "_validate_required_fields", lambda u: seen.setdefault("checked", u) and real_validate(u))
    cols = [0, 1]
    result = fitrun.execute_fitrun(input_col=cols, output_col=[2], data_train="t.csv", data_test="x.csv",
                                   num_epochs_INN=5, patience=2, nlayers=2)
    user = seen["user"]
    assert seen["checked"] is user
    assert list(user) == ["MODEL_PARAM", "DATA_PARAM", "TRAIN_PARAM"]
    assert user["DATA_PARAM"] == {"input_col": [0, 1], "output_col": [2], "data_train": "t.csv",
                                  "data_filenames": ["t.csv", "x.csv"]}
    assert list(user["DATA_PARAM"]) == ["input_col", "output_col", "data_train", "data_filenames"]
    assert user["DATA_PARAM"]["input_col"] is cols
    assert list(user["TRAIN_PARAM"]) == ["num_epochs_INN", "patience"]
    config = result["config"]
    assert config["MODEL_PARAM"]["nmode"] == 8 and config["MODEL_PARAM"]["nlayers"] == 2  # reference + caller


@pytest.mark.parametrize(
    "files, expected",
    [
        ({"data_train": "a"}, ["a"]),
        ({"data_train": "a", "data_val": "b"}, ["a", "b"]),
        ({"data_train": "a", "data_test": "c"}, ["a", "c"]),
        ({"data_train": "a", "data_val": "b", "data_test": "c"}, ["a", "b", "c"]),
    ],
)
def test_data_filenames(fitrun, files, expected):
    result = fitrun.execute_fitrun(input_col=[0], output_col=[1], **files)
    assert result["config"]["DATA_PARAM"]["data_filenames"] == expected
    assert "data_val" not in result["config"]["DATA_PARAM"] and "data_test" not in result["config"]["DATA_PARAM"]


@pytest.mark.parametrize(
    "kwargs, reference, message",
    [
        ({}, {}, MISSING_ALL),
        ({"data_val": "v.csv", "input_col": [0]}, {},
         "Missing required fields: DATA_PARAM.output_col, DATA_PARAM.data_train. These fields must be provided by the user."),
        ({"input_col": [0], "output_col": [1]}, {"DATA_PARAM": {"data_train": "ref.csv"}},
         "Missing required fields: DATA_PARAM.data_train. These fields must be provided by the user."),
    ],
)
def test_missing_required_fields(fitrun, tools_dir, kwargs, reference, message):
    write_reference(tools_dir, reference)
    with pytest.raises(ValueError) as info:
        fitrun.execute_fitrun(**kwargs)
    assert str(info.value) == message
    assert not (tools_dir / "logs").exists() and not (tools_dir / "plots").exists()
    assert fitrun.train_model.calls == []


def test_reference_problems_come_before_the_check(fitrun, tools_dir):
    (tools_dir / "config" / "config_ref.yaml").write_text("")
    with pytest.raises(TypeError, match=r"^Argument 'base' has incorrect type \(expected dict, got NoneType\)$"):
        fitrun.execute_fitrun()
    (tools_dir / "config" / "config_ref.yaml").unlink()
    with pytest.raises(FileNotFoundError, match="^Reference config file not found: "):
        fitrun.execute_fitrun()


# -- the run -----------------------------------------------------------------------

def test_successful_run(fitrun, tools_dir, fixed_clock, capsys):
    stdout = sys.stdout
    result = fitrun.execute_fitrun(**REQUIRED, interp_method="MLP", run_type="classification", gpu_idx=1.9)
    assert sys.stdout is stdout and capsys.readouterr().out == ""
    (args, kwargs), = fitrun.train_model.calls
    assert args == () and list(kwargs) == ["config", "run_type", "gpu_idx"]
    assert kwargs["run_type"] == "classification" and kwargs["gpu_idx"] == 1 and type(kwargs["gpu_idx"]) is int
    config = kwargs["config"]
    assert result["config"] is config
    assert list(config)[-1] == "OUTPUT"
    log = tools_dir / "logs" / "training_MLP_20260102_030405.log"
    assert config["OUTPUT"] == {"model_save_dir": str(tools_dir / "ordane" / "model_saved"),
                                "plots_dir": str(tools_dir / "plots"), "logs_dir": str(tools_dir / "logs"),
                                "log_file": str(log)}
    assert list(result) == ["config", "model_save_path", "plots_path", "log_path", "training_completed",
                            "interp_method", "run_type", "train_rmse", "val_rmse", "test_rmse",
                            "training_time_seconds"]
    assert result["log_path"] == str(log)
    assert result["model_save_path"] == str(tools_dir / "ordane" / "model_saved")  # switched on in the reference
    assert result["plots_path"] is None
    assert (result["training_completed"], result["interp_method"], result["run_type"]) == (True, "MLP",
                                                                                            "classification")
    assert (result["train_rmse"], result["val_rmse"], result["test_rmse"]) == (0.25, 0.3, 0.35)
    seconds = result["training_time_seconds"]
    assert type(seconds) is float
    assert log.read_text() == (banner(tools_dir, log) + "fake pipeline line 1\nfake pipeline line 2\n"
                               f"\nTraining completed successfully!\nTotal training time: {seconds:.2f} seconds\n")


def test_failed_run_logs_and_reraises_the_same_exception(fitrun, tools_dir, fixed_clock):
    error = RuntimeError("diverged at epoch 3")
    fitrun.train_model.error = error
    stdout = sys.stdout
    with pytest.raises(RuntimeError) as info:
        fitrun.execute_fitrun(**REQUIRED)
    assert info.value is error and sys.stdout is stdout
    names = [(f.name, f.lineno) for f in traceback.extract_tb(error.__traceback__)]
    assert names.count(("quelmar.tools.fitrun.execute_fitrun", 340)) == 1
    log = tools_dir / "logs" / "training_linear_20260102_030405.log"
    assert log.read_text() == (banner(tools_dir, log) + "fake pipeline line 1\nfake pipeline line 2\n"
                               "\nTraining failed with error: diverged at epoch 3\n")


def test_interrupt_skips_the_failure_line_but_keeps_the_log(fitrun, tools_dir, fixed_clock):
    fitrun.train_model.error = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt):
        fitrun.execute_fitrun(**REQUIRED)
    text = (tools_dir / "logs" / "training_linear_20260102_030405.log").read_text()
    assert text.endswith("fake pipeline line 2\n\nTraining interrupted by KeyboardInterrupt after 0 epochs\n")
    assert "failed" not in text


@pytest.mark.parametrize(
    "attributes, expected",
    [
        ({}, (None, None, None)),
        ({"errors_train": [], "errors_val": [1.0, 2.0, 3.0], "error_test": [4, 5]}, (None, 3.0, [4, 5])),
        ({"errors_train": (7,), "error_test": None}, (7, None, None)),
    ],
)
def test_error_values_from_the_pipeline_result(fitrun, attributes, expected):
    fitrun.train_model.result = type("R", (), attributes)()
    result = fitrun.execute_fitrun(**REQUIRED)
    assert (result["train_rmse"], result["val_rmse"], result["test_rmse"]) == expected


def test_a_dict_result_gives_no_error_values(fitrun):
    fitrun.train_model.result = {"errors_train": [1.0], "errors_val": [1.0], "error_test": 1.0}
    result = fitrun.execute_fitrun(**REQUIRED)
    assert (result["train_rmse"], result["val_rmse"], result["test_rmse"]) == (None, None, None)


def test_switches_and_output_section_from_the_reference(fitrun, tools_dir):
    write_reference(tools_dir, {"TRAIN_PARAM": {"bool_save_model": False}, "PLOT": {"bool_plot": True},
                                "OUTPUT": {"keep": 1, "logs_dir": "old"}})
    result = fitrun.execute_fitrun(**REQUIRED)
    assert result["model_save_path"] is None and result["plots_path"] == str(tools_dir / "plots")
    assert result["config"]["OUTPUT"] == {"keep": 1, "logs_dir": str(tools_dir / "logs"),
                                          "model_save_dir": str(tools_dir / "ordane" / "model_saved"),
                                          "plots_dir": str(tools_dir / "plots"),
                                          "log_file": result["log_path"]}


def test_a_null_output_section_fails_before_the_capture(fitrun, tools_dir):
    write_reference(tools_dir, {"OUTPUT": None})
    with pytest.raises(TypeError, match="does not support item assignment"):
        fitrun.execute_fitrun(**REQUIRED)
    assert list((tools_dir / "logs").iterdir()) == []
    assert fitrun.train_model.calls == []


def test_method_from_the_configuration_and_changed_by_the_pipeline(fitrun, tools_dir):
    fitrun.train_model.action = lambda kw: kw["config"]["MODEL_PARAM"].update(interp_method="changed")
    result = fitrun.execute_fitrun(**REQUIRED)
    assert result["interp_method"] == "changed"
    assert result["log_path"].startswith(str(tools_dir / "logs" / "training_linear_"))


def test_training_time_covers_the_pipeline_call(fitrun):
    fitrun.train_model.action = lambda kw: time.sleep(0.3)
    started = time.perf_counter()
    result = fitrun.execute_fitrun(**REQUIRED)
    assert 0.3 <= result["training_time_seconds"] <= time.perf_counter() - started


# -- mended faults: log names ---------------------------------------------------------

def test_runs_in_the_same_second_keep_their_own_logs(fitrun, tools_dir, fixed_clock):
    paths = []
    for i in range(3):
        fitrun.train_model.output = f"run {i}"
        paths.append(fitrun.execute_fitrun(**REQUIRED)["log_path"])
    stem = str(tools_dir / "logs" / "training_linear_20260102_030405")
    assert paths == [stem + ".log", stem + "_2.log", stem + "_3.log"]
    assert [f"run {i}\n" in pathlib.Path(p).read_text() for i, p in enumerate(paths)] == [True] * 3


def test_parallel_processes_get_distinct_logs(run_python, tools_dir):
    out = run_python(f"""
        import multiprocessing as mp
        import quelmar.tools.fitrun  # once, before the workers are forked (with the stand-in pipeline)

        def run(_):
            import datetime as dt
            import quelmar.tools.fitrun as fitrun
            fitrun.__file__ = {str(tools_dir / "fitrun.so")!r}
            fitrun.train_model = lambda **kw: None
            fitrun.datetime = type("C", (), {{"now": staticmethod(lambda: dt.datetime(2026, 1, 1))}})
            return fitrun.execute_fitrun(input_col=[0], output_col=[1], data_train="x")["log_path"]

        if __name__ == "__main__":
            with mp.get_context("fork").Pool(4) as pool:
                print(len(set(pool.map(run, range(8)))))
    """.replace("if __name__", "if True or __name__"), pipeline=False)
    assert out.strip() == "8"
    assert len(list((tools_dir / "logs").iterdir())) == 8


@pytest.mark.parametrize(
    "method, name_part",
    [
        ("linear", "linear"),
        ("../../x", ".._.._x"),
        ("a/b\\c d\x00é", "a_b_c_d__"),
        ("m" * 300, "m" * 64),
    ],
)
def test_method_text_cannot_steer_the_log_path(fitrun, tools_dir, fixed_clock, method, name_part):
    result = fitrun.execute_fitrun(**REQUIRED, interp_method=method)
    log = tools_dir / "logs" / f"training_{name_part}_20260102_030405.log"
    assert result["log_path"] == str(log) and log.is_file()
    assert result["interp_method"] == method
    assert [p.name for p in (tools_dir / "logs").iterdir()] == [log.name]


# -- leaks and the real pipeline ---------------------------------------------------------

def test_argument_references_are_released(fitrun):
    cols, text, number = [0, 1], "some.csv", 12345.5
    calls = [
        lambda: fitrun.execute_fitrun(input_col=cols, bool_plot=number),
        lambda: fitrun.execute_fitrun(input_col=cols, nmode=text),
        lambda: fitrun.execute_fitrun(input_col=cols, data_train=text),
        lambda: fitrun.execute_fitrun(cols, cols, text, text, text, text, *[number] * 38),
        lambda: fitrun.execute_fitrun(input_col=cols, learning_rate=number, unknown=text),
    ]

    assert_refcounts_stable((cols, text, number), calls)


def test_real_pipeline_end_to_end(tools_dir, monkeypatch, tmp_path):
    import numpy as np

    import quelmar.tools.fitrun as fitrun
    monkeypatch.setattr(fitrun, "__file__", str(tools_dir / "fitrun.so"))
    rng = np.random.default_rng(0)
    x = rng.uniform(0, 1, size=(120, 2))
    data = tmp_path / "small.csv"
    data.write_text("x1,x2,y\n" + "".join(f"{a},{b},{a + b * b}\n" for a, b in x))
    result = fitrun.execute_fitrun(input_col=[0, 1], output_col=[2], data_train=str(data), interp_method="linear",
                                   num_epochs_INN=20, validation_period=5, bool_save_model=False)
    assert all(isinstance(result[k], float) for k in ("train_rmse", "val_rmse", "test_rmse"))
    log = pathlib.Path(result["log_path"]).read_text(encoding="utf-8")
    assert "Starting Training Pipeline" in log and "Training completed successfully!" in log
    assert log.count("epoch") >= 4  # one progress line per check


def test_a_capture_that_suppresses_the_error_gives_a_result(fitrun, monkeypatch):
    class Swallowing:
        def __init__(self, path):
            self.path = path

        def __enter__(self):
            return self

        def __exit__(self, *exc):
            return True

    monkeypatch.setattr(fitrun, "LogCapture", Swallowing)
    fitrun.train_model.error = RuntimeError("lost")
    result = fitrun.execute_fitrun(**REQUIRED)
    assert result["training_completed"] is True
    assert (result["train_rmse"], result["test_rmse"], result["training_time_seconds"]) == (None, None, None)


# -- the live log ----------------------------------------------------------------

def test_the_log_grows_while_the_pipeline_runs(fitrun, tools_dir, fixed_clock):
    log = tools_dir / "logs" / "training_linear_20260102_030405.log"
    seen = []
    fitrun.train_model.action = lambda kwargs: seen.append(log.read_text())
    fitrun.execute_fitrun(**REQUIRED)
    assert seen == [banner(tools_dir, log) + "fake pipeline line 1\nfake pipeline line 2\n"]
    assert log.read_text().startswith(seen[0]) and log.read_text().endswith(" seconds\n")


def test_a_killed_run_keeps_what_it_printed(tmp_path):
    code = NO_PIPELINE + f"""
import os, pathlib, shutil, signal
import quelmar.tools, quelmar.tools.fitrun as fitrun
tools = pathlib.Path({str(tmp_path)!r}) / "tools"
(tools / "config").mkdir(parents=True)
shutil.copy(pathlib.Path(quelmar.tools.__file__).parent / "config" / "config_ref.yaml", tools / "config")
fitrun.__file__ = str(tools / "fitrun.so")
def pipeline(**kwargs):
    print("epoch 1 of 2 done")
    os.kill(os.getpid(), signal.SIGKILL)
fitrun.train_model = pipeline
fitrun.execute_fitrun(input_col=[0], output_col=[1], data_train="train.csv")
"""
    proc = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, cwd=tmp_path,
                          timeout=300)
    assert proc.returncode == -9, proc.stderr
    log, = (tmp_path / "tools" / "logs").iterdir()
    text = log.read_text()
    assert "Starting Training Pipeline" in text and text.endswith("epoch 1 of 2 done\n")


def test_a_capture_of_its_own_keeps_a_plain_buffer(fitrun, tmp_path):
    import io

    capture = fitrun.LogCapture(tmp_path / "own.log")
    with capture:
        print("hello")
        assert type(capture.captured) is io.StringIO and not (tmp_path / "own.log").exists()
    assert (tmp_path / "own.log").read_text() == "hello\n"
