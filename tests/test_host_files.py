"""What a tool reads is what the host checked: links, swaps, compressed files, saved models, memory."""

import bz2
import ctypes
import dataclasses
import gzip
import io
import json
import lzma
import os
import random
import sys
import threading
import time
import zipfile
from pathlib import Path

import pytest

from quelmar.host import worker
from quelmar.host.files import FileRefused, OpenedFiles, open_plan
from quelmar.host.policy import FILES_KEY, FilePolicy

SECRET = "SECRET,KEY\nTOPSECRET,1\n"
TABLE = "a,b\n1,2\n3,4\n"


@pytest.fixture
def tree(tmp_path):
    """root/d/t.csv inside the root; outside/d/t.csv (the secret) beside it."""
    root, outside = tmp_path / "root", tmp_path / "outside"
    for base, text in ((root, TABLE), (outside, SECRET)):
        (base / "d").mkdir(parents=True)
        (base / "d" / "t.csv").write_text(text)
    return root, outside


def plan_for(root, tool, arguments, **limits):
    return FilePolicy([root], **limits).check_call(tool, arguments)


def handed(checked):
    """Open the checked arguments' files as the worker does; the arguments the tool gets and the descriptors."""
    opened = OpenedFiles()
    arguments = dict(checked)
    return open_plan(arguments.pop(FILES_KEY), arguments, opened), opened


def call_in_worker(tool, module, checked):
    """Run one call as a worker does (in this process); the outcome message."""
    return worker._call({"tool": tool, "module": module, "arguments": checked}, io.StringIO())


def swap_for_link(path, target):
    """Replace the file or folder ``path`` by a link to ``target``."""
    away = path.with_name(path.name + ".away")
    path.rename(away)
    path.symlink_to(target)


# -- links and swaps -------------------------------------------------------------


def exchange(a, b, _libc=ctypes.CDLL(None, use_errno=True)):
    """Swap two names at once (renameat2 with RENAME_EXCHANGE): each always names something."""
    if _libc.renameat2(-100, bytes(a), -100, bytes(b), 2) != 0:
        raise OSError(ctypes.get_errno(), os.strerror(ctypes.get_errno()))


@pytest.mark.parametrize("flipped", ["d/t.csv", "d"])
def test_a_process_flipping_file_and_link_never_wins(tree, flipped):
    root, outside = tree
    checked = plan_for(root, "execute_tabextent", {"file_path": str(root / "d" / "t.csv")})
    victim, other = root / flipped, root / "other"
    other.symlink_to(outside / flipped)
    stop = threading.Event()

    def flip():
        pause = random.Random(0)
        while not stop.is_set():
            exchange(victim, other)
            time.sleep(pause.random() * 1e-4)  # out of step with the opener, so that it meets both states

    flipper = threading.Thread(target=flip)
    flipper.start()
    outcomes = {"read": 0, "refused": 0, "secret": 0}
    try:
        for _ in range(1000):
            try:
                arguments, opened = handed(checked)
            except FileRefused as exc:
                assert "TOPSECRET" not in str(exc)
                outcomes["refused"] += 1
                continue
            with opened, open(arguments["file_path"]) as fh:
                outcomes["secret" if "TOPSECRET" in fh.read() else "read"] += 1
    finally:
        stop.set()
        flipper.join()
    assert outcomes["secret"] == 0 and outcomes["read"] > 0 and outcomes["refused"] > 0, outcomes


@pytest.mark.parametrize(
    ("tool", "arguments", "victim", "target"),
    [
        ("execute_tabextent", {"file_path": "d/t.csv"}, "d/t.csv", "d/t.csv"),
        ("execute_tabextent", {"file_path": "d/t.csv"}, "d", "d"),
        ("execute_fitrun", {"data_train": "d/t.csv"}, "d/t.csv", "d/t.csv"),
        ("execute_fitrun", {"data_train": "d/new/made.csv", "bool_data_generation": True}, "d", "d"),
        ("predict", {"model_file": "d/t.csv"}, "d", "d"),
    ],
)
def test_a_file_swapped_for_a_link_while_the_call_waits_is_refused(tree, tool, arguments, victim, target):
    root, outside = tree
    checked = plan_for(root, tool, arguments)
    swap_for_link(root / victim, outside / target)
    with pytest.raises(FileRefused, match="changed after it was checked: a link now stands") as refused:
        handed(checked)
    assert "TOPSECRET" not in str(refused.value)
    assert not (outside / "d" / "new").exists()


def test_generated_data_is_written_and_read_inside_the_folder_that_was_opened(tree):
    from quelmar.tools.ordane.data import read_frame

    root, outside = tree
    checked = plan_for(root, "execute_fitrun", {"data_train": "g/h/made.csv", "bool_data_generation": True})
    arguments, opened = handed(checked)
    with opened:
        made = arguments["data_train"]
        assert made.startswith("/proc/self/fd/") and not os.path.exists(made)
        (root / "g").rename(root / "g.away")  # the opened folder moves; a link takes its name
        (root / "g").symlink_to(outside)
        with open(made, "x") as fh:
            fh.write(TABLE)
        assert read_frame(made).shape == (2, 2)
        # The name inside the opened folder replaced by a link: the pipeline's reader does not follow it.
        os.unlink(made)
        os.symlink(outside / "d" / "t.csv", made)
        with pytest.raises(ValueError, match="cannot be opened"):
            read_frame(made)
    assert (root / "g.away" / "h").is_dir() and not (outside / "h").exists()


