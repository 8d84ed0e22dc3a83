"""Task-augmented training calls (protocol version 2025-11-25).

A client that sends ``tools/call`` for the training tool with a ``task``
field gets a task at once (``CreateTaskResult``) instead of waiting for the
result; it follows the task with ``tasks/get`` or ``tasks/list``, fetches the
result with ``tasks/result`` (which waits for the end of the run) and stops
it with ``tasks/cancel``. The training runs in the training worker exactly as
an ordinary call; its status message tells the epochs done. A task is kept
for its time to live (the client's request, at most a day; an hour by
default) after it was created.

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

from quelmar.host.policy import Refused
from quelmar.host.pool import Busy, Job, Outcome
from quelmar.host.schemas import tool_entry

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


def _now() -> str:
    return datetime.now(UTC).isoformat().replace("+00:00", "Z")


@dataclass(eq=False)
class TaskRecord:
    """One task: its job and what the client can see of it."""

    task_id: str
    job: Job | None
    ttl: int
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

    def __init__(self) -> None:
        self.tasks: dict[str, TaskRecord] = {}
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
        requested = call.task.ttl if call.task is not None and call.task.ttl is not None else DEFAULT_TTL_MS
        record = TaskRecord(uuid.uuid4().hex, None, max(1000, min(int(requested), MAX_TTL_MS)))
        try:
            record.job = await self._host.prepare(ctx, call)
            self._host.submit(record.job)
        except Refused as exc:
            self._finish(record, Outcome(error=f"Refused by the host's file-access policy: {exc}"))
        except Busy as exc:
            self._finish(record, Outcome(error=f"The host is busy: {exc}; try again later."))
        else:
            assert self._tg is not None
            self._tg.start_soon(self._follow, record)
        self._expire()
        self.tasks[record.task_id] = record
        return types.CreateTaskResult(task=types.Task(**record.wire()))

    def _finish(self, record: TaskRecord, outcome: Outcome) -> None:
        record.outcome = outcome
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
            record.outcome = job.outcome
        else:
            self._finish(record, job.outcome)

    def _expire(self) -> None:
        now = monotonic()
        for task_id, record in list(self.tasks.items()):
            if record.status in TERMINAL and now - record.started > record.ttl / 1000:
                del self.tasks[task_id]

    def _record(self, task_id: str) -> TaskRecord:
        self._expire()
        record = self.tasks.get(task_id)
        if record is None:
            raise MCPError(code=types.INVALID_PARAMS, message=f"Unknown task id: {task_id}")
        return record

    # -- handlers ---------------------------------------------------------

    async def get(self, ctx: ServerRequestContext[Any], params: types.GetTaskRequestParams) -> types.GetTaskResult:
        return types.GetTaskResult(**self._record(params.task_id).wire())

    async def list(self, ctx: ServerRequestContext[Any], params: types.PaginatedRequestParams) -> types.ListTasksResult:
        self._expire()
        return types.ListTasksResult(tasks=[types.Task(**record.wire()) for record in self.tasks.values()])

    async def result(self, ctx: ServerRequestContext[Any], params: types.GetTaskPayloadRequestParams) -> dict[str, Any]:
        record = self._record(params.task_id)
        await record.finished.wait()
        if record.status == "cancelled":
            raise MCPError(code=types.INVALID_PARAMS, message=f"Task {record.task_id} was cancelled")
        from quelmar.host.server import call_result

        assert record.outcome is not None
        payload = call_result(record.outcome).model_dump(by_alias=True, mode="json", exclude_none=True)
        payload["_meta"] = {RELATED_TASK: {"taskId": record.task_id}}
        return payload

    async def cancel(self, ctx: ServerRequestContext[Any], params: types.CancelTaskRequestParams) -> types.CancelTaskResult:
        record = self._record(params.task_id)
        if record.status in TERMINAL:
            raise MCPError(
                code=types.INVALID_PARAMS,
                message=f"Cannot cancel task {record.task_id}: it is already {record.status}",
            )
        record.update("cancelled", "cancelled by the client")
        if record.job is not None:
            record.job.stop("cancelled")
        return types.CancelTaskResult(**record.wire())
