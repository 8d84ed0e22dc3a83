"""The tool host under load, cancellation, signals and malformed input, driven with raw JSON-RPC messages.

What is about the protocol runs against one in-process host (real worker processes) over the SDK's
in-memory streams, a connection per test; what only a process shows (the stdio wire and its line
limit, signals, exit statuses, HTTP, what the server process maps) runs against host subprocesses."""

import atexit
import json
import os
import queue
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from contextlib import asynccontextmanager
from pathlib import Path
from types import SimpleNamespace

import anyio
import mcp_types as types
import pytest
from mcp.shared.memory import create_client_server_memory_streams
from mcp.shared.message import SessionMessage

import quelmar.tools

LAUNCHER = Path(__file__).with_name("host_launcher.py")
HOME = Path(tempfile.mkdtemp(prefix="quelmar-home-"))  # the hosts' output home (QUELMAR_HOME)
atexit.register(shutil.rmtree, HOME, True)
LOGS = HOME / "logs"
WAIT = 120  # a safety net against a hung host, not a measurement


class Exchange:
    """A connection to the host spoken to one JSON-RPC message at a time (``send`` is the transport's)."""

    def __init__(self):
        self.inbox, self.seen, self.next_id = queue.Queue(), [], 1000  # above the ids tests write by hand

    def request(self, method, params=None, **extra):
        self.next_id += 1
        message = {"jsonrpc": "2.0", "id": self.next_id, "method": method, **extra}
        if params is not None:
            message["params"] = params
        self.send(message)
        return self.next_id

    def notify(self, method, params=None):
        self.send({"jsonrpc": "2.0", "method": method, **({"params": params} if params is not None else {})})

    def wait_for(self, predicate, timeout=WAIT):
        """The first message (seen before or arriving now) that satisfies predicate."""
        for message in self.seen:
            if predicate(message):
                self.seen.remove(message)
                return message
        deadline = time.monotonic() + timeout
        while True:
            message = self.inbox.get(timeout=max(0.01, deadline - time.monotonic()))
            if message is None:
                raise EOFError("the host closed its output")
            if predicate(message):
                return message
            self.seen.append(message)

    def response(self, request_id, timeout=WAIT):
        return self.wait_for(lambda m: m.get("id") == request_id and "method" not in m, timeout)

    def progress(self, token, timeout=WAIT):
        def match(m):
            return m.get("method") == "notifications/progress" and m["params"]["progressToken"] == token

        return self.wait_for(match, timeout)["params"]

    def initialize(self, version="2025-11-25", capabilities=None):
        params = {"protocolVersion": version, "capabilities": capabilities or {}, "clientInfo": {"name": "t", "version": "1"}}
        result = self.response(self.request("initialize", params))["result"]
        self.notify("notifications/initialized")
        return result

    def call(self, name, arguments, token=None, **params):
        params = {"name": name, "arguments": arguments, **params}
        if token is not None:
            params["_meta"] = {"progressToken": token}
        return self.request("tools/call", params)


