"""Small trainings for the device tests.

Imported, `train` gives the reference run on this process's devices; run as
``python devices_worker.py FOLDER [METHOD ...]`` (with forced CPU devices or the
coordinator variables set) it trains the same models and writes
``report_<process>.json`` and ``params_<process>.npz`` into FOLDER.
"""
import inspect
import json
import os
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from helpers import make_config, run  # noqa: E402

# MLP trains on the inputs, linear on its parameter-free features.
METHODS = {"MLP": {"nlayers": 1, "nneurons": 8}, "linear": {"nmode": 2, "nseg": 4}}
BATCH = 7  # odd: over two devices each mini-batch gets one masked row


def write_rows(path: Path) -> Path:
    rng = np.random.default_rng(11)
    x = rng.uniform(size=(60, 3))
    y = np.sin(3 * x[:, :1]) + x[:, 1:2] * x[:, 2:3]
    np.savetxt(path, np.hstack([x, y]), delimiter=",", header="a,b,c,y", comments="")
    return path


def train(folder: Path, save: bool = False, methods=tuple(METHODS)) -> tuple[dict, dict]:
    """(report, parameters by "<method>/<name>") of one run per method."""
    from quelmar.tools.ordane import compiled, model_io

    seen = []
    epoch = compiled.epoch

    def spy(*args, **kwargs):
        out = epoch(*args, **kwargs)
        given = inspect.signature(epoch).bind(*args, **kwargs).arguments
        x, place = given["x"], given.pop("place", None)
        if not seen and given["plan"].mesh is not None:
            # the program run over the mesh: half a mini-batch on each of two
            # devices, the gradients summed across them
            given["flat"], given["opt_state"], given["key"] = place.replicated(
                (given["flat"], given["opt_state"], given["key"]))
            program = compiled._epoch.lower(*given.values()).compile().as_text()
            plan, row = given["plan"], ",".join(map(str, x.shape[1:]))
            seen.append({"all_reduce": "all-reduce" in program,
                         "batch_split": f"f32[{plan.width // 2},{row}]" in program})
        seen.append({"x_devices": len(x.sharding.device_set), "x_spec": list(x.sharding.spec)
                     if hasattr(x.sharding, "spec") else None,
                     "params_replicated": bool(out[0].sharding.is_fully_replicated),
                     "params_devices": len(out[0].sharding.device_set)})
        return out

    evaluated = []
    spread = model_io.apply_spread

    def spread_spy(static, mesh, lo, hi, params, x):
        evaluated.append(len(x.sharding.device_set))
        return spread(static, mesh, lo, hi, params, x)

    data = write_rows(folder / "rows.csv")
    report, params = {}, {}
    compiled.epoch, model_io.apply_spread = spy, spread_spy
    try:
        for method in methods:
            settings = METHODS[method]
            config = make_config(folder / method, [data], inputs=(0, 1, 2), outputs=(3,),
                                 MODEL_PARAM={"interp_method": method, **settings},
                                 TRAIN_PARAM={f"num_epochs_{k}": 12 for k in ("INN", "MLP")}
                                 | {"batch_size": BATCH, "validation_period": 4, "learning_rate": 0.02,
                                    "bool_save_model": save})
            del seen[:], evaluated[:]
            result, _ = run(config)
            report[method] = {"device": config["OUTPUT"]["device"],
                              "saved": config["OUTPUT"]["model_file"],
                              "errors_val": result.errors_val,
                              "evaluated_on": sorted(set(evaluated)),
                              "all_reduce": seen[0].get("all_reduce"),
                              "batch_split": seen[0].get("batch_split"), **seen[-1]}
            params.update({f"{method}/{k}": v for k, v in result.model.params.items()})
    finally:
        compiled.epoch, model_io.apply_spread = epoch, spread
    return report, params


if __name__ == "__main__":
    import jax  # noqa: F401  (after the environment is set)

    folder = Path(sys.argv[1])
    index = os.environ.get("QUELMAR_PROCESS_ID", "0")
    out = folder / f"process{index}"
    out.mkdir(parents=True, exist_ok=True)
    report, params = train(out, save=True, methods=sys.argv[2:] or tuple(METHODS))
    (folder / f"report_{index}.json").write_text(json.dumps(report))
    np.savez(folder / f"params_{index}.npz", **params)
