"""Tool results as plain JSON values, and exceptions as tool-error texts.

Shared by the host (server process) and its workers; imports nothing heavy.
"""

from __future__ import annotations

import json
import math
import os
from collections.abc import Mapping
from typing import Any

__all__ = ["error_text", "to_jsonable"]


def to_jsonable(value: Any) -> Any:
    """Turn a tool's result into plain JSON values.

    Paths become strings, NumPy and JAX scalars and arrays become numbers and
    lists, tuples and sets become lists, mapping keys become strings. A float
    that JSON cannot hold (NaN, an infinity) becomes its text ("nan", "inf").
    Any other object becomes its ``str``.
    """
    if value is None or isinstance(value, (bool, str)):
        return value
    if isinstance(value, int):
        return int(value)
    if isinstance(value, float):
        return float(value) if math.isfinite(value) else str(value)
    if isinstance(value, Mapping):
        return {_json_key(k): to_jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple, set, frozenset)):
        return [to_jsonable(v) for v in value]
    if isinstance(value, os.PathLike):
        return os.fspath(value)
    if isinstance(value, (bytes, bytearray)):
        return bytes(value).decode("utf-8", errors="replace")
    # NumPy and JAX scalars and arrays: tolist() gives plain Python values.
    tolist = getattr(value, "tolist", None)
    if callable(tolist):
        try:
            plain = tolist()
        except Exception:
            plain = value
        if plain is not value:
            return to_jsonable(plain)
    if hasattr(value, "__index__"):
        return int(value.__index__())
    if hasattr(value, "__float__"):
        return to_jsonable(float(value))
    return str(value)


def _json_key(key: Any) -> str:
    plain = to_jsonable(key)
    return plain if isinstance(plain, str) else json.dumps(plain)


def error_text(exc: BaseException) -> str:
    """The text of a tool error: the exception's type and message."""
    message = str(exc)
    name = type(exc).__name__
    return f"{name}: {message}" if message else name
