"""Task-augmented training calls (protocol version 2025-11-25).

A client that sends ``tools/call`` for the training tool with a ``task``
field gets a task at once (``CreateTaskResult``) instead of waiting for the
result; it follows the task with ``tasks/get`` or ``tasks/list``, fetches the
result with ``tasks/result`` (which waits for the end of the run) and stops
it with ``tasks/cancel``. The training runs in the training worker exactly as
an ordinary call; its status message tells the epochs done. A task is kept
for its time to live (the client's request, at most a day; an hour by
default) after it was created, then dropped once it has finished.

A task belongs to the session that created it: another session (over HTTP)
gets "Unknown task id" for it, and ``tasks/list`` shows each session its own
tasks only, PAGE_SIZE at a time with a cursor for the next page. The store
holds at most MAX_TASKS tasks: when it is full, the oldest finished task is
dropped for a new one; when none has finished, the new call is refused.

The SDK knows the task messages but does not dispatch them, so the host
registers handlers for the ``tasks/*`` methods and answers a task-augmented
``tools/call`` in a server middleware, ahead of the SDK's result check for
ordinary calls.
"""

from __future__ import annotations

import uuid
from dataclasses import dataclass, field
from datetime import UTC, datetime
from time import monotonic
from typing import TYPE_CHECKING, Any

import anyio
import anyio.abc
import mcp_types as types
from mcp.server.context import ServerRequestContext
from mcp.shared.exceptions import MCPError

from quelmar.host.pool import Job, Outcome
from quelmar.host.registry import tool_entry

if TYPE_CHECKING:
    from mcp.server.lowlevel import Server

    from quelmar.host.server import ToolHost

__all__ = ["TASKS_VERSION", "TaskStore"]

TASKS_VERSION = "2025-11-25"
"""The protocol version that has tasks."""

DEFAULT_TTL_MS = 3_600_000
MAX_TTL_MS = 86_400_000
POLL_INTERVAL_MS = 2000
RELATED_TASK = "io.modelcontextprotocol/related-task"
TERMINAL = ("completed", "failed", "cancelled")
MAX_TASKS = 1000
"""Most tasks the host keeps, of all sessions together."""
PAGE_SIZE = 50
"""Tasks in one tasks/list reply."""


def _now() -> str:
    return datetime.now(UTC).isoformat().replace("+00:00", "Z")


@dataclass(eq=False)
class TaskRecord:
    """One task: its job and what the client can see of it."""

    task_id: str
    job: Job | None
    ttl: int
    owner: Any = None
    """The connection (session) that created the task."""
    number: int = 0
    """Order of creation, for tasks/list cursors."""
    status: str = "working"
    status_message: str | None = None
    created_at: str = field(default_factory=_now)
    last_updated_at: str = field(default_factory=_now)
    started: float = field(default_factory=monotonic)
    outcome: Outcome | None = None
    finished: anyio.Event = field(default_factory=anyio.Event)

    def update(self, status: str, message: str | None = None) -> None:
        if self.status in TERMINAL:
            return
        self.status, self.status_message, self.last_updated_at = status, message, _now()
        if status in TERMINAL:
            self.finished.set()

    def wire(self) -> dict[str, Any]:
        return {
            "task_id": self.task_id,
            "status": self.status,
            "status_message": self.status_message,
            "created_at": self.created_at,
            "last_updated_at": self.last_updated_at,
            "ttl": self.ttl,
            "poll_interval": POLL_INTERVAL_MS,
        }


