"""Where a training's output goes (the output home) and how the host reads it back."""

import json
import os
import re
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest

from quelmar.host import __main__ as host_main
from quelmar.host.policy import FilePolicy, Refused, default_output_dir

README = Path(__file__).resolve().parent.parent / "README.md"
LAYOUT = {"_get_model_save_dir": ("ordane", "model_saved"), "_get_plots_dir": ("plots",), "_get_logs_dir": ("logs",)}
REQUIRED = {"input_col": [0], "output_col": [1], "data_train": "train.csv", "interp_method": "linear"}


@pytest.fixture
def user_home(tmp_path, monkeypatch):
    """A scratch home directory; QUELMAR_HOME and XDG_DATA_HOME unset."""
    home = tmp_path / "user"
    home.mkdir()
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.delenv("QUELMAR_HOME", raising=False)
    monkeypatch.delenv("XDG_DATA_HOME", raising=False)
    return home


@pytest.fixture
def read_only_tools(fitrun, tools_dir, monkeypatch):
    """The tools directory made unwritable (as root, where permissions do not bind: a /sys path)."""
    if os.geteuid() == 0:
        monkeypatch.setattr(fitrun, "_get_tools_dir", lambda: Path("/sys/quelmar-read-only-tools"))
        yield
        return
    tools_dir.chmod(0o555)
    yield
    tools_dir.chmod(0o755)


# -- the training tool's directories --------------------------------------------


@pytest.mark.parametrize("function", sorted(LAYOUT))
def test_quelmar_home_holds_the_same_sub_folders(fitrun, tools_dir, user_home, tmp_path, monkeypatch, function):
    monkeypatch.setenv("QUELMAR_HOME", str(tmp_path / "home"))
    made = getattr(fitrun, function)()
    assert made == tmp_path.joinpath("home", *LAYOUT[function]) and made.is_dir()
    assert sorted(p.name for p in tools_dir.iterdir()) == ["config"]  # nothing beside the module


@pytest.mark.parametrize("xdg", [None, "relative/ignored", "absolute"])
def test_an_unwritable_tools_dir_moves_to_the_per_user_home(fitrun, read_only_tools, user_home, tmp_path,
                                                           monkeypatch, xdg):
    if xdg is not None:
        monkeypatch.setenv("XDG_DATA_HOME", str(tmp_path / "xdg") if xdg == "absolute" else xdg)
    expected = tmp_path / "xdg" / "quelmar" if xdg == "absolute" else user_home / ".local" / "share" / "quelmar"
    assert default_output_dir() == expected  # the host's default is the same place
    for function, parts in LAYOUT.items():
        assert getattr(fitrun, function)() == expected.joinpath(*parts)
    result = fitrun.execute_fitrun(**REQUIRED)
    log = Path(result["log_path"])
    assert log.parent == expected / "logs" and result["config"]["OUTPUT"]["plots_dir"] == str(expected / "plots")
    assert re.search(r"Output directory .* is not writable \(.*\); using " + re.escape(f"{expected} instead"),
                     log.read_text())


def test_a_chosen_home_that_cannot_be_made_is_an_error(fitrun, user_home, tmp_path, monkeypatch):
    (tmp_path / "taken").write_text("a file, not a folder")
    monkeypatch.setenv("QUELMAR_HOME", str(tmp_path / "taken"))
    with pytest.raises(NotADirectoryError):  # the user's choice is not silently replaced
        fitrun._get_logs_dir()
    assert not (user_home / ".local").exists()


def test_a_writable_tools_dir_keeps_the_documented_places(fitrun, tools_dir, user_home):
    result = fitrun.execute_fitrun(**REQUIRED)
    assert Path(result["log_path"]).parent == tools_dir / "logs"
    assert "not writable" not in Path(result["log_path"]).read_text()


@pytest.mark.parametrize("cause, shown", [(KeyboardInterrupt("the host: the client cancelled the call"),
                                           "KeyboardInterrupt (the host: the client cancelled the call)"),
                                          (SystemExit(), "SystemExit")])
