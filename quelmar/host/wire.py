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
* ``params`` that is not an object: -32602 (invalid params).

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

__all__ = ["screen", "stdio_transport"]

logger = logging.getLogger("quelmar.host")

PARSE_ERROR, INVALID_REQUEST, INVALID_PARAMS = -32700, -32600, -32602
READ_SIZE = 1 << 16


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


async def _lines(fd: int) -> AsyncIterator[bytes]:
    """The lines of fd, read as they arrive (the last one even without a newline)."""
    waits = True
    try:
        os.set_blocking(fd, False)
    except OSError:
        waits = False
    pending: list[bytes] = []  # the pieces of the line being read
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
        if b"\n" not in chunk:  # only new data is searched: long lines cost linear time
            pending.append(chunk)
            continue
        first, *complete, rest = chunk.split(b"\n")
        yield b"".join([*pending, first])
        for line in complete:
            yield line
        pending = [rest] if rest else []
    last = b"".join(pending)
    if last.strip():
        yield last


@asynccontextmanager
async def stdio_transport(wire_in: BinaryIO, wire_out: BinaryIO) -> AsyncIterator[tuple[Any, Any]]:
    """(read stream, write stream) for the SDK server over the protocol descriptors."""
    read_send, read_receive = anyio.create_memory_object_stream[SessionMessage | Exception](0)
    write_send, write_receive = anyio.create_memory_object_stream[SessionMessage | dict[str, Any]](16)
    fd = wire_in.fileno()

    def write(text: str) -> None:
        wire_out.write(text.encode("utf-8"))
        wire_out.flush()

    async def reader() -> None:
        async with read_send:
            async for line in _lines(fd):
                if not line.strip():
                    continue
                message, answers = screen(line)
                for answer in answers:
                    await write_send.send(answer)
                if message is not None:
                    await read_send.send(message)

    async def writer() -> None:
        async with write_receive:
            async for item in write_receive:
                if isinstance(item, SessionMessage):
                    text = item.message.model_dump_json(by_alias=True, exclude_unset=True)
                else:
                    text = json.dumps(item)
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
