"""The stdio transport of the host: one JSON-RPC message per line.

Built on the process's protocol descriptors (see ``quelmar.host.stdio``), it
hands well-formed messages to the SDK and answers what the SDK would drop
without a word, so that every message that carries an ``id`` gets a
response:

* a line that is not JSON: -32700 (parse error), ``id`` null;
* a batch (a JSON array): -32600 for each request in it, since the protocol
  versions served here have no batches (one error with ``id`` null when
  none of its members has an ``id``);
* anything else that is not a JSON-RPC 2.0 message (``jsonrpc`` other than
  "2.0", a ``method`` that is not a string, an ``id`` that is neither a string
  nor an integer): -32600 (invalid request);
* ``params`` that is not an object: -32602 (invalid params);
* text that holds a lone surrogate escape (``"\\ud800"``), which is not
  Unicode and cannot be echoed in a reply: -32600 when it is in the
  ``method`` or the ``id`` (the reply then has ``id`` null), -32602 when it
  is in the ``params``;
* a line longer than the host's limit: -32600, ``id`` null; the line is
  skipped while it is read, never held whole.

Whatever goes wrong while one message is handled is answered (or logged)
and the host reads on; a reply that still cannot be encoded is written with
its unencodable characters escaped.

The input is read without blocking the event loop and without a thread, so
that a signal or the end of the input stops the host at once.
"""

from __future__ import annotations

import json
import logging
import os
from collections.abc import AsyncIterator
from contextlib import asynccontextmanager
from typing import Any, BinaryIO

import anyio
import anyio.abc
import anyio.to_thread
import mcp_types as types
from mcp.shared.message import SessionMessage

__all__ = ["DEFAULT_MAX_LINE_BYTES", "has_lone_surrogate", "screen", "stdio_transport"]

logger = logging.getLogger("quelmar.host")

PARSE_ERROR, INVALID_REQUEST, INVALID_PARAMS = -32700, -32600, -32602
READ_SIZE = 1 << 16
DEFAULT_MAX_LINE_BYTES = 512 * 1024 * 1024
"""Longest message line the host reads (a large csv_content, JSON-escaped, fits)."""
MAX_DEPTH = 64
"""Deepest nesting searched for lone surrogates (deeper JSON is refused as well)."""


class LineTooLong(bytes):
    """What ``_lines`` yields in place of a line over the limit (its first bytes)."""


def has_lone_surrogate(value: Any, depth: int = 0) -> bool:
    """Whether any text in a parsed JSON value (keys included) holds a lone surrogate.

    Nesting deeper than MAX_DEPTH counts as such: no message of the protocol
    is that deep, and the search stays bounded.
    """
    if isinstance(value, str):
        return _surrogate(value)
    if depth > MAX_DEPTH:
        return isinstance(value, (dict, list))
    if isinstance(value, dict):
        return any(_surrogate(k) or has_lone_surrogate(v, depth + 1) for k, v in value.items())
    if isinstance(value, list):
        return any(has_lone_surrogate(v, depth + 1) for v in value)
    return False


