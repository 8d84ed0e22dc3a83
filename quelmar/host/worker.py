"""A worker process of the tool host: runs tool calls, one at a time.

The host starts ``python -P -m quelmar.host.worker MODULE...``: the worker
imports the named tool modules once, then reads one request per line on its
standard input and answers on its standard output, in JSON:

* request: ``{"tool": NAME, "module": MODULE, "arguments": {...}}``
* while a training runs: ``{"progress": [epochs_done, epochs_total]}``
* the outcome: ``{"ok": RESULT}`` (plain JSON values) or
  ``{"error": TEXT, "interrupted": BOOL}``
* the host, just before it interrupts a call: ``{"stop": WHY}``; the
  ``KeyboardInterrupt`` carries WHY (a late one, after the call, is skipped)

Before anything else the worker takes fd 0 and fd 1 for this exchange (as the
host does for the protocol), so whatever a tool prints lands on standard
error. A SIGINT while a call runs raises ``KeyboardInterrupt`` in the tool (the
training tool's capture then writes its log); a SIGINT between calls is
ignored. The worker ends at the end of its input, and with its parent process
(Linux parent-death signal).

With ``--warm`` before the modules, the worker first makes each of their
tools' warm-up call (``ToolEntry.warmup``: JAX's first operations and
pandas' first parse cost far more than later ones), so that a worker the host
starts ahead of use serves its first call as fast as its later ones.

``python -P -m quelmar.host.worker --describe`` instead prints, as one JSON
object, each tool's docstring (or why its module cannot be imported) and the
training methods the pipeline supports, then exits.

Before the call, the worker opens the call's checked files as the policy
planned (``quelmar.host.files``) and hands the tool the open files; what the
tool reports names the client's paths again. A file that is no longer what
was checked is refused without calling the tool.

The worker runs under a memory limit: ``RLIMIT_DATA`` (its heap and private
mappings) of ``QUELMAR_HOST_WORKER_MEMORY_MB`` MiB, set by the host's
``--worker-memory-mb``; by default a quarter of the machine's memory, at
least 2 GiB. A call that needs more fails with ``MemoryError`` (or JAX's
``RESOURCE_EXHAUSTED``), and the error names the limit.

The environment variable ``QUELMAR_HOST_TEST_SETUP`` (tests only) names a
Python file that the worker runs after its imports, so that a test can
replace tool functions inside the worker.
"""

from __future__ import annotations

import ctypes
import importlib
import json
import os
import resource
import runpy
import select
import signal
import sys
import time
from typing import Any, TextIO

from quelmar.host.files import FileGone, FileRefused, OpenedFiles, open_plan
from quelmar.host.policy import FILES_KEY
from quelmar.host.registry import TOOLS, tool_entry
from quelmar.host.stdio import claim_stdio
from quelmar.host.values import error_text, to_jsonable

TEST_SETUP_ENV = "QUELMAR_HOST_TEST_SETUP"
"""Tests only: a Python file that every worker runs after importing its modules."""

PROGRESS_PERIOD = 0.25
"""Least seconds between two progress messages of a training (the last epoch is always sent)."""

MEMORY_ENV = "QUELMAR_HOST_WORKER_MEMORY_MB"
"""The worker's memory limit in MiB (the host's ``--worker-memory-mb``)."""

MIN_MEMORY_MB = 512
"""The least memory limit a worker accepts: importing JAX and starting its CPU client takes about 300 MiB."""

MIB = 1024 * 1024

REFUSED = "Refused by the host's file-access policy: "

_busy = False
_wire_fd = -1  # the request pipe (the host's stop line arrives there just before its SIGINT)


def _stop_cause() -> str:
    """Why the host interrupts the call: its ``{"stop": TEXT}`` line, read without waiting; "" when none."""
    try:
        if _wire_fd < 0 or not select.select([_wire_fd], [], [], 0)[0]:
            return ""
        data = os.read(_wire_fd, 1 << 16)  # nothing else comes while a call runs
    except (OSError, ValueError):
        return ""
    for line in data.splitlines():
        try:
            cause = json.loads(line).get("stop")
        except (ValueError, AttributeError):
            continue
        if isinstance(cause, str):
            return cause
    return ""