class TaskStore:
    """The tasks of one host."""

    def __init__(self, max_tasks: int = MAX_TASKS, page_size: int = PAGE_SIZE) -> None:
        self.tasks: dict[str, TaskRecord] = {}
        self.max_tasks, self.page_size = max_tasks, page_size
        self._created = 0
        self._tg: anyio.abc.TaskGroup | None = None
        self._host: ToolHost | None = None

    def attach(self, tg: anyio.abc.TaskGroup) -> None:
        """Follow the tasks' jobs in ``tg`` (the host's task group)."""
        self._tg = tg

    @staticmethod
    def capability() -> types.ServerTasksCapability:
        return types.ServerTasksCapability(
            list=types.TasksListCapability(),
            cancel=types.TasksCancelCapability(),
            requests=types.ServerTasksRequestsCapability(tools=types.TasksToolsCapability(call=types.TasksCallCapability())),
        )

    def install(self, server: Server[Any], host: ToolHost) -> None:
        """Register the tasks/* handlers and the middleware for task-augmented calls."""
        self._host = host
        server.add_request_handler("tasks/get", types.GetTaskRequestParams, self.get)
        server.add_request_handler("tasks/result", types.GetTaskPayloadRequestParams, self.result)
        server.add_request_handler("tasks/list", types.PaginatedRequestParams, self.list)
        server.add_request_handler("tasks/cancel", types.CancelTaskRequestParams, self.cancel)
        server.middleware.append(self.middleware)

    # -- creating ---------------------------------------------------------

    async def middleware(self, ctx: ServerRequestContext[Any], call_next: Any) -> Any:
        params = ctx.params
        if ctx.method != "tools/call" or not isinstance(params, dict) or params.get("task") is None:
            return await call_next(ctx)
        if ctx.protocol_version != TASKS_VERSION:
            return await call_next(ctx)  # no tasks in this version: an ordinary call
        call = types.CallToolRequestParams.model_validate(params, by_name=False)
        assert self._host is not None
        entry = tool_entry(call.name)
        if entry is not None and not entry.serialised:
            raise MCPError(
                code=types.INVALID_PARAMS,
                message=f"{call.name} does not support task-augmented calls (only execute_fitrun does)",
            )
        self._make_room()
        requested = call.task.ttl if call.task is not None and call.task.ttl is not None else DEFAULT_TTL_MS
        self._created += 1
        record = TaskRecord(
            uuid.uuid4().hex, None, max(1000, min(int(requested), MAX_TTL_MS)), _owner(ctx), self._created
        )
        record.job = await self._host.start(ctx, call)
        if record.job.done.is_set():  # refused by the policy, or the lane is full
            assert record.job.outcome is not None
            self._finish(record, record.job.outcome)
        else:
            assert self._tg is not None
            self._tg.start_soon(self._follow, record)
        self.tasks[record.task_id] = record
        return types.CreateTaskResult(task=types.Task(**record.wire()))

    def _make_room(self) -> None:
        """Drop expired tasks, then the oldest finished ones while the store is full."""
        self._expire()
        if len(self.tasks) < self.max_tasks:
            return
        for task_id, record in list(self.tasks.items()):  # in order of creation
            if record.status in TERMINAL:
                del self.tasks[task_id]
                if len(self.tasks) < self.max_tasks:
                    return
        raise MCPError(
            code=types.INVALID_REQUEST,
            message=f"The host is busy: {len(self.tasks)} tasks are running or waiting; try again later.",
        )

    def _finish(self, record: TaskRecord, outcome: Outcome) -> None:
        record.outcome, record.job = outcome, None
        if outcome.error is None:
            record.update("completed", "the training has finished")
        else:
            record.update("failed", outcome.error)

    async def _follow(self, record: TaskRecord) -> None:
        job = record.job
        assert job is not None
        while not job.done.is_set():
            async with anyio.create_task_group() as tg:

                async def progress() -> None:
                    await job.changed.wait()
                    tg.cancel_scope.cancel()

                tg.start_soon(progress)
                await job.done.wait()
                tg.cancel_scope.cancel()
            if job.progress is not None and not job.done.is_set():
                job.changed = anyio.Event()
                record.update("working", f"epoch {job.progress[0]} of {job.progress[1]}")
        assert job.outcome is not None
        if record.status == "cancelled":
            record.outcome, record.job = job.outcome, None
        else:
            self._finish(record, job.outcome)

    def _expire(self) -> None:
        now = monotonic()
        for task_id, record in list(self.tasks.items()):
            if record.status in TERMINAL and now - record.started > record.ttl / 1000:
                del self.tasks[task_id]

    def _record(self, ctx: ServerRequestContext[Any], task_id: str) -> TaskRecord:
        self._expire()
        record = self.tasks.get(task_id)
        if record is None or record.owner is not _owner(ctx):
            raise MCPError(code=types.INVALID_PARAMS, message=f"Unknown task id: {task_id}")
        return record

    # -- handlers ---------------------------------------------------------

    async def get(self, ctx: ServerRequestContext[Any], params: types.GetTaskRequestParams) -> types.GetTaskResult:
        return types.GetTaskResult(**self._record(ctx, params.task_id).wire())

    async def list(self, ctx: ServerRequestContext[Any], params: types.PaginatedRequestParams) -> types.ListTasksResult:
        self._expire()
        after = 0
        if params is not None and params.cursor is not None:
            if not params.cursor.isdigit():
                raise MCPError(code=types.INVALID_PARAMS, message="Invalid params for tasks/list: unknown cursor")
            after = int(params.cursor)
        owner = _owner(ctx)
        mine = [r for r in self.tasks.values() if r.owner is owner and r.number > after]
        page = mine[: self.page_size]
        cursor = str(page[-1].number) if len(mine) > len(page) else None
        return types.ListTasksResult(tasks=[types.Task(**record.wire()) for record in page], next_cursor=cursor)

    async def result(self, ctx: ServerRequestContext[Any], params: types.GetTaskPayloadRequestParams) -> dict[str, Any]:
        record = self._record(ctx, params.task_id)
        await record.finished.wait()
        if record.status == "cancelled":
            raise MCPError(code=types.INVALID_PARAMS, message=f"Task {record.task_id} was cancelled")
        assert record.outcome is not None and self._host is not None
        payload = self._host.result(record.outcome).model_dump(by_alias=True, mode="json", exclude_none=True)
        payload["_meta"] = {RELATED_TASK: {"taskId": record.task_id}}
        return payload

    async def cancel(self, ctx: ServerRequestContext[Any], params: types.CancelTaskRequestParams) -> types.CancelTaskResult:
        record = self._record(ctx, params.task_id)
        if record.status in TERMINAL:
            raise MCPError(
                code=types.INVALID_PARAMS,
                message=f"Cannot cancel task {record.task_id}: it is already {record.status}",
            )
        record.update("cancelled", "cancelled by the client")
        if record.job is not None:
            record.job.stop("cancelled")
        return types.CancelTaskResult(**record.wire())


def _owner(ctx: ServerRequestContext[Any]) -> Any:
    """The session a request came in on: its connection (over stdio, the one connection)."""
    return getattr(ctx.session, "_connection", None)
