"""Run the quelmar tool host: ``python -m quelmar.host`` or ``quelmar-host``.

Over stdio (the default) the protocol runs over the process's standard input
and output. Tools and the libraries they use may print, from Python or from
native code; none of that may reach the protocol stream. So, before anything
else, the host takes the two descriptors for itself (``quelmar.host.stdio``):
whatever is printed afterwards lands on standard error, which MCP clients
show as the server's log.

With ``--http HOST:PORT`` the host serves MCP's Streamable HTTP transport at
``http://HOST:PORT/mcp`` instead (``quelmar.host.http``).

A line on stdio longer than twice ``--max-content-mb`` plus 1 MiB is
refused while it is read. Without ``--root`` and without client roots, a
host started in ``/`` or in the home directory serves no files (its first
log line says so). A port in use is one line on standard error and exit
status 1.

Trainings write their logs, plots and models into the output home:
``--output-dir``, else ``QUELMAR_HOME`` when it is set, else the per-user data
directory (``$XDG_DATA_HOME/quelmar`` or ``~/.local/share/quelmar``). The host
sets ``QUELMAR_HOME`` for its workers and names the place in its first log
line; the tools may read what is there (a saved model by its bare name too).

The host ends when the client closes its input (exit status 0), on SIGINT
(130) or on SIGTERM (143): running calls are interrupted first (a training
writes its log), then every worker process ends. A second signal kills the
workers at once.
"""

from __future__ import annotations

import argparse
import dataclasses
import logging
import os
import signal
import sys
from pathlib import Path
from typing import Any

__all__ = ["main"]

EXIT_STATUS = {signal.SIGINT: 130, signal.SIGTERM: 143}

DEFAULT_TRAINING_TIMEOUT = 3600.0
"""Seconds a training may run by default: generous, yet an abandoned one cannot hold the training worker for
ever (clients that never send a cancel)."""


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("quelmar")
    except PackageNotFoundError:
        return "unknown"


def output_home(option: str | None, environ: Any = None) -> Path:
    """The output home: ``--output-dir``, else ``QUELMAR_HOME``, else the per-user data directory (absolute)."""
    from quelmar.host.policy import HOME_ENV, default_output_dir

    environ = os.environ if environ is None else environ
    chosen = option or environ.get(HOME_ENV) or default_output_dir(environ)
    return Path(os.path.abspath(os.path.expanduser(chosen)))


def _positive(text: str) -> float:
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be positive, got {text}")
    return value


def _limit(text: str) -> float | None:
    """Seconds, or "none" for no limit."""
    return None if text.lower() in ("none", "0") else _positive(text)


