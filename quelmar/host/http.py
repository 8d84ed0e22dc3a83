"""The Streamable HTTP transport: ``quelmar-host --http HOST:PORT``.

Serves MCP at ``http://HOST:PORT/mcp`` with the SDK's Streamable HTTP session
manager, run by uvicorn, and the same ``ToolHost`` as over stdio (workers,
file policy, limits) for every session. Protection:

* Loopback addresses (127.0.0.0/8, ::1, localhost) are the default; any other
  address needs a bearer token, read from the environment variable
  ``QUELMAR_HOST_TOKEN`` or from ``--token-file`` (never from the command
  line, where other users of the machine could read it). When a token is
  set, every request must carry ``Authorization: Bearer TOKEN`` (401
  otherwise), on loopback too.
* Origin checking against DNS rebinding: a request that carries an
  ``Origin`` header is refused (403) unless the origin is a loopback one
  (``http://localhost:*``, ``http://127.0.0.1:*``, ``http://[::1]:*``) or one
  given with ``--allow-origin``. On loopback the Host header is checked too.
* Over HTTP the allowed roots are the ``--root`` directories or the
  directory the host was started in: a remote client's own roots name
  directories of another machine.
* Connections are limited before any request is read: at most
  ``max_connections`` at once (when a new one would pass the limit, the
  oldest connection that has not yet sent a complete request head is closed
  for it, or the new one if every connection is serving a request), and a
  connection must send its request head within ``header_timeout`` seconds.
  So clients that open connections and send half a request cannot take the
  host's file descriptors or block well-behaved clients.
* A port in use is one line on standard error and exit status 1.
* ``POST /upload?name=NAME`` with a CSV file as the request body (behind the
  same token and Origin checks) stores it in the host's upload folder under
  a fresh name (``NAME``'s stem made safe, a random tag, ``.csv``), at most
  the ``--max-content-mb`` limit; the answer (201, JSON) gives that ``name``,
  which the tools take as a file name (e.g. ``data_train``), its ``path`` and
  ``size``.
"""

from __future__ import annotations

import hmac
import ipaddress
import logging
import os
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import Any
from urllib.parse import urlparse

__all__ = ["TOKEN_ENV", "HttpSettings", "PortUnavailable", "listen", "serve_http"]

logger = logging.getLogger("quelmar.host")

TOKEN_ENV = "QUELMAR_HOST_TOKEN"
"""Environment variable that holds the bearer token."""

LOOPBACK_NAMES = ("localhost",)

DEFAULT_MAX_CONNECTIONS = 256
"""Most HTTP connections at once (well under the usual limit of 1,024 open files)."""
ACCEPT_BURST = 128
"""Connections accepted at a time (and the listen queue): open files stay under the limit plus this."""
DEFAULT_HEADER_TIMEOUT = 10.0
"""Seconds a connection may take to send a request's head (request line and headers)."""


def is_loopback(host: str) -> bool:
    """Whether the address (or name) is a loopback one."""
    if host.lower() in LOOPBACK_NAMES:
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


@dataclass(frozen=True)
class HttpSettings:
    """Where to listen, the bearer token and the accepted browser origins."""

    host: str
    port: int
    token: str | None = None
    origins: tuple[str, ...] = field(default_factory=tuple)
    max_connections: int = DEFAULT_MAX_CONNECTIONS
    header_timeout: float = DEFAULT_HEADER_TIMEOUT

    @classmethod
    def from_options(cls, address: str, token_file: str | None, origins: list[str]) -> HttpSettings:
        """Parse ``HOST:PORT``, read the token; ValueError says what is wrong.

        Args:
            address: "HOST:PORT", e.g. "127.0.0.1:8765" or "[::1]:8765".
            token_file: a file whose first line is the token (or None).
            origins: browser origins to accept besides the loopback ones.
        """
        host, sep, port_text = address.rpartition(":")
        if not sep or not host or not port_text.isdigit() or not 0 <= int(port_text) < 65536:
            raise ValueError(f"--http {address}: expected HOST:PORT, e.g. 127.0.0.1:8765")
        host = host.strip("[]")
        # Taken out of the environment, so that no worker process inherits it.
        token = os.environ.pop(TOKEN_ENV, None) or None
        if token_file:
            try:
                with open(token_file, encoding="utf-8") as f:
                    token = f.readline().strip() or None
            except OSError as exc:
                raise ValueError(f"--token-file {token_file}: {exc.strerror}") from None
            if token is None:
                raise ValueError(f"--token-file {token_file}: the file holds no token")
        if not is_loopback(host) and token is None:
            raise ValueError(
                f"--http {address} is not a loopback address: set a bearer token "
                f"({TOKEN_ENV} or --token-file) so that only your clients can use the tools"
            )
        for origin in origins:
            if not urlparse(origin).scheme or not urlparse(origin).netloc:
                raise ValueError(f"--allow-origin {origin}: expected an origin like https://example.org")
        return cls(host, int(port_text), token, tuple(o.rstrip("/") for o in origins))

    def origin_allowed(self, origin: str) -> bool:
        """Whether a request with this Origin header may proceed."""
        if origin.rstrip("/") in self.origins:
            return True
        parsed = urlparse(origin)
        return parsed.scheme in ("http", "https") and is_loopback(parsed.hostname or "")


