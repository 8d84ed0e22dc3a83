"""The MCP server that offers quelmar's tool functions.

How a request is served:

* ``initialize`` is answered by the SDK at once: nothing here imports a tool
  module at start-up.
* ``tools/list`` imports the five tool modules the first time it is asked (in
  a worker thread, since importing one pulls in JAX, pandas or the training
  pipeline), so that each tool's description is its function's own docstring.
  The docstrings are kept; later listings import nothing. A module that
  cannot be imported is still listed, with a short description that says why
  it is unavailable, and its import is tried again at the next listing.
* ``tools/call`` imports the tool's module on first use, then calls the
  function in a worker thread with the arguments as keywords. Training calls
  never overlap: the training tool captures ``sys.stdout`` for its log file,
  which is interpreter-wide. While a call runs, progress notifications are
  sent every few seconds to a client that asked for them.
* A returned value comes back as structured content (an object: a
  dictionary result as it is, anything else under ``"result"``) and as the
  same JSON in a text block. An exception comes back as a tool error whose
  text is the exception's type and message.
"""

from __future__ import annotations

import importlib
import inspect
import json
import logging
import math
import os
import threading
import time
from collections.abc import Callable, Mapping
from importlib import metadata
from typing import Any

import anyio
import anyio.to_thread
import mcp_types as types
from mcp.server.context import ServerRequestContext
from mcp.server.lowlevel import Server
from mcp.shared.exceptions import MCPError

from quelmar.host.schemas import TOOLS, ToolEntry, tool_entry

__all__ = ["DEFAULT_PROGRESS_INTERVAL", "ToolHost", "error_text", "to_jsonable"]

logger = logging.getLogger("quelmar.host")

DEFAULT_PROGRESS_INTERVAL = 5.0
"""Seconds between two progress notifications of a running call."""

SERVER_NAME = "quelmar"

INSTRUCTIONS = (
    "Tools of the quelmar package: single-precision arithmetic with JAX "
    "(execute_plusor, execute_timesor, execute_minusor), the dimensions of a CSV "
    "table (execute_tabextent) and model training from CSV data (execute_fitrun). "
    "A training call can take minutes; it writes a log file whose path it returns."
)


def _version() -> str:
    try:
        return metadata.version("quelmar")
    except metadata.PackageNotFoundError:
        return "0"


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


def _success(value: Any) -> types.CallToolResult:
    plain = to_jsonable(value)
    structured = plain if isinstance(plain, dict) else {"result": plain}
    text = json.dumps(structured, ensure_ascii=False)
    return types.CallToolResult(content=[types.TextContent(text=text)], structured_content=structured)


def _failure(text: str) -> types.CallToolResult:
    return types.CallToolResult(content=[types.TextContent(text=text)], is_error=True)


