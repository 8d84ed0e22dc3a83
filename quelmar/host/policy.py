"""Which files a tool call may read or write.

The host checks every path argument before a call reaches a worker. A path
is resolved against the first allowed root when it is relative, then its
links are resolved; it is refused when it lies outside every root, is a URL,
is not a regular file (a FIFO, a device, a socket, a ``/proc`` or ``/sys``
entry), or is larger than the file-size limit. Text given as ``csv_content``
has a size limit of its own. A training file that the pipeline is asked to
generate (``bool_data_generation``) must lie inside a root too; its folders
may not exist yet.

The checked arguments carry the resolved absolute paths and, under
``FILES_KEY``, how the worker opens each one just before the call
(``quelmar.host.files``): without following any link, so that what the tool
reads is the file that was checked, even after the call waited in a queue.

The allowed roots: the ``--root`` directories; without them, the roots the
client declares (MCP ``roots/list``; an empty list, or an answer that is not
valid, means no roots); without those, the directory the host was started
in, unless that is ``/`` or the user's home directory: then no roots, and
every path is refused with a message that says how to grant some.

The host's output home (``--output-dir``, where trainings write their logs,
plots and models) is readable to every tool as well, without being a root: a
relative path never starts there and nothing is written there on a client's
behalf. A model argument may also be a saved model's bare name
(``ordane_linear_regression_20260102_030405``, with or without ``.json``),
found in the output home's model folder.
"""

from __future__ import annotations

import os
import re
import stat
from collections.abc import Iterable, Mapping, Sequence
from pathlib import Path
from typing import Any
from urllib.parse import unquote, urlparse

from quelmar.host.registry import TOOLS

__all__ = ["FILES_KEY", "FilePolicy", "MODEL_SUBDIR", "Refused", "default_output_dir", "paths_from_root_uris"]

MIB = 1024 * 1024

READ_ARGUMENTS = {entry.name: entry.paths for entry in TOOLS if entry.paths}
"""The path arguments of each tool, all of them files that the tool reads."""

CONTENT_ARGUMENTS = {entry.name: entry.content for entry in TOOLS if entry.content}
"""Arguments that carry file content as text."""

MODEL_ARGUMENTS = {entry.name: entry.models for entry in TOOLS if entry.models}
"""Path arguments naming a saved model: the worker opens its folder, and the loader reads the
description and the parameters beside it in that open folder."""

GENERATED_ARGUMENTS = {entry.name: dict(entry.generated) for entry in TOOLS if entry.generated}
"""Path arguments whose file the tool writes when missing, with the flag that asks for it."""

FILES_KEY = "@files"
"""The entry of the checked arguments that tells the worker how to open each checked path
(argument name to ``{"path", "how", "limit", "shown"}``); never a tool's parameter."""

SPECIAL_TREES = ("/proc", "/sys", "/dev")
"""Kernel file systems: what looks like a file there is not one."""

_URL = re.compile(r"^([A-Za-z][A-Za-z0-9+.-]*://|(file|https?|ftp|s3|gs|gcs):)", re.IGNORECASE)
"""What pandas would fetch instead of opening a local file: "scheme://..." and the URL schemes it knows."""


NO_ROOTS = (
    "the host has no allowed roots, so no file can be used. Start it with --root DIR (repeatable), "
    "or let the client grant roots (MCP roots/list)"
)


HOME_ENV = "QUELMAR_HOME"
"""The training tool's output home; the host sets it for its workers from ``--output-dir``."""

MODEL_SUBDIR = ("ordane", "model_saved")
"""Where in an output home the training tool saves its models (logs and plots are beside)."""


def default_output_dir(environ: Mapping[str, str] | None = None) -> Path:
    """The platform's per-user data directory for quelmar: ``$XDG_DATA_HOME/quelmar`` (when that is an
    absolute path), else ``~/.local/share/quelmar``. The training tool falls back to the same place."""
    environ = os.environ if environ is None else environ
    base = environ.get("XDG_DATA_HOME") or ""
    root = Path(base) if os.path.isabs(base) else Path.home() / ".local" / "share"
    return root / "quelmar"


