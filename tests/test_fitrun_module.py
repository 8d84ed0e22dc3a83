"""The training tool module: body, tool directories, reference configuration, merge, check, log capture."""
import io
import pathlib
import sys
import traceback

import pytest
import yaml

NOTE = ("Note that Cython is deliberately stricter than PEP-484 and rejects subclasses of builtin types. "
        "If you need to pass subclasses then set the 'annotation_typing' directive to False.")


def entries(exc):
    return [(f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__)]


def test_module_body(fitrun):
    import quelmar.tools.ordane.main as pipeline
    names = [k for k in vars(fitrun) if not k.startswith("__")]
    assert names == ["os", "sys", "io", "Any", "Optional", "Path", "datetime", "yaml", "train_model",
                     "REQUIRED_FIELDS", "_get_tools_dir", "_get_model_save_dir", "_get_plots_dir",
                     "_get_logs_dir", "LogCapture", "_get_config_ref_path", "_load_reference_config",
                     "_validate_required_fields", "_deep_update", "execute_fitrun"]
    assert fitrun.__test__ == {}
    assert fitrun.REQUIRED_FIELDS == {"DATA_PARAM": ["input_col", "output_col", "data_train"]}
    assert fitrun.Path is pathlib.Path and fitrun.yaml is yaml
    assert sys.modules["quelmar.tools.fitrun"].__dict__["datetime"].__name__ == "datetime"
    assert pipeline.train_model.__module__ == "quelmar.tools.ordane.main"
    assert fitrun.__doc__ == "Train data configuration and training tool - Cython-compiled module."


@pytest.mark.parametrize(
    "name, doc",
    [
        ("_get_tools_dir", "Get the tools directory path."),
        ("_get_model_save_dir", "Get the directory for saving models."),
        ("_get_plots_dir", "Get the directory for saving plots."),
        ("_get_logs_dir", "Get the directory for saving logs."),
        ("_get_config_ref_path", "Get the path to the reference config file."),
        ("_load_reference_config", "Load the reference configuration from YAML file."),
        ("_deep_update", "\n    Recursively update a nested dictionary.\n\n    Args:\n        base: The base dictionary "
                         "to update\n        updates: The dictionary with updates to apply\n\n    Returns:\n"
                         "        Updated dictionary\n    "),
        ("_validate_required_fields", "\n    Check if all required fields are provided.\n\n    Returns:\n"
                                      "        List of missing required field paths (e.g., "
                                      "[\"DATA_PARAM.input_col\"])\n    "),
    ],
)
def test_helper_functions(fitrun, name, doc):
    fn = getattr(fitrun, name)
    assert type(fn).__name__ == "builtin_function_or_method"
    assert fn.__doc__ == doc and fn.__qualname__ == name and fn.__module__ == "quelmar.tools.fitrun"


# -- tool directories ---------------------------------------------------------

def test_directories(fitrun, tools_dir):
    assert fitrun._get_tools_dir() == tools_dir and type(fitrun._get_tools_dir()) is pathlib.PosixPath
    assert not (tools_dir / "ordane").exists()  # the tools directory itself is only computed
    model = fitrun._get_model_save_dir()
    assert model == tools_dir / "ordane" / "model_saved" and model.is_dir()
    assert fitrun._get_plots_dir() == fitrun._get_plots_dir() == tools_dir / "plots"
    assert fitrun._get_logs_dir() == tools_dir / "logs" and (tools_dir / "logs").is_dir()
    assert fitrun._get_config_ref_path() == tools_dir / "config" / "config_ref.yaml"


def test_directories_follow_a_rebound_tools_dir(fitrun, tmp_path, monkeypatch):
    elsewhere = tmp_path / "elsewhere"
    monkeypatch.setattr(fitrun, "_get_tools_dir", lambda: elsewhere)
    assert fitrun._get_logs_dir() == elsewhere / "logs" and (elsewhere / "logs").is_dir()
    # The reference file does not go through _get_tools_dir.
    assert fitrun._get_config_ref_path().parent.parent != elsewhere


def test_a_file_in_the_way(fitrun, tools_dir):
    (tools_dir / "logs").write_text("not a directory")
    with pytest.raises(FileExistsError) as info:
        fitrun._get_logs_dir()
    assert ("quelmar.tools.fitrun._get_logs_dir", 45) in entries(info.value)
    with pytest.raises(TypeError):
        fitrun._get_logs_dir(1)


