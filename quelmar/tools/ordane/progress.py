"""Training progress for whoever runs the pipeline (the tool host, a notebook).

A run reports each epoch to the callback it was given:
``train_model(..., on_epoch=callback)`` calls ``callback(epochs_done,
epochs_total)`` after every epoch.  A callback that raises stops the run with
its exception (which is how a host can interrupt a training from its progress
hook).

Callers that can pass only the three settings of the tool call (the
``fitrun`` tool, the host's worker) install the callback here instead::

    from quelmar.tools.ordane import progress
    previous = progress.set_callback(lambda done, total: print(done, "of", total))

The installed callback belongs to the current thread (a context variable:
threads and asyncio tasks each see their own, and a new thread starts with
none); ``train_model`` called without ``on_epoch`` reads it once, when it
starts, and hands it down to the run.  `set_callback(None)` removes it.
"""

from __future__ import annotations

from contextvars import ContextVar
from typing import Callable

Callback = Callable[[int, int], None]

_installed: ContextVar[Callback | None] = ContextVar("quelmar_ordane_progress", default=None)


def set_callback(callback: Callback | None) -> Callback | None:
    """Install `callback(epochs_done, epochs_total)` for the current thread;
    return the one it replaces."""
    previous = _installed.get()
    _installed.set(callback)
    return previous


def current() -> Callback | None:
    """The callback installed for the current thread, or None."""
    return _installed.get()


def report(epochs_done: int, epochs_total: int) -> None:
    """Tell the callback installed for the current thread, if any, how far a
    run has come."""
    callback = _installed.get()
    if callback is not None:
        callback(epochs_done, epochs_total)
