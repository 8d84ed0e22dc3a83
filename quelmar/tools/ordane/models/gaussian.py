"""``gaussian``: CP interpolation with normalised Gaussian 1-D factors.

The CP structure of `cp` (``y = sum_m prod_d f_{m,d}(x_d)``) with node weights
that are normalised Gaussian radial basis functions of the grid position t
(node spacing 1, nodes at k = 0 .. nseg)::

    W_k(t) = exp(-(t - k)^2 / (2 s^2)) / sum_j exp(-(t - j)^2 / (2 s^2)),
    s = sigma_factor

so the Gaussians' width is ``sigma_factor`` times the node spacing.  The
weights are positive, sum to 1 (a constant is reproduced exactly) and are
infinitely smooth in t, so every factor is a smooth function; unlike the
piecewise-linear factor it does not pass through its node values exactly
(it is a smoothing interpolant; small ``sigma_factor`` tends to
nearest-node steps, large ones to a constant).
"""

from __future__ import annotations

from dataclasses import dataclass

import jax
import jax.numpy as jnp

from . import cp
from .base import setting

NAME = "gaussian"
FAMILY = "INN"
REPRODUCES_DEGREE = 0


@dataclass(frozen=True)
class Settings(cp.CPSettings):
    sigma_factor: float = setting(1.3, "width of the Gaussians in node spacings",
                                  low=0.0, high=100.0, low_open=True)


def check(settings: Settings, n_in: int) -> None:
    """No constraints between the settings."""


def gaussian_basis(nseg: int, sigma_factor: float):
    nodes = jnp.arange(nseg + 1, dtype=jnp.float32)
    scale = -0.5 / sigma_factor ** 2
    return lambda t: jax.nn.softmax(scale * (t[:, :, None] - nodes) ** 2, axis=-1)


init = cp.init


def make_split(spec):
    return cp.make_split(spec, gaussian_basis(spec.settings["nseg"],
                                              spec.settings["sigma_factor"]))


def make_apply(spec):
    return cp.make_apply(make_split(spec))
