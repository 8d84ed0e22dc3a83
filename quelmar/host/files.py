"""Opening the files of a tool call in the worker, exactly as they were checked.

The host's policy (``quelmar.host.policy``) resolves each path argument, links
included, and checks that it lies inside the allowed roots. The call may then
wait in a queue; meanwhile the file, or a folder on its way, can be replaced
by a link to somewhere else. So the worker, just before the call, opens the
checked path again, one component at a time from ``/``, following no link at
all (``O_NOFOLLOW`` on every step): a path that has changed into a link since
it was checked is refused. The tool then gets ``/proc/self/fd/N``, the open
file itself, so nothing can be swapped between this check and its read.

Three ways to open an argument (its plan's ``"how"``):

* ``"read"``: a regular file no larger than the limit. A file compressed with
  gzip, bzip2, xz or zip is expanded into an anonymous in-memory file, and
  refused as soon as what it expands to passes the limit; other compressed
  formats are refused.
* ``"folder"``: the file's folder is opened, and the tool gets
  ``/proc/self/fd/D/NAME``: the name is looked up in that open folder, which
  no later link can move. A saved model (its description and its parameters
  beside it) is read that way; the loader follows no link inside the folder.
* ``"create"``: like ``"folder"``, for a file the tool may write (generated
  training data); missing folders are made on the way, inside the root. An
  existing file is opened as with ``"read"``.

A file that does not exist is handed over as ``/proc/self/fd/-1`` (a path
nobody can create), so the tool reports it missing in its own words. What the
tool reports (its result, its error text) names the checked paths again, not
the descriptors.
"""

from __future__ import annotations

import bz2
import errno
import gzip
import lzma
import os
import re
import stat
import zipfile
from typing import IO, Any

from quelmar.host.policy import _kind

__all__ = ["FileGone", "FileRefused", "OpenedFiles", "open_plan"]

FD_DIR = "/proc/self/fd"

_DIRECTORY = os.O_PATH | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC
_FILE = os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC

_CHUNK = 1 << 20

_MAGIC: list[tuple[bytes, str]] = [
    (b"\x1f\x8b", "gzip"),
    (b"BZh", "bzip2"),
    (b"\xfd7zXZ\x00", "xz"),
    (b"PK\x03\x04", "zip"),
    (b"(\xb5/\xfd", "zstd"),
    (b"\x04\x22\x4d\x18", "lz4"),
]
"""The leading bytes of compressed files. A CSV file never starts with them (bzip2 is checked further)."""

_BZIP2 = re.compile(rb"BZh[1-9]1AY&SY")


class FileRefused(Exception):
    """A checked file that cannot be opened as it was checked; the message says why."""


class FileGone(FileRefused):
    """The checked file, or a folder on its way, does not exist (the tool would say "file not found")."""

    def __init__(self, message: str, path: str) -> None:
        super().__init__(message)
        self.path = path


def _components(path: str) -> list[str]:
    if not path.startswith("/"):
        raise FileRefused(f"{path!r} is not an absolute path")
    parts = [part for part in path.split("/") if part]
    if any(part in (".", "..") for part in parts):
        raise FileRefused(f"{path!r} is not a resolved path")
    return parts


def _changed(shown: str, exc: OSError, path: str) -> FileRefused:
    if exc.errno == errno.ENOENT:
        return FileGone(f"{shown} does not exist", path)
    if exc.errno in (errno.ELOOP, errno.ENOTDIR):
        why = "a link now stands where it was checked (links are resolved when a call is checked, never followed later)"
    else:
        why = exc.strerror or str(exc)
    return FileRefused(f"{shown} changed after it was checked: {why}")


