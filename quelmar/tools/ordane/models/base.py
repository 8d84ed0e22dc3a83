"""What every model method shares: the setting declaration, its checks, `ModelSpec`.

A method declares its settings as a frozen dataclass whose fields are made
with `setting(...)`: the field default is the setting's one default, and the
metadata hold its meaning and allowed values, from which `check_settings`
checks a configuration and the documentation is written.
"""

from __future__ import annotations

import dataclasses
import math
from dataclasses import dataclass, field
from typing import Any

import jax
import jax.numpy as jnp

ACTIVATIONS = {
    "relu": jax.nn.relu,
    "tanh": jnp.tanh,
    "sigmoid": jax.nn.sigmoid,
    "gelu": jax.nn.gelu,
    "silu": jax.nn.silu,
    "elu": jax.nn.elu,
    "softplus": jax.nn.softplus,
    "leaky_relu": jax.nn.leaky_relu,
}


def setting(default: Any, meaning: str, *, low: float | None = None,
            high: float | None = None, low_open: bool = False,
            choices: tuple[str, ...] | None = None, int_list: bool = False):
    """A dataclass field for one MODEL_PARAM setting.

    default   the value used when the configuration gives none (or null)
    meaning   one line for the documentation
    low/high  inclusive bounds of a number (`low_open`: strictly above `low`)
    choices   the allowed strings
    int_list  an integer, or a non-empty list of integers (each within bounds)
    """
    return field(default=default, metadata={
        "meaning": meaning, "low": low, "high": high, "low_open": low_open,
        "choices": choices, "int_list": int_list})


def allowed_text(meta: dict, kind: type) -> str:
    """The allowed values of a setting in words, e.g. "an integer >= 1"."""
    if meta["choices"]:
        return "one of " + ", ".join(meta["choices"])
    noun = "an integer" if kind is int else "a number"
    if meta["int_list"]:
        noun = "an integer or a list of integers"
    low, high = meta["low"], meta["high"]
    if low is not None and high is not None:
        return f"{noun} from {low:g} to {high:g}" if not meta["low_open"] else \
            f"{noun} > {low:g} and <= {high:g}"
    if low is not None:
        return f"{noun} {'>' if meta['low_open'] else '>='} {low:g}"
    if high is not None:
        return f"{noun} <= {high:g}"
    return noun


def _in_range(value: float, meta: dict) -> bool:
    low, high = meta["low"], meta["high"]
    if low is not None and (value <= low if meta["low_open"] else value < low):
        return False
    return high is None or value <= high


def _as_int(value: Any, name: str, allowed: str) -> int:
    if isinstance(value, int) and not isinstance(value, bool):
        return value
    if isinstance(value, float) and value.is_integer():
        return int(value)
    raise TypeError(f"{name} must be {allowed}, got {value!r}")


def check_value(name: str, value: Any, f: dataclasses.Field) -> Any:
    """`value` of the setting `f` checked and converted; errors name `name`."""
    meta, kind = f.metadata, type(f.default)
    allowed = allowed_text(meta, kind)
    if meta["choices"]:
        if value not in meta["choices"]:
            raise ValueError(f"{name} must be {allowed}, got {value!r}")
        return value
    if meta["int_list"]:
        items = value if isinstance(value, (list, tuple)) else [value]
        if not items:
            raise ValueError(f"{name} must be {allowed}, got {value!r}")
        out = tuple(_as_int(v, name, allowed) for v in items)
        bad = [v for v in out if not _in_range(v, meta)]
        if bad:
            raise ValueError(f"{name} must be {allowed}, got {value!r}")
        return out if isinstance(value, (list, tuple)) else out[0]
    if kind is int:
        value = _as_int(value, name, allowed)
    else:
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise TypeError(f"{name} must be {allowed}, got {value!r}")
        value = float(value)
        if not math.isfinite(value):
            raise ValueError(f"{name} must be {allowed}, got {value}")
    if not _in_range(value, meta):
        raise ValueError(f"{name} must be {allowed}, got {value!r}")
    return value


@dataclass
class ModelSpec:
    """Everything but the parameters needed to rebuild a model.

    method    the registry name ("linear", "MLP", ...)
    n_in      inputs
    n_out     outputs, or the number of classes for classification
    settings  the method's settings (its dataclass as a dict)
    grid_lo, grid_hi  range of each input in the model's units (the node
              range of the interpolation methods)
    classify  the outputs are class logits
    """

    method: str
    n_in: int
    n_out: int
    settings: dict
    grid_lo: list = field(default_factory=list)
    grid_hi: list = field(default_factory=list)
    classify: bool = False

    def to_json(self) -> dict:
        settings = {k: list(v) if isinstance(v, tuple) else v
                    for k, v in self.settings.items()}
        return {"method": self.method, "n_in": self.n_in, "n_out": self.n_out,
                "settings": settings, "grid_lo": list(self.grid_lo),
                "grid_hi": list(self.grid_hi), "classify": self.classify}

    @classmethod
    def from_json(cls, d: dict) -> "ModelSpec":
        return cls(d["method"], int(d["n_in"]), int(d["n_out"]), dict(d["settings"]),
                   list(d.get("grid_lo", [])), list(d.get("grid_hi", [])),
                   bool(d.get("classify", False)))

    def unit_inputs(self, x, xp=jnp):
        """Inputs mapped affinely so that the input range becomes [0, 1]
        (`xp`: the array module, jax.numpy or numpy)."""
        lo = xp.asarray(self.grid_lo, dtype=xp.float32)
        width = xp.asarray(self.grid_hi, dtype=xp.float32) - lo
        return (x - lo) / xp.where(width > 0, width, xp.float32(1.0))

    def node_position(self, x, nseg: int):
        """Inputs as positions on a grid of `nseg` segments over the input
        range, held at the end nodes outside it: values in [0, nseg]."""
        return jnp.clip(self.unit_inputs(x) * nseg, 0.0, float(nseg))
