"""The tool host, driven through the SDK's own client: in-process (in-memory streams, real worker
processes), and over stdio against a server subprocess where the wire itself is tested."""

import atexit
import importlib
import inspect
import json
import os
import re
import shutil
import signal
import tempfile
import time
import sys
from contextlib import asynccontextmanager, contextmanager
from functools import partial
from pathlib import Path
from types import SimpleNamespace

import anyio
import mcp_types as types
import numpy as np
import pytest
from anyio.from_thread import start_blocking_portal
from mcp.client.session import ClientSession
from mcp.client._memory import InMemoryTransport
from mcp.client.stdio import StdioServerParameters, stdio_client
from mcp.shared.exceptions import MCPError

from quelmar.host.policy import FilePolicy
from quelmar.host.registry import TOOLS
from quelmar.host.server import ToolHost, to_jsonable
from quelmar.host.worker import TEST_SETUP_ENV
from conftest import SANITIZER_ENV

LAUNCHER = Path(__file__).with_name("host_launcher.py")
NOISE = ("noise from print", "noise from fd 1", "noise from a child process")  # as in host_launcher.py
MISSING = "quelmar-host-test/missing.csv"  # relative: resolved against the first root
# The in-process hosts' output home: this process's own, so that a test that removes the training logs
# it wrote never touches a log of a run in another test process.
HOME = Path(tempfile.mkdtemp(prefix="quelmar-home-"))
atexit.register(shutil.rmtree, HOME, True)
LOGS = HOME / "logs"


class Client:
    """Blocking calls on an initialised ClientSession that lives in a portal's event loop."""

    def __init__(self, portal, session, stream_errors):
        self.portal, self.session = portal, session
        self.stream_errors = stream_errors  # lines the client could not read as protocol messages

    def list_tools(self):
        return self.portal.call(self.session.list_tools).tools

    def call(self, name, arguments=None, **kwargs):
        # The read time-out is a safety net against a hung server, not a measurement.
        return self.portal.call(partial(self.session.call_tool, name, arguments, read_timeout_seconds=600, **kwargs))

    def raw(self, method, params=None):
        """A request as plain JSON-RPC (the result as a dict; MCPError for an error)."""
        return self.portal.call(self.session._dispatcher.send_raw_request, method, params)


@asynccontextmanager
async def _session(args, errlog, stream_errors):
    async def on_message(message):
        if isinstance(message, Exception):
            stream_errors.append(message)

    params = StdioServerParameters(command=sys.executable, args=["-P", *args])
    async with stdio_client(params, errlog=errlog) as streams:
        async with ClientSession(*streams, message_handler=on_message) as session:
            await session.initialize()
            yield session


@contextmanager
def connect(args, errlog_path):
    """A client of a host subprocess over stdio (for what only the wire shows)."""
    stream_errors = []
    with open(errlog_path, "w") as errlog, start_blocking_portal() as portal:
        with portal.wrap_async_context_manager(_session(args, errlog, stream_errors)) as session:
            yield Client(portal, session, stream_errors)


@asynccontextmanager
async def _in_process(host, sessions, session_kw):
    async with host.running():
        server = host.build_server()
        clients = []
        try:
            for _ in range(sessions):
                transport = InMemoryTransport(server)
                streams = await transport.__aenter__()
                session = ClientSession(*streams, **session_kw)
                await session.__aenter__()
                clients.append((transport, session))
                await session.initialize()
            yield [session for _, session in clients]
        finally:
            for transport, session in reversed(clients):
                await session.__aexit__(None, None, None)
                await transport.__aexit__(None, None, None)


@contextmanager
def in_process(sessions=1, session_kw=None, **host_kw):
    """Clients of an in-process host (its workers are real processes); one Client, or a list of them.

    The workers' output home is HOME unless ``env`` names another."""
    given = host_kw.get("env") or {}
    host_kw["env"] = dict(given or os.environ, QUELMAR_HOME=given.get("QUELMAR_HOME", str(HOME)))
    host = ToolHost(**host_kw)
    with start_blocking_portal() as portal:
        with portal.wrap_async_context_manager(_in_process(host, sessions, session_kw or {})) as found:
            clients = [Client(portal, session, []) for session in found]
            for client in clients:
                client.host = host
            yield clients[0] if sessions == 1 else clients


@pytest.fixture(scope="module")
def host(tmp_path_factory):
    """A host whose one root is pytest's base temporary directory (every tmp_path lies in it)."""
    with in_process(policy=FilePolicy([tmp_path_factory.getbasetemp()]), workers=1) as client:
        yield client


def ok(result):
    """The structured content of a successful call, checked against its JSON text."""
    assert not result.is_error, result.content[0].text
    assert json.loads(result.content[0].text) == result.structured_content
    return result.structured_content


def args_section(doc):
    """name -> meaning, from the "Args:" section of a docstring."""
    lines = inspect.cleandoc(doc).splitlines()
    meanings = {}
    for line in lines[lines.index("Args:") + 1 :]:
        if not line.startswith(" "):
            break
        name, meaning = line.strip().split(": ", 1)
        meanings[name] = meaning
    return meanings