def test_results_and_errors_name_the_clients_paths(tree):
    root, _ = tree
    (root / "d" / "bad.csv").write_text("")
    for name, fragment in (("t.csv", '"rows": 2'), ("bad.csv", "EmptyDataError"), ("missing.csv", "FileNotFoundError")):
        checked = plan_for(root, "execute_tabextent", {"file_path": str(root / "d" / name)})
        outcome = call_in_worker("execute_tabextent", "quelmar.tools.tabextent", checked)
        text = json.dumps(outcome)
        assert fragment in text and "/proc/self/fd" not in text, outcome
    missing = call_in_worker("execute_tabextent", "quelmar.tools.tabextent",
                             plan_for(root, "execute_tabextent", {"file_path": "d/missing.csv"}))
    assert str(root / "d" / "missing.csv") in missing["error"]
    # A result that holds the path it was given (as the training's configuration does).
    plan = plan_for(root, "execute_tabextent", {"file_path": "d/t.csv"})[FILES_KEY]
    echoed = call_in_worker("abspath", "posixpath", {"path": "d/t.csv", FILES_KEY: {"path": plan["file_path"]}})
    assert echoed == {"ok": str(root / "d" / "t.csv")}


# -- compressed files --------------------------------------------------------------


def _zip(data, files=("t.csv",)):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
        for name in files:
            archive.writestr(name, data)
    return buffer.getvalue()


COMPRESSORS = {"gzip": gzip.compress, "bzip2": bz2.compress, "xz": lzma.compress, "zip": _zip}


@pytest.mark.parametrize("kind", COMPRESSORS)
def test_compressed_files_are_expanded_up_to_the_size_limit(tmp_path, kind):
    small, big = TABLE.encode(), b"a,b\n" + b"1,2\n" * 300_000  # 1.2 MB, to a few KiB compressed
    for name, data in (("small", small), ("big", big)):
        (tmp_path / name).write_bytes(COMPRESSORS[kind](data))
    arguments, opened = handed(plan_for(tmp_path, "execute_tabextent", {"file_path": "small"}, max_file_mb=1))
    with opened, open(arguments["file_path"], "rb") as fh:
        assert fh.read() == small
    assert (tmp_path / "big").stat().st_size < 1 << 20
    with pytest.raises(FileRefused, match=r"expands to more than the limit of 1 MiB \(--max-file-mb\)"):
        handed(plan_for(tmp_path, "execute_tabextent", {"file_path": "big"}, max_file_mb=1))


@pytest.mark.parametrize(
    ("data", "outcome"),
    [
        (b"(\xb5/\xfd" + b"\0" * 20, "only gzip, bzip2, xz and zip files can be read"),
        (_zip(b"x"), None),
        (_zip(b"x", ("a.csv", "b.csv")), "zip archive of 2 files"),
        (b"BZh,x\n1,2\n", None),  # text that starts like bzip2 is read as it is
        (gzip.compress(TABLE.encode(), mtime=0)[:-8], "is not a readable gzip file"),
    ],
)
def test_other_compressed_files(tmp_path, data, outcome):
    (tmp_path / "f").write_bytes(data)
    checked = plan_for(tmp_path, "execute_tabextent", {"file_path": "f"})
    if outcome is None:
        arguments, opened = handed(checked)
        opened.close()
    else:
        with pytest.raises(FileRefused, match=outcome):
            handed(checked)


# -- saved models ----------------------------------------------------------------


@pytest.fixture(scope="module")
def saved_model(tmp_path_factory):
    """A saved linear model (2 inputs, 1 output) in root/models; a copy of its parameters outside."""
    import jax

    from quelmar.tools.ordane.data import Scaling
    from quelmar.tools.ordane.model_io import TrainedModel
    from quelmar.tools.ordane.models import METHODS, ModelSpec, init_params

    base = tmp_path_factory.mktemp("model")
    root, outside = base / "root", base / "outside"
    outside.mkdir()
    settings = dataclasses.asdict(METHODS["linear"].Settings())
    spec = ModelSpec("linear", 2, 1, settings, [0.0, 0.0], [1.0, 1.0])
    model = TrainedModel(spec, init_params(spec, jax.random.PRNGKey(0)), Scaling.identity(2, 1), "regression",
                         [0, 1], [2], input_names=["x1", "x2"], output_names=["y"])
    json_path = model.save(root / "models", stamp="s")
    (outside / "params.npz").write_bytes(json_path.with_suffix(".npz").read_bytes())
    return root, outside, json_path


def predict_outcome(root, json_path, meta=None):
    if meta is not None:
        json_path = json_path.with_name("planted.json")
        json_path.write_text(json.dumps(meta))
    checked = plan_for(root, "predict", {"model_file": str(json_path), "csv_content": "x1,x2\n0.5,0.5\n"})
    return call_in_worker("predict", "quelmar.host.predict", checked)


