"""Worker processes and the queues in front of them (server side).

A ``Lane`` is a set of at most ``size`` worker processes that import the same
tool modules, and a queue of calls in order of arrival. The host has two: the
quick lane (the arithmetic and CSV tools, a few workers) and the training lane
(one worker, so trainings run one at a time, in order). Workers are started on
first use (or ahead of it, ``warm``) and kept for later calls. An idle worker
that has died meanwhile (killed from outside) is noticed before it is handed
a call: the call gets a new worker.

A ``Job`` is one call. While it waits it can be withdrawn (``cancel``); while
it runs, stopping it (cancellation, its time limit, shutdown) sends the worker
a line saying why and then a SIGINT, so the tool sees ``KeyboardInterrupt``
with that reason and the training tool writes its log (ending with it), and kills the worker if it has not answered within the grace period.
A worker that dies fails only its own call and is replaced by the next call
that needs one.

Everything here runs in the server's event loop and never blocks it: the
workers are child processes spoken to over pipes.
"""

from __future__ import annotations

import json
import logging
import os
import signal
import sys
from collections import deque
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

import anyio
import anyio.abc
from anyio.streams.buffered import BufferedByteReceiveStream

__all__ = ["Busy", "Job", "Lane", "Outcome", "Worker", "WorkerDied"]

logger = logging.getLogger("quelmar.host")

DEFAULT_PROGRESS_INTERVAL = 5.0
"""Seconds between two progress notifications of a running call."""

DEFAULT_CALL_TIMEOUT = 120.0
"""Seconds a quick tool's call may run."""

DEFAULT_GRACE = 10.0
"""Seconds a stopped call gets after its interrupt before its worker is killed."""

MAX_MESSAGE_BYTES = 256 * 1024 * 1024
"""Longest line a worker may send (a result of a very wide table)."""


class WorkerDied(Exception):
    """The worker process ended (or closed its output) without answering."""


class Busy(Exception):
    """The lane's queue is full."""


@dataclass
class Outcome:
    """How a call ended: a plain JSON value, or the text of a tool error."""

    value: Any = None
    error: str | None = None


class Worker:
    """One worker process and the pipes to it."""

    def __init__(self, process: anyio.abc.Process) -> None:
        self.process = process
        assert process.stdout is not None
        self._reader = BufferedByteReceiveStream(process.stdout)

    @classmethod
    async def spawn(
        cls, modules: tuple[str, ...], env: Mapping[str, str] | None = None, *, warm: bool = False
    ) -> Worker:
        """Start ``python -P -m quelmar.host.worker MODULE...`` without waiting for it (see ``ready``).

        ``warm``: the worker also runs each tool's warm-up call before it says it is ready.
        """
        process = await anyio.open_process(
            [sys.executable, "-P", "-m", "quelmar.host.worker", *(["--warm"] if warm else []), *modules],
            stdin=-1,
            stdout=-1,
            stderr=None,
            start_new_session=True,
            env=dict(env) if env is not None else None,
        )
        return cls(process)

    async def ready(self) -> Worker:
        """Wait until the worker has imported its modules (closing it if that fails or is cancelled)."""
        try:
            await self.receive()
        except BaseException:
            with anyio.CancelScope(shield=True):
                await self.close(0)
            raise
        return self

    @classmethod
    async def start(
        cls, modules: tuple[str, ...], env: Mapping[str, str] | None = None, *, warm: bool = False
    ) -> Worker:
        """Start a worker and wait until it has imported its modules."""
        return await (await cls.spawn(modules, env, warm=warm)).ready()

    @property
    def pid(self) -> int:
        return self.process.pid

    def alive(self) -> bool:
        """Whether the process still runs (a zombie, not yet reaped, does not)."""
        if self.process.returncode is not None:
            return False
        try:
            with open(f"/proc/{self.pid}/stat", "rb") as f:
                state = f.read().rsplit(b")", 1)[1].split()[0]
        except (OSError, IndexError):
            return os.path.exists(f"/proc/{self.pid}") or not os.path.isdir("/proc")
        return state not in (b"Z", b"X")

    async def send(self, message: dict[str, Any]) -> None:
        assert self.process.stdin is not None
        try:
            await self.process.stdin.send(json.dumps(message).encode() + b"\n")
        except (anyio.BrokenResourceError, anyio.ClosedResourceError, OSError) as exc:
            raise WorkerDied(str(exc)) from exc

    async def receive(self) -> dict[str, Any]:
        """The worker's next message; WorkerDied at the end of its output."""
        try:
            line = await self._reader.receive_until(b"\n", MAX_MESSAGE_BYTES)
        except (anyio.EndOfStream, anyio.IncompleteRead, anyio.BrokenResourceError, anyio.ClosedResourceError) as exc:
            raise WorkerDied("output closed") from exc
        return json.loads(line)

    def signal(self, signum: int) -> None:
        """Send a signal, unless the process has already ended."""
        if self.process.returncode is None:
            try:
                self.process.send_signal(signum)
            except ProcessLookupError:
                pass

    async def exit_description(self, wait: float = 2.0) -> str:
        """How the process ended, e.g. "killed by signal SIGSEGV" (killing it if it lingers)."""
        with anyio.move_on_after(wait):
            await self.process.wait()
        if self.process.returncode is None:
            self.signal(signal.SIGKILL)
            await self.process.wait()
        code = self.process.returncode
        if code is not None and code < 0:
            try:
                return f"killed by signal {signal.Signals(-code).name}"
            except ValueError:
                return f"killed by signal {-code}"
        return f"exit status {code}"

    async def close(self, wait: float = 2.0) -> None:
        """End the worker: close its input, then kill it if it has not left within ``wait`` seconds."""
        if self.process.stdin is not None:
            await self.process.stdin.aclose()
        with anyio.move_on_after(wait):
            await self.process.wait()
        if self.process.returncode is None:
            self.signal(signal.SIGKILL)
            await self.process.wait()
        for stream in (self.process.stdout,):
            if stream is not None:
                await stream.aclose()