@pytest.mark.parametrize(
    ("name", "required"),
    [
        ("execute_plusor", ["a", "b"]),
        ("execute_timesor", ["a", "b"]),
        ("execute_minusor", ["a", "b"]),
        ("execute_tabextent", []),
        ("execute_fitrun", ["input_col", "output_col", "data_train"]),
        ("predict", ["model_file"]),
    ],
)
def test_tool_description_and_schema_follow_the_docstring(host, name, required):
    tools = host.list_tools()
    assert [tool.name for tool in tools] == [entry.name for entry in TOOLS]
    tool = next(tool for tool in tools if tool.name == name)
    module = importlib.import_module(next(entry.module for entry in TOOLS if entry.name == name))
    doc = getattr(module, name).__doc__

    # The docstring, then only the host's notes.
    assert tool.description.startswith(inspect.cleandoc(doc))
    notes = tool.description[len(inspect.cleandoc(doc)) :].strip().splitlines()
    assert all(line.startswith("Host note: ") for line in notes)
    assert tool.input_schema.get("required", []) == required
    # The properties are the function's parameters, in order, each with its Args meaning.
    properties = tool.input_schema["properties"]
    assert {p: prop["description"] for p, prop in properties.items()} == args_section(doc)
    assert list(properties) == list(args_section(doc))


@pytest.mark.parametrize(
    ("name", "a", "b", "expected"),
    [
        ("execute_plusor", 10.5, 3.2, 13.699999809265137),
        ("execute_timesor", 10.5, 3.2, 33.60000228881836),
        ("execute_minusor", 10.5, 3.2, 7.300000190734863),
        ("execute_minusor", 5, 10, -5.0),
    ],
)
def test_arithmetic(host, name, a, b, expected):
    assert ok(host.call(name, {"a": a, "b": b})) == {"result": expected}


@pytest.mark.parametrize("source", ["file_path", "csv_content"])
def test_table_dimensions(host, tmp_path, source):
    text = "x1,x2,y\n1,2,3\n4,5,6\n7,8,9\n"
    (tmp_path / "table.csv").write_text(text)
    value = str(tmp_path / "table.csv") if source == "file_path" else text
    expected = {"rows": 3, "columns": 3, "column_names": ["x1", "x2", "y"]}
    assert ok(host.call("execute_tabextent", {source: value})) == expected


@pytest.mark.parametrize(
    ("name", "arguments", "message"),
    [
        ("execute_plusor", {"a": 3e38, "b": 3e38}, "ValueError: Result is infinite"),
        ("execute_timesor", {"a": "ten", "b": 2}, "TypeError: "),
        ("execute_minusor", {"a": 1, "c": 3}, "TypeError: "),
        ("execute_tabextent", {"file_path": MISSING}, "FileNotFoundError: "),
        ("execute_tabextent", {"csv_content": ""}, "EmptyDataError: "),
        (
            "execute_fitrun",
            {},
            "ValueError: Missing required fields: DATA_PARAM.input_col, DATA_PARAM.output_col, "
            "DATA_PARAM.data_train. These fields must be provided by the user.",
        ),
        (
            "execute_fitrun",
            {"input_col": [0], "output_col": [1], "data_train": MISSING, "bool_plot": 0},
            "TypeError: Argument 'bool_plot' has incorrect type (expected bool, got int)",
        ),
    ],
)
def test_refused_call_is_a_tool_error_and_the_server_goes_on(host, name, arguments, message):
    result = host.call(name, arguments)
    assert result.is_error and result.content[0].text.startswith(message)
    assert ok(host.call("execute_plusor", {"a": 1, "b": 2})) == {"result": 3.0}


def test_unknown_tool_is_a_protocol_error(host):
    with pytest.raises(MCPError, match="Unknown tool: execute_nothing"):
        host.call("execute_nothing", {})
    assert ok(host.call("execute_timesor", {"a": 2, "b": 4})) == {"result": 8.0}