class Guard:
    """ASGI middleware: the bearer token and the Origin check, ahead of the MCP endpoint."""

    def __init__(self, app: Any, settings: HttpSettings) -> None:
        self.app, self.settings = app, settings

    async def __call__(self, scope: Any, receive: Any, send: Any) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        headers = {k.decode("latin-1").lower(): v.decode("latin-1") for k, v in scope.get("headers", [])}
        origin = headers.get("origin")
        if origin is not None and not self.settings.origin_allowed(origin):
            logger.warning("refused a request from origin %s", origin)
            await _plain(send, 403, "Forbidden: this Origin is not allowed (DNS rebinding protection)")
            return
        if self.settings.token is not None:
            scheme, _, given = headers.get("authorization", "").partition(" ")
            if scheme.lower() != "bearer" or not hmac.compare_digest(given.strip().encode(), self.settings.token.encode()):
                await _plain(send, 401, "Unauthorized: a valid bearer token is required", {"www-authenticate": "Bearer"})
                return
        await self.app(scope, receive, send)


UPLOAD_PATH = "/upload"


class Uploads:
    """ASGI middleware: ``POST /upload`` writes the body into the upload folder; the rest goes on."""

    def __init__(self, app: Any, folder: Any, limit: int, *, check_host: bool = False) -> None:
        self.app, self.folder, self.limit, self.check_host = app, folder, limit, check_host

    async def __call__(self, scope: Any, receive: Any, send: Any) -> None:
        if scope["type"] != "http" or scope.get("path", "").rstrip("/") != UPLOAD_PATH:
            await self.app(scope, receive, send)
            return
        if self.check_host:  # served on loopback: the Host header too (DNS rebinding)
            headers = {k.decode("latin-1").lower(): v.decode("latin-1") for k, v in scope.get("headers", [])}
            if not is_loopback(urlparse(f"//{headers.get('host', '')}").hostname or ""):
                await _plain(send, 403, "Forbidden: this Host is not allowed (DNS rebinding protection)")
                return
        if scope.get("method") != "POST":
            await _plain(send, 405, "Method Not Allowed: send the CSV file with POST", {"allow": "POST"})
            return
        import json
        from urllib.parse import parse_qs

        import anyio

        from quelmar.host.resources import upload_name

        query = parse_qs(scope.get("query_string", b"").decode("latin-1"))
        name = upload_name((query.get("name") or [None])[0])
        folder = anyio.Path(self.folder)
        await folder.mkdir(parents=True, exist_ok=True)
        partial = folder / f".{name}.part"
        size, too_large = 0, False
        try:
            async with await anyio.open_file(partial, "xb") as out:
                while True:
                    message = await receive()
                    if message["type"] == "http.disconnect":
                        await partial.unlink(missing_ok=True)
                        return
                    chunk = message.get("body", b"")
                    size += len(chunk)
                    if size > self.limit:
                        too_large = True
                        break
                    await out.write(chunk)
                    if not message.get("more_body", False):
                        break
            if too_large or size == 0:
                await partial.unlink(missing_ok=True)
                if too_large:
                    mib = self.limit / (1024 * 1024)
                    await _plain(send, 413, f"Payload Too Large: an upload may hold at most {mib:g} MiB (--max-content-mb)")
                else:
                    await _plain(send, 400, "Bad Request: the upload is empty")
                return
            await partial.rename(folder / name)
        except OSError as exc:
            await partial.unlink(missing_ok=True)
            logger.warning("an upload could not be stored: %s", exc)
            await _plain(send, 500, f"The upload could not be stored: {exc.strerror or exc}")
            return
        path = str(await (folder / name).resolve())
        logger.info("stored an upload of %d bytes as %s", size, path)
        body = json.dumps({"name": name, "path": path, "size": size}).encode()
        await send({"type": "http.response.start", "status": 201, "headers": [(b"content-type", b"application/json")]})
        await send({"type": "http.response.body", "body": body})


