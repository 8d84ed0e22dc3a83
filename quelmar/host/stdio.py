"""Keeping a message stream on fd 0 and fd 1 clean of whatever tools print.

Tools and the libraries they use may print, from Python or from native code;
none of that may reach the stream of messages. ``claim_stdio`` keeps private
duplicates of fd 0 and fd 1 for the messages, points fd 1 (and
``sys.stdout``) at standard error and fd 0 at the null device. Used by the
host for the protocol and by each worker for its exchange with the host.
"""

from __future__ import annotations

import io
import os
import sys
from typing import TextIO

__all__ = ["claim_stdio"]


def claim_stdio() -> tuple[TextIO, TextIO]:
    """Take fd 0 and fd 1 for messages; return text streams on private copies."""
    for stream in (sys.stdout, sys.stderr):
        if stream is not None:
            stream.flush()
    # os.dup gives non-inheritable descriptors: child processes never see them.
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