@dataclass(eq=False)
class Job:
    """One tool call on its way through a lane."""

    tool: str
    module: str
    arguments: dict[str, Any]
    timeout: float | None = None
    """Seconds the call may run (not counting its wait in the queue); None: no limit."""
    timeout_option: str = "--call-timeout"
    """The option that sets ``timeout``, named in the error when the limit is reached."""
    state: str = "queued"
    """"queued", "running" or "done"."""
    progress: tuple[int, int] | None = None
    """(epochs done, epochs in all) of a training, from the pipeline's own progress."""
    changed: anyio.Event = field(default_factory=anyio.Event)
    """Set when ``progress`` changes (replace it after waiting)."""
    done: anyio.Event = field(default_factory=anyio.Event)
    outcome: Outcome | None = None
    stop_reason: str | None = None
    """Why the call was asked to stop: "cancelled", "timeout" or "shutdown"."""
    _stop: anyio.Event = field(default_factory=anyio.Event)
    _lane: Lane | None = None

    def finish(self, outcome: Outcome) -> None:
        if self.state != "done":
            self.state, self.outcome = "done", outcome
            self.done.set()

    def stop(self, reason: str = "cancelled", message: str | None = None) -> None:
        """Withdraw a queued call, or interrupt a running one."""
        if self.state == "done":
            return
        if self.stop_reason is None:
            self.stop_reason = reason
        if self.state == "queued":
            if self._lane is not None:
                self._lane.withdraw(self)
            self.finish(Outcome(error=message or f"{self.tool} was {reason} before it started"))
        else:
            self._stop.set()


