"""What a training leaves, seen through the host: resources, images, list_models, uploads, and the schemas
that say what the tools take."""

import base64
import json
import os
import shutil
import signal
import sys
import time
import urllib.error
import urllib.request
from pathlib import Path

import anyio
import jsonschema
import pytest
import yaml

from quelmar.host import resources
from quelmar.host.http import UPLOAD_PATH, Uploads
from quelmar.host.policy import FilePolicy
from quelmar.host.registry import TOOLS, tool_entry
from quelmar.host.resources import OutputHome, ResourceError, output_home, read_resource, upload_name
from quelmar.host.schemas import FITRUN_CHOICES, SCHEMAS

sys.path.insert(0, os.path.dirname(__file__))
from test_host import HOME, in_process, ok  # noqa: E402

PNG = b"\x89PNG\r\n\x1a\n"
ROWS = "".join(f"{i % 10 / 10},{i // 10 / 6},{2 * (i % 10 / 10) - i // 10 / 6 + 0.5}\n" for i in range(60))
CSV = "x1,x2,y\n" + ROWS
TRAIN = {"input_col": [0, 1], "output_col": [2], "interp_method": "linear", "num_epochs_INN": 20,
         "learning_rate": 0.05, "bool_plot": True, "plot_params_number": 0}


# -- schemas ---------------------------------------------------------------------------


def test_training_enums_and_defaults_are_the_registry_and_the_reference_configuration():
    import quelmar.tools
    from quelmar.tools.ordane.models import setting_fields
    from quelmar.tools.ordane.settings import DEFAULTS, RUN_TYPES, SUPPORTED_METHODS

    properties = SCHEMAS["execute_fitrun"][0]["properties"]
    registry = {k: f.metadata["choices"] for k, f in setting_fields().items() if f.metadata["choices"]}
    expected = {"interp_method": SUPPORTED_METHODS, "run_type": RUN_TYPES}
    expected |= {k: v for k, v in registry.items() if k in properties}
    assert {k: tuple(p["enum"]) for k, p in properties.items() if "enum" in p} == expected == FITRUN_CHOICES
    reference = yaml.safe_load((Path(quelmar.tools.__file__).parent / "config" / "config_ref.yaml").read_text())
    for section, values in reference.items():
        for key, value in (values or {}).items():
            if key in properties:
                assert properties[key].get("default") == value, key
                assert DEFAULTS[section][key] == value, key
    without = {k for k, p in properties.items() if "default" not in p}
    assert without == {"input_col", "output_col", "data_train", "data_val", "data_test", "plot_in_axis", "plot_out_axis"}
    assert properties["run_type"]["default"] == "regression" and properties["gpu_idx"]["default"] == 0


def _arrays(schema, where=""):
    if isinstance(schema, dict):
        if schema.get("type") == "array" or "array" in (schema.get("type") or []):
            yield where, schema
        for key, value in schema.items():
            yield from _arrays(value, f"{where}/{key}")
    elif isinstance(schema, list):
        for i, value in enumerate(schema):
            yield from _arrays(value, f"{where}/{i}")


@pytest.mark.parametrize("entry", TOOLS, ids=lambda e: e.name)
def test_schemas_are_valid_and_every_array_has_items(entry):
    for schema in (entry.input_schema, entry.output_schema):
        jsonschema.Draft202012Validator.check_schema(schema)
        assert all("items" in array for _, array in _arrays(schema)), list(_arrays(schema))


