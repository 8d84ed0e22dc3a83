"""Training progress for whoever runs the pipeline (the tool host, a notebook).

The training loop calls `report(epochs_done, epochs_total)` after every epoch.
A caller that wants to follow a run installs a callback first::

    from quelmar.tools.ordane import progress
    progress.set_callback(lambda done, total: print(done, "of", total))

There is one callback per process; `set_callback(None)` removes it. A callback
that raises stops the run with its exception (which is how a host can
interrupt a training from its progress hook).
"""

from __future__ import annotations

from typing import Callable

Callback = Callable[[int, int], None]

_callback: Callback | None = None


def set_callback(callback: Callback | None) -> Callback | None:
    """Install `callback(epochs_done, epochs_total)`; return the one it replaces."""
    global _callback
    previous, _callback = _callback, callback
    return previous


def report(epochs_done: int, epochs_total: int) -> None:
    """Tell the installed callback, if any, how far the run has come."""
    if _callback is not None:
        _callback(epochs_done, epochs_total)