class RawHost(Exchange):
    """The host as a subprocess, spoken to one JSON line at a time (for the wire, signals, exit statuses)."""

    def __init__(self, args, tmp_path, env=None, **popen):
        super().__init__()
        self.stderr_path = tmp_path / f"stderr-{time.monotonic_ns()}.txt"
        self.stderr = open(self.stderr_path, "w")
        self.proc = subprocess.Popen(
            [sys.executable, "-P", *args],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=self.stderr,
            cwd=tmp_path,
            env={**os.environ, "QUELMAR_HOME": str(HOME), **(env or {})},
            **popen,
        )
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.inbox.put(json.loads(line))
        self.inbox.put(None)

    def send(self, message):
        text = message if isinstance(message, str) else json.dumps(message)
        self.proc.stdin.write(text.encode() + b"\n")
        self.proc.stdin.flush()

    def children(self):
        """Process ids of the host's child processes (its workers)."""
        pids = []
        for entry in Path("/proc").iterdir():
            try:
                if entry.name.isdigit() and int((entry / "stat").read_text().rsplit(")", 1)[1].split()[1]) == self.proc.pid:
                    pids.append(int(entry.name))
            except (OSError, IndexError, ValueError):
                pass
        return pids

    def close(self):
        if self.proc.poll() is None:
            if "--http" in self.proc.args:  # serves until a signal
                self.proc.send_signal(signal.SIGTERM)
            self.proc.stdin.close()
            try:
                self.proc.wait(30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.stderr.close()


class MemoryConnection(Exchange):
    """A connection to an in-process host over the SDK's in-memory streams (the host's workers are real processes).

    Closing it ends the connection as a client going away would: its calls in
    flight are cancelled, the host and its workers go on.
    """

    def __init__(self, shared):
        super().__init__()
        self.portal, self.host = shared.portal, shared.host
        self._context = self.portal.wrap_async_context_manager(self._connected(shared.server))
        self._context.__enter__()

    @asynccontextmanager
    async def _connected(self, server):
        async with create_client_server_memory_streams() as ((client_read, client_write), (server_read, server_write)):
            async with anyio.create_task_group() as tg:
                tg.start_soon(server.run, server_read, server_write, self.host.initialization_options(server))
                tg.start_soon(self._read, client_read)
                self._write = client_write
                yield
                tg.cancel_scope.cancel()

    async def _read(self, stream):
        async for item in stream:
            if isinstance(item, Exception):  # the in-memory streams carry no unreadable lines
                raise item
            self.inbox.put(item.message.model_dump(by_alias=True, exclude_none=True, mode="json"))

    def send(self, message):
        parsed = types.jsonrpc_message_adapter.validate_python(message)
        self.portal.call(self._write.send, SessionMessage(parsed))

    def close(self):
        self._context.__exit__(None, None, None)


@pytest.fixture(scope="module")
def shared(tmp_path_factory):
    """One in-process host for the protocol-level tests, each on a connection of its own (``connect``).

    Its workers run the test setup of ``host_launcher.py`` (execute_timesor waits for a gate
    that never opens; a == -2 ignores interrupts too); one quick worker; 50 calls may wait.
    Its root is pytest's base temporary directory (every tmp_path lies in it).
    """
    from anyio.from_thread import start_blocking_portal

    from quelmar.host.policy import FilePolicy
    from quelmar.host.resources import output_home
    from quelmar.host.server import ToolHost
    from quelmar.host.worker import TEST_SETUP_ENV

    gate = tmp_path_factory.mktemp("gate") / "never"
    env = {**os.environ, "QUELMAR_HOME": str(HOME), TEST_SETUP_ENV: str(LAUNCHER), "QUELMAR_TEST_GATE": str(gate)}
    host = ToolHost(policy=FilePolicy([tmp_path_factory.getbasetemp()]), workers=1, max_queue=50, grace=2,
                    progress_interval=0.2, env=env, home=output_home(env), warm=False)
    with start_blocking_portal() as portal, portal.wrap_async_context_manager(host.running()):
        yield SimpleNamespace(portal=portal, host=host, server=host.build_server(), gate=gate)


@pytest.fixture
def connect(shared):
    connections = []

    def connect():
        connections.append(MemoryConnection(shared))
        return connections[-1]

    yield connect
    for connection in connections:
        connection.close()
    lanes = (shared.host.quick, shared.host.training)
    deadline = time.monotonic() + WAIT  # the calls of a closed connection are withdrawn or stopped
    while any(lane.queue or lane.running for lane in lanes):
        assert time.monotonic() < deadline, "calls of a closed connection still queued or running"
        time.sleep(0.02)


@pytest.fixture
def start(tmp_path):
    hosts = []

    def start(args, **kw):
        hosts.append(RawHost(args, tmp_path, **kw))
        return hosts[-1]

    yield start
    for host in hosts:
        host.close()


def text(message):
    return message["result"]["content"][0]["text"]


def training_data(tmp_path, name="train.csv"):
    rows = [(i % 10 / 10, i // 10 / 6) for i in range(60)]
    path = tmp_path / name
    path.write_text("x1,x2,y\n" + "".join(f"{a},{b},{2 * a - b + 0.5}\n" for a, b in rows))
    return path


def training(data, method="linear", epochs=1_000_000):
    key = "num_epochs_MLP" if method == "MLP" else "num_epochs_INN"
    return {"input_col": [0, 1], "output_col": [2], "data_train": str(data), "interp_method": method,
            key: epochs, "bool_plot": False, "bool_save_model": False, "validation_period": 1000000,
            "learning_rate": 0.05, "stopping_loss_train": 0.0, "patience": 10**9}  # runs its epochs


def new_logs(before, method="linear"):
    return sorted(set(LOGS.glob(f"training_{method}_*.log")) - before)


@pytest.fixture
def logs():
    """The training logs that exist before the test; the test's own new ones are removed after it."""
    before = set(LOGS.glob("training_*.log"))
    yield before
    for log in set(LOGS.glob("training_*.log")) - before:
        log.unlink()


# -- protocol conformance ------------------------------------------------------


@pytest.fixture(scope="module")
def initialized(tmp_path_factory):
    host = RawHost(["-m", "quelmar.host", "--max-content-mb", "0.01", "--no-warm-start"], tmp_path_factory.mktemp("raw"))
    host.initialize()
    yield host
    host.close()


@pytest.mark.parametrize(
    ("line", "expected_id", "code", "fragment"),
    [
        ("{not json", None, -32700, "Parse error"),
        ("[" * 100_000 + "]" * 100_000, None, -32700, "Parse error"),  # nested beyond the parser's depth
        ('[{"jsonrpc": "2.0", "id": 7, "method": "ping"}]', 7, -32600, "batches"),
        ("[]", None, -32600, "batches"),
        ('{"jsonrpc": "1.0", "id": 8, "method": "ping"}', 8, -32600, '"jsonrpc" must be "2.0"'),
        ('{"jsonrpc": "2.0", "id": 9, "method": "ping", "params": [1, 2]}', 9, -32602, '"params" must be an object'),
        ('{"jsonrpc": "2.0", "id": 10, "method": 5}', 10, -32600, '"method" must be a string'),
        ('{"jsonrpc": "2.0", "id": null, "method": "ping"}', None, -32600, '"id" must be'),
        ('"just a string"', None, -32600, "JSON object"),
        ('{"jsonrpc": "2.0", "id": 11}', 11, -32600, '"method"'),
        ('{"jsonrpc": "2.0", "id": 12, "method": "tools/call", "params": {}}', 12, -32602,
         "Invalid params for tools/call: name: Field required"),
        ('{"jsonrpc": "2.0", "id": 13, "method": "tools/call", "params": {"name": "execute_plusor", "arguments": [1]}}',
         13, -32602, "Invalid params for tools/call: arguments: Input should be a valid dictionary"),
        ('{"jsonrpc": "2.0", "id": 14, "method": "tools/call", "params": {"name": "execute_nothing"}}', 14, -32602,
         "Unknown tool: execute_nothing"),
        # Text that is not Unicode (a lone surrogate escape) is refused, never echoed into a reply.
        ('{"jsonrpc": "2.0", "id": 15, "method": "\\ud800"}', None, -32600, "not valid Unicode"),
        ('{"jsonrpc": "2.0", "id": "\\udc00", "method": "ping"}', None, -32600, "not valid Unicode"),
        ('{"jsonrpc": "2.0", "id": 16, "method": "tools/call", "params": {"name": "\\ud800x"}}', 16, -32602,
         "lone surrogate"),
        ('{"jsonrpc": "2.0", "id": 17, "method": "tools/call", "params": {"name": "execute_tabextent", '
         '"arguments": {"file_path": "\\udfff.csv"}}}', 17, -32602, "lone surrogate"),
        ('{"jsonrpc": "2.0", "id": 18, "method": "tasks/get", "params": {"taskId": "\\ud800"}}', 18, -32602,
         "lone surrogate"),
        ('{"jsonrpc": "2.0", "id": 19, "method": "ping", "params": {"a": ' + "[" * 500 + "]" * 500 + "}}", 19,
         -32602, "nested too deeply"),
    ],
)
def test_malformed_messages_are_answered(initialized, line, expected_id, code, fragment):
    initialized.send(line)
    answer = initialized.wait_for(lambda m: "error" in m)
    assert answer["id"] == expected_id and answer["error"]["code"] == code
    assert fragment in answer["error"]["message"]
    assert initialized.response(initialized.request("ping"))["result"] == {}  # and the session goes on


def test_a_line_over_the_limit_is_refused_while_it_is_read(initialized):
    """With --max-content-mb 0.01 a line may hold about 1 MiB; a 3 MiB one is skipped, not parsed."""
    call = {"jsonrpc": "2.0", "id": 20, "method": "tools/call",
            "params": {"name": "execute_tabextent", "arguments": {"csv_content": "a\n" + "1\n" * (3 << 19)}}}
    initialized.send(call)
    answer = initialized.wait_for(lambda m: "error" in m)
    assert answer["id"] is None and answer["error"]["code"] == -32600 and "longer than the limit" in (
        answer["error"]["message"]
    )
    assert [m for m in initialized.seen if m.get("id") == 20] == []
    assert initialized.response(initialized.request("ping"))["result"] == {}


def _fuzz_messages(seed, count):
    """Random JSON-RPC-like messages: random JSON, real and made-up methods, lone surrogates, deep nesting."""
    import random

    rng = random.Random(seed)
    methods = ["ping", "tools/list", "tools/call", "tasks/get", "tasks/list", "tasks/cancel", "tasks/result",
               "initialize", "resources/list", "notifications/cancelled", "\ud800", "x\udfffy", ""]
    texts = ["", "a", "\ud800", "\udc00x", "é", "\u0000", "../../etc/passwd", "/proc/self/environ", "x" * 300]

    def value(depth=0):
        kind = rng.randrange(8 if depth < 4 else 5)
        if kind == 0:
            return rng.choice(texts)
        if kind == 1:
            return rng.choice([0, -1, 2**70, 1.5, float("1e308")])
        if kind == 2:
            return rng.choice([True, False, None])
        if kind == 3:
            return "[" * rng.randrange(1, 3000) + "]" * rng.randrange(0, 3000)  # deep nesting, as raw text
        if kind == 4:
            return rng.choice(texts) * rng.randrange(1, 4)
        if kind == 5:
            return [value(depth + 1) for _ in range(rng.randrange(4))]
        return {rng.choice(texts + ["name", "arguments", "taskId", "cursor"]): value(depth + 1)
                for _ in range(rng.randrange(4))}

    lines = []
    for i in range(count):
        message = {"jsonrpc": rng.choice(["2.0", "2.0", "2.0", "1.0", None])}
        if rng.random() < 0.9:
            message["method"] = rng.choice(methods)
        if rng.random() < 0.8:
            message["id"] = rng.choice([i, str(i), "\ud800", None, 1.5, [i]])
        if rng.random() < 0.8:
            params = {}
            if message.get("method") == "tools/call":
                params = {"name": rng.choice(["execute_plusor", "execute_tabextent", "predict", "\ud800"]),
                          "arguments": {"a": value(), "b": value(), "file_path": value(), "model_file": value()}}
            elif rng.random() < 0.7:
                params = value()
            message["params"] = params
        raw = json.dumps(message)
        for placeholder in ('"\\\\ud800"', '"\\\\udc00x"', '"x\\\\udfffy"'):
            raw = raw.replace(placeholder, placeholder.replace("\\\\", "\\"))  # real escapes on the wire
        if rng.random() < 0.1:
            raw = raw[: rng.randrange(len(raw) + 1)]  # cut short
        if rng.random() < 0.05:
            raw = "[" + raw + "]"
        lines.append(raw)
    return lines


def test_fuzzed_lines_leave_the_host_answering(start, tmp_path):
    host = start(["-m", "quelmar.host", "--no-warm-start", "--root", str(tmp_path)])
    host.initialize()
    for line in _fuzz_messages(1, 400):
        host.send(line)
    for _ in range(3):
        assert host.response(host.request("ping"))["result"] == {}
    assert host.proc.poll() is None
    assert "Traceback" not in host.stderr_path.read_text()
    host.proc.stdin.close()
    assert host.proc.wait(30) == 0


def test_the_server_process_runs_no_tool(initialized):
    answer = initialized.response(initialized.call("execute_tabextent", {"csv_content": "a,b\n1,2\n"}))
    assert answer["result"]["structuredContent"]["rows"] == 1
    maps = Path(f"/proc/{initialized.proc.pid}/maps").read_text()
    assert [lib for lib in ("jaxlib", "pandas", "quelmar/tools/") if lib in maps] == []
    assert initialized.children()  # the call ran in a worker


def test_requests_before_initialize_are_refused_with_a_reason(connect):
    host = connect()
    assert "result" in host.response(host.request("ping"))
    for method, params in [("tools/call", {"name": "execute_plusor", "arguments": {"a": 1, "b": 2}}), ("tools/list", {})]:
        error = host.response(host.request(method, params))["error"]
        assert error["code"] == -32602 and "before initialize" in error["message"] and method in error["message"]
    host.initialize()
    assert "tools" in host.response(host.request("tools/list"))["result"]


# -- workers -------------------------------------------------------------------


def test_ping_is_answered_with_a_stuck_call_and_a_hundred_queued(connect, shared):
    host = connect()  # one worker, 50 calls may wait
    host.initialize()
    calls = [host.call("execute_timesor", {"a": -1, "b": 1}) for _ in range(101)]  # a == -1: never returns
    busy = [host.response(i) for i in calls[51:]]
    assert all(m["result"]["isError"] and "The host is busy" in text(m) for m in busy)
    for _ in range(3):
        assert host.response(host.request("ping"), timeout=10)["result"] == {}
    assert len(host.response(host.request("tools/list"), timeout=60)["result"]["tools"]) == 7
    for i in calls[:51]:  # the running call is interrupted, the queued ones withdrawn
        host.notify("notifications/cancelled", {"requestId": i})
    assert host.response(host.request("ping"), timeout=10)["result"] == {}
    _wait_until_quiet(shared.host)


def _wait_until_quiet(host):
    """Wait until no call of the host is queued or running (a safety net, not a measurement)."""
    deadline = time.monotonic() + WAIT
    while any(lane.queue or lane.running for lane in (host.quick, host.training)):
        assert time.monotonic() < deadline, "calls are still queued or running"
        time.sleep(0.02)


def test_a_call_over_its_time_limit_is_interrupted(connect, shared, monkeypatch):
    monkeypatch.setattr(shared.host, "call_timeout", 1.0)  # --call-timeout 1; the grace is 2 s
    host = connect()
    host.initialize()
    answer = host.response(host.call("execute_timesor", {"a": -1, "b": 1}))
    assert answer["result"]["isError"]
    assert text(answer) == "execute_timesor did not finish within its time limit of 1 s (--call-timeout) and was interrupted"
    assert text(host.response(host.call("execute_minusor", {"a": 9, "b": 3}))) == '{"result": 6.0}'
    answer = host.response(host.call("execute_timesor", {"a": -2, "b": 1}))  # deaf to the interrupt
    assert text(answer) == (
        "execute_timesor did not finish within its time limit of 1 s (--call-timeout) "
        "and was stopped (its worker process was killed)"
    )
    assert text(host.response(host.call("execute_minusor", {"a": 9, "b": 5}))) == '{"result": 4.0}'  # a new worker


# -- trainings -----------------------------------------------------------------


def test_cancelling_trainings(connect, tmp_path, logs):
    """A running training is interrupted (its log written), a queued one never runs, the next one runs."""
    data = training_data(tmp_path)
    host = connect()  # progress every 0.2 s
    host.initialize()
    running = host.call("execute_fitrun", training(data), token="run")
    progress = host.progress("run")
    while progress.get("total") is None:  # the pipeline's own progress: epochs done of all
        progress = host.progress("run")
    assert progress["total"] == 1_000_000 and 1 <= progress["progress"] < 1_000_000
    assert progress["message"].startswith("execute_fitrun: epoch ")
    queued = host.call("execute_fitrun", training(data, "MLP", 5))
    host.notify("notifications/cancelled", {"requestId": queued})
    host.notify("notifications/cancelled", {"requestId": running})
    result = host.response(host.call("execute_fitrun", training(data, epochs=30)))["result"]
    assert result["structuredContent"]["training_completed"] is True
    cancelled, finished = new_logs(logs)
    assert finished == Path(result["structuredContent"]["log_path"])
    assert "Starting Training Pipeline" in cancelled.read_text(encoding="utf-8")
    assert "\nTraining interrupted by KeyboardInterrupt (the host: the client cancelled the call) after " in (
        cancelled.read_text(encoding="utf-8"))
    assert new_logs(logs, "MLP") == []
    assert [m for m in host.seen if m.get("id") in (running, queued)] == []  # cancelled calls get no answer


@pytest.mark.parametrize(("how", "status"), [("SIGINT", 130), ("SIGTERM", 143), ("EOF", 0)])
def test_the_host_stops_during_a_training(start, tmp_path, logs, how, status):
    host = start(["-m", "quelmar.host", "--no-warm-start", "--root", str(tmp_path), "--progress-interval", "0.2"])
    host.initialize()
    host.call("execute_fitrun", training(training_data(tmp_path)), token="run")
    while host.progress("run").get("total") is None:
        pass
    workers = host.children()
    assert workers
    stopped = time.monotonic()
    if how == "EOF":
        host.proc.stdin.close()
    else:
        host.proc.send_signal(getattr(signal, how))
    assert host.proc.wait(30) == status
    print(f"{how}: the host ended {time.monotonic() - stopped:.2f} s after it")
    (log,) = new_logs(logs)
    assert "Starting Training Pipeline" in log.read_text(encoding="utf-8")
    assert [pid for pid in workers if Path(f"/proc/{pid}").exists()] == []


def test_a_second_signal_kills_a_call_deaf_to_the_first(start, tmp_path):
    host = start([str(LAUNCHER), str(tmp_path / "never"), "--workers", "1", "--no-warm-start", "--grace", "600"])
    host.initialize()
    host.call("execute_timesor", {"a": -2, "b": 1})  # ignores its interrupt
    deadline = time.monotonic() + WAIT
    while not (tmp_path / "never.deaf").exists():
        assert time.monotonic() < deadline
        time.sleep(0.05)
    workers = host.children()
    host.proc.send_signal(signal.SIGINT)
    with pytest.raises(subprocess.TimeoutExpired):  # waiting for the call, up to the grace period
        host.proc.wait(1)
    host.proc.send_signal(signal.SIGINT)
    assert host.proc.wait(30) == 130
    assert [pid for pid in workers if Path(f"/proc/{pid}").exists()] == []


def test_sigint_stops_an_idle_host(start):
    host = start(["-m", "quelmar.host", "--no-warm-start"])
    host.initialize()
    host.proc.send_signal(signal.SIGINT)
    assert host.proc.wait(30) == 130


# -- Streamable HTTP -------------------------------------------------------------


def _free_port():
    import socket

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _post(url, headers):
    import urllib.error
    import urllib.request

    body = json.dumps({"jsonrpc": "2.0", "id": 1, "method": "ping"}).encode()
    headers = {"Content-Type": "application/json", "Accept": "application/json, text/event-stream", **headers}
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))  # loopback only, never a proxy
    try:
        with opener.open(urllib.request.Request(url, body, headers), timeout=30) as response:
            return response.status
    except urllib.error.HTTPError as exc:
        return exc.code
    except urllib.error.URLError:
        return None  # not listening yet


def test_streamable_http_with_a_token(start, tmp_path):
    import anyio
    from mcp.client.session import ClientSession
    from mcp.client.streamable_http import streamable_http_client
    from mcp.shared._httpx_utils import create_mcp_http_client

    port = _free_port()
    (tmp_path / "t.csv").write_text("a,b\n1,2\n")
    host = start(["-m", "quelmar.host", "--no-warm-start", "--http", f"127.0.0.1:{port}"], env={"QUELMAR_HOST_TOKEN": "s3cret"})
    url = f"http://127.0.0.1:{port}/mcp"
    deadline = time.monotonic() + 60
    while (status := _post(url, {})) != 401:
        assert time.monotonic() < deadline and host.proc.poll() is None, status
        time.sleep(0.2)
    assert _post(url, {"Authorization": "Bearer wrong"}) == 401
    assert _post(url, {"Authorization": "Bearer s3cret", "Origin": "http://evil.example"}) == 403

    async def session():
        client = create_mcp_http_client(headers={"Authorization": "Bearer s3cret"})
        async with client, streamable_http_client(url, http_client=client) as streams:
            async with ClientSession(*streams) as session:
                await session.initialize()
                assert len((await session.list_tools()).tools) == 7
                added = await session.call_tool("execute_plusor", {"a": 1.5, "b": 2})
                table = await session.call_tool("execute_tabextent", {"file_path": "t.csv"})  # the start directory
                outside = await session.call_tool("execute_tabextent", {"file_path": "/etc/hostname"})
                return added.structured_content, table.structured_content["rows"], outside.is_error

    assert anyio.run(session) == ({"result": 3.5}, 1, True)
    host.proc.send_signal(signal.SIGTERM)
    assert host.proc.wait(30) == 143


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["--http", "0.0.0.0:8765"], "is not a loopback address: set a bearer token"),
        (["--http", "localhost"], "expected HOST:PORT"),
        (["--token-file", "/nonexistent"], "--token-file and --allow-origin need --http"),
    ],
)
def test_http_options_are_checked_before_anything_listens(tmp_path, args, message):
    env = {k: v for k, v in os.environ.items() if k != "QUELMAR_HOST_TOKEN"}
    proc = subprocess.run([sys.executable, "-P", "-m", "quelmar.host", *args], capture_output=True, text=True,
                          timeout=60, env=env, stdin=subprocess.DEVNULL)
    assert proc.returncode == 2 and message in proc.stderr