@pytest.mark.parametrize(
    ("tool", "arguments", "valid"),
    [
        ("execute_tabextent", {"file_path": "a.csv"}, True),
        ("execute_tabextent", {"csv_content": "a\n1\n"}, True),
        ("execute_tabextent", {"file_path": "a.csv", "csv_content": "a\n1\n"}, False),
        ("execute_tabextent", {}, False),
        ("predict", {"model_file": "m.json", "csv_content": "a\n1\n"}, True),
        ("predict", {"model_file": "m.json", "file_path": "a.csv", "csv_content": "a\n1\n"}, False),
        ("predict", {"model_file": "m.json"}, False),
        ("execute_fitrun", {"input_col": [0], "output_col": [1], "data_train": "t.csv", "activation": "tanh"}, True),
        ("execute_fitrun", {"input_col": [0], "output_col": [1], "data_train": "t.csv", "activation": "swish"}, False),
        ("execute_fitrun", {"input_col": [0], "output_col": [1], "data_train": "t.csv", "interp_method": "mlp"}, False),
        ("execute_fitrun", {"input_col": [0], "output_col": [1], "data_train": "t.csv", "hidden_dim": [8, 8]}, False),
    ],
)
def test_the_schemas_say_what_the_tools_take(tool, arguments, valid):
    errors = list(jsonschema.Draft202012Validator(tool_entry(tool).input_schema).iter_errors(arguments))
    assert not errors if valid else errors


def test_hidden_dim_is_what_the_training_tool_accepts(host_files):
    """The schema says one integer width: the tool refuses a list, so the schema must not offer one."""
    client, _ = host_files
    result = client.call("execute_fitrun", {"input_col": [0], "output_col": [1], "data_train": "none.csv",
                                            "hidden_dim": [8, 8]})
    assert result.is_error and "hidden_dim" in result.content[0].text
    assert tool_entry("execute_fitrun").input_schema["properties"]["hidden_dim"]["type"] == "integer"


# -- resources, unit ---------------------------------------------------------------------


@pytest.fixture
def home(tmp_path):
    found = output_home({"QUELMAR_HOME": str(tmp_path / "home")})
    for folder in (found.models, found.plots, found.logs):
        folder.mkdir(parents=True)
    (found.models / "m.json").write_text('{"model": {"method": "linear"}}')
    (found.models / "m.npz").write_bytes(b"PK\x03\x04data")
    (found.plots / "p.png").write_bytes(PNG + b"pixels")
    (found.logs / "t.log").write_text("epoch 1\n")
    (found.logs / "notes.txt").write_text("not an output")
    (found.logs / ".hidden.log").write_text("hidden")
    (tmp_path / "secret.log").write_text("secret")
    (found.logs / "link.log").symlink_to(tmp_path / "secret.log")
    return found


def test_the_home_follows_the_environment(tmp_path):
    found = output_home({"QUELMAR_HOME": str(tmp_path)})
    assert found == OutputHome(tmp_path / "ordane" / "model_saved", tmp_path / "plots", tmp_path / "logs",
                               tmp_path / "uploads")
    assert output_home({}).logs.parent == output_home({}).plots.parent != tmp_path


def test_resources_list_the_outputs_with_types_and_sizes(home):
    listed = {r.uri: (r.mime_type, r.size) for r in resources.list_resources(home).resources}
    assert listed == {
        "quelmar://models/m.json": ("application/json", 31),
        "quelmar://models/m.npz": ("application/octet-stream", 8),
        "quelmar://plots/p.png": ("image/png", 14),
        "quelmar://logs/t.log": ("text/plain", 8),
    }
    first = resources.list_resources(home, page_size=3)
    rest = resources.list_resources(home, first.next_cursor, page_size=3)
    assert len(first.resources) == 3 and rest.next_cursor is None
    assert {r.uri for r in first.resources + rest.resources} == set(listed)


@pytest.mark.parametrize(
    ("uri", "expected"),
    [
        ("quelmar://logs/t.log", "epoch 1\n"),
        ("quelmar://models/m.json", '{"model": {"method": "linear"}}'),
        ("quelmar://plots/p.png", PNG + b"pixels"),
        ("quelmar://models/m.npz", b"PK\x03\x04data"),
    ],
)
def test_reading_a_resource(home, uri, expected):
    (contents,) = read_resource(home, uri).contents
    if isinstance(expected, str):
        assert contents.text == expected and contents.mime_type in ("text/plain", "application/json")
    else:
        assert base64.b64decode(contents.blob) == expected