def test_training_run(host, tmp_path):
    data = tmp_path / "train.csv"
    rows = [(i % 10 / 10, i // 10 / 6) for i in range(60)]
    data.write_text("x1,x2,y\n" + "".join(f"{a},{b},{2 * a - b + 0.5}\n" for a, b in rows))
    arguments = {"input_col": [0, 1], "output_col": [2], "data_train": str(data), "interp_method": "linear"}
    arguments |= {"num_epochs_INN": 30, "learning_rate": 0.05, "bool_plot": False, "bool_save_model": True}
    seen = []

    async def on_progress(progress, total, message):
        seen.append((progress, total))

    result = ok(host.call("execute_fitrun", arguments, progress_callback=on_progress))
    assert seen[-1] == (30, 30)  # the last notification says the run is complete
    output = result["config"]["OUTPUT"]
    model_file = Path(output["model_file"])
    try:
        assert {"best_epoch", "epochs_run", "stop_reason", "device", "metrics", "plot_files"} <= set(output)
        assert result["test_rmse"] == pytest.approx(output["metrics"]["test"]["RMSE"]["y"])
        # The model file lies in the host's model folder, outside this host's roots, which predict reads too;
        # a copy inside the roots predicts as well.
        copy = tmp_path / model_file.name
        copy.write_bytes(model_file.read_bytes())
        (tmp_path / model_file.with_suffix(".npz").name).write_bytes(model_file.with_suffix(".npz").read_bytes())
        ok(host.call("predict", {"model_file": str(model_file), "csv_content": "x1,x2\n0.5,0.5\n"}))
        predicted = ok(host.call("predict", {"model_file": str(copy), "csv_content": "x2,x1\n0.5,0.2\n0.1,0.8\n"}))
        assert predicted["columns"] == ["y"]
        in_order = ok(host.call("predict", {"model_file": str(copy), "csv_content": "x1,x2\n0.2,0.5\n0.8,0.1\n"}))
        assert predicted["rows"] == in_order["rows"]  # columns are matched by name
        assert predicted["rows"][0]["y"] < predicted["rows"][1]["y"]  # y = 2 x1 - x2 + 0.5: 0.4 and 2.0
        by_file = ok(host.call("predict", {"model_file": str(copy), "file_path": str(data)}))
        assert len(by_file["rows"]) == 60
        missing = host.call("predict", {"model_file": str(copy), "csv_content": "a,b\n1,2\n"})
        assert missing.is_error and "ValueError: the data lacks the model's input column(s) 'x1', 'x2'" in (
            missing.content[0].text
        )
    finally:
        model_file.unlink()
        model_file.with_suffix(".npz").unlink()
    assert result["training_completed"] is True
    assert result["config"]["DATA_PARAM"]["data_train"] == str(data)
    assert isinstance(result["training_time_seconds"], float)
    log = Path(result["log_path"])
    assert log.name.startswith("training_linear_")
    assert "Starting Training Pipeline" in log.read_text(encoding="utf-8")
    log.unlink()  # the real server writes into the installed package; leave nothing behind


def endless_linear(tmp_path):
    """Arguments of a linear training on an exact linear relation that runs all its epochs
    (neither the training loss nor patience ends it)."""
    data = tmp_path / "train.csv"
    data.write_text("x1,x2,y\n" + "".join(f"{i % 10 / 10},{i // 10 / 6},{i % 10 / 5 - i // 10 / 6}\n" for i in range(60)))
    return {"input_col": [0, 1], "output_col": [2], "data_train": str(data), "interp_method": "linear",
            "bool_plot": False, "bool_save_model": False, "patience": 10**9, "stopping_loss_train": 0.0,
            "learning_rate": 0.05}


def test_a_training_the_client_gave_up_on_does_not_hold_up_the_next(host, tmp_path):
    """A client whose read time-out ends a call cancels it; the host interrupts the run at once."""
    logs = LOGS
    before = set(logs.glob("training_*.log"))
    arguments = endless_linear(tmp_path)
    try:
        assert ok(host.call("execute_fitrun", arguments | {"num_epochs_INN": 20}))["training_completed"]
        endless = partial(host.session.call_tool, "execute_fitrun", arguments | {"num_epochs_INN": 10**8},
                          read_timeout_seconds=3)
        with pytest.raises(MCPError):
            host.portal.call(endless)
        # Were the abandoned run still going, this call would wait for it (for hours) and time out.
        next_run = partial(host.session.call_tool, "execute_fitrun", arguments | {"num_epochs_INN": 20},
                           read_timeout_seconds=120)
        assert ok(host.portal.call(next_run))["training_completed"]
    finally:
        for log in set(logs.glob("training_*.log")) - before:
            log.unlink()


def test_task_augmented_trainings(host, tmp_path):
    logs = LOGS
    before = set(logs.glob("training_*.log"))
    arguments = endless_linear(tmp_path) | {"validation_period": 1000000}
    try:
        assert host.session.initialize_result.capabilities.tasks is not None
        tools = {tool.name: tool.execution for tool in host.list_tools()}
        assert [name for name, execution in tools.items() if execution] == ["execute_fitrun"]
        assert tools["execute_fitrun"].task_support == "optional"

        call = {"name": "execute_fitrun", "arguments": arguments | {"num_epochs_INN": 30}, "task": {"ttl": 600000}}
        task = host.raw("tools/call", call)["task"]
        assert task["status"] == "working" and task["ttl"] == 600000
        result = host.raw("tasks/result", {"taskId": task["taskId"]})
        assert result["structuredContent"]["training_completed"] is True
        assert result["_meta"]["io.modelcontextprotocol/related-task"] == {"taskId": task["taskId"]}
        assert host.raw("tasks/get", {"taskId": task["taskId"]})["status"] == "completed"

        time.sleep(1.1)  # log names tell the second: let the next run have a name of its own
        call = {"name": "execute_fitrun", "arguments": arguments | {"num_epochs_INN": 10**6}, "task": {}}
        long = host.raw("tools/call", call)["task"]["taskId"]
        deadline = time.monotonic() + 120  # a safety net, not a measurement
        while "epoch" not in (status := host.raw("tasks/get", {"taskId": long})).get("statusMessage", ""):
            assert time.monotonic() < deadline
            time.sleep(0.1)
        assert status["status"] == "working" and status["statusMessage"].startswith("epoch ")
        listed = {t["taskId"]: t["status"] for t in host.raw("tasks/list")["tasks"]}
        assert listed == {task["taskId"]: "completed", long: "working"}
        assert host.raw("tasks/cancel", {"taskId": long})["status"] == "cancelled"
        with pytest.raises(MCPError, match="already cancelled"):
            host.raw("tasks/cancel", {"taskId": long})
        with pytest.raises(MCPError, match="^Unknown task id: nope$"):
            host.raw("tasks/get", {"taskId": "nope"})
        with pytest.raises(MCPError, match="does not support task-augmented calls"):
            host.raw("tools/call", {"name": "execute_plusor", "arguments": {"a": 1, "b": 2}, "task": {}})
        # The cancelled run was interrupted: its log is there.
        while len(set(logs.glob("training_*.log")) - before) < 2:
            assert time.monotonic() < deadline
            time.sleep(0.1)
        last = max(set(logs.glob("training_*.log")) - before)
        assert "Starting Training Pipeline" in last.read_text(encoding="utf-8")
    finally:
        for log in set(logs.glob("training_*.log")) - before:
            log.unlink()


@pytest.fixture(scope="module")
def patched_host(tmp_path_factory):
    """A host whose workers' execute_timesor waits for progress and execute_minusor can crash."""
    tmp = tmp_path_factory.mktemp("patched")
    # Without the sanitizer settings: a deliberate worker crash is no sanitizer finding.
    env = {k: v for k, v in os.environ.items() if k not in SANITIZER_ENV}
    env |= {TEST_SETUP_ENV: str(LAUNCHER), "QUELMAR_TEST_GATE": str(tmp / "progress-seen")}
    with in_process(progress_interval=0.2, workers=1, env=env, warm=False) as client:
        yield SimpleNamespace(client=client, gate=tmp / "progress-seen")


def test_printing_during_a_call_never_reaches_the_protocol(tmp_path):
    """Over the real stdio wire: what tools print (from Python, fd 1, a child) goes to standard error."""
    args = [str(LAUNCHER), str(tmp_path / "gate"), "--workers", "1", "--no-warm-start"]
    with connect(args, tmp_path / "stderr.txt") as client:
        for a in range(3):
            assert ok(client.call("execute_plusor", {"a": a, "b": 0.5})) == {"result": a + 0.5}
        assert client.stream_errors == []
    stderr = (tmp_path / "stderr.txt").read_text()
    assert [stderr.count(line) for line in NOISE] == [3, 3, 3]


def test_long_call_sends_progress(patched_host):
    seen = []

    async def on_progress(progress, total, message):
        seen.append((progress, message))
        patched_host.gate.touch()

    result = patched_host.client.call("execute_timesor", {"a": 3, "b": 7}, progress_callback=on_progress)
    assert ok(result) == {"result": 21.0}
    assert seen and all("execute_timesor" in message for _, message in seen)
    assert [p for p, _ in seen] == sorted(p for p, _ in seen)


def test_a_crashing_worker_fails_only_its_own_call(patched_host):
    result = patched_host.client.call("execute_minusor", {"a": 13, "b": 1})  # a native fault in the worker
    assert result.is_error
    assert result.content[0].text.startswith(
        "execute_minusor failed: its worker process ended unexpectedly (killed by signal SIGSEGV)"
    )
    assert ok(patched_host.client.call("execute_minusor", {"a": 5, "b": 1})) == {"result": 4.0}


# -- the file-access policy ------------------------------------------------------


@pytest.fixture(scope="module")
def policed(tmp_path_factory):
    """A host with one root, small size limits, and a few things to refuse around it."""
    base = tmp_path_factory.mktemp("policy")
    root, outside = base / "root", base / "outside"
    (root / "sub").mkdir(parents=True)
    outside.mkdir()
    table = "x1,x2,y\n1,2,3\n"
    (root / "sub" / "table.csv").write_text(table)
    (outside / "secret.csv").write_text(table)
    (root / "link-out.csv").symlink_to(outside / "secret.csv")
    (root / "link-in.csv").symlink_to(root / "sub" / "table.csv")
    os.mkfifo(root / "fifo.csv")
    (root / "big.csv").write_text(table + "4,5,6\n" * 400)  # 2.4 KiB: over the 0.002 MiB limit
    policy = FilePolicy([root], max_file_mb=0.002, max_content_mb=0.001)
    with in_process(policy=policy, workers=1, warm=False) as client:
        yield SimpleNamespace(client=client, root=root, outside=outside)


@pytest.mark.parametrize(
    ("path", "reason"),
    [
        ("{outside}/secret.csv", "lies outside the allowed roots"),
        ("../outside/secret.csv", "lies outside the allowed roots"),
        ("link-out.csv", "lies outside the allowed roots"),
        ("fifo.csv", "is a FIFO, not a regular file"),
        ("sub", "is a directory, not a regular file"),
        ("/dev/zero", "is a system file"),
        ("/proc/self/environ", "is a system file"),
        ("/proc/self/fd/3", "is a system file"),
        ("http://127.0.0.1:9/data.csv", "is a URL"),
        ("file:///etc/hostname", "is a URL"),
        ("file:/etc/hostname", "is a URL"),
        ("s3://bucket/data.csv", "is a URL"),
        ("big.csv", "is larger than the limit of 0.002 MiB (--max-file-mb)"),
    ],
)
def test_refused_paths(policed, path, reason):
    path = path.format(outside=policed.outside)
    result = policed.client.call("execute_tabextent", {"file_path": path})
    assert result.is_error
    message = result.content[0].text
    assert message.startswith("Refused by the host's file-access policy: file_path ") and reason in message


@pytest.mark.parametrize("path", ["sub/table.csv", "link-in.csv", "{root}/sub/table.csv"])
def test_allowed_paths_are_resolved_against_the_first_root(policed, path):
    value = path.format(root=policed.root)
    assert ok(policed.client.call("execute_tabextent", {"file_path": value}))["column_names"] == ["x1", "x2", "y"]


def test_training_paths_and_generated_data_stay_inside_the_roots(policed):
    arguments = {"input_col": [0, 1], "output_col": [2], "interp_method": "linear", "bool_plot": False}
    for name in ("data_train", "data_val", "data_test"):
        paths = {"data_train": "sub/table.csv", name: str(policed.outside / "secret.csv")}
        result = policed.client.call("execute_fitrun", arguments | paths)
        assert result.is_error and f"policy: {name} " in result.content[0].text
    generated = str(policed.outside / "new" / "generated.csv")
    result = policed.client.call("execute_fitrun", arguments | {"data_train": generated, "bool_data_generation": True})
    assert result.is_error and "lies outside the allowed roots" in result.content[0].text
    assert not (policed.outside / "new").exists()


def test_csv_content_over_its_limit_is_refused(policed):
    result = policed.client.call("execute_tabextent", {"csv_content": "a,b\n" + "1,2\n" * 400})
    assert result.is_error
    assert result.content[0].text.endswith("csv_content is larger than the limit of 0.001 MiB (--max-content-mb)")
    assert ok(policed.client.call("execute_tabextent", {"csv_content": "a,b\n1,2\n"}))["rows"] == 1


@pytest.mark.filterwarnings("ignore:The roots capability is deprecated")
def test_the_clients_roots_are_followed(tmp_path):
    first, second = tmp_path / "first", tmp_path / "second"
    for root in (first, second):
        root.mkdir()
        (root / "t.csv").write_text("a,b\n1,2\n")
    declared = [[first]]

    async def list_roots(context):
        if declared[0] is None:
            return types.ErrorData(code=-32603, message="no roots today")
        return types.ListRootsResult(roots=[types.Root(uri=root.as_uri()) for root in declared[0]])

    def refused(client, path):
        result = client.call("execute_tabextent", {"file_path": str(path)})
        return result.is_error and result.content[0].text.startswith("Refused by the host's file-access policy")

    policy = FilePolicy(start_dir=tmp_path)
    with in_process(policy=policy, workers=1, warm=False, session_kw={"list_roots_callback": list_roots}) as client:
        assert [refused(client, first / "t.csv"), refused(client, second / "t.csv")] == [False, True]
        assert not refused(client, "t.csv")  # relative: against the first declared root
        for roots, expected in [([second], [True, False]), ([], [True, True]), (None, [True, True]),
                                ([first], [False, True])]:
            declared[0] = roots  # an empty list, and an answer that is an error, mean no file access
            client.portal.call(client.session.send_roots_list_changed)
            client.raw("ping")  # the notification has been handled
            assert [refused(client, first / "t.csv"), refused(client, second / "t.csv")] == expected, roots


@pytest.mark.parametrize("start", ["/", "~"])
def test_a_host_started_in_a_wide_directory_serves_no_files(start):
    start = os.path.expanduser(start)
    with in_process(policy=FilePolicy(start_dir=start), workers=1, warm=False, client_roots=False) as client:
        result = client.call("execute_tabextent", {"file_path": os.path.join(start, "x.csv")})
        assert result.is_error and "no allowed roots" in result.content[0].text
        assert "--root DIR" in result.content[0].text
        tabextent = next(tool for tool in client.list_tools() if tool.name == "execute_tabextent")
        assert "Host note: The host has no allowed roots, so no file can be used." in tabextent.description


# -- in-process ---------------------------------------------------------------


class FakeWorker:
    """Stands in for a worker process: answers each call after `delay` seconds, or when released."""

    started, running, most, order = 0, 0, 0, []

    def __init__(self):
        FakeWorker.started += 1
        self.pid, self.process = 1000 + FakeWorker.started, SimpleNamespace(returncode=None)
        self.release = anyio.Event()

    @classmethod
    async def start(cls, modules, env=None):
        return cls()

    async def send(self, message):
        FakeWorker.order.append(message["arguments"]["n"])
        FakeWorker.running += 1
        FakeWorker.most = max(FakeWorker.most, FakeWorker.running)

    async def receive(self):
        await anyio.sleep(0.02)
        FakeWorker.running -= 1
        return {"ok": {"training_completed": True}}

    def signal(self, signum):
        pass

    def alive(self):
        return True

    async def close(self, wait=2.0):
        pass


def test_trainings_run_one_at_a_time_in_order_of_arrival(monkeypatch):
    from quelmar.host import pool

    monkeypatch.setattr(pool, "Worker", FakeWorker)
    FakeWorker.order, FakeWorker.most = [], 0
    lane = pool.Lane("training", ("quelmar.tools.fitrun",), size=1, max_queue=3)
    jobs = [pool.Job("execute_fitrun", "quelmar.tools.fitrun", {"n": n}) for n in range(5)]

    async def main():
        async with anyio.create_task_group() as tg:
            lane.attach(tg)
            for job in jobs[:4]:
                lane.submit(job)
            with pytest.raises(pool.Busy):  # one running, three waiting: the queue is full
                lane.submit(jobs[4])
            jobs[2].stop()  # withdrawn while it waits
            for job in jobs[:4]:
                await job.done.wait()

    anyio.run(main)
    assert FakeWorker.order == [0, 1, 3] and FakeWorker.most == 1
    assert [job.outcome.error for job in jobs[:4]] == [None, None, "execute_fitrun was cancelled before it started", None]


def test_a_module_that_cannot_be_imported_is_still_listed(monkeypatch):
    from quelmar.host import server as server_module

    def described(error):
        tools = {entry.name: {"doc": f"\n    Tool {entry.name}.\n    "} for entry in TOOLS}
        if error:
            tools["execute_fitrun"] = {"error": "ImportError: training pipeline missing"}
        return {"tools": tools, "supported_methods": ["linear", "MLP"]}

    async def failing():
        return described(True)

    monkeypatch.setattr(server_module, "describe_tools", failing)
    host = ToolHost()
    tools = anyio.run(host.list_tools, SimpleNamespace(meta=None, session=None), None).tools
    assert tools[0].description.startswith("Tool execute_plusor.\n\nHost note: ")
    fitrun = next(tool for tool in tools if tool.name == "execute_fitrun")
    assert fitrun.description.endswith("Unavailable on this installation: ImportError: training pipeline missing")

    async def working():
        return described(False)

    # The failed import is tried again at the next listing.
    monkeypatch.setattr(server_module, "describe_tools", working)
    tools = anyio.run(host.list_tools, SimpleNamespace(meta=None, session=None), None).tools
    description = next(tool for tool in tools if tool.name == "execute_fitrun").description
    assert description.startswith("Tool execute_fitrun.\n\nHost note: ")


def _described(error=False):
    tools = {entry.name: {"doc": f"Tool {entry.name}."} for entry in TOOLS}
    if error:
        tools["execute_fitrun"] = {"error": "ImportError: training pipeline missing"}
    return {"tools": tools, "supported_methods": ["linear", "MLP"]}


def test_tool_descriptions_are_cached_for_the_next_host(tmp_path, monkeypatch):
    """A complete answer is read from the cache next time; a damaged or incomplete one is asked for again."""
    from quelmar.host import server as server_module

    monkeypatch.setenv(server_module.CACHE_ENV, str(tmp_path))
    answers = []

    async def run_process(argv, **kw):
        assert argv[-1] == "--describe"
        return SimpleNamespace(returncode=0, stdout=json.dumps(answers.pop(0)).encode())

    monkeypatch.setattr(server_module.anyio, "run_process", run_process)
    answers[:] = [_described(error=True), _described()]
    for _ in range(2):  # an incomplete answer is not kept: the next host asks again
        assert "error" in anyio.run(server_module.describe_tools)["tools"]["execute_fitrun"]
        answers.insert(0, _described(error=True))
    answers[:] = [_described()]
    assert anyio.run(server_module.describe_tools) == _described()
    assert answers == []  # it was asked for
    assert anyio.run(server_module.describe_tools) == _described()  # and now comes from the cache
    (cached,) = tmp_path.glob("host-tools-*.json")
    for damaged in ("{not json", json.dumps({"tools": {}, "supported_methods": []}), '{"tools": 1}'):
        cached.write_text(damaged)
        answers[:] = [_described()]
        assert anyio.run(server_module.describe_tools) == _described() and answers == []
    assert [p.name for p in tmp_path.iterdir()] == [cached.name]  # no temporary file left behind
    older = [tmp_path / f"host-tools-{i}.json" for i in range(server_module.CACHE_KEPT)]
    for age, path in enumerate(older, 1):  # earlier installations' files: the oldest goes
        path.write_text("{}")
        os.utime(path, ns=(cached.stat().st_mtime_ns - age * 10**9,) * 2)
    cached.unlink()
    answers[:] = [_described()]
    anyio.run(server_module.describe_tools)
    assert sorted(tmp_path.iterdir()) == sorted([cached, *older[:-1]])


@pytest.mark.parametrize("change", ["edit a module", "add a module", "new version", "other interpreter"])
def test_the_description_cache_is_named_by_the_installation(tmp_path, monkeypatch, change):
    from quelmar.host import server as server_module

    package = tmp_path / "quelmar"
    (package / "tools").mkdir(parents=True)
    (package / "tools" / "tool.py").write_text("x = 1\n")
    (package / "notes.txt").write_text("not code")
    before = server_module.description_cache({server_module.CACHE_ENV: str(tmp_path)}, package)
    if change == "edit a module":
        os.utime(package / "tools" / "tool.py", ns=(1, 1))
    elif change == "add a module":
        (package / "tools" / "other.so").write_bytes(b"")
    elif change == "new version":
        monkeypatch.setattr(server_module, "_version", lambda: "999.0")
    else:
        monkeypatch.setattr(sys, "executable", "/elsewhere/python3")
    after = server_module.description_cache({server_module.CACHE_ENV: str(tmp_path)}, package)
    assert before.parent == after.parent == tmp_path and before != after
    (package / "notes.txt").write_text("other text")  # not code: the same name
    assert server_module.description_cache({server_module.CACHE_ENV: str(tmp_path)}, package) == after


def test_the_cache_folder_follows_the_environment(tmp_path):
    from quelmar.host.server import description_cache

    assert description_cache({"XDG_CACHE_HOME": str(tmp_path)}).parent == tmp_path / "quelmar"
    assert description_cache({"QUELMAR_HOST_CACHE": str(tmp_path / "c"), "XDG_CACHE_HOME": "/x"}).parent == (
        tmp_path / "c")


def test_every_warm_up_call_works_and_a_failing_one_is_reported(monkeypatch, capsys):
    from quelmar.host.registry import lane_modules
    from quelmar.host.worker import warm_up

    quick = list(lane_modules("quick"))
    assert warm_up(quick) == []
    assert [e.name for e in TOOLS if e.warmup is not None and e.lane == "quick"] == [
        "execute_plusor", "execute_timesor", "execute_minusor", "execute_tabextent"]
    import quelmar.tools.timesor as timesor

    def broken(a, b):
        raise RuntimeError("no JAX today")

    monkeypatch.setattr(timesor, "execute_timesor", broken)
    assert warm_up(quick) == ["execute_timesor"]
    assert "the warm-up call of execute_timesor failed: RuntimeError: no JAX today" in capsys.readouterr().err
    assert warm_up(["quelmar.tools.fitrun"]) == []  # a module without warm-up calls: nothing run


def test_a_worker_spawned_ahead_of_its_lane_is_adopted_once():
    """The host spawns its first quick worker before its own imports; the lane takes it as its warm worker,
    and a lane that has a worker already ends such a worker instead of keeping two."""
    from quelmar.host.pool import Lane, Worker

    async def scenario():
        async with anyio.create_task_group() as tg:
            lane = Lane("quick tools", (), size=1)
            lane.attach(tg)
            early, spare = await Worker.spawn((), warm=True), await Worker.spawn((), warm=True)
            lane.prestart(early)
            await lane.warm()
            adopted = list(lane._idle)
            lane.prestart(spare)
            await lane.warm()
            with anyio.fail_after(30):
                await spare.process.wait()
            idle = list(lane._idle)
            await lane.shutdown()
            tg.cancel_scope.cancel()
            return early, adopted, idle, lane._workers

    early, adopted, idle, left = anyio.run(scenario)
    assert adopted == idle == [early] and left == 0
    assert early.process.returncode is not None


@pytest.mark.parametrize(
    ("supported", "note"),
    [
        (["linear", "MLP"], 'Host note: interp_method: only "linear", "MLP" work on this installation.'),
        (["linear", "nonlinear", "gaussian", "MLP", "KAN", "FNO"], None),
    ],
)
def test_the_interp_method_note_follows_the_supported_methods(supported, note):
    from quelmar.host.schemas import tool_entry
    from quelmar.host.server import host_note

    doc = 'Args:\n    interp_method: Interpolation method ("linear", "nonlinear", "gaussian", "MLP", "KAN", "FNO")'
    lines = host_note(tool_entry("execute_fitrun"), doc, supported, ["/data"]).splitlines()
    assert "Host note: File paths are resolved against the allowed roots (/data); " in lines[0]
    assert [line for line in lines if "interp_method" in line] == ([note] if note else [])


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        (Path("/tmp/x.log"), "/tmp/x.log"),
        (np.int64(7), 7),
        (np.float32(0.5), 0.5),
        (np.array([[1, 2], [3, 4]]), [[1, 2], [3, 4]]),
        ({"rows": np.int64(2), 3: (Path("a"), None)}, {"rows": 2, "3": ["a", None]}),
        (float("nan"), "nan"),
        (np.float64("inf"), "inf"),
    ],
)
def test_results_become_plain_json(value, expected):
    plain = to_jsonable(value)
    assert plain == expected and type(plain) is type(expected)
    json.dumps(plain, allow_nan=False)