# -- reference configuration ---------------------------------------------------

@pytest.mark.parametrize(
    "content, expected",
    [
        ("A:\n  x: 1\n", {"A": {"x": 1}}),
        ("", None),
        ("# only a comment\n", None),
        ("name: 'é ✓'\n", {"name": "é ✓"}),
    ],
)
def test_load_reference(fitrun, tools_dir, content, expected):
    (tools_dir / "config" / "config_ref.yaml").write_text(content, encoding="utf-8")
    assert fitrun._load_reference_config() == expected


@pytest.mark.parametrize(
    "content, exc, message",
    [
        ("- a\n- b\n", TypeError, "Expected dict, got list"),
        ("just text", TypeError, "Expected dict, got str"),
        ("a: [1, 2\n", yaml.YAMLError, None),
        ("!!python/object:os.system {}\n", yaml.YAMLError, None),
    ],
)
def test_refused_reference_files(fitrun, tools_dir, content, exc, message):
    (tools_dir / "config" / "config_ref.yaml").write_text(content)
    with pytest.raises(exc) as info:
        fitrun._load_reference_config()
    if message:
        assert str(info.value) == message
    assert "quelmar.tools.fitrun._load_reference_config" in [n for n, _ in entries(info.value)]


def test_missing_reference_file(fitrun, tools_dir):
    path = tools_dir / "config" / "config_ref.yaml"
    path.unlink()
    with pytest.raises(FileNotFoundError) as info:
        fitrun._load_reference_config()
    assert str(info.value) == f"Reference config file not found: {path}"
    assert info.value.__cause__ is None


def test_shipped_reference_file_is_a_mapping_of_sections():
    import quelmar.tools
    ref = yaml.safe_load((pathlib.Path(quelmar.tools.__file__).parent / "config" / "config_ref.yaml").read_text())
    assert {"DATA_PARAM", "MODEL_PARAM", "TRAIN_PARAM", "PLOT"} <= set(ref) and "OUTPUT" not in ref
    assert ref["MODEL_PARAM"]["interp_method"] == "linear"


# -- merge ----------------------------------------------------------------------

def test_deep_update_shares_untouched_sections_and_keeps_base():
    import quelmar.tools.fitrun as fitrun
    base = {"DATA_PARAM": {"split_ratio": [0.7, 0.2, 0.1]}, "MODEL_PARAM": {"nmode": 4}}
    merged = fitrun._deep_update(base, {"DATA_PARAM": {"input_col": [0]}, "NEW": 1})
    assert merged == {"DATA_PARAM": {"split_ratio": [0.7, 0.2, 0.1], "input_col": [0]},
                      "MODEL_PARAM": {"nmode": 4}, "NEW": 1}
    assert list(merged) == ["DATA_PARAM", "MODEL_PARAM", "NEW"]
    assert merged["MODEL_PARAM"] is base["MODEL_PARAM"]
    assert base == {"DATA_PARAM": {"split_ratio": [0.7, 0.2, 0.1]}, "MODEL_PARAM": {"nmode": 4}}


@pytest.mark.parametrize(
    "base, updates, expected",
    [
        ({"A": {"x": 1}}, {"A": {"x": None}}, {"A": {"x": None}}),
        ({"A": {"x": [1, 2]}}, {"A": {"x": [3]}}, {"A": {"x": [3]}}),
        ({"A": {"x": {"deep": 1}}}, {"A": {"x": [1]}}, {"A": {"x": [1]}}),
        ({"A": 5}, {"A": {"x": 1}}, {"A": {"x": 1}}),
        ({"A": {"x": 1}}, {"A": None}, {"A": None}),
        ({"A": {"B": {"c": 1, "d": 2}}}, {"A": {"B": {"d": 3}}}, {"A": {"B": {"c": 1, "d": 3}}}),
    ],
)
def test_deep_update_rules(base, updates, expected):
    import quelmar.tools.fitrun as fitrun
    assert fitrun._deep_update(base, updates) == expected


def test_deep_update_value_given_in_updates_is_not_copied():
    import quelmar.tools.fitrun as fitrun
    cols = [1, 2]
    assert fitrun._deep_update({}, {"A": {"c": cols}})["A"]["c"] is cols