def unsafe_start_dir(path: str | os.PathLike[str]) -> bool:
    """Whether a start directory is too wide to serve by default: ``/`` or the user's home directory."""
    real = os.path.realpath(path)
    return real == os.sep or real == os.path.realpath(os.path.expanduser("~"))


class Refused(Exception):
    """A path or text argument that the policy does not allow; the message says why."""


def paths_from_root_uris(uris: Iterable[str]) -> list[Path]:
    """The local directories among a client's root URIs (``file://`` only)."""
    paths = []
    for uri in uris:
        parsed = urlparse(str(uri))
        if parsed.scheme == "file" and parsed.netloc in ("", "localhost"):
            paths.append(Path(unquote(parsed.path)))
    return paths


def _inside(path: str, root: str) -> bool:
    return path == root or path.startswith(root.rstrip(os.sep) + os.sep)


class FilePolicy:
    """The allowed roots and the size limits; checks the arguments of one call."""

    def __init__(
        self,
        roots: Sequence[str | os.PathLike[str]] = (),
        *,
        start_dir: str | os.PathLike[str] | None = None,
        max_file_mb: float = 1024,
        max_content_mb: float = 64,
        output_home: str | os.PathLike[str] | None = None,
    ) -> None:
        """
        Args:
            roots: the ``--root`` directories; empty to follow the client's roots.
            start_dir: the last resort root (default: the current directory).
            max_file_mb: largest file a tool may read, in MiB.
            max_content_mb: largest ``csv_content`` text, in MiB (of UTF-8).
            output_home: the trainings' output home, readable to the tools (not a root); None: none.
        """
        self.fixed_roots = [Path(os.path.realpath(os.path.expanduser(r))) for r in roots]
        self.client_roots: list[Path] | None = None
        self.start_dir = Path(os.path.realpath(start_dir if start_dir is not None else os.getcwd()))
        self.max_file_mb = max_file_mb
        self.max_content_mb = max_content_mb
        self.output_home = Path(os.path.realpath(os.path.expanduser(output_home))) if output_home else None
        self.readable: list[Path] = []
        """Folders of the host's own (saved models, uploads) that the tools may read too; never a root."""

    @property
    def follows_client(self) -> bool:
        """Whether the client's roots count (no ``--root`` was given)."""
        return not self.fixed_roots

    def roots(self) -> list[Path]:
        """The roots in force, the first one being where relative paths start."""
        if self.fixed_roots:
            return self.fixed_roots
        if self.client_roots is not None:
            return self.client_roots
        return [] if unsafe_start_dir(self.start_dir) else [self.start_dir]

    def set_client_roots(self, paths: Iterable[str | os.PathLike[str]] | None) -> None:
        """Take the client's declared roots (None: unknown, ask again later)."""
        if paths is None:
            self.client_roots = None
        else:
            self.client_roots = [Path(os.path.realpath(os.path.expanduser(p))) for p in paths]

    # -- checks ----------------------------------------------------------

    def check_call(self, tool: str, arguments: dict[str, Any]) -> dict[str, Any]:
        """The call's arguments with every path resolved; Refused when one is not allowed."""
        checked = dict(arguments)
        plan: dict[str, dict[str, Any]] = {}
        for name in READ_ARGUMENTS.get(tool, ()):
            value = arguments.get(name)
            if not isinstance(value, str) or not value:
                continue  # None or "" (not given) or a wrong type, which the tool itself refuses
            flag = GENERATED_ARGUMENTS.get(tool, {}).get(name)
            model = name in MODEL_ARGUMENTS.get(tool, ())
            if model:
                how = "folder"
            elif flag is not None and arguments.get(flag) in (True, 1):
                how = "create"
            else:
                how = "read"
            # The output home is read, never written, on a client's behalf.
            checked[name] = real = self.check_path(name, value, home=how != "create", model=model)
            limit = int(self.max_file_mb * MIB)
            plan[name] = {"path": real, "how": how, "limit": limit, "shown": f"{name} {value!r}"}
        checked[FILES_KEY] = plan  # also replaces whatever a client sent under that name
        for name in CONTENT_ARGUMENTS.get(tool, ()):
            value = arguments.get(name)
            if isinstance(value, str):
                self.check_content(name, value)
        return checked

    def check_content(self, name: str, text: str) -> None:
        """Refuse a text argument larger than the content limit."""
        limit = self.max_content_mb * MIB
        if len(text) > limit or len(text.encode("utf-8", "surrogatepass")) > limit:
            raise Refused(f"{name} is larger than the limit of {self.max_content_mb:g} MiB (--max-content-mb)")

    def saved_model(self, value: str) -> Path | None:
        """The saved model of the output home that a bare name (no folder) stands for, or None."""
        if self.output_home is None or not value or os.sep in value or value in (".", ".."):
            return None
        folder = self.output_home.joinpath(*MODEL_SUBDIR)
        for candidate in (folder / value, folder / (value + ".json")):
            if os.path.lexists(candidate):
                return candidate
        return None

    def check_path(self, name: str, value: str, *, home: bool = False, model: bool = False) -> str:
        """The resolved absolute path of an allowed file; Refused otherwise.

        Args:
            name: the argument's name, for the message.
            value: the path as the client gave it.
            home: the output home may hold the file (it is only read).
            model: the argument names a saved model (a bare name is looked up in the output home).
        """
        if _URL.match(value):
            raise Refused(f"{name} {value!r} is a URL; only local files inside the allowed roots can be used")
        if "\0" in value:
            raise Refused(f"{name} contains a NUL character")
        roots = self.roots()
        readable = [*([self.output_home] if self.output_home is not None else []), *self.readable]
        trees = [*roots, *(readable if home else [])]
        saved = self.saved_model(value) if home and model else None
        if saved is not None and roots and os.path.lexists(roots[0] / value):
            saved = None  # a file of the client's own comes first
        candidate = saved if saved is not None else Path(os.path.expanduser(value))
        if not trees or not (candidate.is_absolute() or roots):
            raise Refused(f"{name} cannot be used: {NO_ROOTS}")
        if not candidate.is_absolute():
            candidate = roots[0] / candidate
        real = os.path.realpath(candidate)
        shown = f"{name} {value!r}" + (f" (resolved to {real})" if real != value else "")
        if any(_inside(real, tree) for tree in SPECIAL_TREES):
            raise Refused(f"{shown} is a system file, not a regular file; only regular files can be used")
        if not any(_inside(real, str(tree)) for tree in trees):
            also = f"; the output home {self.output_home} is readable too" if home and self.output_home else ""
            if not roots:
                raise Refused(f"{shown} cannot be used: {NO_ROOTS}{also}")
            listed = ", ".join(str(root) for root in roots)
            raise Refused(f"{shown} lies outside the allowed roots ({listed}){also}")
        try:
            info = os.stat(real)
        except FileNotFoundError:
            # The tool reports the missing file, or the pipeline generates it
            # (bool_data_generation): either way it lies inside a root.
            return real
        except OSError as exc:
            raise Refused(f"{shown} cannot be examined: {exc.strerror}") from None
        if not stat.S_ISREG(info.st_mode):
            raise Refused(f"{shown} is {_kind(info.st_mode)}, not a regular file; only regular files can be used")
        if info.st_size > self.max_file_mb * MIB:
            raise Refused(f"{shown} is larger than the limit of {self.max_file_mb:g} MiB (--max-file-mb)")
        return real


def _kind(mode: int) -> str:
    if stat.S_ISDIR(mode):
        return "a directory"
    if stat.S_ISFIFO(mode):
        return "a FIFO"
    if stat.S_ISCHR(mode) or stat.S_ISBLK(mode):
        return "a device"
    if stat.S_ISSOCK(mode):
        return "a socket"
    return "a special file"