# -- the registry, tasks, workers, the handshake ----------------------------------------


def test_every_path_argument_is_declared():
    """A string parameter that names a path or a file must be in its tool's paths: the policy checks only those."""
    from quelmar.host import policy

    for entry in TOOLS:
        properties = entry.input_schema["properties"]
        strings = {name for name, prop in properties.items() if "string" in str(prop.get("type"))}
        named = {name for name in strings if re.search("path|file", name + " " + properties[name]["description"], re.I)}
        assert named == set(entry.paths), entry.name
        assert set(entry.content) <= strings - named, entry.name
        assert policy.READ_ARGUMENTS.get(entry.name, ()) == entry.paths
        assert policy.CONTENT_ARGUMENTS.get(entry.name, ()) == entry.content


@pytest.fixture(scope="module")
def two_sessions(tmp_path_factory):
    """Two sessions on one host whose root holds no training data: every training task fails at once."""
    root = tmp_path_factory.mktemp("tasks")
    with in_process(sessions=2, policy=FilePolicy([root]), workers=1, warm=False) as clients:
        yield clients


def _task(client, ttl=60_000):
    arguments = {"input_col": [0], "output_col": [1], "data_train": "/etc/hostname"}  # refused: outside the root
    params = {"name": "execute_fitrun", "arguments": arguments, "task": {"ttl": ttl}}
    return client.raw("tools/call", params)["task"]["taskId"]