@pytest.mark.parametrize(
    "kwargs, message, note",
    [
        ({"base": None, "updates": {}}, "Argument 'base' has incorrect type (expected dict, got NoneType)", False),
        ({"base": {}, "updates": [("a", 1)]}, "Argument 'updates' has incorrect type (expected dict, got list)", False),
        ({"base": type("D", (dict,), {})(), "updates": {}}, "Argument 'base' has incorrect type (expected dict, got D)",
         True),
    ],
)
def test_deep_update_argument_types(kwargs, message, note):
    import quelmar.tools.fitrun as fitrun
    with pytest.raises(TypeError) as info:
        fitrun._deep_update(**kwargs)
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) == ([NOTE] if note else None)


def test_deep_update_recursion_goes_through_the_module_name(monkeypatch):
    import quelmar.tools.fitrun as fitrun
    seen = []
    real = fitrun._deep_update
    monkeypatch.setattr(fitrun, "_deep_update", lambda b, u: seen.append((b, u)) or real(b, u))
    real({"A": {"x": 1}}, {"A": {"y": 2}, "B": {"z": 3}})
    assert seen == [({"x": 1}, {"y": 2})]


@pytest.mark.parametrize("shape", ["self-referential", "deep"])
def test_deep_update_without_end_raises_recursion_error(run_python, shape):
    out = run_python(f"""
        import threading
        import quelmar.tools.fitrun as fitrun
        if "{shape}" == "deep":
            a = b = {{}}
            for _ in range(200000):
                a = {{"k": a}}
                b = {{"k": b}}
        else:
            a = {{}}; a["k"] = a
            b = {{}}; b["k"] = b
        def run():
            try:
                fitrun._deep_update(a, b)
            except RecursionError as e:
                print("RecursionError")
        run()
        t = threading.Thread(target=run); t.start(); t.join()
    """, pipeline=False)
    assert out.split() == ["RecursionError", "RecursionError"]


# -- required fields -------------------------------------------------------------

ALL = ["DATA_PARAM.input_col", "DATA_PARAM.output_col", "DATA_PARAM.data_train"]


@pytest.mark.parametrize(
    "user, expected",
    [
        ({}, ALL),
        ({"MODEL_PARAM": {"input_col": 1}}, ALL),
        ({"DATA_PARAM": {}}, ALL),
        ({"DATA_PARAM": {"input_col": [0], "data_train": "x"}}, ["DATA_PARAM.output_col"]),
        ({"DATA_PARAM": {"input_col": None, "output_col": None, "data_train": None}}, []),
        ({"DATA_PARAM": ["input_col", "output_col"]}, ["DATA_PARAM.data_train"]),
    ],
)
def test_validate_required_fields(user, expected):
    import quelmar.tools.fitrun as fitrun
    assert fitrun._validate_required_fields(user) == expected


def test_validate_reads_required_fields_at_each_call(monkeypatch):
    import quelmar.tools.fitrun as fitrun
    monkeypatch.setattr(fitrun, "REQUIRED_FIELDS", {"PLOT": ["bool_plot"], "DATA_PARAM": ["x"]})
    assert fitrun._validate_required_fields({"DATA_PARAM": {}}) == ["PLOT.bool_plot", "DATA_PARAM.x"]


def test_validate_section_that_is_not_a_container():
    import quelmar.tools.fitrun as fitrun
    with pytest.raises(TypeError, match="argument of type 'NoneType' is not"):
        fitrun._validate_required_fields({"DATA_PARAM": None})
    with pytest.raises(TypeError, match=r"expected dict, got list"):
        fitrun._validate_required_fields([])


# -- log capture ------------------------------------------------------------------