def test_an_interrupted_run_says_so_with_its_epochs(fitrun, tools_dir, cause, shown):
    from quelmar.tools.ordane import progress

    def pipeline(config, run_type, gpu_idx):
        for epoch in (1, 2, 3):
            progress.report(epoch, 500)
        raise cause

    seen = []
    previous = progress.set_callback(lambda done, total: seen.append(done))
    fitrun.train_model = pipeline
    try:
        with pytest.raises(type(cause)):
            fitrun.execute_fitrun(**REQUIRED)
        assert seen == [1, 2, 3]  # the counter passes the reports on
        restored = progress.set_callback(previous)
    finally:
        progress.set_callback(previous)
    assert restored is not None and restored.__name__ == "<lambda>"  # and is unhooked after the run
    (log,) = (tools_dir / "logs").glob("training_linear_*.log")
    assert log.read_text().endswith(f"\nTraining interrupted by {shown} after 3 of 500 epochs\n")


# -- the host's file policy --------------------------------------------------------


@pytest.fixture
def homes(tmp_path):
    """A root with a data file, and an output home with a saved model."""
    root, home = tmp_path / "root", tmp_path / "out"
    models = home / "ordane" / "model_saved"
    models.mkdir(parents=True)
    root.mkdir()
    (root / "data.csv").write_text("a\n1\n")
    (models / "ordane_linear_regression_1.json").write_text("{}")
    (home / "logs").mkdir()
    (home / "logs" / "run.log").write_text("log")
    return root, home, models


@pytest.mark.parametrize(
    "tool, arguments, expected",
    [
        ("predict", {"model_file": "ordane_linear_regression_1"}, "models/ordane_linear_regression_1.json"),
        ("predict", {"model_file": "ordane_linear_regression_1.json"}, "models/ordane_linear_regression_1.json"),
        ("predict", {"model_file": "HOME/ordane/model_saved/ordane_linear_regression_1.json"},
         "models/ordane_linear_regression_1.json"),
        ("execute_tabextent", {"file_path": "HOME/logs/run.log"}, "HOME/logs/run.log"),
        ("execute_tabextent", {"file_path": "data.csv"}, "ROOT/data.csv"),
    ],
)
def test_the_output_home_is_readable(homes, tool, arguments, expected):
    root, home, models = homes
    swap = {"HOME": str(home), "ROOT": str(root), "models": str(models)}
    arguments = {k: re.sub(r"^(HOME|ROOT|models)", lambda m: swap[m.group(1)], v) for k, v in arguments.items()}
    checked = FilePolicy([root], output_home=home).check_call(tool, arguments)
    (name,) = arguments
    assert checked[name] == re.sub(r"^(HOME|ROOT|models)", lambda m: swap[m.group(1)], expected)


@pytest.mark.parametrize(
    "roots, tool, arguments, message",
    [
        # Nothing is written there for a client: generated training data stays inside a root.
        (True, "execute_fitrun", {"data_train": "HOME/new.csv", "bool_data_generation": True}, "outside the allowed roots"),
        (False, "execute_tabextent", {"file_path": "/etc/hostname"}, "no allowed roots"),
        (False, "execute_tabextent", {"file_path": "data.csv"}, "no allowed roots"),
    ],
)
def test_the_output_home_is_not_a_root(homes, roots, tool, arguments, message):
    root, home, _ = homes
    arguments = {k: v.replace("HOME", str(home)) if isinstance(v, str) else v for k, v in arguments.items()}
    policy = FilePolicy([root] if roots else [], start_dir="/", output_home=home)
    with pytest.raises(Refused, match=message):
        policy.check_call(tool, arguments)


@pytest.mark.parametrize("tool, arguments", [("execute_tabextent", {"file_path": "logs/run.log"}),
                                             ("execute_tabextent", {"file_path": "ordane_linear_regression_1"}),
                                             ("predict", {"model_file": "ordane/model_saved/x.json"})])