def test_tasks_belong_to_their_session(two_sessions):
    mine, other = two_sessions
    task = _task(mine)
    assert mine.raw("tasks/get", {"taskId": task})["status"] == "failed"
    for method in ("tasks/get", "tasks/result", "tasks/cancel"):
        with pytest.raises(MCPError, match=f"Unknown task id: {task}"):
            other.raw(method, {"taskId": task})
    assert task in [t["taskId"] for t in mine.raw("tasks/list")["tasks"]]
    assert task not in [t["taskId"] for t in other.raw("tasks/list")["tasks"]]


def test_tasks_are_capped_dropped_after_their_ttl_and_listed_in_pages(two_sessions, monkeypatch):
    mine, _ = two_sessions
    store = mine.host.tasks
    store.tasks.clear()
    monkeypatch.setattr(store, "max_tasks", 5)
    monkeypatch.setattr(store, "page_size", 2)
    created = [_task(mine) for _ in range(8)]
    assert list(store.tasks) == created[3:]  # the oldest finished ones made room
    pages, cursor = [], None
    while True:
        reply = mine.raw("tasks/list", {"cursor": cursor} if cursor else {})
        pages.append([t["taskId"] for t in reply["tasks"]])
        if (cursor := reply.get("nextCursor")) is None:
            break
    assert pages == [created[3:5], created[5:7], created[7:]]
    with pytest.raises(MCPError, match="unknown cursor"):
        mine.raw("tasks/list", {"cursor": "nonsense"})
    for record in store.tasks.values():  # their time to live has passed
        record.started -= 61
    assert mine.raw("tasks/list")["tasks"] == [] and store.tasks == {}