def test_log_capture_class(fitrun):
    cls = fitrun.LogCapture
    assert cls.__bases__ == (object,) and type(cls) is type
    assert cls.__module__ == "quelmar.tools.fitrun" and cls.__qualname__ == "LogCapture"
    assert cls.__doc__ == "Context manager to capture stdout and save to log file."
    assert [cls.__init__.__qualname__, cls.get_logs.__qualname__] == ["LogCapture.__init__", "LogCapture.get_logs"]
    assert cls.__init__.__annotations__ == {"log_path": "Path"}
    assert cls.get_logs.__annotations__ == {"return": "str"}
    assert cls.get_logs.__doc__ == "Get the captured log content."
    assert cls.__exit__.__doc__ is None
    capture = cls("x.log")
    assert vars(capture) == {"log_path": "x.log", "captured": capture.captured, "original_stdout": None}
    assert isinstance(capture.captured, io.StringIO)
    assert capture.get_logs.__self__ is capture and capture.get_logs() == ""
    assert cls.get_logs(capture) == ""


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda c: c(), "__init__() takes exactly 2 positional arguments (1 given)"),
        (lambda c: c("a", "b"), "__init__() takes exactly 2 positional arguments (3 given)"),
        (lambda c: c("a").__exit__(None, None), "__exit__() takes exactly 4 positional arguments (3 given)"),
        (lambda c: c("a").get_logs(1), "get_logs() takes exactly 1 positional argument (2 given)"),
        (lambda c: c(log_path="a", path="b"), "__init__() got an unexpected keyword argument 'path'"),
    ],
)
def test_log_capture_binding(fitrun, call, message):
    with pytest.raises(TypeError) as info:
        call(fitrun.LogCapture)
    assert str(info.value) == message


@pytest.mark.parametrize("text", ["", "word\n", "ünïcødé ✓ 日本\n", "no newline", "a\r\nb\n"])
def test_log_capture_writes_exactly_what_was_printed(fitrun, tmp_path, capsys, text):
    log = tmp_path / "run.log"
    before = sys.stdout
    with fitrun.LogCapture(log) as capture:
        assert sys.stdout is capture.captured
        sys.stdout.write(text)
    assert sys.stdout is before
    assert capsys.readouterr().out == ""
    assert log.read_bytes() == text.encode("utf-8")
    assert capture.get_logs() == text


def test_log_capture_on_exception(fitrun, tmp_path):
    log = tmp_path / "run.log"
    before = sys.stdout
    with pytest.raises(KeyError) as info:
        with fitrun.LogCapture(log):
            print("before the failure")
            raise KeyError("boom")
    assert sys.stdout is before
    assert log.read_text() == "before the failure\n"
    assert info.value.args == ("boom",)


def test_log_capture_write_failure_restores_stdout_first(fitrun, tmp_path):
    before = sys.stdout
    with pytest.raises(FileNotFoundError) as info:
        with fitrun.LogCapture(tmp_path / "missing" / "run.log"):
            raise ValueError("in flight")
    assert sys.stdout is before
    assert isinstance(info.value.__context__, ValueError)
    assert "quelmar.tools.fitrun.LogCapture.__exit__" in [n for n, _ in entries(info.value)]


def test_log_capture_reentry_appends(fitrun, tmp_path):
    log = tmp_path / "run.log"
    capture = fitrun.LogCapture(log)
    with capture:
        print("one")
    with capture:
        print("two")
    assert log.read_text() == "one\ntwo\n" == capture.get_logs()


def test_log_capture_get_logs_type(fitrun):
    capture = fitrun.LogCapture("x")
    capture.captured = type("B", (), {"getvalue": lambda self: b"bytes"})()
    with pytest.raises(TypeError, match="^Expected str, got bytes$"):
        capture.get_logs()


def test_log_is_utf8_whatever_the_locale(run_python, tmp_path):
    log = tmp_path / "locale.log"
    out = run_python(f"""
        import locale
        import quelmar.tools.fitrun as fitrun
        print(locale.getpreferredencoding(False))
        with fitrun.LogCapture({str(log)!r}):
            print("gr\\u00fc\\u00dfe \\u2713")
    """, pipeline=False, env={"LC_ALL": "C", "LANG": "C", "PYTHONUTF8": "0", "PATH": "/usr/bin:/bin"})
    assert out.strip().lower() in ("ansi_x3.4-1968", "ascii", "us-ascii")
    assert log.read_bytes() == "gr\u00fc\u00dfe \u2713\n".encode("utf-8")


# -- imports ------------------------------------------------------------------------

def test_import_without_the_pipeline(run_python):
    out = run_python("""
        import sys
        sys.modules["quelmar.tools.ordane.main"] = None
        try:
            import quelmar.tools.fitrun
        except ImportError as e:
            print(type(e).__name__, e, sep="|")
            print(e.__cause__, "quelmar.tools.fitrun" in sys.modules)
    """)
    assert out.splitlines() == ["ModuleNotFoundError|import of quelmar.tools.ordane.main halted; None in sys.modules",
                                "None False"]