@pytest.mark.parametrize(
    ("uri", "message"),
    [
        ("file:///etc/passwd", "is not a resource of this host"),
        ("quelmar://etc/passwd", "unknown kind"),
        ("quelmar://logs/../../../secret.log", "does not name a file"),
        ("quelmar://logs/.hidden.log", "does not name a file"),
        ("quelmar://logs/notes.txt", "offers only .log files"),
        ("quelmar://logs/link.log", "cannot be read .Too many levels of symbolic links"),
        ("quelmar://logs/gone.log", "'quelmar://logs/gone.log' does not exist .No such file or directory"),
        ("quelmar://plots/gone.png", "'quelmar://plots/gone.png' does not exist .No such file or directory"),
        ("quelmar://plots/big.png", "larger than the limit"),
    ],
)
def test_reading_anything_else_is_refused(home, uri, message):
    if uri.endswith("gone.png"):  # no training has made the folder yet
        shutil.rmtree(home.plots)
    else:
        (home.plots / "big.png").write_bytes(PNG + bytes(2 * 1024 * 1024))
    with pytest.raises(ResourceError, match=message):
        read_resource(home, uri, limit=1024 * 1024)


@pytest.mark.parametrize(
    ("given", "stem"),
    [
        ("data.csv", "data"),
        ("../../etc/passwd", "passwd"),
        ("C:\\Users\\me\\my data (1).CSV", "my_data_1"),
        (".bashrc", "bashrc"),
        ("", "upload"),
        (None, "upload"),
        ("x" * 300 + ".csv", "x" * 64),
    ],
)
def test_upload_names_are_safe_and_fresh(given, stem):
    name, other = upload_name(given), upload_name(given)
    assert name != other and name.endswith(".csv") and name.rsplit("-", 1)[0] == stem
    assert "/" not in name and not name.startswith(".")


def test_list_models_reads_each_description(home, monkeypatch):
    from quelmar.host.models import list_models

    meta = {"run_type": "regression", "model": {"method": "KAN", "settings": {"hidden_dim": 8}},
            "input_names": ["a", "b"], "output_names": ["y"], "info": {"metrics": {"test": {"RMSE": {"y": 0.1}}}}}
    (home.models / "k.json").write_text(json.dumps(meta))
    (home.models / "broken.json").write_text("{not json")
    monkeypatch.setenv("QUELMAR_HOME", str(home.logs.parent))
    found = {m["name"]: m for m in list_models()["models"]}
    assert set(found) == {"m", "k", "broken"}
    assert (found["k"]["method"], found["k"]["input_columns"], found["k"]["output_columns"]) == ("KAN", ["a", "b"], ["y"])
    assert found["k"]["metrics"] == meta["info"]["metrics"] and found["k"]["saved"].endswith("Z")
    assert found["k"]["uri"] == "quelmar://models/k.json" and "unreadable description" in found["broken"]["error"]


# -- uploads ---------------------------------------------------------------------------


def _asgi_post(app, path, chunks, query=b"", method="POST", host=b"127.0.0.1:8765"):
    """One request through an ASGI app, in-process: (status, body)."""
    sent = []
    messages = [{"type": "http.request", "body": c, "more_body": i < len(chunks) - 1} for i, c in enumerate(chunks)]

    async def receive():
        return messages.pop(0) if messages else {"type": "http.disconnect"}

    async def send(message):
        sent.append(message)

    scope = {"type": "http", "method": method, "path": path, "query_string": query, "headers": [(b"host", host)]}
    anyio.run(app, scope, receive, send)
    return (sent[0]["status"], b"".join(m.get("body", b"") for m in sent[1:])) if sent else (None, b"")