def _http_host(start, tmp_path, *args, **kw):
    port = _free_port()
    host = start(["-m", "quelmar.host", "--no-warm-start", "--root", str(tmp_path), "--http", f"127.0.0.1:{port}",
                  *args], **kw)
    url = f"http://127.0.0.1:{port}/mcp"
    deadline = time.monotonic() + 60
    while _post(url, {}) is None:
        assert time.monotonic() < deadline and host.proc.poll() is None
        time.sleep(0.1)
    return host, port, url


def _sdk_ping(url):
    """A well-behaved client: initialize, then ping; the ping's result."""
    import anyio
    from mcp.client.session import ClientSession
    from mcp.client.streamable_http import streamable_http_client

    async def ping():
        with anyio.fail_after(WAIT):
            async with streamable_http_client(url) as streams, ClientSession(*streams) as session:
                await session.initialize()
                return await session.send_ping()

    return anyio.run(ping)


def test_fuzzed_http_requests_leave_the_host_answering(start, tmp_path):
    import urllib.error
    import urllib.request

    host, _, url = _http_host(start, tmp_path)
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    headers = {"Content-Type": "application/json", "Accept": "application/json, text/event-stream"}
    init = json.dumps({"jsonrpc": "2.0", "id": 0, "method": "initialize", "params": {
        "protocolVersion": "2025-11-25", "capabilities": {}, "clientInfo": {"name": "t", "version": "1"}}})
    with opener.open(urllib.request.Request(url, init.encode(), headers), timeout=WAIT) as response:
        headers["Mcp-Session-Id"] = response.headers["mcp-session-id"]
    statuses = set()
    for line in _fuzz_messages(2, 150):
        try:
            with opener.open(urllib.request.Request(url, line.encode(), headers), timeout=WAIT) as response:
                response.read()
                statuses.add(response.status)
        except urllib.error.HTTPError as exc:
            statuses.add(exc.code)
    assert statuses and all(status < 500 for status in statuses), statuses
    assert _sdk_ping(url) is not None
    assert host.proc.poll() is None and "Traceback" not in host.stderr_path.read_text()