def _count(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {text}")
    return value


def _parse(argv: list[str] | None) -> argparse.Namespace:
    from quelmar.host.pool import (
        DEFAULT_CALL_TIMEOUT,
        DEFAULT_GRACE,
        DEFAULT_PROGRESS_INTERVAL,
        default_max_queue,
        default_pool_size,
    )
    from quelmar.host.worker import default_memory_mb

    parser = argparse.ArgumentParser(
        prog="quelmar-host",
        description="Serve quelmar's tools to an AI assistant over the Model Context Protocol "
        "(stdio, or Streamable HTTP with --http).",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    parser.add_argument(
        "--root",
        action="append",
        default=[],
        metavar="DIR",
        help="a directory whose files the tools may use (repeatable; the first is where relative paths "
        "start). Default: the roots the client declares, else the current directory unless it is / or "
        "your home directory (then no files)",
    )
    parser.add_argument(
        "--output-dir", metavar="DIR",
        help="where trainings write their logs, plots and models (readable to the tools, not a root). "
        "Default: $QUELMAR_HOME when set, else the per-user data directory "
        f"({output_home(None, {k: v for k, v in os.environ.items() if k != 'QUELMAR_HOME'})} here)",
    )
    parser.add_argument(
        "--max-file-mb", type=_positive, default=1024, metavar="MIB",
        help="largest file a tool may read (default: %(default)s)",
    )
    parser.add_argument(
        "--max-content-mb", type=_positive, default=64, metavar="MIB",
        help="largest csv_content text (default: %(default)s)",
    )
    parser.add_argument(
        "--worker-memory-mb", type=_count, default=None, metavar="MIB",
        help="memory limit of each worker process (heap and private mappings; default: a quarter of the "
        f"machine's memory, at least 2048: {default_memory_mb()} here)",
    )
    parser.add_argument(
        "--workers", type=_count, default=default_pool_size(), metavar="N",
        help="worker processes for the quick tools (default: %(default)s on this machine)",
    )
    parser.add_argument(
        "--max-queue", type=_count, default=default_max_queue(), metavar="N",
        help="calls that may wait for a worker before the host refuses more as busy (default: %(default)s)",
    )
    parser.add_argument(
        "--call-timeout", type=_limit, default=DEFAULT_CALL_TIMEOUT, metavar="SECONDS",
        help="time limit of a quick tool's call, 'none' for no limit (default: %(default)s)",
    )
    parser.add_argument(
        "--training-timeout", type=_limit, default=DEFAULT_TRAINING_TIMEOUT, metavar="SECONDS",
        help="time limit of a training, 'none' for no limit (default: %(default)g, an hour)",
    )
    parser.add_argument(
        "--grace", type=_positive, default=DEFAULT_GRACE, metavar="SECONDS",
        help="seconds an interrupted call may take to end before its worker is killed (default: %(default)s)",
    )
    parser.add_argument(
        "--progress-interval", type=_positive, default=DEFAULT_PROGRESS_INTERVAL, metavar="SECONDS",
        help="seconds between progress notifications of a running call (default: %(default)s)",
    )
    parser.add_argument(
        "--no-warm-start", dest="warm_start", action="store_false",
        help="start worker processes on first use only (default: one of each kind when the host starts)",
    )
    parser.add_argument(
        "--http", metavar="HOST:PORT",
        help="serve Streamable HTTP at http://HOST:PORT/mcp instead of stdio (loopback unless a token is set)",
    )
    parser.add_argument(
        "--token-file", metavar="PATH",
        help="file holding the bearer token that HTTP clients must send "
        "(or set QUELMAR_HOST_TOKEN); required for a non-loopback address",
    )
    parser.add_argument(
        "--allow-origin", action="append", default=[], metavar="ORIGIN",
        help="a browser Origin (e.g. https://example.org) whose HTTP requests are accepted (repeatable)",
    )
    parser.add_argument(
        "--http-max-connections", type=_count, default=None, metavar="N",
        help="most HTTP connections at once; a new one replaces the oldest that has not sent a request "
        "(default: 256)",
    )
    parser.add_argument(
        "--http-header-timeout", type=_positive, default=None, metavar="SECONDS",
        help="seconds an HTTP connection may take to send a request's head (default: 10)",
    )
    parser.add_argument(
        "--log-level", default="WARNING", choices=["DEBUG", "INFO", "WARNING", "ERROR"],
        help="level of the host's own log on standard error (default: %(default)s)",
    )
    args = parser.parse_args(argv)
    if args.http:
        from quelmar.host.http import HttpSettings

        try:
            args.http = HttpSettings.from_options(args.http, args.token_file, args.allow_origin)
        except ValueError as exc:
            parser.error(str(exc))
        limits = {"max_connections": args.http_max_connections, "header_timeout": args.http_header_timeout}
        args.http = dataclasses.replace(args.http, **{k: v for k, v in limits.items() if v is not None})
    elif args.token_file or args.allow_origin:
        parser.error("--token-file and --allow-origin need --http")
    for root in args.root:
        if not os.path.isdir(root):
            parser.error(f"--root {root}: not a directory")
    from quelmar.host.policy import HOME_ENV

    args.output_dir = output_home(args.output_dir)
    try:
        args.output_dir.mkdir(parents=True, exist_ok=True)
    except OSError as exc:
        parser.error(f"--output-dir {args.output_dir}: cannot be created ({exc.strerror or exc})")
    if not os.access(args.output_dir, os.W_OK | os.X_OK):
        parser.error(f"--output-dir {args.output_dir}: not writable")
    os.environ[HOME_ENV] = str(args.output_dir)  # the workers inherit it
    if args.worker_memory_mb is not None:
        from quelmar.host.worker import MEMORY_ENV, MIN_MEMORY_MB

        if args.worker_memory_mb < MIN_MEMORY_MB:
            parser.error(f"--worker-memory-mb must be at least {MIN_MEMORY_MB} (a worker needs that much to start JAX)")
        os.environ[MEMORY_ENV] = str(args.worker_memory_mb)  # the workers inherit it
    return args


def _host(args: argparse.Namespace) -> Any:
    from quelmar.host.policy import FilePolicy
    from quelmar.host.server import ToolHost

    policy = FilePolicy(
        args.root, max_file_mb=args.max_file_mb, max_content_mb=args.max_content_mb, output_home=args.output_dir
    )
    return ToolHost(
        progress_interval=args.progress_interval,
        policy=policy,
        workers=args.workers,
        max_queue=args.max_queue,
        grace=args.grace,
        call_timeout=args.call_timeout,
        training_timeout=args.training_timeout,
        client_roots=not args.http,
        warm=args.warm_start,
    )


async def _serve(args: argparse.Namespace, wire: tuple[Any, Any] | None, sock: Any = None) -> int:
    import anyio

    early = await _spawn_quick_worker() if args.warm_start else None
    host = _host(args)  # imports the protocol's libraries meanwhile
    if early is not None:
        host.quick.prestart(early)
    _log_home(args.output_dir)
    _log_roots(host)
    received: list[int] = []
    async with anyio.create_task_group() as tg:

        async def on_signals() -> None:
            with anyio.open_signal_receiver(signal.SIGINT, signal.SIGTERM) as signals:
                async for signum in signals:
                    if received:
                        logging.getLogger("quelmar.host").warning("second signal: killing the workers")
                        host.kill_workers()
                        continue
                    received.append(signum)
                    logging.getLogger("quelmar.host").info("%s: stopping", signal.Signals(signum).name)
                    serving.cancel()

        serving = anyio.CancelScope()
        tg.start_soon(on_signals)
        # The workers live outside the cancelled scope: a signal ends the serving,
        # then running() interrupts the calls and waits for them to end.
        async with host.running():
            with serving:
                if wire is None:
                    from quelmar.host.http import serve_http

                    await serve_http(host, args.http, sock)
                else:
                    await _serve_stdio(host, *wire, max_line_bytes=int(2 * args.max_content_mb * MIB) + MIB)
        tg.cancel_scope.cancel()
    return EXIT_STATUS[signal.Signals(received[0])] if received else 0


MIB = 1024 * 1024


async def _spawn_quick_worker() -> Any:
    """A quick worker, spawned before the server's own (slow) imports so that the two overlap; None on failure."""
    from quelmar.host.pool import Worker
    from quelmar.host.registry import lane_modules

    try:
        return await Worker.spawn(lane_modules("quick"), warm=True)
    except OSError as exc:
        logging.getLogger("quelmar.host").warning("cannot start a quick worker ahead of use: %s", exc)
        return None


def _log_home(home: Path) -> None:
    """The first log line, shown at every log level: where trainings write."""
    log = logging.getLogger("quelmar.host.home")
    log.setLevel(logging.INFO)
    log.info("output home %s: training logs, plots and models (--output-dir)", home)


def _log_roots(host: Any) -> None:
    from quelmar.host.policy import NO_ROOTS, unsafe_start_dir

    policy, log = host.policy, logging.getLogger("quelmar.host")
    if not policy.fixed_roots and unsafe_start_dir(policy.start_dir):
        log.warning(
            "started in %s without --root: no files are served until the client grants roots (%s)",
            policy.start_dir, NO_ROOTS.split(". ", 1)[-1],
        )


async def _serve_stdio(host: Any, wire_in: Any, wire_out: Any, max_line_bytes: int | None = None) -> None:
    from quelmar.host.wire import DEFAULT_MAX_LINE_BYTES, stdio_transport

    server = host.build_server()
    async with stdio_transport(wire_in, wire_out, max_line_bytes or DEFAULT_MAX_LINE_BYTES) as (
        read_stream,
        write_stream,
    ):
        await server.run(read_stream, write_stream, host.initialization_options(server))


def main(argv: list[str] | None = None) -> int:
    """Serve until the client closes standard input (or the HTTP server is stopped by a signal)."""
    args = _parse(argv)
    wire = sock = None
    if args.http:
        from quelmar.host.http import PortUnavailable, listen

        try:
            sock = listen(args.http)  # before anything starts: a port in use is one line, exit status 1
        except PortUnavailable as exc:
            print(exc, file=sys.stderr)
            return 1
    else:
        from quelmar.host.stdio import claim_stdio

        protocol_in, protocol_out = claim_stdio()
        wire = (protocol_in.buffer, protocol_out.buffer)
    logging.basicConfig(level=args.log_level, stream=sys.stderr, format="quelmar-host %(levelname)s %(message)s")

    import anyio

    try:
        status = anyio.run(_serve, args, wire, sock)
    finally:
        for stream in (sys.stdout, sys.stderr):
            try:
                stream.flush()
            except (OSError, ValueError):
                pass
    return status


if __name__ == "__main__":
    sys.exit(main())