async def _plain(send: Any, status: int, text: str, extra: dict[str, str] | None = None) -> None:
    headers = [(b"content-type", b"text/plain; charset=utf-8")]
    headers += [(k.encode(), v.encode()) for k, v in (extra or {}).items()]
    await send({"type": "http.response.start", "status": status, "headers": headers})
    await send({"type": "http.response.body", "body": text.encode()})


def build_app(host: Any, settings: HttpSettings) -> Any:
    """The ASGI application: the SDK's Streamable HTTP app behind the guard."""
    from mcp.server.transport_security import TransportSecuritySettings

    server = host.build_server()
    if is_loopback(settings.host):
        security = TransportSecuritySettings(
            enable_dns_rebinding_protection=True,
            allowed_hosts=["127.0.0.1:*", "localhost:*", "[::1]:*", "127.0.0.1", "localhost", "[::1]"],
            allowed_origins=["http://127.0.0.1:*", "http://localhost:*", "http://[::1]:*", *settings.origins],
        )
    else:  # the Origin check is the guard's; the Host header of a remote name is not known here
        security = TransportSecuritySettings(enable_dns_rebinding_protection=False)
    app = server.streamable_http_app(transport_security=security, host=settings.host)
    limit = int(host.policy.max_content_mb * 1024 * 1024)
    return Guard(Uploads(app, host.home.uploads, limit, check_host=is_loopback(settings.host)), settings)


def limited_protocol(max_connections: int, header_timeout: float) -> type:
    """uvicorn's h11 protocol with a connection limit and a time limit on request heads."""
    import asyncio

    from uvicorn.protocols.http.h11_impl import H11Protocol

    class Limited(H11Protocol):
        def connection_made(self, transport: Any) -> None:  # type: ignore[override]
            self._head_seen = False
            super().connection_made(transport)
            if len(self.connections) > max_connections:
                waiting = [c for c in self.connections if c is not self and not getattr(c, "_head_seen", True)]
                victim = min(waiting, key=lambda c: c._opened) if waiting else self
                victim.transport.close()
                victim.connections.discard(victim)
                if victim is self:
                    return
            self._opened = asyncio.get_running_loop().time()
            self._head_timer = asyncio.get_running_loop().call_later(header_timeout, self._head_too_slow)

        def _head_too_slow(self) -> None:
            if not self._head_seen:
                self.transport.close()
                self.connections.discard(self)

        def handle_events(self) -> None:
            super().handle_events()
            if self.scope is not None and not self._head_seen:  # a request head has arrived
                self._head_seen = True
                self._head_timer.cancel()

        def connection_lost(self, exc: Exception | None) -> None:
            timer = getattr(self, "_head_timer", None)
            if timer is not None:
                timer.cancel()
            super().connection_lost(exc)

    return Limited


def listen(settings: HttpSettings) -> Any:
    """The bound socket to serve on; PortUnavailable (a one-line message) when the address cannot be used."""
    import socket

    family = socket.AF_INET6 if ":" in settings.host else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind((settings.host, settings.port))
    except OSError as exc:
        sock.close()
        raise PortUnavailable(
            f"quelmar-host: cannot listen on {_shown(settings)}:{settings.port}: {exc.strerror or exc}"
        ) from None
    return sock


class PortUnavailable(Exception):
    """The address cannot be listened on (e.g. the port is in use); the message is one line."""


def _shown(settings: HttpSettings) -> str:
    return settings.host if ":" not in settings.host else f"[{settings.host}]"


async def serve_http(host: Any, settings: HttpSettings, sock: Any = None) -> None:
    """Serve until cancelled (the host's signal handling cancels it), on ``sock`` if given."""
    import uvicorn

    class Server(uvicorn.Server):
        @contextmanager
        def capture_signals(self):  # the host handles the signals itself
            yield

    config = uvicorn.Config(
        build_app(host, settings),
        host=settings.host,
        port=settings.port,
        log_level="warning",
        lifespan="on",
        http=limited_protocol(settings.max_connections, settings.header_timeout),
        timeout_keep_alive=5,
        # asyncio accepts up to `backlog` connections at a time before any of them is seen:
        # a small burst keeps the open files bounded while the limit above closes the excess.
        backlog=ACCEPT_BURST,
    )
    server = Server(config)
    sock = sock if sock is not None else listen(settings)
    logger.warning("serving MCP at http://%s:%d/mcp", _shown(settings), sock.getsockname()[1])
    try:
        await server.serve(sockets=[sock])
    finally:
        server.should_exit = True