def open_folder(path: str, shown: str, *, create: bool = False) -> int:
    """An ``O_PATH`` descriptor of the folder ``path`` (absolute, resolved), reached without following a link.

    Args:
        path: the folder.
        shown: how the argument is named in a refusal.
        create: make missing folders on the way.
    """
    fd = os.open("/", _DIRECTORY)
    try:
        for part in _components(path):
            try:
                next_fd = os.open(part, _DIRECTORY, dir_fd=fd)
            except FileNotFoundError:
                if not create:
                    raise
                try:
                    os.mkdir(part, dir_fd=fd)
                except FileExistsError:  # made meanwhile: it is opened as any other folder
                    pass
                next_fd = os.open(part, _DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = next_fd
    except OSError as exc:
        os.close(fd)
        raise _changed(shown, exc, path) from None
    return fd


def open_file(path: str, shown: str) -> int:
    """A read-only descriptor of the regular file ``path`` (absolute, resolved), reached without following a link."""
    head, _, name = path.rpartition("/")
    if not name:
        raise FileRefused(f"{shown} is not a file name")
    try:
        folder = open_folder(head or "/", shown)
    except FileGone as exc:
        raise FileGone(str(exc), path) from None
    try:
        fd = os.open(name, _FILE, dir_fd=folder)
    except OSError as exc:
        raise _changed(shown, exc, path) from None
    finally:
        os.close(folder)
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise FileRefused(f"{shown} is now {_kind(info.st_mode)}, not a regular file")
        os.set_blocking(fd, True)
    except BaseException:
        os.close(fd)
        raise
    return fd


def compression_of(head: bytes) -> str | None:
    """The compression format whose signature ``head`` starts with, or None."""
    for magic, name in _MAGIC:
        if head.startswith(magic):
            return None if name == "bzip2" and not _BZIP2.match(head) else name
    return None


def _expander(kind: str, raw: IO[bytes], shown: str) -> IO[bytes]:
    if kind == "gzip":
        return gzip.GzipFile(fileobj=raw, mode="rb")
    if kind == "bzip2":
        return bz2.BZ2File(raw, "rb")
    if kind == "xz":
        return lzma.LZMAFile(raw, "rb")
    if kind == "zip":
        archive = zipfile.ZipFile(raw)
        members = [info for info in archive.infolist() if not info.is_dir()]
        if len(members) != 1:
            raise FileRefused(
                f"{shown} is a zip archive of {len(members)} files; only an archive of one file can be read"
            )
        return archive.open(members[0])
    raise FileRefused(f"{shown} is compressed ({kind}); only gzip, bzip2, xz and zip files can be read")


def expand(fd: int, kind: str, limit: int, shown: str) -> int:
    """An in-memory file holding the expansion of the compressed file ``fd``; FileRefused past ``limit`` bytes."""
    memory = os.memfd_create("expanded", os.MFD_CLOEXEC)
    try:
        with open(os.dup(fd), "rb") as raw, _expander(kind, raw, shown) as source, open(
            memory, "wb", closefd=False
        ) as target:
            written = 0
            while chunk := source.read(_CHUNK):
                written += len(chunk)
                if written > limit:
                    raise FileRefused(
                        f"{shown} expands to more than the limit of {limit / (1 << 20):g} MiB (--max-file-mb)"
                    )
                target.write(chunk)
        os.lseek(memory, 0, os.SEEK_SET)
    except (OSError, EOFError, ValueError, RuntimeError, zipfile.BadZipFile, lzma.LZMAError) as exc:
        os.close(memory)
        raise FileRefused(f"{shown} is not a readable {kind} file: {exc}") from None
    except BaseException:
        os.close(memory)
        raise
    return memory


class OpenedFiles:
    """The descriptors opened for one call; how to name them back in what the tool reports."""

    def __init__(self) -> None:
        self.fds: list[int] = []
        self.names: dict[str, str] = {}
        self._pattern: re.Pattern[str] | None = None

    def hand(self, fd: int, path: str) -> str:
        """Keep ``fd`` open for the call; the path the tool gets for it."""
        self.fds.append(fd)
        return self._name(str(fd), path)

    def missing(self, path: str) -> str:
        """A path that names no file and that nobody can create (``/proc/self/fd/-1``, ...), for ``path``.

        The tool then reports the missing file in its own words, at its own time.
        """
        return self._name(f"-{len(self.names) + 1}", path)

    def _name(self, key: str, path: str) -> str:
        self.names[key] = path
        self._pattern = None
        return f"{FD_DIR}/{key}"

    def close(self) -> None:
        for fd in self.fds:
            try:
                os.close(fd)
            except OSError:
                pass
        self.fds.clear()

    def __enter__(self) -> OpenedFiles:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def named(self, text: str) -> str:
        """``text`` with each handed ``/proc/self/fd/N`` replaced by the path it stands for."""
        if not self.names:
            return text
        if self._pattern is None:
            numbers = "|".join(sorted(self.names, key=len, reverse=True))
            self._pattern = re.compile(re.escape(FD_DIR) + r"/(" + numbers + r")(?![0-9])")
        return self._pattern.sub(lambda m: self.names[m.group(1)], text)

    def restore(self, value: Any) -> Any:
        """A plain JSON value with every string passed through ``named``."""
        if isinstance(value, str):
            return self.named(value)
        if isinstance(value, list):
            return [self.restore(v) for v in value]
        if isinstance(value, dict):
            return {self.named(k): self.restore(v) for k, v in value.items()}
        return value


def _read(opened: OpenedFiles, path: str, shown: str, limit: int) -> str:
    fd = open_file(path, shown)
    try:
        size = os.fstat(fd).st_size
        if size > limit:
            raise FileRefused(f"{shown} is now larger than the limit of {limit / (1 << 20):g} MiB (--max-file-mb)")
        kind = compression_of(os.pread(fd, 16, 0))
        if kind is not None:
            expanded = expand(fd, kind, limit, shown)
            os.close(fd)
            fd = expanded
    except BaseException:
        os.close(fd)
        raise
    return opened.hand(fd, path)


def _in_folder(opened: OpenedFiles, path: str, shown: str, create: bool) -> str:
    head, _, name = path.rpartition("/")
    folder = open_folder(head or "/", shown, create=create)
    return opened.hand(folder, head) + "/" + name


def open_plan(plan: dict[str, Any], arguments: dict[str, Any], opened: OpenedFiles) -> dict[str, Any]:
    """The arguments with each planned path replaced by the path of what was opened for it.

    Args:
        plan: argument name to ``{"path", "how", "limit", "shown"}`` (as the policy made it).
        arguments: the call's arguments.
        opened: collects the descriptors, which stay open until the call ends.

    Raises:
        FileRefused: a file is no longer what was checked.
    """
    handed = dict(arguments)
    for name, entry in plan.items():
        path, how, shown = entry["path"], entry["how"], entry.get("shown", name)
        if how == "read":
            try:
                handed[name] = _read(opened, path, shown, int(entry["limit"]))
            except FileGone:
                handed[name] = opened.missing(path)
        elif how == "folder":
            try:
                handed[name] = _in_folder(opened, path, shown, create=False)
            except FileGone:
                head, _, tail = path.rpartition("/")
                handed[name] = opened.missing(head) + "/" + tail
        elif how == "create":
            try:
                handed[name] = _read(opened, path, shown, int(entry["limit"]))
            except FileGone:  # the tool writes it: into the folder opened here
                handed[name] = _in_folder(opened, path, shown, create=True)
        else:
            raise FileRefused(f"{shown}: unknown way of opening {how!r}")
    return handed
