"""What the trainings leave, offered as MCP resources, and the upload folder.

The training tool writes its saved models, plots and logs into three output
directories; ``output_home`` names them (and the folder for files a client
uploads over HTTP). Each file there is a resource:

* ``quelmar://models/NAME`` for a saved model (``.json`` description,
  ``application/json``; ``.npz`` parameters, ``application/octet-stream``),
* ``quelmar://plots/NAME`` for a plot (``image/png``),
* ``quelmar://logs/NAME`` for a training log (``text/plain``).

``resources/list`` gives them newest first with their MIME type and size,
``resources/read`` their content (text, or base64 for binary files, up to
``MAX_READ_MB``). A read opens the file in its own folder without following a
link; a name with a path separator, a hidden name or anything but a regular
file is refused. A training's result links to the files it produced, and its
plots come back as image content too (each at most ``MAX_IMAGE_BYTES``, at
most ``MAX_IMAGES`` of them).

Nothing in this module imports a tool module.
"""

from __future__ import annotations

import base64
import errno
import importlib.util
import os
import re
import secrets
import stat
from dataclasses import dataclass
from datetime import UTC, datetime
from pathlib import Path
from typing import Any, Mapping

import mcp_types as types

__all__ = [
    "HOME_ENV",
    "MAX_IMAGES",
    "MAX_IMAGE_BYTES",
    "OutputHome",
    "ResourceError",
    "list_resources",
    "output_home",
    "produced_content",
    "read_resource",
    "upload_name",
]

HOME_ENV = "QUELMAR_HOME"
"""Environment variable naming the folder of the training outputs."""

SCHEME = "quelmar"

MAX_READ_MB = 64
"""Largest file ``resources/read`` returns, in MiB."""
MAX_IMAGE_BYTES = 2 * 1024 * 1024
"""Largest plot a training's result carries as image content (a larger one is only linked)."""
MAX_IMAGES = 4
"""Most plots a training's result carries as image content."""

_KINDS: dict[str, dict[str, str]] = {
    "models": {".json": "application/json", ".npz": "application/octet-stream"},
    "plots": {".png": "image/png"},
    "logs": {".log": "text/plain"},
}
_TEXT = ("application/json", "text/plain")
_DESCRIPTIONS = {"models": "Saved model", "plots": "Training plot", "logs": "Training log"}


class ResourceError(Exception):
    """A resource URI that names no readable output file; the message says why."""


@dataclass(frozen=True)
class OutputHome:
    """The output directories of the trainings and the upload folder."""

    models: Path
    plots: Path
    logs: Path
    uploads: Path

    def folder(self, kind: str) -> Path:
        return {"models": self.models, "plots": self.plots, "logs": self.logs}[kind]


def _tools_dir() -> Path:
    """The folder of the training tool's compiled module (found without importing it)."""
    spec = importlib.util.find_spec("quelmar.tools.fitrun")
    if spec is not None and spec.origin:
        return Path(spec.origin).parent
    spec = importlib.util.find_spec("quelmar.tools")
    assert spec is not None and spec.submodule_search_locations
    return Path(list(spec.submodule_search_locations)[0])


def output_home(env: Mapping[str, str] | None = None) -> OutputHome:
    """The output directories the training tool writes to.

    With ``QUELMAR_HOME`` set (in ``env``, by default the process's
    environment): ``logs``, ``plots``, ``ordane/model_saved`` and ``uploads``
    under it; otherwise those of the installed tools' folder.
    """
    env = os.environ if env is None else env
    home = env.get(HOME_ENV)
    base = Path(os.path.expanduser(home)) if home else _tools_dir()
    return OutputHome(base / "ordane" / "model_saved", base / "plots", base / "logs", base / "uploads")


def _uri(kind: str, name: str) -> str:
    return f"{SCHEME}://{kind}/{name}"


def _mime(kind: str, name: str) -> str | None:
    return _KINDS[kind].get(os.path.splitext(name)[1].lower())


def _entries(home: OutputHome) -> list[tuple[float, str, str, int]]:
    """(modification time, kind, name, size) of every output file."""
    out = []
    for kind in _KINDS:
        try:
            with os.scandir(home.folder(kind)) as listing:
                for entry in listing:
                    if entry.name.startswith(".") or _mime(kind, entry.name) is None:
                        continue
                    try:
                        info = entry.stat(follow_symlinks=False)
                    except OSError:
                        continue
                    if stat.S_ISREG(info.st_mode):
                        out.append((info.st_mtime, kind, entry.name, info.st_size))
        except OSError:  # a folder not made yet, or unreadable: nothing of that kind
            continue
    out.sort(key=lambda e: (-e[0], e[1], e[2]))
    return out


def _resource(kind: str, name: str, size: int, mtime: float, cls: type = types.Resource) -> Any:
    return cls(
        uri=_uri(kind, name),
        name=name,
        title=f"{_DESCRIPTIONS[kind]} {name}",
        description=f"{_DESCRIPTIONS[kind]} written {datetime.fromtimestamp(mtime, UTC):%Y-%m-%d %H:%M:%S} UTC",
        mime_type=_mime(kind, name),
        size=size,
    )


def list_resources(home: OutputHome, cursor: str | None = None, page_size: int = 500) -> types.ListResourcesResult:
    """The output files, newest first, ``page_size`` at a time (``cursor``: where the last page ended)."""
    start = 0
    if cursor is not None:
        if not cursor.isdigit():
            raise ResourceError(f"unknown cursor {cursor!r}")
        start = int(cursor)
    entries = _entries(home)
    page = entries[start : start + page_size]
    following = str(start + page_size) if start + page_size < len(entries) else None
    return types.ListResourcesResult(
        resources=[_resource(kind, name, size, mtime) for mtime, kind, name, size in page], next_cursor=following
    )