@pytest.mark.parametrize(
    ("chunks", "method", "host", "status"),
    [
        ([b"a,b\n", b"1,2\n"], "POST", b"127.0.0.1:8765", 201),
        ([b"a,b\n", b"1,2\n"], "POST", b"localhost", 201),
        ([b"a,b\n" * 200, b"1,2\n" * 200], "POST", b"127.0.0.1:8765", 413),
        ([b""], "POST", b"127.0.0.1:8765", 400),
        ([b"a,b\n"], "GET", b"127.0.0.1:8765", 405),
        ([b"a,b\n"], "POST", b"evil.example:8765", 403),
    ],
)
def test_uploads_are_stored_under_a_fresh_name_within_the_limit(tmp_path, chunks, method, host, status):
    passed = []

    async def app(scope, receive, send):
        passed.append(scope["path"])

    uploads = Uploads(app, tmp_path / "uploads", limit=1000, check_host=True)
    code, body = _asgi_post(uploads, UPLOAD_PATH, chunks, b"name=../x%20y.csv", method, host)
    assert code == status
    stored = sorted(p.name for p in (tmp_path / "uploads").iterdir()) if (tmp_path / "uploads").exists() else []
    if status == 201:
        answer = json.loads(body)
        assert stored == [answer["name"]] and answer["name"].startswith("x_y-") and answer["size"] == 8
        assert Path(answer["path"]).read_bytes() == b"a,b\n1,2\n"
    else:
        assert stored == []  # nothing left behind, not even the partial file
    _asgi_post(uploads, "/mcp", [b"{}"])
    assert passed == ["/mcp"]


# -- the journey through the host ------------------------------------------------------------


@pytest.fixture(scope="module")
def host_files(tmp_path_factory):
    """A host whose uploads go to a folder of the test's own; the trainings' outputs where the tool puts them."""
    root = tmp_path_factory.mktemp("root")
    default = output_home({"QUELMAR_HOME": str(HOME)})  # where in_process's workers write
    home = OutputHome(default.models, default.plots, default.logs, tmp_path_factory.mktemp("uploads"))
    with in_process(policy=FilePolicy([root]), workers=1, home=home) as client:
        yield client, home


def _remove_outputs(result):
    output = result.get("config", {}).get("OUTPUT", {})
    files = [result.get("log_path"), *(output.get("plot_files") or [])]
    if output.get("model_file"):
        files += [output["model_file"], str(Path(output["model_file"]).with_suffix(".npz"))]
    for path in filter(None, files):
        Path(path).unlink(missing_ok=True)


def test_upload_train_list_read_a_plot_and_predict(host_files):
    client, home = host_files
    status, body = _asgi_post(Uploads(None, home.uploads, 1 << 20), UPLOAD_PATH, [CSV.encode()], b"name=train.csv")
    name = json.loads(body)["name"]
    trained = client.call("execute_fitrun", TRAIN | {"data_train": name})
    result = ok(trained)
    try:
        assert status == 201 and result["config"]["DATA_PARAM"]["data_train"] == str(home.uploads / name)
        links = {block.uri: block for block in trained.content if block.type == "resource_link"}
        model = Path(result["config"]["OUTPUT"]["model_file"])
        plots = [Path(p) for p in result["config"]["OUTPUT"]["plot_files"]]
        assert plots and set(links) == {f"quelmar://models/{model.name}", f"quelmar://models/{model.stem}.npz",
                                        f"quelmar://logs/{Path(result['log_path']).name}",
                                        *(f"quelmar://plots/{p.name}" for p in plots)}
        images = [block for block in trained.content if block.type == "image"]
        assert [base64.b64decode(i.data) for i in images] == [p.read_bytes() for p in plots]

        listed = {str(r.uri): r for r in client.portal.call(client.session.list_resources).resources}
        assert set(links) <= set(listed)
        plot = listed[f"quelmar://plots/{plots[0].name}"]
        assert plot.mime_type == "image/png" and plot.size == plots[0].stat().st_size
        read = client.portal.call(client.session.read_resource, plot.uri).contents[0]
        assert base64.b64decode(read.blob).startswith(PNG)

        models = {m["model_file"]: m for m in ok(client.call("list_models"))["models"]}
        entry = models[str(model)]
        assert (entry["method"], entry["input_columns"], entry["output_columns"]) == ("linear", ["x1", "x2"], ["y"])
        assert entry["metrics"]["test"]["RMSE"]["y"] == pytest.approx(result["test_rmse"])

        for model_file in (model.name, str(model)):  # the bare name, and the path: the model folder is readable
            predicted = ok(client.call("predict", {"model_file": model_file, "csv_content": "x1,x2\n0.2,0.5\n"}))
            assert predicted["columns"] == ["y"] and isinstance(predicted["rows"][0]["y"], float)
        outside = client.call("execute_tabextent", {"file_path": str(home.logs / Path(result["log_path"]).name)})
        assert outside.is_error and "outside the allowed roots" in outside.content[0].text  # logs stay unreadable
    finally:
        _remove_outputs(result)