def test_relative_paths_start_in_the_first_root_not_the_home(homes, tool, arguments):
    root, home, _ = homes
    checked = FilePolicy([root], output_home=home).check_call(tool, arguments)
    ((name, value),) = arguments.items()
    assert checked[name] == str(root / value)


def test_without_roots_the_home_stays_readable_and_a_client_file_comes_first(homes):
    root, home, models = homes
    no_roots = FilePolicy([], start_dir="/", output_home=home)
    assert no_roots.check_call("predict", {"model_file": "ordane_linear_regression_1"})["model_file"] == str(
        models / "ordane_linear_regression_1.json")
    (root / "ordane_linear_regression_1").write_text("{}")
    mine = FilePolicy([root], output_home=home).check_call("predict", {"model_file": "ordane_linear_regression_1"})
    assert mine["model_file"] == str(root / "ordane_linear_regression_1")


# -- the host's options ---------------------------------------------------------------


@pytest.mark.parametrize(
    "option, environ, expected",
    [
        ("opt", {"QUELMAR_HOME": "/env/home"}, "TMP/opt"),
        (None, {"QUELMAR_HOME": "/env/home", "XDG_DATA_HOME": "/xdg"}, "/env/home"),
        (None, {"XDG_DATA_HOME": "/xdg"}, "/xdg/quelmar"),
        (None, {}, "USER/.local/share/quelmar"),
    ],
)
def test_the_host_output_home(tmp_path, monkeypatch, option, environ, expected):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("HOME", str(tmp_path / "u"))
    got = host_main.output_home(option, environ)
    assert str(got) == expected.replace("TMP", str(tmp_path)).replace("USER", str(tmp_path / "u"))


def test_the_host_sets_the_home_for_its_workers_and_keeps_a_training_limit(tmp_path, monkeypatch, capsys):
    monkeypatch.delenv("QUELMAR_HOME", raising=False)
    monkeypatch.setattr(os, "environ", dict(os.environ))  # _parse sets the workers' variable here
    args = host_main._parse(["--output-dir", str(tmp_path / "out")])
    assert os.environ["QUELMAR_HOME"] == str(tmp_path / "out") and (tmp_path / "out").is_dir()
    assert args.training_timeout == 3600
    with pytest.raises(SystemExit) as info:
        host_main._parse(["--version"])
    assert info.value.code == 0 and re.fullmatch(r"quelmar-host \d+\.\d+\.\d+\S*\n", capsys.readouterr().out)


def test_the_worker_reads_why_it_is_interrupted(monkeypatch):
    from quelmar.host import worker

    read, write = os.pipe()
    try:
        monkeypatch.setattr(worker, "_wire_fd", read)
        assert worker._stop_cause() == ""  # nothing sent: a plain interrupt
        os.write(write, b'{"stop": "the host: the client cancelled the call"}\n')
        assert worker._stop_cause() == "the host: the client cancelled the call"
    finally:
        os.close(read)
        os.close(write)


# -- the README's registration blocks, as written ---------------------------------------


def readme_blocks():
    """The README's JSON blocks that register the host, by transport."""
    blocks = re.findall(r"```json\n(.*?)```", README.read_text(), re.S)
    servers = [json.loads(b)["mcpServers"]["quelmar"] for b in blocks if "mcpServers" in b]
    return {"http" if s.get("type") == "http" else "stdio": s for s in servers}


