"""The MCP server that offers quelmar's tool functions.

How a request is served:

* The server process only speaks the protocol: it never imports a tool
  module and never runs a tool, so ``ping``, ``tools/list`` and the rest are
  answered at once whatever the tools are doing.
* ``tools/list``: each tool's description is its function's own docstring,
  followed by a short host note where the docstring alone would mislead (the
  results are float32 values, column indices count from 0, paths are resolved
  against the allowed roots, which training methods work). The docstrings are
  read once by a short-lived ``quelmar.host.worker --describe`` process that
  the host starts with itself, and cached for the next host of the same
  installation (``description_cache``), so that a host usually starts no
  such process and its workers' start has the cores to itself. A module that
  cannot be imported is still listed, with a short description that says
  why, and is asked about again at the next listing.
* ``tools/call``: the path arguments are checked against the file-access
  policy (``quelmar.host.policy``), then the call goes to a worker process
  (``quelmar.host.pool``): the quick tools to a small pool, trainings to one
  training worker, one at a time in order of arrival. A full queue refuses a
  call at once. ``notifications/cancelled`` withdraws a waiting call or
  interrupts a running one; so does the call's time limit. While a call runs,
  progress notifications go to a client that asked for them: the epochs done
  and in all of a training, the seconds elapsed of another call.
* ``resources/list`` and ``resources/read`` offer the saved models, plots
  and logs of the output home (``quelmar.host.resources``); a training's
  result links to the files it produced and carries its plots as PNG images.
  A path argument that is a bare file name found in the upload folder (or,
  for a model, in the model folder) and not in the first root names that
  file; both folders are readable to the tools without being roots.
* Training calls may be task-augmented (``tasks/get``, ``tasks/result``,
  ``tasks/list``, ``tasks/cancel``; ``quelmar.host.tasks``).
* What the host knows about each tool (module, lane, path arguments,
  progress, note) comes from ``quelmar.host.registry``.
* Whatever goes wrong while one request is handled is answered with a
  JSON-RPC error and logged; the host goes on. ``ping`` is answered under
  every protocol version, before ``initialize`` too; a second ``initialize``
  on a connection is refused.
* The host starts a quick worker and the training worker when it starts
  (in the background), so that the first call costs what a later one does.
* A returned value comes back as structured content (an object: a
  dictionary result as it is, anything else under ``"result"``) and as the
  same JSON in a text block. An exception comes back as a tool error whose
  text is the exception's type and message.
"""

from __future__ import annotations

import hashlib
import inspect
import json
import logging
import os
import re
import sys
import tempfile
import time
import warnings
from collections.abc import AsyncIterator, Mapping
from contextlib import asynccontextmanager
from importlib import metadata
from pathlib import Path
from typing import Any

import anyio
import anyio.abc
import mcp_types as types
from mcp.server.context import ServerRequestContext
from mcp.server.lowlevel import Server
from mcp.shared.exceptions import MCPError
from mcp_types.version import MODERN_PROTOCOL_VERSIONS
from pydantic import ValidationError

from quelmar.host.policy import NO_ROOTS, FilePolicy, Refused, paths_from_root_uris
from quelmar.host.pool import (
    DEFAULT_CALL_TIMEOUT,
    DEFAULT_GRACE,
    DEFAULT_PROGRESS_INTERVAL,
    Busy,
    Job,
    Lane,
    Outcome,
    default_max_queue,
    default_pool_size,
)
from quelmar.host.registry import TOOLS, ToolEntry, lane_modules, tool_entry
from quelmar.host.resources import OutputHome, ResourceError, list_resources, output_home, produced_content, read_resource
from quelmar.host.tasks import TaskStore
from quelmar.host.values import error_text, to_jsonable
from quelmar.host.wire import has_lone_surrogate
from quelmar.tools.ordane.jax_cache import user_cache_folder

__all__ = ["DEFAULT_PROGRESS_INTERVAL", "ToolHost", "error_text", "to_jsonable"]

logger = logging.getLogger("quelmar.host")

DESCRIBE_TIMEOUT = 300.0
"""Seconds the process that reads the tool descriptions may take (it imports every tool module)."""

RESOURCE_NOT_FOUND = -32002
"""The error code of a resources/read for a resource that does not exist."""