def test_half_open_http_connections_leave_ping_answered(start, tmp_path):
    """With 256 open files allowed, 400 connections that send half a request line would take them all."""
    import resource
    import socket

    def few_files():
        resource.setrlimit(resource.RLIMIT_NOFILE, (256, 256))

    host, port, url = _http_host(start, tmp_path, "--http-max-connections", "20", "--http-header-timeout", "600",
                                 preexec_fn=few_files)
    sockets = []
    try:
        for _ in range(400):
            sock = socket.create_connection(("127.0.0.1", port), timeout=WAIT)
            sock.sendall(b"POST /mcp HTT")
            sockets.append(sock)
        assert _sdk_ping(url) is not None
        assert host.proc.poll() is None
    finally:
        for sock in sockets:
            sock.close()


def test_a_request_head_must_arrive_in_time(start, tmp_path):
    import socket

    _, port, url = _http_host(start, tmp_path, "--http-header-timeout", "0.5")
    with socket.create_connection(("127.0.0.1", port), timeout=WAIT) as sock:
        sock.sendall(b"POST /mcp HTT")
        assert sock.recv(100) == b""  # the host closed it (the time-out is a safety net, not a measurement)


def test_a_port_in_use_is_one_line_and_status_1(tmp_path):
    import socket

    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        proc = subprocess.run([sys.executable, "-P", "-m", "quelmar.host", "--http", f"127.0.0.1:{port}"],
                              capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL, cwd=tmp_path)
    assert proc.returncode == 1
    assert proc.stderr.splitlines() == [f"quelmar-host: cannot listen on 127.0.0.1:{port}: Address already in use"]