def _parse(uri: str) -> tuple[str, str]:
    prefix = f"{SCHEME}://"
    if not uri.startswith(prefix):
        raise ResourceError(f"{uri!r} is not a resource of this host (they start with {prefix})")
    kind, _, name = uri[len(prefix) :].partition("/")
    if kind not in _KINDS:
        raise ResourceError(f"{uri!r}: unknown kind {kind!r} (models, plots or logs)")
    if not name or "/" in name or "\\" in name or "\0" in name or name.startswith("."):
        raise ResourceError(f"{uri!r} does not name a file of the {kind} folder")
    if _mime(kind, name) is None:
        raise ResourceError(f"{uri!r}: the {kind} folder offers only {', '.join(_KINDS[kind])} files")
    return kind, name


def _read_in(folder: Path, name: str, limit: int, shown: str) -> bytes:
    """The bytes of ``folder/name``, opened without following a link; ResourceError otherwise."""
    try:
        dir_fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError as exc:
        raise ResourceError(f"{shown} does not exist ({exc.strerror})") from None
    try:
        fd = os.open(name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, dir_fd=dir_fd)
    except OSError as exc:
        verb = "does not exist" if exc.errno == errno.ENOENT else "cannot be read"
        raise ResourceError(f"{shown} {verb} ({exc.strerror})") from None
    finally:
        os.close(dir_fd)
    with os.fdopen(fd, "rb") as f:
        info = os.fstat(f.fileno())
        if not stat.S_ISREG(info.st_mode):
            raise ResourceError(f"{shown} is not a regular file")
        if info.st_size > limit:
            raise ResourceError(f"{shown} is larger than the limit of {limit // (1024 * 1024)} MiB for reading")
        data = f.read(limit + 1)
    if len(data) > limit:
        raise ResourceError(f"{shown} is larger than the limit of {limit // (1024 * 1024)} MiB for reading")
    return data


def read_resource(home: OutputHome, uri: str, limit: int = MAX_READ_MB * 1024 * 1024) -> types.ReadResourceResult:
    """The content of one output file: text for logs and model descriptions, base64 otherwise."""
    kind, name = _parse(uri)
    data = _read_in(home.folder(kind), name, limit, repr(uri))
    mime = _mime(kind, name)
    contents: types.TextResourceContents | types.BlobResourceContents
    if mime in _TEXT:
        contents = types.TextResourceContents(uri=uri, mime_type=mime, text=data.decode("utf-8", "replace"))
    else:
        contents = types.BlobResourceContents(uri=uri, mime_type=mime, blob=base64.b64encode(data).decode("ascii"))
    return types.ReadResourceResult(contents=[contents])


def link_for(home: OutputHome, path: str | os.PathLike[str]) -> types.ResourceLink | None:
    """A resource link to an output file, or None when the path is not one."""
    path = Path(path)
    for kind in _KINDS:
        folder = home.folder(kind)
        if os.path.realpath(path.parent) == os.path.realpath(folder) and _mime(kind, path.name):
            try:
                info = os.stat(path, follow_symlinks=False)
            except OSError:
                return None
            if stat.S_ISREG(info.st_mode):
                return _resource(kind, path.name, info.st_size, info.st_mtime, types.ResourceLink)
    return None


def produced_files(value: Any) -> tuple[list[str], list[str]]:
    """(files, plots) that a training's result names: its log, saved model and plots."""
    if not isinstance(value, dict) or "log_path" not in value:
        return [], []
    config = value.get("config")
    output = config.get("OUTPUT") if isinstance(config, dict) else None
    output = output if isinstance(output, dict) else {}
    files: list[str] = []
    if isinstance(output.get("model_file"), str):
        model = output["model_file"]
        files += [model, os.path.splitext(model)[0] + ".npz"]
    if isinstance(value.get("log_path"), str):
        files.append(value["log_path"])
    plots = [p for p in output.get("plot_files") or [] if isinstance(p, str)]
    return files, plots


def produced_content(home: OutputHome, value: Any) -> list[types.ContentBlock]:
    """Resource links to what a training produced, and its plots as PNG image content."""
    files, plots = produced_files(value)
    blocks: list[types.ContentBlock] = []
    for path in files + plots:
        link = link_for(home, path)
        if link is not None:
            blocks.append(link)
    images = 0
    for path in plots:
        if images >= MAX_IMAGES or link_for(home, path) is None:
            continue
        try:
            data = _read_in(Path(path).parent, Path(path).name, MAX_IMAGE_BYTES, path)
        except ResourceError:
            continue  # too large or gone: the link is there
        if data.startswith(b"\x89PNG\r\n\x1a\n"):
            blocks.append(types.ImageContent(data=base64.b64encode(data).decode("ascii"), mime_type="image/png"))
            images += 1
    return blocks


_UNSAFE = re.compile(r"[^A-Za-z0-9._-]+")


def upload_name(given: str | None) -> str:
    """A fresh file name for an upload: the given name's stem made safe, a random tag, ``.csv``."""
    stem = os.path.splitext(os.path.basename((given or "").replace("\\", "/")))[0]
    stem = _UNSAFE.sub("_", stem).strip("._-")[:64] or "upload"
    return f"{stem}-{secrets.token_hex(4)}.csv"
