"""``MLP``: a fully connected network.

``nlayers`` hidden layers of ``nneurons`` units with the activation
``activation``, then a linear output layer; Glorot-uniform weights, zero
biases.
"""

from __future__ import annotations

from dataclasses import dataclass

import jax
import jax.numpy as jnp
import numpy as np

from .base import ACTIVATIONS, setting

NAME = "MLP"
FAMILY = "MLP"
REPRODUCES_DEGREE = None


@dataclass(frozen=True)
class Settings:
    nlayers: int = setting(3, "hidden layers", low=0, high=100)
    nneurons: int = setting(64, "neurons per hidden layer", low=1, high=100000)
    activation: str = setting("tanh", "activation of the hidden layers",
                              choices=tuple(ACTIVATIONS))


def check(settings: Settings, n_in: int) -> None:
    """No constraints between the settings."""


def init(spec, key) -> dict:
    """Glorot-uniform weights ``w<i>``, zero biases ``b<i>``."""
    sizes = ([spec.n_in] + [spec.settings["nneurons"]] * spec.settings["nlayers"]
             + [spec.n_out])
    params = {}
    keys = jax.random.split(key, len(sizes) - 1)
    for i, (a, b) in enumerate(zip(sizes[:-1], sizes[1:])):
        limit = np.sqrt(6.0 / (a + b))
        params[f"w{i}"] = jax.random.uniform(keys[i], (a, b), jnp.float32, -limit, limit)
        params[f"b{i}"] = jnp.zeros((b,), jnp.float32)
    return params


def make_apply(spec):
    act = ACTIVATIONS[spec.settings["activation"]]
    n = spec.settings["nlayers"] + 1

    def apply(params, x):
        for i in range(n):
            x = x @ params[f"w{i}"] + params[f"b{i}"]
            if i < n - 1:
                x = act(x)
        return x

    return apply
