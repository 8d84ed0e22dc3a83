"""Run the quelmar tool host: ``python -m quelmar.host`` or ``quelmar-host``.

The protocol runs over the process's standard input and output. Tools and the
libraries they use may print, from Python or from native code; none of that
may reach the protocol stream. So, before anything else, the host takes the
two descriptors for itself: it keeps private duplicates of fd 0 and fd 1 for
the protocol, points fd 1 (and ``sys.stdout``) at standard error and fd 0 at
the null device, and builds the SDK's stdio transport on the duplicates.
Whatever is printed afterwards lands on standard error, which MCP clients
show as the server's log.
"""

from __future__ import annotations

import argparse
import io
import logging
import os
import sys
import threading
from typing import TextIO

__all__ = ["main"]


def _claim_stdio() -> tuple[TextIO, TextIO]:
    """Take fd 0 and fd 1 for the protocol; return text streams on private copies."""
    for stream in (sys.stdout, sys.stderr):
        if stream is not None:
            stream.flush()
    # os.dup gives non-inheritable descriptors: child processes never see the wire.
    wire_in = os.dup(0)
    wire_out = os.dup(1)
    os.dup2(2, 1)
    null = os.open(os.devnull, os.O_RDONLY)
    try:
        os.dup2(null, 0)
    finally:
        os.close(null)
    # sys.stdout stays an ordinary writable text stream (the training tool swaps
    # it for its log capture and puts it back), now on fd 1, i.e. standard error.
    sys.stdout = io.TextIOWrapper(
        io.FileIO(1, "w", closefd=False), encoding="utf-8", errors="backslashreplace", line_buffering=True
    )
    sys.stdin = io.TextIOWrapper(io.FileIO(0, "r", closefd=False), encoding="utf-8")
    protocol_in = io.TextIOWrapper(os.fdopen(wire_in, "rb"), encoding="utf-8", errors="replace")
    protocol_out = io.TextIOWrapper(os.fdopen(wire_out, "wb"), encoding="utf-8", newline="\n", write_through=True)
    return protocol_in, protocol_out


async def _serve(protocol_in: TextIO, protocol_out: TextIO, progress_interval: float) -> None:
    import anyio
    from mcp.server.stdio import stdio_server

    from quelmar.host.server import ToolHost

    server = ToolHost(progress_interval=progress_interval).build_server()
    async with stdio_server(stdin=anyio.wrap_file(protocol_in), stdout=anyio.wrap_file(protocol_out)) as (
        read_stream,
        write_stream,
    ):
        await server.run(read_stream, write_stream, server.create_initialization_options())


def _parse(argv: list[str] | None) -> argparse.Namespace:
    from quelmar.host.server import DEFAULT_PROGRESS_INTERVAL

    parser = argparse.ArgumentParser(
        prog="quelmar-host",
        description="Serve quelmar's tools to an AI assistant over the Model Context Protocol (stdio).",
    )
    parser.add_argument(
        "--progress-interval",
        type=float,
        default=DEFAULT_PROGRESS_INTERVAL,
        metavar="SECONDS",
        help="seconds between progress notifications of a running call (default: %(default)s)",
    )
    parser.add_argument(
        "--log-level",
        default="WARNING",
        choices=["DEBUG", "INFO", "WARNING", "ERROR"],
        help="level of the host's own log on standard error (default: %(default)s)",
    )
    args = parser.parse_args(argv)
    if not args.progress_interval > 0:
        parser.error("--progress-interval must be positive")
    return args


def main(argv: list[str] | None = None) -> int:
    """Serve until the client closes standard input."""
    args = _parse(argv)
    protocol_in, protocol_out = _claim_stdio()
    logging.basicConfig(level=args.log_level, stream=sys.stderr, format="quelmar-host %(levelname)s %(message)s")

    import anyio

    try:
        anyio.run(_serve, protocol_in, protocol_out, args.progress_interval)
    except KeyboardInterrupt:
        return 130
    finally:
        for stream in (sys.stdout, sys.stderr):
            try:
                stream.flush()
            except (OSError, ValueError):
                pass
    if threading.active_count() > 1:
        # A call that the client abandoned still runs in its worker thread;
        # the client has gone, so do not wait for it.
        os._exit(0)
    return 0


if __name__ == "__main__":
    sys.exit(main())