ROOTS_TIMEOUT = 10.0
"""Seconds the host waits for the client's answer to roots/list."""

SERVER_NAME = "quelmar"

INSTRUCTIONS = (
    "Tools of the quelmar package: single-precision arithmetic with JAX "
    "(execute_plusor, execute_timesor, execute_minusor), the dimensions of a CSV "
    "table (execute_tabextent), model training from CSV data (execute_fitrun) and "
    "predictions of a trained model (predict), the saved models (list_models). "
    "A training call can take minutes; it writes a log file whose path it returns, and "
    "the saved model's file under config.OUTPUT.model_file. Saved models, plots and logs "
    "are resources (resources/list, resources/read)."
)

QUICK_MODULES = lane_modules("quick")
TRAINING_MODULES = lane_modules("training")


def _version() -> str:
    try:
        return metadata.version("quelmar")
    except metadata.PackageNotFoundError:
        return "0"


def _success(value: Any) -> types.CallToolResult:
    plain = to_jsonable(value)
    structured = plain if isinstance(plain, dict) else {"result": plain}
    text = json.dumps(structured, ensure_ascii=False)
    return types.CallToolResult(content=[types.TextContent(text=text)], structured_content=structured)


def _failure(text: str) -> types.CallToolResult:
    return types.CallToolResult(content=[types.TextContent(text=text)], is_error=True)


LINKS_VERSION = "2025-06-18"
"""The first protocol version with resource links in tool results (older clients refuse the block)."""


def call_result(outcome: Outcome, home: OutputHome | None = None, *, links: bool = True) -> types.CallToolResult:
    """The tools/call result of a finished call (with links and images of a training's files, given the home)."""
    if outcome.error is not None:
        return _failure(outcome.error)
    result = _success(outcome.value)
    if home is not None:
        try:
            blocks = produced_content(home, result.structured_content)
            result.content.extend(b for b in blocks if links or not isinstance(b, types.ResourceLink))
        except Exception:  # the result itself stands
            logger.warning("the files of a result could not be linked", exc_info=True)
    return result


async def describe_tools() -> dict[str, Any]:
    """The tools' docstrings and the supported training methods: from the cache, else from a short-lived worker.

    A complete answer (every module imported) is cached for the next host of the same installation.
    """
    cache = description_cache()
    cached = await anyio.to_thread.run_sync(_read_cache, cache)
    if cached is not None:
        return cached
    with anyio.fail_after(DESCRIBE_TIMEOUT):
        result = await anyio.run_process(
            [sys.executable, "-P", "-m", "quelmar.host.worker", "--describe"], stderr=None, check=False
        )
    if result.returncode != 0:
        raise RuntimeError(f"the describing process ended with status {result.returncode}")
    described = json.loads(result.stdout)
    if described.get("supported_methods") is not None and all("doc" in t for t in described["tools"].values()):
        await anyio.to_thread.run_sync(_write_cache, cache, described)
    return described


CACHE_ENV = "QUELMAR_HOST_CACHE"
"""The tool description cache's folder (default: ``$XDG_CACHE_HOME/quelmar``, by default ``~/.cache/quelmar``;
``~/Library/Caches/quelmar`` on macOS), beside JAX's compilation cache of the trainings."""


def description_cache(environ: Mapping[str, str] | None = None, package: Path | None = None) -> Path:
    """The file holding the tool descriptions of this installation, named by its fingerprint.

    The fingerprint covers the interpreter, the package's version and every
    installed file of the package (path, size, modification time): a change
    to any tool or to the pipeline names another file.
    """
    environ = os.environ if environ is None else environ
    folder = environ.get(CACHE_ENV) or user_cache_folder(environ)
    digest = hashlib.sha256(f"{sys.executable}\0{sys.version}\0{_version()}".encode())
    package = package if package is not None else Path(__file__).resolve().parent.parent
    for path in sorted(package.rglob("*")):
        if path.suffix in (".py", ".so", ".yaml", ".json") and "__pycache__" not in path.parts:
            try:
                st = path.stat()
            except OSError:
                continue
            digest.update(f"\0{path.relative_to(package)}\0{st.st_size}\0{st.st_mtime_ns}".encode())
    return Path(folder) / f"host-tools-{digest.hexdigest()[:24]}.json"