def test_reading_a_missing_resource_is_an_error_and_the_host_goes_on(host_files):
    from mcp.shared.exceptions import MCPError

    client, _ = host_files
    with pytest.raises(MCPError, match="^Resource not found: 'quelmar://logs/none-such.log' does not exist"):
        client.portal.call(client.session.read_resource, "quelmar://logs/none-such.log")
    assert ok(client.call("execute_plusor", {"a": 1, "b": 2})) == {"result": 3.0}


def _request(url, body=None, headers=None, method=None):
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))  # loopback only
    request = urllib.request.Request(url, body, headers or {}, method=method)
    try:
        with opener.open(request, timeout=30) as response:
            return response.status, response.read()
    except urllib.error.HTTPError as exc:
        return exc.code, exc.read()
    except urllib.error.URLError:
        return None, b""


def test_a_remote_client_uploads_trains_reads_a_plot_and_predicts(tmp_path):
    """Over Streamable HTTP against a host process: the one way a remote client has to send data and see results."""
    import socket
    import subprocess

    from mcp.client.session import ClientSession
    from mcp.client.streamable_http import streamable_http_client
    from mcp.shared._httpx_utils import create_mcp_http_client

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    env = {k: v for k, v in os.environ.items() if k not in ("QUELMAR_HOST_TOKEN", "QUELMAR_HOME")}
    env["QUELMAR_HOST_TOKEN"] = "s3cret"
    (tmp_path / "root").mkdir()
    args = [sys.executable, "-P", "-m", "quelmar.host", "--root", str(tmp_path / "root"), "--workers", "1",
            "--http", f"127.0.0.1:{port}"]
    with open(tmp_path / "stderr", "w") as err:
        proc = subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
    base, auth = f"http://127.0.0.1:{port}", {"Authorization": "Bearer s3cret"}
    uploaded, result = None, {}
    try:
        deadline = time.monotonic() + 60
        while (status := _request(f"{base}/upload", b"")[0]) != 401:
            assert time.monotonic() < deadline and proc.poll() is None, (status, (tmp_path / "stderr").read_text())
            time.sleep(0.2)
        status, body = _request(f"{base}/upload?name=train.csv", CSV.encode(), auth | {"Content-Type": "text/csv"})
        assert status == 201, body
        uploaded = json.loads(body)

        async def journey():
            client = create_mcp_http_client(headers=auth)
            async with client, streamable_http_client(f"{base}/mcp", http_client=client) as streams:
                async with ClientSession(*streams) as session:
                    await session.initialize()
                    trained = await session.call_tool("execute_fitrun", TRAIN | {"data_train": uploaded["name"]},
                                                      read_timeout_seconds=600)
                    assert not trained.is_error, trained.content[0].text
                    listed = {str(r.uri) for r in (await session.list_resources()).resources}
                    plot_uri = next(b.uri for b in trained.content if b.type == "resource_link" and "/plots/" in b.uri)
                    plot = (await session.read_resource(plot_uri)).contents[0]
                    models = (await session.call_tool("list_models")).structured_content["models"]
                    model = Path(trained.structured_content["config"]["OUTPUT"]["model_file"]).name
                    predicted = await session.call_tool("predict", {"model_file": model, "csv_content": "x1,x2\n0.8,0.1\n"})
                    images = [b for b in trained.content if b.type == "image"]
                    return trained.structured_content, listed, plot_uri, plot, models, predicted, images

        result, listed, plot_uri, plot, models, predicted, images = anyio.run(journey)
        assert plot_uri in listed and plot.mime_type == "image/png" and base64.b64decode(plot.blob).startswith(PNG)
        assert images and all(base64.b64decode(i.data).startswith(PNG) for i in images)
        assert result["config"]["OUTPUT"]["model_file"] in {m["model_file"] for m in models}
        assert predicted.structured_content["columns"] == ["y"]
        assert isinstance(predicted.structured_content["rows"][0]["y"], float)
    finally:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        if uploaded:
            Path(uploaded["path"]).unlink(missing_ok=True)
        _remove_outputs(result)


