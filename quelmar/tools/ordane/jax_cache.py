"""JAX's persistent compilation cache for trainings.

A process that trains a model of a shape seen before (same method, settings
and data shapes) loads its compiled programs from disk instead of compiling
them.  The cache lives in ``$QUELMAR_JAX_CACHE_DIR`` when set, else in the
platform's per-user cache folder (``$XDG_CACHE_HOME/quelmar/jax``, by default
``~/.cache/quelmar/jax``; ``~/Library/Caches/quelmar/jax`` on macOS,
``%LOCALAPPDATA%\\quelmar\\jax`` on Windows).  ``QUELMAR_JAX_CACHE=0``
disables it; a cache folder set through JAX's own
``JAX_COMPILATION_CACHE_DIR`` is left as it is.  Deleting the folder clears
it.
"""

from __future__ import annotations

import os
import sys

ENV_DIR = "QUELMAR_JAX_CACHE_DIR"
ENV_SWITCH = "QUELMAR_JAX_CACHE"


def cache_dir() -> str | None:
    """The cache folder of this process, or None when the cache is off."""
    if os.environ.get(ENV_SWITCH, "").strip().lower() in ("0", "false", "no", "off"):
        return None
    chosen = os.environ.get(ENV_DIR)
    if chosen:
        return os.path.abspath(os.path.expanduser(chosen))
    return os.path.join(user_cache_folder(), "jax")


def user_cache_folder(environ=None) -> str:
    """quelmar's folder in the platform's per-user cache location."""
    environ = os.environ if environ is None else environ
    if sys.platform == "darwin":
        base = os.path.expanduser("~/Library/Caches")
    elif sys.platform == "win32":
        base = environ.get("LOCALAPPDATA") or os.path.expanduser("~\\AppData\\Local")
    else:
        base = environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache")
    return os.path.join(base, "quelmar")


def enable() -> str | None:
    """Point JAX's persistent compilation cache at `cache_dir()` (every
    program cached, however small or quick to compile); return the folder in
    use, or None.  Takes effect when called before the process's first
    compile."""
    import jax

    if jax.config.jax_compilation_cache_dir:
        return jax.config.jax_compilation_cache_dir
    folder = cache_dir()
    if folder is None:
        return None
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError:
        return None  # an unwritable home: compile as before
    jax.config.update("jax_compilation_cache_dir", folder)
    jax.config.update("jax_persistent_cache_min_compile_time_secs", 0.0)
    jax.config.update("jax_persistent_cache_min_entry_size_bytes", -1)
    return folder
