"""The frame's binding path against a Cython 3 build of the same signatures.

bench/peer/peer.pyx holds the same `def`s as the tool modules (the training
tool's `_deep_update` and `_validate_required_fields`, the CSV tool's refusal,
the addition tool). This script installs Cython into the running environment
when it is missing, builds the peer with the same optimisation as the tool
modules (-O3) into build/peer/, and times each call form of both in one
process (CPU time of the thread), in rounds whose order rotates. It prints, per call, the ratio of the
minimum times (this frame / Cython) and the median of the per-round ratios.
Run with `make bench` (or `.venv/bin/python -P bench/cython_peer.py`).
"""
import importlib.util
import statistics
import subprocess
import sys
import sysconfig
import time
import timeit
import types
from pathlib import Path

import quelmar.tools.fitrun as fitrun
import quelmar.tools.plusor as plusor
import quelmar.tools.tabextent as tabextent

ROOT = Path(__file__).resolve().parent.parent
PEER_SOURCE = ROOT / "bench" / "peer" / "peer.pyx"
BUILD = ROOT / "build" / "peer"


def ensure_cython():
    """Installs Cython 3 into this environment when it is missing."""
    if importlib.util.find_spec("Cython") is None:
        subprocess.run([sys.executable, "-m", "pip", "install", "-q", "cython>=3"], check=True)


def build_peer():
    """Compiles peer.pyx to an extension module in build/peer/ and imports it."""
    ensure_cython()
    BUILD.mkdir(parents=True, exist_ok=True)
    c_file = BUILD / "peer.c"
    so_file = BUILD / ("peer" + sysconfig.get_config_var("EXT_SUFFIX"))
    if not so_file.exists() or so_file.stat().st_mtime < PEER_SOURCE.stat().st_mtime:
        subprocess.run([sys.executable, "-m", "cython", "-3", str(PEER_SOURCE), "-o", str(c_file)], check=True)
        subprocess.run(["cc", "-O3", "-DNDEBUG", "-shared", "-fPIC", f"-I{sysconfig.get_paths()['include']}",
                        str(c_file), "-o", str(so_file)], check=True)
    spec = importlib.util.spec_from_file_location("peer", so_file)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


class _Flag:
    __slots__ = ()

    def item(self):
        return False


def stub_jnp():
    """A stand-in for jax.numpy made of Python functions: array returns the operand."""
    flag = _Flag()
    return types.SimpleNamespace(float32="float32", array=lambda value, dtype=None: value,
                                 isnan=lambda x: flag, isinf=lambda x: flag)


def cases(peer):
    """(label, statement, namespace for ours, namespace for the peer)."""
    base = {"a": 1, "b": {"c": 2}}
    present = {"DATA_PARAM": {"input_col": [0], "output_col": [1], "data_train": "x.csv"}}
    kw = {"".join(["ba", "se"]): base, "".join(["upd", "ates"]): {}}  # keys built at run time, not interned
    out = []

    def add(label, stmt, ours_fn, peer_fn, **extra):
        out.append((label, stmt, dict(extra, f=ours_fn), dict(extra, f=peer_fn)))

    add("_deep_update(d, {}) positional", "f(d, e)", fitrun._deep_update, peer._deep_update, d=base, e={})
    add("_deep_update(d, updates={})", "f(d, updates=e)", fitrun._deep_update, peer._deep_update, d=base, e={})
    add("_deep_update(base=d, updates={})", "f(base=d, updates=e)", fitrun._deep_update, peer._deep_update,
        d=base, e={})
    add("_deep_update(**kw), keys built at run time", "f(**kw)", fitrun._deep_update, peer._deep_update, kw=kw)
    add("_validate_required_fields(cfg), all present", "f(c)", fitrun._validate_required_fields,
        peer._validate_required_fields, c=present)
    add("_validate_required_fields({})", "f(c)", fitrun._validate_required_fields, peer._validate_required_fields,
        c={})
    raising = "try:\n    f()\nexcept E:\n    pass"
    add("ValueError raised in the body (tabextent)", raising, tabextent.execute_tabextent, peer.execute_tabextent,
        E=ValueError)
    binding = "try:\n    {}\nexcept E:\n    pass"
    add("binding error: too many positional", binding.format("f(d, e, e)"), fitrun._deep_update, peer._deep_update,
        E=TypeError, d=base, e={})
    add("binding error: unexpected keyword", binding.format("f(d, e, x=1)"), fitrun._deep_update,
        peer._deep_update, E=TypeError, d=base, e={})
    add("binding error: missing argument", binding.format("f(d)"), fitrun._deep_update, peer._deep_update,
        E=TypeError, d=base)
    add("execute_plusor(1.5, 2.5), jnp stubbed", "f(1.5, 2.5)", plusor.execute_plusor, peer.execute_plusor)
    return out


def per_call(stmt, namespace, number):
    # CPU time of this thread: on a shared machine, time spent descheduled is left out.
    return timeit.Timer(stmt, timer=time.thread_time, globals=namespace).timeit(number) / number


def compare(stmt, ours, peer, rounds=21, number=20000):
    """Minimum times of both and the per-round ratios, the order rotating each round."""
    times = {"ours": [], "peer": []}
    ratios = []
    per_call(stmt, ours, 1000), per_call(stmt, peer, 1000)  # warm-up
    for r in range(rounds):
        order = [("ours", ours), ("peer", peer)]
        if r % 2:
            order.reverse()
        got = {name: per_call(stmt, ns, number) for name, ns in order}
        for name, t in got.items():
            times[name].append(t)
        ratios.append(got["ours"] / got["peer"])
    return min(times["ours"]), min(times["peer"]), min(times["ours"]) / min(times["peer"]), statistics.median(ratios)


def main():
    peer = build_peer()
    stub = stub_jnp()
    real_jnp = plusor.jnp
    plusor.jnp = peer.jnp = stub
    try:
        print(f"  {'call':<46}{'frame':>10}{'Cython':>10}{'min ratio':>11}{'median':>9}")
        for label, stmt, ours, theirs in cases(peer):
            t_ours, t_peer, ratio_min, ratio_median = compare(stmt, ours, theirs)
            print(f"  {label:<46}{t_ours * 1e9:8.1f}ns{t_peer * 1e9:8.1f}ns{ratio_min:10.2f}x{ratio_median:8.2f}x")
    finally:
        plusor.jnp = real_jnp


if __name__ == "__main__":
    main()
