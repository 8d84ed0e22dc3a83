"""The CSV dimensions tool."""
import pathlib
import sys
import traceback

import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quelmar.tools.tabextent as tabextent
from helpers import S, assert_refcounts_stable

extent = tabextent.execute_tabextent
QUAL = "quelmar.tools.tabextent.execute_tabextent"
NOTE = ("Note that Cython is deliberately stricter than PEP-484 and rejects subclasses of builtin types. "
        "If you need to pass subclasses then set the 'annotation_typing' directive to False.")




def tool_entries(exc):
    return [(f.filename, f.lineno) for f in traceback.extract_tb(exc.__traceback__) if f.name == QUAL]


@pytest.mark.parametrize(
    "text, expected",
    [
        ("a,b\n1,2\n3,4\n", {"rows": 2, "columns": 2, "column_names": ["a", "b"]}),
        ("x,y,z\n", {"rows": 0, "columns": 3, "column_names": ["x", "y", "z"]}),
        ("only\n1\n2\n3", {"rows": 3, "columns": 1, "column_names": ["only"]}),
        ("ä,€\n1,2\n", {"rows": 1, "columns": 2, "column_names": ["ä", "€"]}),
    ],
)
def test_csv_text(text, expected):
    result = extent(csv_content=text)
    assert result == expected
    assert list(result) == ["rows", "columns", "column_names"]


def test_file_path_positional_and_large_input(tmp_path):
    path = tmp_path / "big.csv"
    path.write_text("i,sq\n" + "".join(f"{i},{i * i}\n" for i in range(200_000)))
    assert extent(str(path)) == {"rows": 200_000, "columns": 2, "column_names": ["i", "sq"]}


@pytest.mark.parametrize(
    "args, kwargs, exc, message, line",
    [
        ((), {}, ValueError, "Either 'file_path' or 'csv_content' must be provided", 38),
        ((None, None), {}, ValueError, "Either 'file_path' or 'csv_content' must be provided", 38),
        (("", ""), {}, ValueError, "Provide only one of 'file_path' or 'csv_content', not both", 43),
        (("a.csv",), {"csv_content": "a\n1"}, ValueError,
         "Provide only one of 'file_path' or 'csv_content', not both", 43),
        ((1, 2, 3), {}, TypeError, "execute_tabextent() takes at most 2 positional arguments (3 given)", 14),
        ((), {"path": "x"}, TypeError, "execute_tabextent() got an unexpected keyword argument 'path'", 14),
        (("x",), {"file_path": "y"}, TypeError,
         "execute_tabextent() got multiple values for keyword argument 'file_path'", 14),
    ],
)
def test_refused_calls(args, kwargs, exc, message, line):
    with pytest.raises(exc) as info:
        extent(*args, **kwargs)
    assert str(info.value) == message
    assert tool_entries(info.value) == [("quelmar/tools/tabextent.py", line)]


@pytest.mark.parametrize(
    "kwargs, message, note",
    [
        ({"file_path": pathlib.Path("x.csv")}, "Argument 'file_path' has incorrect type (expected str, got PosixPath)",
         False),
        ({"file_path": 1, "csv_content": "a\n1"}, "Argument 'file_path' has incorrect type (expected str, got int)",
         False),
        ({"file_path": 1, "csv_content": 2}, "Argument 'file_path' has incorrect type (expected str, got int)", False),
        ({"csv_content": b"a\n1"}, "Argument 'csv_content' has incorrect type (expected str, got bytes)", False),
        ({"csv_content": S("a\n1")}, "Argument 'csv_content' has incorrect type (expected str, got S)", True),
    ],
)
def test_argument_type_errors(kwargs, message, note):
    with pytest.raises(TypeError) as info:
        extent(**kwargs)
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) == ([NOTE] if note else None)
    assert tool_entries(info.value) == []


@pytest.mark.parametrize(
    "kwargs, exc, line",
    [
        ({"csv_content": ""}, pd.errors.EmptyDataError, 59),
        ({"file_path": "/nonexistent/table.csv"}, FileNotFoundError, 53),
        ({"file_path": ""}, FileNotFoundError, 53),
        ({"csv_content": 'a,b\n"1,2\n'}, pd.errors.ParserError, 59),
    ],
)
def test_pandas_errors_pass_through(kwargs, exc, line):
    with pytest.raises(exc) as info:
        extent(**kwargs)
    assert type(info.value) is exc
    assert tool_entries(info.value) == [("quelmar/tools/tabextent.py", line)]


def test_module_body():
    assert tabextent.__doc__ == "CSV dimensions tool - Cython-compiled module."
    assert tabextent.__test__ == {}
    assert tabextent.pd is sys.modules["pandas"]
    assert tabextent.io is sys.modules["io"]
    assert extent.__qualname__ == "execute_tabextent" and extent.__module__ == "quelmar.tools.tabextent"
    assert extent.__doc__.startswith("\n    Get the dimensions (rows, columns) of a CSV file.\n\n")
    assert extent.__doc__.endswith("        pd.errors.EmptyDataError: If CSV is empty\n    ")


def test_rebound_globals_are_used_at_call_time():
    saved = tabextent.pd

    class FakeFrame:
        shape = (7, 1, 0)
        columns = None

    tabextent.pd = type("P", (), {"read_csv": staticmethod(lambda src: FakeFrame())})
    try:
        with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 2\)$") as info:
            extent(csv_content="a")
        assert tool_entries(info.value) == [("quelmar/tools/tabextent.py", 62)]
        FakeFrame.shape = iter([1])
        with pytest.raises(ValueError, match=r"^need more than 1 value to unpack$"):
            extent(csv_content="a")
        FakeFrame.shape = (3, 2)
        with pytest.raises(AttributeError) as info:
            extent(csv_content="a")
        assert tool_entries(info.value) == [("quelmar/tools/tabextent.py", 63)]
    finally:
        tabextent.pd = saved


def test_argument_references_are_released(tmp_path):
    text, missing, bad = "a,b\n1,2\n", str(tmp_path / "missing.csv"), S("x")

    calls = [lambda: extent(csv_content=text)] + [
        lambda kwargs=kwargs: extent(**kwargs)
        for kwargs in ({"file_path": missing}, {"csv_content": bad}, {"file_path": text, "csv_content": text})
    ]
    # The warm-up round fills pandas' path caches.
    assert_refcounts_stable((text, missing, bad), calls, expected=(TypeError, ValueError, FileNotFoundError))


values = st.one_of(st.none(), st.text(max_size=30), st.builds(S, st.text(max_size=5)), st.integers(),
                   st.binary(max_size=5), st.floats(), st.lists(st.text(max_size=3), max_size=2))


@settings(max_examples=200, deadline=None)
@given(args=st.lists(values, max_size=3),
       kwargs=st.dictionaries(st.sampled_from(["file_path", "csv_content", "path"]) | st.text(max_size=3), values,
                              max_size=3))
def test_fuzz_arguments(args, kwargs):
    try:
        result = extent(*args, **kwargs)
    except (TypeError, ValueError, OSError, pd.errors.EmptyDataError, pd.errors.ParserError, UnicodeError):
        return
    assert list(result) == ["rows", "columns", "column_names"]
    assert result["columns"] == len(result["column_names"])