def test_workers_start_with_the_host_and_a_killed_idle_one_is_replaced(tmp_path):
    with in_process(workers=1, policy=FilePolicy([tmp_path])) as client:
        lanes = (client.host.quick, client.host.training)
        deadline = time.monotonic() + 300  # a safety net against a host that never starts them
        while not all(lane._idle for lane in lanes):
            assert time.monotonic() < deadline
            time.sleep(0.05)
        (worker,) = client.host.quick._idle
        assert ok(client.call("execute_plusor", {"a": 1, "b": 2})) == {"result": 3.0}
        assert client.host.quick._idle == [worker]  # the call went to the worker started ahead
        os.kill(worker.pid, signal.SIGKILL)
        while Path(f"/proc/{worker.pid}/stat").exists() and worker.alive():
            time.sleep(0.01)
        assert ok(client.call("execute_plusor", {"a": 2, "b": 2})) == {"result": 4.0}
        assert client.host.quick._idle and client.host.quick._idle != [worker]


MODERN = {"io.modelcontextprotocol/protocolVersion": "2026-07-28",
          "io.modelcontextprotocol/clientInfo": {"name": "t", "version": "1"},
          "io.modelcontextprotocol/clientCapabilities": {}}


async def _exchange(messages):
    """The server's answers to raw JSON-RPC messages sent one after the other over in-memory streams."""
    from mcp.shared.memory import create_client_server_memory_streams
    from mcp.shared.message import SessionMessage

    host = ToolHost(warm=False)
    server = host.build_server()
    answers = []
    async with create_client_server_memory_streams() as ((c_read, c_write), (s_read, s_write)):
        async with anyio.create_task_group() as tg:
            tg.start_soon(server.run, s_read, s_write, server.create_initialization_options())
            for message in messages:
                await c_write.send(SessionMessage(types.jsonrpc_message_adapter.validate_python(message)))
                if "id" in message:
                    with anyio.fail_after(60):
                        answers.append((await c_read.receive()).message.model_dump(by_alias=True, exclude_none=True))
            tg.cancel_scope.cancel()
    return answers