def _surrogate(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return True
    return False


def _error(request_id: Any, code: int, message: str) -> dict[str, Any]:
    return {"jsonrpc": "2.0", "id": request_id, "error": {"code": code, "message": message}}


def _usable_id(message: Any) -> Any:
    """The message's id if a response can carry it, else None."""
    if isinstance(message, dict):
        value = message.get("id")
        if isinstance(value, (str, int)) and not isinstance(value, bool):
            return value
    return None


def screen(line: bytes | str) -> tuple[SessionMessage | None, list[dict[str, Any]]]:
    """One input line: the message for the SDK, or the error responses to send instead."""
    try:
        raw = json.loads(line)
    except (ValueError, UnicodeDecodeError, RecursionError) as exc:
        return None, [_error(None, PARSE_ERROR, f"Parse error: the line is not valid JSON ({exc})")]
    if isinstance(raw, list):
        text = "Invalid Request: batches (JSON arrays) are not supported; send one message per line"
        ids = [_usable_id(member) for member in raw if isinstance(member, dict) and "method" in member]
        answers = [_error(i, INVALID_REQUEST, text) for i in ids if i is not None]
        return None, answers or [_error(None, INVALID_REQUEST, text)]
    if not isinstance(raw, dict):
        return None, [_error(None, INVALID_REQUEST, "Invalid Request: a message must be a JSON object")]
    problem = _problem(raw)
    if problem is None and has_lone_surrogate(raw):
        if _surrogate(str(raw.get("method", ""))) or has_lone_surrogate(raw.get("id")):
            raw = {k: v for k, v in raw.items() if k != "id"} | {"id": None} if "id" in raw else raw
            problem = INVALID_REQUEST, "Invalid Request: the method or the id holds text that is not valid Unicode"
        else:
            problem = INVALID_PARAMS, (
                "Invalid params: a text value holds a lone surrogate escape (e.g. \\ud800), which is not valid "
                "Unicode, or the params are nested too deeply"
            )
    if problem is None:
        try:
            return SessionMessage(types.jsonrpc_message_adapter.validate_python(raw, by_name=False)), []
        except (ValueError, RecursionError) as exc:
            problem = (INVALID_REQUEST, f"Invalid Request: {_first_error(exc)}")
    is_request = "method" in raw and "id" in raw
    if not is_request and not (set(raw) & {"method", "result", "error"}) and "id" in raw:
        is_request = True  # an unknown shape with an id: answer it
    if not is_request:
        logger.warning("dropped a malformed notification or response: %s", problem[1])
        return None, []
    return None, [_error(_usable_id(raw), *problem)]


def _problem(raw: dict[str, Any]) -> tuple[int, str] | None:
    if raw.get("jsonrpc") != "2.0":
        return INVALID_REQUEST, f'Invalid Request: "jsonrpc" must be "2.0", got {json.dumps(raw.get("jsonrpc"))}'
    if "method" in raw:
        if not isinstance(raw["method"], str):
            return INVALID_REQUEST, 'Invalid Request: "method" must be a string'
        if "id" in raw and _usable_id(raw) is None:
            return INVALID_REQUEST, 'Invalid Request: "id" must be a string or an integer'
        if "params" in raw and not isinstance(raw["params"], dict):
            kind = "an array" if isinstance(raw["params"], list) else type(raw["params"]).__name__
            return INVALID_PARAMS, f'Invalid params: "params" must be an object (named parameters), got {kind}'
    elif not ({"result", "error"} & set(raw)):
        return INVALID_REQUEST, 'Invalid Request: a message needs a "method" (request) or a "result" or "error"'
    return None


def _first_error(exc: Exception) -> str:
    errors = getattr(exc, "errors", None)
    if callable(errors):
        try:
            first = errors()[0]
            where = ".".join(str(p) for p in first.get("loc", ()))
            return f"{where}: {first.get('msg')}" if where else str(first.get("msg"))
        except Exception:
            pass
    return str(exc).splitlines()[0]


async def _lines(fd: int, limit: int = DEFAULT_MAX_LINE_BYTES) -> AsyncIterator[bytes]:
    """The lines of fd, read as they arrive (the last one even without a newline).

    A line longer than ``limit`` bytes is dropped while it is read: a
    ``LineTooLong`` (its first bytes) comes in its place.
    """
    waits = True
    try:
        os.set_blocking(fd, False)
    except OSError:
        waits = False
    pending: list[bytes] = []  # the pieces of the line being read
    size = 0  # bytes in pending
    skipping: LineTooLong | None = None  # the start of a line over the limit, while its rest is read
    while True:
        try:
            chunk = os.read(fd, READ_SIZE) if waits else await anyio.to_thread.run_sync(
                os.read, fd, READ_SIZE, abandon_on_cancel=True
            )
        except BlockingIOError:
            try:
                await anyio.wait_readable(fd)
            except (OSError, ValueError, NotImplementedError):  # e.g. a regular file: epoll refuses it
                waits = False
            continue
        if not chunk:
            break
        while chunk:
            head, newline, chunk = chunk.partition(b"\n")  # only new data is searched: linear time
            if skipping is None:
                size += len(head)
                if size > limit:
                    skipping = LineTooLong((pending[0] if pending else head)[:64])
                    pending, size = [], 0
                else:
                    pending.append(head)
            if not newline:
                break
            if skipping is not None:
                yield skipping
                skipping = None
            else:
                yield b"".join(pending)
            pending, size = [], 0
    if skipping is not None:
        yield skipping
    last = b"".join(pending)
    if last.strip():
        yield last


def _encode(item: SessionMessage | dict[str, Any]) -> str:
    """One outgoing message as a JSON line's text (unencodable characters escaped)."""
    if isinstance(item, SessionMessage):
        try:
            return item.message.model_dump_json(by_alias=True, exclude_unset=True)
        except Exception:  # e.g. text the client sent that UTF-8 cannot hold, echoed back
            logger.warning("a reply held unencodable text; it is sent escaped", exc_info=True)
            return json.dumps(item.message.model_dump(by_alias=True, exclude_unset=True, mode="python"), default=str)
    try:
        return json.dumps(item, ensure_ascii=False).encode("utf-8").decode("utf-8")
    except (UnicodeEncodeError, ValueError, TypeError):
        return json.dumps(item, default=str)


@asynccontextmanager
async def stdio_transport(
    wire_in: BinaryIO, wire_out: BinaryIO, max_line_bytes: int = DEFAULT_MAX_LINE_BYTES
) -> AsyncIterator[tuple[Any, Any]]:
    """(read stream, write stream) for the SDK server over the protocol descriptors."""
    read_send, read_receive = anyio.create_memory_object_stream[SessionMessage | Exception](0)
    write_send, write_receive = anyio.create_memory_object_stream[SessionMessage | dict[str, Any]](16)
    fd = wire_in.fileno()

    def write(text: str) -> None:
        wire_out.write(text.encode("utf-8", "backslashreplace"))
        wire_out.flush()

    async def reader() -> None:
        async with read_send:
            async for line in _lines(fd, max_line_bytes):
                if isinstance(line, LineTooLong):
                    logger.warning("dropped a message line longer than %d bytes", max_line_bytes)
                    text = f"Invalid Request: the line is longer than the limit of {max_line_bytes} bytes"
                    await write_send.send(_error(None, INVALID_REQUEST, text))
                    continue
                if not line.strip():
                    continue
                try:
                    message, answers = screen(line)
                except Exception as exc:  # a fault of the host's own: answer, log, read on
                    logger.exception("could not examine a message line")
                    message, answers = None, [_error(None, INVALID_REQUEST, f"Invalid Request: {type(exc).__name__}")]
                for answer in answers:
                    await write_send.send(answer)
                if message is not None:
                    await read_send.send(message)

    async def writer() -> None:
        async with write_receive:
            async for item in write_receive:
                text = _encode(item)
                try:
                    await anyio.to_thread.run_sync(write, text + "\n", abandon_on_cancel=True)
                except (BrokenPipeError, OSError):
                    logger.info("the client has closed the protocol's output")
                    return

    # What the SDK writes goes to the same writer as the host's own answers.
    sdk_send, sdk_receive = anyio.create_memory_object_stream[SessionMessage](0)

    relayed, written = anyio.Event(), anyio.Event()

    async def relay() -> None:
        try:
            async with sdk_receive:
                async for message in sdk_receive:
                    await write_send.send(message)
        finally:
            relayed.set()

    async def write_all() -> None:
        try:
            await writer()
        finally:
            written.set()

    async with anyio.create_task_group() as tg:
        tg.start_soon(reader)
        tg.start_soon(write_all)
        tg.start_soon(relay)
        try:
            yield read_receive, sdk_send
        finally:
            # Let the last answers out (briefly), then stop reading and writing.
            with anyio.move_on_after(2, shield=True):
                sdk_send.close()
                await relayed.wait()
                write_send.close()
                await written.wait()
            tg.cancel_scope.cancel()
            try:
                os.set_blocking(fd, True)
            except OSError:
                pass
