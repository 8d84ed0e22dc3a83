"""Everything the host knows about each tool, one entry per tool.

An entry names the tool's module and lane (the quick workers or the one
training worker), the arguments that name files it reads (the file-access
policy checks exactly these) and those that carry file content as text,
whether the tool reports progress, and the note the host adds to its
description. The lanes, the policy's argument lists, the worker's progress
hook and the notes are all derived from here: adding a tool means an entry
here, its schemas in ``quelmar.host.schemas`` and the tool's own module.

Nothing in this module imports a tool module.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Literal

from quelmar.host.schemas import SCHEMAS

__all__ = ["TOOLS", "ToolEntry", "lane_modules", "tool_entry"]

FLOAT32_NOTE = (
    "The result is a single-precision (float32) value, so it can differ from exact decimal "
    "arithmetic in the last digits (10.5 + 3.2 gives 13.699999809265137)."
)

ARITHMETIC_WARMUP = (("a", 1.0), ("b", 2.0))


@dataclass(frozen=True)
class ToolEntry:
    """One tool: where its function lives, how it is run and what it reads."""

    name: str
    """Tool name, the same as the function's name."""
    module: str
    """Dotted name of the module that holds the function."""
    title: str
    summary: str
    """One line used as the description only while the module cannot be imported."""
    lane: Literal["quick", "training"] = "quick"
    """Where calls run: the quick workers, or the one training worker (one call at a time, in order)."""
    paths: tuple[str, ...] = ()
    """Arguments that name a file the tool reads (or, for a training, may generate)."""
    content: tuple[str, ...] = ()
    """Arguments that carry file content as text (size-limited)."""
    models: tuple[str, ...] = ()
    """Path arguments naming a saved model: its description and parameters are read in its folder."""
    generated: tuple[tuple[str, str], ...] = ()
    """Path arguments whose file the tool writes when missing, each with the flag that asks for it."""
    progress: bool = False
    """The tool reports its progress (epochs done of all) through the pipeline's progress hook."""
    note: str = ""
    """What the host adds after the docstring, beyond the derived notes (paths, training methods)."""
    read_only: bool = True
    """The tool only reads; a tool that is not read-only writes files of its own."""
    warmup: tuple[tuple[str, Any], ...] | None = None
    """Arguments of a harmless call that a worker started ahead of use makes once (JAX's first
    operations and pandas' first parse cost far more than later ones); None: no such call."""

    @property
    def input_schema(self) -> dict[str, Any]:
        return SCHEMAS[self.name][0]

    @property
    def output_schema(self) -> dict[str, Any]:
        return SCHEMAS[self.name][1]

    @property
    def serialised(self) -> bool:
        """Calls of this tool never overlap (the training tool redirects the interpreter's stdout)."""
        return self.lane == "training"


TOOLS: tuple[ToolEntry, ...] = (
    ToolEntry(
        "execute_plusor", "quelmar.tools.plusor", "Add two numbers",
        "Add two numbers in single precision with JAX.", note=FLOAT32_NOTE, warmup=ARITHMETIC_WARMUP,
    ),
    ToolEntry(
        "execute_timesor", "quelmar.tools.timesor", "Multiply two numbers",
        "Multiply two numbers in single precision with JAX (a * b).", note=FLOAT32_NOTE, warmup=ARITHMETIC_WARMUP,
    ),
    ToolEntry(
        "execute_minusor", "quelmar.tools.minusor", "Subtract two numbers",
        "Subtract b from a in single precision with JAX (a - b).", note=FLOAT32_NOTE, warmup=ARITHMETIC_WARMUP,
    ),
    ToolEntry(
        "execute_tabextent", "quelmar.tools.tabextent", "CSV table dimensions",
        "Get the number of rows and columns and the column names of a CSV table, "
        "from a file path or from CSV text (give exactly one of the two).",
        paths=("file_path",), content=("csv_content",), warmup=(("csv_content", "x,y\n1,2\n"),),
    ),
    ToolEntry(
        "execute_fitrun", "quelmar.tools.fitrun", "Train a model from CSV data",
        "Create a training configuration and execute model training on CSV data "
        "(input_col, output_col and data_train are required).",
        lane="training", paths=("data_train", "data_val", "data_test"), progress=True, read_only=False,
        generated=(("data_train", "bool_data_generation"),),
        note="Column indices (input_col, output_col, plot_in_axis, plot_out_axis) count from 0; "
        "the error values are single-precision (float32).",
    ),
    ToolEntry(
        "predict", "quelmar.host.predict", "Predict with a trained model",
        "Predict with a model saved by execute_fitrun, from a CSV file or CSV text (give exactly one of the two).",
        paths=("model_file", "file_path"), content=("csv_content",), models=("model_file",),
    ),
    ToolEntry(
        "list_models", "quelmar.host.models", "List the saved models",
        "List the models saved by training runs, with their method, columns, errors and date.",
    ),
)
"""The tools, in the order they are listed."""

_BY_NAME = {entry.name: entry for entry in TOOLS}


def tool_entry(name: Any) -> ToolEntry | None:
    """The tool of that name, or None."""
    return _BY_NAME.get(name) if isinstance(name, str) else None


def lane_modules(lane: str) -> tuple[str, ...]:
    """The modules whose tools run in that lane, each once, in listing order."""
    return tuple(dict.fromkeys(entry.module for entry in TOOLS if entry.lane == lane))