def _read_cache(path: Path) -> dict[str, Any] | None:
    try:
        described = json.loads(path.read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return None
    tools = described.get("tools") if isinstance(described, dict) else None
    if not isinstance(tools, dict) or not all(
        isinstance(tools.get(entry.name), dict) and isinstance(tools[entry.name].get("doc"), (str, type(None)))
        for entry in TOOLS
    ):
        return None
    methods = described.get("supported_methods")
    if not isinstance(methods, list) or not all(isinstance(m, str) for m in methods):
        return None
    return described


def _write_cache(path: Path, described: dict[str, Any]) -> None:
    """Write the cache file whole or not at all (another host may write it at the same time)."""
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        fd, name = tempfile.mkstemp(dir=path.parent, prefix=".host-tools-", suffix=".tmp")
        try:
            with os.fdopen(fd, "w", encoding="utf-8") as f:
                json.dump(described, f)
            os.replace(name, path)
        except BaseException:
            os.unlink(name)
            raise
        _prune_cache(path.parent)
    except OSError as exc:
        logger.debug("the tool descriptions could not be cached in %s: %s", path, exc)


CACHE_KEPT = 8
"""Description files kept in the cache folder (each installation and reinstallation writes one)."""


def _prune_cache(folder: Path) -> None:
    """Remove all but the CACHE_KEPT newest description files."""
    files = []
    for path in folder.glob("host-tools-*.json"):
        try:
            files.append((path.stat().st_mtime_ns, path))
        except OSError:
            continue
    for _, path in sorted(files, reverse=True)[CACHE_KEPT:]:
        try:
            path.unlink()
        except OSError:
            pass


def host_note(entry: ToolEntry, doc: str, supported_methods: list[str] | None, roots: list[str]) -> str:
    """The note the host adds after a tool's docstring ("" when none is needed)."""
    lines = []
    if entry.paths and roots:
        lines.append(
            "File paths are resolved against the allowed roots (" + ", ".join(roots) + "); a relative path "
            "starts at the first. Files outside them, links leading out of them, URLs and anything but a "
            "regular file are refused."
        )
    elif entry.paths:
        lines.append(NO_ROOTS[0].upper() + NO_ROOTS[1:] + ".")
    if entry.note:
        lines.append(entry.note)
    if "interp_method" in entry.input_schema.get("properties", {}):
        offered = _offered_methods(doc)
        if supported_methods is not None and offered and set(offered) - set(supported_methods):
            working = [m for m in offered if m in supported_methods]
            listed = ", ".join(f'"{m}"' for m in working) if working else "none"
            lines.append(f"interp_method: only {listed} work on this installation.")
    return "\n".join(f"Host note: {line}" for line in lines)


def _offered_methods(doc: str) -> list[str]:
    for line in doc.splitlines():
        if line.strip().startswith("interp_method:"):
            return re.findall(r'"([^"]+)"', line)
    return []


class ToolHost:
    """Runs the tools for one server: workers, file policy, tasks.

    ``build_server`` gives the SDK server that dispatches to it; ``running``
    is the context that owns the workers (and ends them on the way out).
    """

    def __init__(
        self,
        *,
        progress_interval: float = DEFAULT_PROGRESS_INTERVAL,
        policy: FilePolicy | None = None,
        workers: int | None = None,
        max_queue: int | None = None,
        grace: float = DEFAULT_GRACE,
        call_timeout: float | None = DEFAULT_CALL_TIMEOUT,
        training_timeout: float | None = None,
        env: Mapping[str, str] | None = None,
        client_roots: bool = True,
        warm: bool = True,
        home: OutputHome | None = None,
    ) -> None:
        """
        Args:
            progress_interval: seconds between progress notifications of a running call.
            policy: the file-access policy (default: the current directory as the only root).
            workers: worker processes for the quick tools (default: one per core, at most four).
            max_queue: calls that may wait in each queue before the host refuses more (default: by core count).
            grace: seconds a stopped call gets after its interrupt before its worker is killed.
            call_timeout: seconds a quick tool's call may run (None: no limit).
            training_timeout: seconds a training may run (None: no limit).
            env: environment of the worker processes (default: the host's).
            client_roots: ask the client for its roots (roots/list) when the policy has no fixed roots.
            warm: start a worker of each lane with the host, in the background.
            home: the output directories and the upload folder (default: ``output_home`` of ``env``).
        """
        self.progress_interval = progress_interval
        self.policy = policy if policy is not None else FilePolicy()
        self.call_timeout, self.training_timeout = call_timeout, training_timeout
        queue = max_queue if max_queue is not None else default_max_queue()
        size = workers if workers is not None else default_pool_size()
        self.quick = Lane("quick tools", QUICK_MODULES, size=size, max_queue=queue, grace=grace, env=env)
        self.training = Lane("training", TRAINING_MODULES, size=1, max_queue=queue, grace=grace, env=env)
        self.tasks = TaskStore()
        self._docs: dict[str, str] = {}
        self._unavailable: dict[str, str] = {}
        self._supported_methods: list[str] | None = None
        self._describing = anyio.Lock()
        self._follow_roots = client_roots and self.policy.follows_client
        self._client_roots_stale = self._follow_roots
        self.warm = warm
        self.home = home if home is not None else output_home(env)
        for folder in (self.home.models, self.home.uploads):
            real = Path(os.path.realpath(folder))
            if real not in self.policy.readable:
                self.policy.readable.append(real)

    # -- life cycle -----------------------------------------------------

    @asynccontextmanager
    async def running(self) -> AsyncIterator[ToolHost]:
        """Own the workers while the server runs; stop every call and worker on the way out."""
        async with anyio.create_task_group() as tg:
            self.quick.attach(tg)
            self.training.attach(tg)
            self.tasks.attach(tg)
            tg.start_soon(self._prefetch_descriptions)
            if self.warm:
                tg.start_soon(self._warm_up)
            try:
                yield self
            finally:
                with anyio.CancelScope(shield=True):
                    await self.shutdown()
                tg.cancel_scope.cancel()

    async def _warm_up(self) -> None:
        """A quick worker first (the first call of a session is most often a quick one), then the training one."""
        await self.quick.warm()
        await self.training.warm()

    def kill_workers(self) -> None:
        """Kill every worker process at once (a second signal)."""
        self.quick.kill_all()
        self.training.kill_all()

    async def shutdown(self) -> None:
        """Interrupt the running calls (their logs get written), end all workers."""
        async with anyio.create_task_group() as tg:
            tg.start_soon(self.quick.shutdown)
            tg.start_soon(self.training.shutdown)

    # -- descriptions ---------------------------------------------------

    async def _prefetch_descriptions(self) -> None:
        try:
            await self._descriptions()
        except Exception:
            logger.debug("prefetching the tool descriptions failed", exc_info=True)

    async def _descriptions(self) -> None:
        async with self._describing:
            if len(self._docs) == len(TOOLS):
                return
            try:
                described = await describe_tools()
            except Exception as exc:
                logger.warning("the tool descriptions cannot be read: %s", exc)
                self._unavailable = {entry.name: error_text(exc) for entry in TOOLS if entry.name not in self._docs}
                return
            self._supported_methods = described.get("supported_methods")
            self._unavailable = {}
            for entry in TOOLS:
                tool = described["tools"].get(entry.name, {})
                if "doc" in tool:
                    self._docs[entry.name] = inspect.cleandoc(tool["doc"]) if tool["doc"] else entry.summary
                else:
                    logger.warning("%s is unavailable: %s", entry.module, tool.get("error"))
                    self._unavailable[entry.name] = tool.get("error", "unknown error")

    def description(self, entry: ToolEntry) -> str:
        """The tool's description: its docstring and the host's note (or why it is unavailable)."""
        if entry.name not in self._docs:
            reason = self._unavailable.get(entry.name, "its module was not examined")
            return f"{entry.summary}\n\nUnavailable on this installation: {reason}"
        doc = self._docs[entry.name]
        note = host_note(entry, doc, self._supported_methods, [str(r) for r in self.policy.roots()])
        return f"{doc}\n\n{note}" if note else doc

    # -- handlers -------------------------------------------------------

    async def list_tools(
        self, ctx: ServerRequestContext[Any], params: types.PaginatedRequestParams | None
    ) -> types.ListToolsResult:
        await self._descriptions()
        await self._refresh_roots(ctx)
        return types.ListToolsResult(tools=[self.tool(entry) for entry in TOOLS])

    def tool(self, entry: ToolEntry) -> types.Tool:
        """The tools/list entry of a tool."""
        return types.Tool(
            name=entry.name,
            title=entry.title,
            description=self.description(entry),
            input_schema=entry.input_schema,
            output_schema=entry.output_schema,
            annotations=types.ToolAnnotations(
                title=entry.title,
                read_only_hint=entry.read_only,
                destructive_hint=False,
                idempotent_hint=entry.read_only,
                open_world_hint=False,
            ),
            execution=types.ToolExecution(task_support="optional") if entry.serialised else None,
        )

    async def start(self, ctx: ServerRequestContext[Any], params: types.CallToolRequestParams) -> Job:
        """Check a call and queue it in its lane (unknown tool: MCPError).

        A call the file policy refuses, or that finds its lane full, comes
        back as a job already done, its outcome a tool error that says why.
        """
        entry = tool_entry(params.name)
        if entry is None:
            raise MCPError(code=types.INVALID_PARAMS, message=f"Unknown tool: {params.name}")
        await self._refresh_roots(ctx)
        timeout, option = (
            (self.training_timeout, "--training-timeout") if entry.serialised else (self.call_timeout, "--call-timeout")
        )
        job = Job(entry.name, entry.module, {}, timeout, option)
        try:
            job.arguments = self.policy.check_call(entry.name, self._named_files(entry, dict(params.arguments or {})))
            (self.training if entry.lane == "training" else self.quick).submit(job)
        except Refused as exc:
            job.finish(Outcome(error=f"Refused by the host's file-access policy: {exc}"))
        except Busy as exc:
            job.finish(Outcome(error=f"The host is busy: {exc}; try again later."))
        return job

    def result(self, outcome: Outcome, protocol_version: str | None = None) -> types.CallToolResult:
        """The tools/call result of a finished call (resource links only for a protocol version that has them)."""
        links = protocol_version is None or protocol_version >= LINKS_VERSION
        return call_result(outcome, self.home, links=links)

    def _named_files(self, entry: ToolEntry, arguments: dict[str, Any]) -> dict[str, Any]:
        """Bare file names of uploads (and of saved models) replaced by their paths in the host's folders.

        A name that exists under the first root keeps its meaning there.
        """
        roots = self.policy.roots()
        for name in entry.paths:
            value = arguments.get(name)
            if not isinstance(value, str) or not value or os.sep in value or value in (".", ".."):
                continue
            if roots and os.path.lexists(roots[0] / value):
                continue
            folders = [self.home.uploads] + ([self.home.models] if name in entry.models else [])
            for folder in folders:
                candidate = folder / value
                if os.path.lexists(candidate):
                    arguments[name] = str(candidate)
                    break
        return arguments

    # -- resources ------------------------------------------------------

    async def list_resources(
        self, ctx: ServerRequestContext[Any], params: types.PaginatedRequestParams | None
    ) -> types.ListResourcesResult:
        cursor = params.cursor if params is not None else None
        try:
            return await anyio.to_thread.run_sync(list_resources, self.home, cursor)
        except ResourceError as exc:
            raise MCPError(code=types.INVALID_PARAMS, message=f"Invalid params for resources/list: {exc}") from None

    async def read_resource(
        self, ctx: ServerRequestContext[Any], params: types.ReadResourceRequestParams
    ) -> types.ReadResourceResult:
        try:
            return await anyio.to_thread.run_sync(read_resource, self.home, str(params.uri))
        except ResourceError as exc:
            raise MCPError(code=RESOURCE_NOT_FOUND, message=f"Resource not found: {exc}") from None

    async def call_tool(
        self, ctx: ServerRequestContext[Any], params: types.CallToolRequestParams
    ) -> types.CallToolResult:
        job = await self.start(ctx, params)
        sent: list[tuple[float, float | None]] = []
        try:
            if _wants_progress(ctx) and not job.done.is_set():
                async with anyio.create_task_group() as tg:
                    tg.start_soon(self._report_progress, ctx, job, sent)
                    await job.done.wait()
                    tg.cancel_scope.cancel()
                if job.progress is not None and (not sent or sent[-1][0] < job.progress[0]):
                    await self._send_progress(ctx, job, 0.0, sent)  # the last one: N of N
            else:
                await job.done.wait()
        except anyio.get_cancelled_exc_class():
            job.stop("cancelled")  # notifications/cancelled, or the connection is going away
            raise
        assert job.outcome is not None
        if job.outcome.error is not None:
            logger.info("%s failed: %s", job.tool, job.outcome.error)
        return self.result(job.outcome, ctx.protocol_version)

    async def _report_progress(
        self, ctx: ServerRequestContext[Any], job: Job, sent: list[tuple[float, float | None]]
    ) -> None:
        started = time.monotonic()
        while True:
            with anyio.move_on_after(self.progress_interval):
                await job.changed.wait()
            job.changed = anyio.Event()
            if not await self._send_progress(ctx, job, time.monotonic() - started, sent):
                return
            await anyio.sleep(min(0.5, self.progress_interval))

    async def _send_progress(
        self, ctx: ServerRequestContext[Any], job: Job, elapsed: float, sent: list[tuple[float, float | None]]
    ) -> bool:
        progress, total, message = _progress_of(job, elapsed)
        if sent and progress <= sent[-1][0]:
            return True  # progress only ever increases
        try:
            await ctx.session.report_progress(progress, total, message)
        except Exception:  # the connection is going away; the call decides
            logger.debug("progress notification for %s not sent", job.tool, exc_info=True)
            return False
        sent.append((progress, total))
        return True

    # -- client roots ---------------------------------------------------

    async def roots_changed(self, ctx: ServerRequestContext[Any], params: Any) -> None:
        """notifications/roots/list_changed: ask the client again before the next call."""
        self._client_roots_stale = self._follow_roots

    async def _refresh_roots(self, ctx: ServerRequestContext[Any]) -> None:
        if not self._client_roots_stale:
            return
        capabilities = getattr(ctx.session, "client_capabilities", None)
        if capabilities is None or capabilities.roots is None or not ctx.session.can_send_request:
            return
        self._client_roots_stale = False
        try:
            with anyio.fail_after(ROOTS_TIMEOUT), warnings.catch_warnings():
                warnings.simplefilter("ignore")
                listed = await ctx.session.list_roots()
        except Exception as exc:
            # No file access until a valid answer arrives (asked again at the next call).
            logger.warning("roots/list failed (%s): no file access until the client answers it", error_text(exc))
            self.policy.set_client_roots([])
            self._client_roots_stale = True
            return
        self.policy.set_client_roots(paths_from_root_uris(str(root.uri) for root in listed.roots))
        logger.info("allowed roots: %s", ", ".join(str(r) for r in self.policy.roots()) or "none")

    # -- the SDK server -------------------------------------------------

    def build_server(self) -> Server[Any]:
        """The SDK server whose handlers are this host's."""
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # roots are deprecated in the newest protocol, not in ours
            server = Server(
                SERVER_NAME,
                version=_version(),
                title="quelmar tools",
                instructions=INSTRUCTIONS,
                get_tool_input_schema=_input_schema,
                on_list_tools=self.list_tools,
                on_call_tool=self.call_tool,
                on_list_resources=self.list_resources,
                on_read_resource=self.read_resource,
                on_roots_list_changed=self.roots_changed,
            )
        # Outermost first: faults answered, text screened, the handshake's rules, then the rest.
        server.middleware.extend(
            [_answer_faults, _screen_text, _one_initialize, _answer_ping, _explain_invalid_params, _require_initialize]
        )
        self.tasks.install(server, self)  # after _require_initialize
        original = server.create_initialization_options

        def with_tasks(*args: Any, **kwargs: Any) -> Any:
            options = original(*args, **kwargs)
            options.capabilities.tasks = self.tasks.capability()
            return options

        server.create_initialization_options = with_tasks  # type: ignore[method-assign]
        return server

    def initialization_options(self, server: Server[Any]) -> Any:
        """The server's initialization options, with the task capabilities."""
        return server.create_initialization_options()


def _progress_of(job: Job, elapsed: float) -> tuple[float, float | None, str]:
    if job.progress is not None:
        done, total = job.progress
        return float(done), float(total), f"{job.tool}: epoch {done} of {total}"
    if job.module in TRAINING_MODULES:
        return 0.0, None, f"{job.tool}: preparing the training ({elapsed:.0f} s)"
    return round(elapsed, 1), None, f"{job.tool} running for {elapsed:.0f} s"


async def _answer_faults(ctx: ServerRequestContext[Any], call_next: Any) -> Any:
    """A fault of the host's own while handling a request: log it, answer -32603, go on."""
    if ctx.request_id is None:  # a notification: nothing to answer
        return await call_next(ctx)
    try:
        return await call_next(ctx)
    except (MCPError, ValidationError):
        raise
    except Exception as exc:
        logger.exception("handling %s failed", "a request" if has_lone_surrogate(ctx.method) else ctx.method)
        raise MCPError(code=types.INTERNAL_ERROR, message=f"Internal error of the host ({type(exc).__name__})") from None


async def _screen_text(ctx: ServerRequestContext[Any], call_next: Any) -> Any:
    """Refuse a request whose method or params hold text that is not Unicode (lone surrogates)."""
    if ctx.request_id is None:  # a notification: nothing to answer
        return await call_next(ctx)
    if has_lone_surrogate(ctx.method):
        raise MCPError(code=types.INVALID_REQUEST, message="Invalid Request: the method is not valid Unicode")
    if has_lone_surrogate(ctx.params):
        raise MCPError(
            code=types.INVALID_PARAMS,
            message=f"Invalid params for {ctx.method}: a text value holds a lone surrogate escape (e.g. \\ud800), "
            "which is not valid Unicode, or the params are nested too deeply",
        )
    return await call_next(ctx)


async def _one_initialize(ctx: ServerRequestContext[Any], call_next: Any) -> Any:
    """Refuse a second initialize on a connection (it would change the protocol version in use)."""
    if ctx.request_id is None:  # a notification: nothing to answer
        return await call_next(ctx)
    connection = getattr(ctx.session, "_connection", None)
    if ctx.method == "initialize" and connection is not None and getattr(connection, "initialize_accepted", False):
        raise MCPError(
            code=types.INVALID_REQUEST,
            message="initialize was already received on this connection; the session is initialized "
            f"(protocol version {ctx.protocol_version})",
        )
    return await call_next(ctx)


async def _answer_ping(ctx: ServerRequestContext[Any], call_next: Any) -> Any:
    """Answer ping under every protocol version (the newest one dropped it from its method list)."""
    if ctx.request_id is None:  # a notification: nothing to answer
        return await call_next(ctx)
    if ctx.method == "ping" and ctx.protocol_version in MODERN_PROTOCOL_VERSIONS:
        return {"resultType": "complete"}
    return await call_next(ctx)


async def _require_initialize(ctx: ServerRequestContext[Any], call_next: Any) -> Any:
    """Refuse a request before initialize with a message that says so."""
    connection = getattr(ctx.session, "_connection", None)
    if (
        ctx.method not in ("initialize", "ping")
        and connection is not None
        and not getattr(connection, "initialize_accepted", True)
    ):
        raise MCPError(
            code=types.INVALID_PARAMS,
            message=f"{ctx.method} was sent before initialize: the client must send initialize first",
        )
    return await call_next(ctx)


async def _explain_invalid_params(ctx: ServerRequestContext[Any], call_next: Any) -> Any:
    """Say what is wrong with a request's params (the SDK's own message does not)."""
    try:
        return await call_next(ctx)
    except ValidationError as exc:
        problems = []
        for error in exc.errors()[:3]:
            where = ".".join(str(part) for part in error.get("loc", ()) if part not in ("params",))
            problems.append(f"{where}: {error.get('msg')}" if where else str(error.get("msg")))
        raise MCPError(
            code=types.INVALID_PARAMS, message=f"Invalid params for {ctx.method}: " + "; ".join(problems)
        ) from None


def _wants_progress(ctx: ServerRequestContext[Any]) -> bool:
    return (ctx.meta or {}).get("progress_token") is not None


def _input_schema(name: str) -> dict[str, Any] | None:
    entry = tool_entry(name)
    return entry.input_schema if entry else None