class ToolHost:
    """Imports the tool modules on demand and runs their functions.

    One instance serves one connection; ``build_server`` gives the SDK server
    that dispatches to it.
    """

    def __init__(self, *, progress_interval: float = DEFAULT_PROGRESS_INTERVAL) -> None:
        self.progress_interval = progress_interval
        self._descriptions: dict[str, str] = {}
        self._listing_lock = anyio.Lock()
        # Held by the worker thread for the whole training call, so a call that
        # the client gave up on still keeps the next one waiting until it ends.
        self._serial_lock = threading.Lock()

    # -- tool functions -------------------------------------------------

    @staticmethod
    def function(entry: ToolEntry) -> Callable[..., Any]:
        """Import the tool's module (once) and return its function."""
        module = importlib.import_module(entry.module)
        return getattr(module, entry.name)

    def _describe(self, entry: ToolEntry) -> str:
        """Runs in a worker thread: the tool's description, importing its module."""
        cached = self._descriptions.get(entry.name)
        if cached is not None:
            return cached
        try:
            doc = self.function(entry).__doc__
        except Exception as exc:
            logger.warning("%s is unavailable: %s", entry.module, error_text(exc))
            return f"{entry.summary}\n\nUnavailable on this installation: {error_text(exc)}"
        description = inspect.cleandoc(doc) if doc else entry.summary
        self._descriptions[entry.name] = description
        return description

    def _describe_all(self) -> list[str]:
        return [self._describe(entry) for entry in TOOLS]

    # -- handlers -------------------------------------------------------

    async def list_tools(
        self, ctx: ServerRequestContext[Any], params: types.PaginatedRequestParams | None
    ) -> types.ListToolsResult:
        async with self._listing_lock:
            if len(self._descriptions) == len(TOOLS):
                descriptions = [self._descriptions[entry.name] for entry in TOOLS]
            else:
                descriptions = await anyio.to_thread.run_sync(self._describe_all)
        return types.ListToolsResult(
            tools=[_tool(entry, description) for entry, description in zip(TOOLS, descriptions, strict=True)]
        )

    async def call_tool(
        self, ctx: ServerRequestContext[Any], params: types.CallToolRequestParams
    ) -> types.CallToolResult:
        entry = tool_entry(params.name)
        if entry is None:
            raise MCPError(code=types.INVALID_PARAMS, message=f"Unknown tool: {params.name}")
        arguments = dict(params.arguments or {})
        try:
            value = await self._run(ctx, entry, arguments)
        except Exception as exc:
            logger.info("%s failed: %s", entry.name, error_text(exc))
            return _failure(error_text(exc))
        try:
            return _success(value)
        except Exception as exc:  # a result that cannot be put into JSON at all
            logger.exception("%s returned a result that cannot be sent", entry.name)
            return _failure(f"{entry.name} returned a result that cannot be sent: {error_text(exc)}")

    async def _run(self, ctx: ServerRequestContext[Any], entry: ToolEntry, arguments: dict[str, Any]) -> Any:
        def work() -> Any:
            function = self.function(entry)
            if not entry.serialised:
                return function(**arguments)
            with self._serial_lock:
                return function(**arguments)

        # A call that the client cancels is left to finish in its thread.
        if not _wants_progress(ctx):
            return await anyio.to_thread.run_sync(work, abandon_on_cancel=True)
        outcome: list[Any] = []
        async with anyio.create_task_group() as tg:
            tg.start_soon(self._report_progress, ctx, entry)
            try:
                outcome.append(await anyio.to_thread.run_sync(work, abandon_on_cancel=True))
            except Exception as exc:  # re-raised below, outside the task group
                outcome.append(exc)
            finally:
                tg.cancel_scope.cancel()
        if isinstance(outcome[0], Exception):
            raise outcome[0]
        return outcome[0]

    async def _report_progress(self, ctx: ServerRequestContext[Any], entry: ToolEntry) -> None:
        started = time.monotonic()
        while True:
            await anyio.sleep(self.progress_interval)
            elapsed = time.monotonic() - started
            try:
                await ctx.session.report_progress(
                    round(elapsed, 1), None, f"{entry.name} running for {elapsed:.0f} s"
                )
            except Exception:  # the connection is going away; the call decides
                logger.debug("progress notification for %s not sent", entry.name, exc_info=True)
                return

    def build_server(self) -> Server[Any]:
        """The SDK server whose tool handlers are this host's."""
        return Server(
            SERVER_NAME,
            version=_version(),
            title="quelmar tools",
            instructions=INSTRUCTIONS,
            get_tool_input_schema=_input_schema,
            on_list_tools=self.list_tools,
            on_call_tool=self.call_tool,
        )


def _wants_progress(ctx: ServerRequestContext[Any]) -> bool:
    return (ctx.meta or {}).get("progress_token") is not None


def _input_schema(name: str) -> dict[str, Any] | None:
    entry = tool_entry(name)
    return entry.input_schema if entry else None


def _tool(entry: ToolEntry, description: str) -> types.Tool:
    return types.Tool(
        name=entry.name,
        title=entry.title,
        description=description,
        input_schema=entry.input_schema,
        output_schema=entry.output_schema,
        annotations=types.ToolAnnotations(
            title=entry.title,
            read_only_hint=entry.read_only,
            destructive_hint=False,
            idempotent_hint=entry.read_only,
            open_world_hint=False,
        ),
    )