@pytest.mark.parametrize(
    "params_file",
    ["{outside}/params.npz", "{outside}/missing.npz", "../../outside/params.npz", "../models/{npz}", "sub/{npz}",
     "..", "", None],
)
def test_predict_reads_its_parameters_only_beside_the_model(saved_model, params_file):
    root, outside, json_path = saved_model
    meta = json.loads(json_path.read_text())
    name = meta["params_file"] = None if params_file is None else params_file.format(
        outside=outside, npz=json_path.with_suffix(".npz").name
    )
    planted = json_path.with_name("planted.json")
    expected = (
        f"ValueError: {planted}: params_file {name!r} is not the name of a file beside the description; "
        "the parameters must lie in the same folder"
    )
    assert predict_outcome(root, json_path, meta) == {"error": expected, "interrupted": False}


@pytest.mark.parametrize("linked", ["json", "npz"])
def test_predict_follows_no_link_inside_the_models_folder(saved_model, linked):
    root, outside, json_path = saved_model
    folder = root / f"linked-{linked}"
    folder.mkdir()
    for suffix in (".json", ".npz"):
        (folder / json_path.with_suffix(suffix).name).write_bytes(json_path.with_suffix(suffix).read_bytes())
    checked = plan_for(root, "predict", {"model_file": str(folder / json_path.name), "csv_content": "x1,x2\n1,2\n"})
    assert "ok" in call_in_worker("predict", "quelmar.host.predict", checked)
    swapped = folder / json_path.with_suffix(f".{linked}").name
    swapped.unlink()  # after the check: the description, or the parameters, become a link to outside
    swapped.symlink_to(outside / "params.npz")
    outcome = call_in_worker("predict", "quelmar.host.predict", checked)
    assert outcome["error"].endswith(f"{swapped} is a link, which is not followed"), outcome


def test_a_model_over_the_parameter_bound_is_refused_before_anything_is_read(saved_model):
    from quelmar.tools.ordane.models import MAX_PARAMETERS, METHODS, ModelSpec, check_size

    root, _, json_path = saved_model
    meta = json.loads(json_path.read_text())
    meta["model"]["n_in"] = 1_000_000  # a linear model's parameters grow with its inputs
    meta["params_file"] = "nothing-here.npz"
    outcome = predict_outcome(root, json_path, meta)
    assert f"more than the limit of {MAX_PARAMETERS:,}" in outcome["error"], outcome
    mlp = ModelSpec("MLP", 2, 1, {**dataclasses.asdict(METHODS["MLP"].Settings()), "nneurons": 6000})
    with pytest.raises(ValueError, match=r"nneurons=6000 has 72,036,001 parameters, more than the limit"):
        check_size(mlp)


# -- memory ----------------------------------------------------------------------


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer's shadow memory admits no data limit")
def test_workers_run_jax_under_their_memory_limit(tmp_path, monkeypatch):
    """Slow (a quick and a training worker): the limit must hold in real worker processes."""
    sys.path.insert(0, str(Path(__file__).parent))
    from test_host import in_process, ok
    from test_host_hardened import training, training_data

    from quelmar.host.__main__ import _parse
    from quelmar.host.policy import HOME_ENV, FilePolicy
    from quelmar.host.worker import MEMORY_ENV

    for name in (HOME_ENV, MEMORY_ENV):  # restored after the test; the option sets them for the workers
        monkeypatch.setenv(name, "")
    _parse(["--worker-memory-mb", "512", "--output-dir", str(tmp_path / "home")])
    assert os.environ[MEMORY_ENV] == "512"
    with in_process(policy=FilePolicy([tmp_path]), workers=1, warm=False, env=dict(os.environ)) as client:
        assert ok(client.call("execute_plusor", {"a": 1.5, "b": 2})) == {"result": 3.5}
        (worker,) = client.host.quick._idle
        limits = Path(f"/proc/{worker.pid}/limits").read_text().splitlines()
        assert [line.split()[3:5] for line in limits if line.startswith("Max data size")] == [[str(512 << 20)] * 2]
        # A training that needs more fails with a clear error (JAX's dispatch threads would wait for ever).
        big = {**training(training_data(tmp_path), "MLP", 1), "nneurons": 3000, "nlayers": 2}
        result = client.call("execute_fitrun", big)
        assert result.is_error
        assert result.content[0].text.endswith("(the worker's memory limit is 512 MiB: --worker-memory-mb)"), result


def test_a_file_handed_as_an_open_folder_is_named_by_where_it_lies(tree):
    from quelmar.tools.ordane.main import _shown_path

    root, _ = tree
    fd = os.open(root / "d", os.O_RDONLY | os.O_DIRECTORY)
    try:
        assert _shown_path(f"/proc/self/fd/{fd}/t.csv") == str((root / "d" / "t.csv").resolve())
    finally:
        os.close(fd)
    assert _shown_path("d/t.csv") == "d/t.csv" and _shown_path(None) is None
