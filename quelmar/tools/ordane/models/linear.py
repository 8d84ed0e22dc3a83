"""``linear``: CP interpolation with piecewise-linear 1-D factors.

The node weights are hat functions, ``W_k(t) = max(0, 1 - |t - k|)``: each
factor is the piecewise-linear interpolant of its node values, so a factor
reproduces every polynomial of degree 1 exactly.  See `cp` for the model.
"""

from __future__ import annotations

import jax
import jax.numpy as jnp

from . import cp

NAME = "linear"
FAMILY = "INN"
REPRODUCES_DEGREE = 1


Settings = cp.CPSettings


def check(settings: Settings, n_in: int) -> None:
    """No constraints between the settings."""


def hat_basis(nseg: int):
    nodes = jnp.arange(nseg + 1, dtype=jnp.float32)
    return lambda t: jax.nn.relu(1.0 - jnp.abs(t[:, :, None] - nodes))


init = cp.init


def make_apply(spec):
    # No make_split: the hat weights fuse into the factor product, which is
    # cheaper than reading weights computed once for the training set.
    return cp.make_apply(cp.make_split(spec, hat_basis(spec.settings["nseg"])))