@pytest.mark.parametrize(("version", "links"), [("2025-03-26", False), ("2025-06-18", True), ("2025-11-25", True)])
def test_a_training_result_links_its_files_for_clients_that_know_links(home, version, links):
    """Clients of a protocol before resource links refuse a result holding one: they get the images only."""
    from quelmar.host.pool import Outcome
    from quelmar.host.server import ToolHost

    (home.plots / "big.png").write_bytes(PNG + bytes(resources.MAX_IMAGE_BYTES))
    value = {"log_path": str(home.logs / "t.log"), "config": {"OUTPUT": {
        "model_file": str(home.models / "m.json"), "plot_files": [str(home.plots / "p.png"), str(home.plots / "big.png")]}}}
    result = ToolHost(home=home, warm=False).result(Outcome(value=value), version)
    kinds = [block.type for block in result.content]
    assert kinds == ["text"] + ["resource_link"] * 5 * links + ["image"]  # the large plot is only linked
    assert base64.b64decode(result.content[-1].data) == PNG + b"pixels"
    if links:
        assert [b.uri for b in result.content[1:-1]] == ["quelmar://models/m.json", "quelmar://models/m.npz",
                                                         "quelmar://logs/t.log", "quelmar://plots/p.png",
                                                         "quelmar://plots/big.png"]


@pytest.mark.parametrize(
    ("tool", "argument", "value", "folder"),
    [
        ("execute_fitrun", "data_train", "up.csv", "uploads"),
        ("execute_fitrun", "data_train", "both.csv", None),  # the first root's file keeps its name
        ("execute_fitrun", "data_train", "sub/up.csv", None),
        ("execute_tabextent", "file_path", "up.csv", "uploads"),
        ("execute_tabextent", "file_path", "m.json", None),  # saved models only where a model is asked for
        ("predict", "model_file", "m.json", "models"),
        ("predict", "file_path", "m.json", None),
    ],
)
def test_bare_names_reach_uploads_and_saved_models(home, tmp_path, tool, argument, value, folder):
    from quelmar.host.server import ToolHost

    root = tmp_path / "root"
    root.mkdir()
    home.uploads.mkdir()
    for name in ("up.csv", "both.csv"):
        (home.uploads / name).write_text("a\n1\n")
    (root / "both.csv").write_text("a\n1\n")
    host = ToolHost(policy=FilePolicy([root]), home=home, warm=False)
    named = host._named_files(tool_entry(tool), {argument: value})[argument]
    assert named == (str(getattr(home, folder) / value) if folder else value)
    checked = host.policy.check_call(tool, {argument: named})
    assert checked[argument] == os.path.realpath(getattr(home, folder) / value if folder else root / value)
