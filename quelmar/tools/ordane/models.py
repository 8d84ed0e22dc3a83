"""The two model families: the CP-decomposed interpolation model and the MLP.

Parameters are flat dictionaries of arrays (saved as-is into ``.npz`` files).
`ModelSpec` holds everything else needed to rebuild a model.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import jax
import jax.numpy as jnp
import numpy as np

_ACTIVATIONS = {
    "relu": jax.nn.relu,
    "tanh": jnp.tanh,
    "sigmoid": jax.nn.sigmoid,
    "gelu": jax.nn.gelu,
    "silu": jax.nn.silu,
    "elu": jax.nn.elu,
    "softplus": jax.nn.softplus,
    "leaky_relu": jax.nn.leaky_relu,
}


@dataclass
class ModelSpec:
    """Shape of a model: method, sizes and (for `linear`) the node grid."""

    method: str                 # "linear" or "MLP"
    n_in: int
    n_out: int                  # outputs, or number of classes for classification
    settings: dict              # nmode/nseg, or nlayers/nneurons/activation
    grid_lo: list = field(default_factory=list)  # linear: node range per input,
    grid_hi: list = field(default_factory=list)  # in the model's input units

    def to_json(self) -> dict:
        return {"method": self.method, "n_in": self.n_in, "n_out": self.n_out,
                "settings": dict(self.settings), "grid_lo": list(self.grid_lo),
                "grid_hi": list(self.grid_hi)}

    @classmethod
    def from_json(cls, d: dict) -> "ModelSpec":
        return cls(d["method"], int(d["n_in"]), int(d["n_out"]), dict(d["settings"]),
                   list(d.get("grid_lo", [])), list(d.get("grid_hi", [])))


# ---------------------------------------------------------------- linear (CP)

def _init_linear(spec: ModelSpec, key) -> dict:
    """Node values of the 1-D factors, shape (n_out, nmode, n_in, nseg + 1).

    Each factor starts near c/2 with c = nmode**(-1/n_in), so the model
    starts as a small, nearly constant function; the noise breaks the
    symmetry between the modes.
    """
    nmode, nseg = spec.settings["nmode"], spec.settings["nseg"]
    shape = (spec.n_out, nmode, spec.n_in, nseg + 1)
    c = (1.0 / nmode) ** (1.0 / spec.n_in)
    noise = jax.random.normal(key, shape, dtype=jnp.float32)
    return {"values": c * (0.5 + 0.2 * noise)}


def _apply_linear(spec: ModelSpec):
    nseg = spec.settings["nseg"]
    lo = jnp.asarray(spec.grid_lo, dtype=jnp.float32)
    width = jnp.asarray(spec.grid_hi, dtype=jnp.float32) - lo
    width = jnp.where(width > 0, width, 1.0)
    nodes = jnp.arange(nseg + 1, dtype=jnp.float32)

    def apply(params, x):
        # Position of each input on the node grid, held at the end nodes
        # outside the range; hat functions give the piecewise-linear weights.
        t = jnp.clip((x - lo) / width * nseg, 0.0, float(nseg))          # (N, d)
        basis = jax.nn.relu(1.0 - jnp.abs(t[:, :, None] - nodes))         # (N, d, K)
        factors = jnp.einsum("ndk,omdk->nomd", basis, params["values"])   # (N, o, m, d)
        return jnp.prod(factors, axis=-1).sum(axis=-1)                    # (N, o)

    return apply


# ---------------------------------------------------------------- MLP

def _init_mlp(spec: ModelSpec, key) -> dict:
    """Glorot-uniform weights, zero biases."""
    sizes = ([spec.n_in] + [spec.settings["nneurons"]] * spec.settings["nlayers"]
             + [spec.n_out])
    params = {}
    keys = jax.random.split(key, len(sizes) - 1)
    for i, (a, b) in enumerate(zip(sizes[:-1], sizes[1:])):
        limit = np.sqrt(6.0 / (a + b))
        params[f"w{i}"] = jax.random.uniform(keys[i], (a, b), jnp.float32, -limit, limit)
        params[f"b{i}"] = jnp.zeros((b,), jnp.float32)
    return params


def _apply_mlp(spec: ModelSpec):
    act = _ACTIVATIONS[spec.settings["activation"]]
    n = spec.settings["nlayers"] + 1

    def apply(params, x):
        for i in range(n):
            x = x @ params[f"w{i}"] + params[f"b{i}"]
            if i < n - 1:
                x = act(x)
        return x

    return apply


def init_params(spec: ModelSpec, key) -> dict:
    return _init_linear(spec, key) if spec.method == "linear" else _init_mlp(spec, key)


def make_apply(spec: ModelSpec):
    """``apply(params, x) -> (N, n_out)`` for inputs in the model's units."""
    return _apply_linear(spec) if spec.method == "linear" else _apply_mlp(spec)