def training_data(folder):
    rows = [(i % 10 / 10, i // 10 / 6) for i in range(60)]
    (folder / "train.csv").write_text("x1,x2,y\n" + "".join(f"{a},{b},{2 * a - b + 0.5}\n" for a, b in rows))
    return {"input_col": [0, 1], "output_col": [2], "data_train": "train.csv", "interp_method": "linear",
            "num_epochs_INN": 20, "learning_rate": 0.05, "bool_plot": False, "bool_save_model": True}


async def train_then_predict(session, arguments):
    trained = await session.call_tool("execute_fitrun", arguments, read_timeout_seconds=None)
    assert not trained.is_error, trained.content
    model_file = trained.structured_content["config"]["OUTPUT"]["model_file"]
    name = Path(model_file).stem  # the bare name
    predicted = await session.call_tool("predict", {"model_file": name, "csv_content": "x2,x1\n0.5,0.2\n"})
    assert not predicted.is_error, predicted.content
    return Path(model_file), trained.structured_content["log_path"], predicted.structured_content


def host_env(tmp_path):
    """This environment with a scratch home; the compilation cache stays this user's, so that the
    host's worker loads the programs it has compiled before instead of compiling them again."""
    from quelmar.tools.ordane import jax_cache

    env = {k: v for k, v in os.environ.items() if k not in ("QUELMAR_HOME", "XDG_DATA_HOME")}
    cache = jax_cache.cache_dir()
    return env | {"HOME": str(tmp_path / "user")} | ({jax_cache.ENV_DIR: cache} if cache else {})


# One host start (a worker importing JAX) and one short training each: the user's journey as written.
def test_readme_stdio_block_trains_then_predicts_by_name(tmp_path):
    import anyio
    from mcp.client.session import ClientSession
    from mcp.client.stdio import StdioServerParameters, stdio_client

    server = readme_blocks()["stdio"]
    data = tmp_path / "data"
    data.mkdir()
    arguments = training_data(data)
    args = [a.replace("/absolute/path/to/your/data", str(data)) for a in server["args"]]
    assert server["command"] == "/absolute/path/to/quelmar/.venv/bin/python"

    async def journey():
        params = StdioServerParameters(command=sys.executable, args=args, env=host_env(tmp_path), cwd=str(tmp_path))
        with open(tmp_path / "stderr.txt", "w") as errlog:
            async with stdio_client(params, errlog=errlog) as streams, ClientSession(*streams) as session:
                await session.initialize()
                return await train_then_predict(session, arguments)

    model_file, log_path, predicted = anyio.run(journey)
    home = tmp_path / "user" / ".local" / "share" / "quelmar"
    assert model_file.parent == home / "ordane" / "model_saved" and Path(log_path).parent == home / "logs"
    assert predicted["columns"] == ["y"] and len(predicted["rows"]) == 1
    first = (tmp_path / "stderr.txt").read_text().splitlines()[0]
    assert first == f"quelmar-host INFO output home {home}: training logs, plots and models (--output-dir)"


def test_readme_http_block_connects(tmp_path):
    import anyio
    from mcp.client.session import ClientSession
    from mcp.client.streamable_http import streamable_http_client
    from mcp.shared._httpx_utils import create_mcp_http_client

    server = readme_blocks()["http"]
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    token = "readme-token"
    url = server["url"].replace("trainer.example:8765", f"127.0.0.1:{port}")
    headers = {k: v.replace("YOUR-TOKEN", token) for k, v in server["headers"].items()}
    command = [sys.executable, "-P", "-m", "quelmar.host", "--http", f"127.0.0.1:{port}", "--no-warm-start"]
    env = host_env(tmp_path) | {"QUELMAR_HOST_TOKEN": token}
    with open(tmp_path / "stderr.txt", "w") as errlog:
        host = subprocess.Popen(command, stdin=subprocess.DEVNULL, stderr=errlog, env=env, cwd=tmp_path)
    try:
        deadline = time.monotonic() + 60  # a safety net, not a measurement
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                assert host.poll() is None and time.monotonic() < deadline
                time.sleep(0.1)

        async def journey():
            client = create_mcp_http_client(headers=headers)
            async with client, streamable_http_client(url, http_client=client) as streams:
                async with ClientSession(*streams) as session:
                    await session.initialize()
                    return {tool.name for tool in (await session.list_tools()).tools}

        names = anyio.run(journey)
    finally:
        host.send_signal(signal.SIGTERM)
        host.wait(30)
    assert {"execute_fitrun", "predict"} <= names