class Lane:
    """Up to ``size`` workers importing ``modules``, fed from one queue in order of arrival."""

    def __init__(
        self,
        name: str,
        modules: tuple[str, ...],
        *,
        size: int = 1,
        max_queue: int = 64,
        grace: float = 10.0,
        env: Mapping[str, str] | None = None,
    ) -> None:
        """
        Args:
            name: what the lane serves, for the log ("quick tools", "training").
            modules: the tool modules every worker imports when it starts.
            size: most workers at once.
            max_queue: most calls waiting for a worker; a further call raises Busy.
            grace: seconds a stopped call gets to end after its SIGINT before its worker is killed.
            env: environment of the workers (default: the host's).
        """
        self.name, self.modules, self.size = name, modules, size
        self.max_queue, self.grace, self.env = max_queue, grace, env
        self.queue: deque[Job] = deque()
        self.running: set[Job] = set()
        self._idle: list[Worker] = []
        self._all: set[Worker] = set()
        self._workers = 0  # started or starting, busy or idle
        self._tg: anyio.abc.TaskGroup | None = None
        self._closing = False
        self._quiet = anyio.Event()
        self._quiet.set()
        self._warming = False
        self._early: Worker | None = None

    def attach(self, tg: anyio.abc.TaskGroup) -> None:
        """Run the lane's calls in ``tg`` (the host's task group)."""
        self._tg = tg

    def submit(self, job: Job) -> None:
        """Queue the call (it starts at once when a worker is free); Busy when the queue is full."""
        if self._closing:
            raise Busy("the host is shutting down")
        if len(self.queue) >= self.max_queue:  # calls wait only while every worker is busy
            raise Busy(f"{len(self.queue)} calls are already waiting for a worker (--max-queue)")
        job._lane = self
        self.queue.append(job)
        self._pump()

    def prestart(self, worker: Worker) -> None:
        """Hand the lane a worker spawned ahead of the lane itself; ``warm`` adopts it."""
        self._early = worker

    async def warm(self) -> None:
        """Start one worker ahead of use, unless one exists; return when it is ready (or has failed).

        The worker runs its tools' warm-up calls before it is ready, so that the
        first call costs what a later one does. Calls that arrive meanwhile wait
        for it rather than start workers of their own.
        """
        early, self._early = self._early, None
        if self._workers or self._closing:
            if early is not None:
                with anyio.CancelScope(shield=True):
                    await early.close(0)
            return
        self._workers += 1
        self._warming = True
        worker = None
        try:
            worker = await (early.ready() if early is not None else Worker.start(self.modules, self.env, warm=True))
        except Exception as exc:
            logger.warning("cannot start a %s worker ahead of use: %s", self.name, exc)
        finally:
            self._warming = False
            if worker is None or self._closing:
                self._workers -= 1
            else:
                self._all.add(worker)
                self._idle.append(worker)
            if not self._closing:
                self._pump()
        if worker is not None and self._closing:
            with anyio.CancelScope(shield=True):
                await worker.close()

    def _take_idle(self) -> Worker | None:
        """A live idle worker, or None; dead ones are dropped (they will be replaced)."""
        while self._idle:
            worker = self._idle.pop()
            if worker.alive():
                return worker
            logger.warning("an idle %s worker (%d) has died; a new one takes its calls", self.name, worker.pid)
            self._workers -= 1
            self._all.discard(worker)
            assert self._tg is not None
            self._tg.start_soon(worker.close, 0)
        return None

    def withdraw(self, job: Job) -> None:
        try:
            self.queue.remove(job)
        except ValueError:
            pass

    def _pump(self) -> None:
        assert self._tg is not None, "the lane is not attached to a task group"
        while self.queue:
            worker = self._take_idle()
            if worker is None and (self._workers >= self.size or self._warming):
                return
            job = self.queue.popleft()
            if worker is None:
                self._workers += 1
            job.state = "running"
            self.running.add(job)
            self._quiet = anyio.Event()
            self._tg.start_soon(self._run, worker, job)

    async def _run(self, worker: Worker | None, job: Job) -> None:
        healthy = False
        try:
            if worker is None:
                try:
                    worker = await Worker.start(self.modules, self.env)
                    self._all.add(worker)
                except Exception as exc:
                    logger.error("cannot start a %s worker: %s", self.name, exc)
                    job.finish(Outcome(error=f"{job.tool} failed: the host could not start a worker process ({exc})"))
                    return
            try:
                healthy = await self._drive(worker, job)
            except Exception as exc:  # a fault of the host's own: fail this call, keep serving
                logger.exception("%s: the call could not be run", job.tool)
                job.finish(Outcome(error=f"{job.tool} failed: the host could not run the call ({exc!r})"))
        finally:
            self.running.discard(job)
            with anyio.CancelScope(shield=True):
                if worker is not None and healthy and not self._closing:
                    self._idle.append(worker)
                else:
                    self._workers -= 1
                    if worker is not None:
                        self._all.discard(worker)
                        await worker.close(0 if not healthy else 2)
            if not self._closing:
                self._pump()
            if not self.running:
                self._quiet.set()

    async def _drive(self, worker: Worker, job: Job) -> bool:
        """Run the job on the worker; True while the worker can take another call."""
        if job.stop_reason is not None:  # stopped between leaving the queue and starting
            job.finish(Outcome(error=f"{job.tool} was {job.stop_reason} before it started"))
            return True
        answered = False
        async with anyio.create_task_group() as tg:
            tg.start_soon(self._watch, worker, job)
            try:
                await worker.send({"tool": job.tool, "module": job.module, "arguments": job.arguments})
                message = await worker.receive()
                while "progress" in message:
                    job.progress = (int(message["progress"][0]), int(message["progress"][1]))
                    job.changed.set()
                    message = await worker.receive()
                answered = True
                outcome = self._outcome(job, message)
            except WorkerDied:
                outcome = Outcome(error=await self._death(worker, job))
            finally:
                tg.cancel_scope.cancel()
        job.finish(outcome)
        return answered and worker.process.returncode is None

    def _outcome(self, job: Job, message: dict[str, Any]) -> Outcome:
        if "ok" in message:
            return Outcome(value=message["ok"])
        if message.get("interrupted") and job.stop_reason is not None:
            return Outcome(error=self._stopped_text(job, "was interrupted"))
        return Outcome(error=message.get("error", "unknown error"))

    def _stopped_text(self, job: Job, what: str) -> str:
        if job.stop_reason == "timeout":
            return (
                f"{job.tool} did not finish within its time limit of {job.timeout:g} s "
                f"({job.timeout_option}) and {what}"
            )
        if job.stop_reason == "shutdown":
            return f"{job.tool} {what}: the host is shutting down"
        return f"{job.tool} {what}: the call was cancelled"

    def _stop_cause(self, job: Job) -> str:
        if job.stop_reason == "timeout":
            return f"the host: its time limit of {job.timeout:g} s ({job.timeout_option}) was reached"
        if job.stop_reason == "shutdown":
            return "the host: it is shutting down"
        return "the host: the client cancelled the call"

    async def _death(self, worker: Worker, job: Job) -> str:
        how = await worker.exit_description()
        if job.stop_reason is not None:
            return self._stopped_text(job, "was stopped (its worker process was killed)")
        logger.error("the %s worker running %s ended unexpectedly (%s)", self.name, job.tool, how)
        return (
            f"{job.tool} failed: its worker process ended unexpectedly ({how}); "
            "the host replaces the worker, other calls are not affected"
        )

    async def _watch(self, worker: Worker, job: Job) -> None:
        """Interrupt the call when it is stopped or runs out of time; kill the worker after the grace period."""
        with anyio.move_on_after(job.timeout if job.timeout is not None else float("inf")):
            await job._stop.wait()
        if job.stop_reason is None:
            job.stop_reason = "timeout"
        logger.info("interrupting %s (%s)", job.tool, job.stop_reason)
        try:  # why, for the tool's log: the worker reads it when the interrupt arrives
            await worker.send({"stop": self._stop_cause(job)})
        except WorkerDied:
            pass
        worker.signal(signal.SIGINT)
        await anyio.sleep(self.grace)
        logger.warning("%s did not end within %g s of its interrupt: killing worker %d", job.tool, self.grace, worker.pid)
        worker.signal(signal.SIGKILL)

    async def shutdown(self) -> None:
        """Refuse new calls, withdraw the queued ones, stop the running ones, end every worker."""
        self._closing = True
        for job in list(self.queue):
            job.stop("shutdown", f"{job.tool} was not started: the host is shutting down")
        for job in list(self.running):
            job.stop("shutdown")
        with anyio.move_on_after(self.grace + 5):
            await self._quiet.wait()
        idle, self._idle = self._idle, []
        async with anyio.create_task_group() as tg:
            for worker in idle:
                tg.start_soon(worker.close)
        self._all.difference_update(idle)
        self._workers -= len(idle)

    def kill_all(self) -> None:
        """Kill every worker process of the lane at once."""
        for worker in list(self._all):
            worker.signal(signal.SIGKILL)


def default_pool_size() -> int:
    """Quick-tool workers: one per core, at least one, at most four."""
    return max(1, min(4, os.cpu_count() or 1))


def default_max_queue() -> int:
    """Calls that may wait for a worker: 32 per core, at least 64."""
    return max(64, 32 * (os.cpu_count() or 1))