def _on_sigint(signum: int, frame: Any) -> None:
    if _busy:
        cause = _stop_cause()
        raise KeyboardInterrupt(cause) if cause else KeyboardInterrupt


def _die_with_parent() -> None:
    """Ask Linux to kill this process when the host goes away without ending it."""
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        return
    if os.getppid() == 1:  # the host was already gone
        os._exit(1)


def default_memory_mb() -> int:
    """A worker's default memory limit: a quarter of the machine's memory, at least 2 GiB."""
    try:
        total = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (ValueError, OSError):
        total = 0
    return max(2048, total // 4 // MIB)


def memory_limit_mb() -> int:
    """The limit in force for the workers: ``QUELMAR_HOST_WORKER_MEMORY_MB``, else the default."""
    text = os.environ.get(MEMORY_ENV, "").strip()
    if text:
        try:
            value = int(float(text))
        except ValueError:
            value = 0
        if value >= MIN_MEMORY_MB:
            return value
        print(f"quelmar-host worker: ignoring {MEMORY_ENV}={text!r} (not a number of at least {MIN_MEMORY_MB})",
              file=sys.stderr)
    return default_memory_mb()


def limit_memory(mb: int) -> None:
    """Cap this process's heap and private mappings (``RLIMIT_DATA``) at ``mb`` MiB, hard limit too."""
    wanted = mb * MIB
    _, hard = resource.getrlimit(resource.RLIMIT_DATA)
    if hard != resource.RLIM_INFINITY:
        wanted = min(wanted, hard)
    resource.setrlimit(resource.RLIMIT_DATA, (wanted, wanted))


_memory_mb = 0


def _under_address_sanitizer() -> bool:
    """AddressSanitizer is loaded (the project's sanitizer build): its shadow memory is
    terabytes of private mappings, which no data limit admits, so such a worker runs without one."""
    return "libasan" in os.environ.get("LD_PRELOAD", "")


def _jax_inline() -> None:
    """Have JAX run CPU computations inline rather than on its dispatch threads.

    An allocation that fails under the memory limit on a dispatch thread leaves
    the caller waiting for ever (JAX 0.12); run inline, it raises
    ``RESOURCE_EXHAUSTED`` in the tool, which then fails with a clear error.
    """
    try:
        import jax
    except Exception:  # no JAX: nothing to set
        return
    jax.config.update("jax_cpu_enable_async_dispatch", False)


def _out_of_memory(exc: BaseException) -> bool:
    return isinstance(exc, MemoryError) or "RESOURCE_EXHAUSTED" in str(exc)[:200]


def _send(out: TextIO, message: dict[str, Any]) -> None:
    out.write(json.dumps(message, ensure_ascii=False, allow_nan=False) + "\n")
    out.flush()


def _progress_sender(out: TextIO):
    last = [0.0]

    def report(done: int, total: int) -> None:
        now = time.monotonic()
        if done >= total or now - last[0] >= PROGRESS_PERIOD:
            last[0] = now
            _send(out, {"progress": [int(done), int(total)]})

    return report


def _call(request: dict[str, Any], out: TextIO) -> dict[str, Any]:
    with OpenedFiles() as opened:
        return _call_with(request, out, opened)


def _call_with(request: dict[str, Any], out: TextIO, opened: OpenedFiles) -> dict[str, Any]:
    global _busy
    progress = None
    try:
        function = getattr(importlib.import_module(request["module"]), request["tool"])
        arguments = dict(request["arguments"])
        plan = arguments.pop(FILES_KEY, None) or {}
        try:
            arguments = open_plan(plan, arguments, opened)
        except FileGone as exc:
            missing = f"FileNotFoundError: [Errno 2] No such file or directory: {exc.path!r}"
            return {"error": missing, "interrupted": False}
        except FileRefused as exc:
            return {"error": REFUSED + str(exc), "interrupted": False}
        entry = tool_entry(request["tool"])
        if entry is not None and entry.progress:
            progress = importlib.import_module("quelmar.tools.ordane.progress")
            progress.set_callback(_progress_sender(out))
        _busy = True
        try:
            value = function(**arguments)
        finally:
            _busy = False
        return {"ok": opened.restore(to_jsonable(value))}
    except KeyboardInterrupt:
        return {"error": "KeyboardInterrupt", "interrupted": True}
    except Exception as exc:
        text = opened.named(error_text(exc))
        if _out_of_memory(exc) and _memory_mb:
            text += f" (the worker's memory limit is {_memory_mb} MiB: --worker-memory-mb)"
        return {"error": text, "interrupted": False}
    finally:
        _busy = False
        if progress is not None:
            progress.set_callback(None)


def warm_up(modules: list[str]) -> list[str]:
    """Make each warm-up call of the modules' tools once; the tools whose call failed (the worker goes on)."""
    failed = []
    for entry in TOOLS:
        if entry.module not in modules or entry.warmup is None:
            continue
        try:
            getattr(importlib.import_module(entry.module), entry.name)(**dict(entry.warmup))
        except Exception as exc:
            failed.append(entry.name)
            print(f"quelmar-host worker: the warm-up call of {entry.name} failed: {error_text(exc)}", file=sys.stderr)
    return failed


def serve(modules: list[str], warm: bool = False) -> int:
    """Import the modules (and make their tools' warm-up calls), then run requests until the input ends."""
    global _memory_mb, _wire_fd
    wire_in, wire_out = claim_stdio()
    _wire_fd = wire_in.fileno()
    _die_with_parent()
    _memory_mb = 0 if _under_address_sanitizer() else memory_limit_mb()
    try:
        if _memory_mb:
            limit_memory(_memory_mb)
    except (OSError, ValueError) as exc:
        _memory_mb = 0
        print(f"quelmar-host worker: cannot limit its memory: {exc}", file=sys.stderr)
    _jax_inline()
    signal.signal(signal.SIGINT, _on_sigint)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    for name in modules:
        try:
            importlib.import_module(name)
        except Exception as exc:  # reported again by each call of its tool
            print(f"quelmar-host worker: cannot import {name}: {error_text(exc)}", file=sys.stderr)
    if warm:  # before a test's setup replaces any tool function
        warm_up(modules)
    setup = os.environ.get(TEST_SETUP_ENV)
    if setup:
        runpy.run_path(setup, run_name="quelmar_host_test_setup")
    _send(wire_out, {"ready": os.getpid()})
    for line in wire_in:
        if not line.strip():
            continue
        request = json.loads(line)
        if "stop" in request:  # a stop line for a call that had already ended
            continue
        try:
            outcome = _call(request, wire_out)
        except KeyboardInterrupt:  # a late interrupt, after the tool returned
            outcome = {"error": "KeyboardInterrupt", "interrupted": True}
        try:
            _send(wire_out, outcome)
        except ValueError:  # a result JSON cannot hold
            _send(wire_out, {"error": "the result cannot be sent as JSON", "interrupted": False})
    return 0


def describe() -> dict[str, Any]:
    """Each tool's docstring or import error, and the supported training methods."""
    from quelmar.host.registry import TOOLS

    tools: dict[str, Any] = {}
    for entry in TOOLS:
        try:
            tools[entry.name] = {"doc": getattr(importlib.import_module(entry.module), entry.name).__doc__}
        except Exception as exc:
            tools[entry.name] = {"error": error_text(exc)}
    try:
        methods = list(importlib.import_module("quelmar.tools.ordane.settings").SUPPORTED_METHODS)
    except Exception:
        methods = None
    return {"tools": tools, "supported_methods": methods}


def main(argv: list[str] | None = None) -> int:
    """Entry point: ``--describe``, or the modules to import (after ``--warm``: and warm up)."""
    args = sys.argv[1:] if argv is None else argv
    if args == ["--describe"]:
        wire_in, wire_out = claim_stdio()
        _die_with_parent()
        _send(wire_out, describe())
        return 0
    if args[:1] == ["--warm"]:
        return serve(args[1:], warm=True)
    return serve(args)


if __name__ == "__main__":
    sys.exit(main())