def _initialize(version, request_id=1):
    params = {"protocolVersion": version, "capabilities": {}, "clientInfo": {"name": "t", "version": "1"}}
    return {"jsonrpc": "2.0", "id": request_id, "method": "initialize", "params": params}


@pytest.mark.parametrize("version", ["2024-11-05", "2025-03-26", "2025-06-18", "2025-11-25", "2026-07-28"])
def test_ping_is_answered_under_every_protocol_version(version):
    if version == "2026-07-28":  # no handshake: each request carries its version
        messages = [{"jsonrpc": "2.0", "id": 2, "method": "ping", "params": {"_meta": MODERN}}]
    else:
        messages = [_initialize(version), {"jsonrpc": "2.0", "method": "notifications/initialized"},
                    {"jsonrpc": "2.0", "id": 2, "method": "ping"}]
    answers = anyio.run(_exchange, messages)
    assert "error" not in answers[-1] and answers[-1]["id"] == 2


def test_a_second_initialize_is_refused():
    answers = anyio.run(_exchange, [_initialize("2025-11-25"), {"jsonrpc": "2.0", "method": "notifications/initialized"},
                                    _initialize("2025-03-26", 2), {"jsonrpc": "2.0", "id": 3, "method": "ping"}])
    assert answers[0]["result"]["protocolVersion"] == "2025-11-25"
    assert answers[1]["error"]["code"] == -32600 and "already received" in answers[1]["error"]["message"]
    assert answers[2]["result"] == {}


@pytest.mark.parametrize(
    ("method", "params", "code"),
    [
        ("\ud800", {}, -32600),
        ("tools/call", {"name": "\ud800", "arguments": {}}, -32602),
        ("tools/call", {"name": "execute_tabextent", "arguments": {"file_path": "a\udc00.csv"}}, -32602),
        ("tasks/get", {"taskId": "\ud800"}, -32602),
    ],
)
def test_text_that_is_not_unicode_is_refused_in_process(method, params, code):
    """Whatever the transport, a lone surrogate is refused before a handler sees it, and never echoed."""
    answers = anyio.run(_exchange, [_initialize("2025-11-25"), {"jsonrpc": "2.0", "method": "notifications/initialized"},
                                    {"jsonrpc": "2.0", "id": 2, "method": method, "params": params}])
    assert answers[1]["error"]["code"] == code
    answers[1]["error"]["message"].encode("utf-8")
