"""``KAN``: a Kolmogorov-Arnold network (Liu et al., 2024).

Layers of widths ``[n_in, *hidden, n_out]`` (``hidden_dim``: one width or a
list of widths).  Every edge i -> o of a layer carries a learnable 1-D
function, and a node sums its incoming edges::

    y_o = sum_i phi_{i,o}(x_i),
    phi_{i,o}(x) = wb_{i,o} silu(x) + ws_{i,o} sum_j c_{i,o,j} B_j(x)

with B_j the B-splines of degree ``spline_order`` (Liu et al.'s k; 3 is
cubic) on ``grid_size`` equal intervals of [-1, 1], the knots extended by
``spline_order`` intervals on each side (``grid_size + spline_order``
splines per edge).  The inputs are first mapped affinely so that their
training range becomes [-1, 1].  The grid stays fixed during training (Liu et al.'s grid
extension is not done); beyond the grid the spline part fades out and the
silu part remains.  Initialisation as in Liu et al.: c ~ N(0, 0.1^2),
ws = 1, wb Glorot-uniform.
"""

from __future__ import annotations

from dataclasses import dataclass

from math import comb, factorial

import jax
import jax.numpy as jnp
import numpy as np
from numpy.polynomial import Polynomial

from .base import setting

NAME = "KAN"
FAMILY = "KAN"
REPRODUCES_DEGREE = None


@dataclass(frozen=True)
class Settings:
    hidden_dim: int = setting(8, "hidden width (an integer: one hidden layer), or a list of "
                                  "widths, one per hidden layer", low=1, high=10000,
                              int_list=True)
    grid_size: int = setting(5, "spline grid intervals per edge", low=1, high=1000)
    spline_order: int = setting(3, "B-spline degree (3: cubic)", low=1, high=10)


def check(settings: Settings, n_in: int) -> None:
    """No constraints between the settings."""


def widths(spec) -> list[int]:
    hidden = spec.settings["hidden_dim"]
    hidden = list(hidden) if isinstance(hidden, (list, tuple)) else [hidden]
    return [spec.n_in, *hidden, spec.n_out]


def init(spec, key) -> dict:
    """Per layer l: spline coefficients ``c<l>`` (in, out, G + k), spline
    weights ``ws<l>`` and base weights ``wb<l>`` (in, out)."""
    n_basis = spec.settings["grid_size"] + spec.settings["spline_order"]
    sizes = widths(spec)
    params = {}
    keys = jax.random.split(key, 2 * (len(sizes) - 1))
    for l, (a, b) in enumerate(zip(sizes[:-1], sizes[1:])):
        limit = np.sqrt(6.0 / (a + b))
        params[f"c{l}"] = 0.1 * jax.random.normal(keys[2 * l], (a, b, n_basis), jnp.float32)
        params[f"ws{l}"] = jnp.ones((a, b), jnp.float32)
        params[f"wb{l}"] = jax.random.uniform(keys[2 * l + 1], (a, b), jnp.float32,
                                              -limit, limit)
    return params


def _cardinal_pieces(order: int) -> list[np.ndarray]:
    """Coefficients (lowest first) of the polynomial pieces of the cardinal
    B-spline N of degree `order`: piece m is N(m + f) for f in [0, 1), from
    N(s) = sum_r (-1)^r C(order + 1, r) max(0, s - r)^order / order!."""
    pieces = []
    for m in range(order + 1):
        p = Polynomial([0.0])
        for r in range(m + 1):
            p = p + (-1) ** r * comb(order + 1, r) * Polynomial([m - r, 1.0]) ** order
        pieces.append((p / factorial(order)).coef)
    return pieces


def bspline_basis(grid_size: int, order: int):
    """``basis(x)``: (N, d) -> (N, d, grid_size + order) B-spline values.

    With uniform knots every B-spline is a shifted cardinal B-spline,
    B_j(x) = N(u - j) with u the position of x in knot spacings from the first
    knot, so the basis is evaluated piece by piece (one fused elementwise
    computation rather than the Cox-de Boor recursion).
    """
    h = 2.0 / grid_size
    pieces = _cardinal_pieces(order)
    shifts = jnp.arange(grid_size + order, dtype=jnp.float32)

    def basis(x):
        s = ((x + 1.0) / h + order)[..., None] - shifts
        m = jnp.floor(s)
        f = s - m
        out = jnp.zeros_like(s)
        for k, coef in enumerate(pieces):
            value = jnp.full_like(f, float(coef[-1]))
            for c in coef[-2::-1]:
                value = value * f + float(c)
            out = jnp.where(m == k, value, out)
        return out

    return basis


def make_apply(spec):
    basis = bspline_basis(spec.settings["grid_size"], spec.settings["spline_order"])
    n_layers = len(widths(spec)) - 1

    def apply(params, x):
        x = 2.0 * spec.unit_inputs(x) - 1.0
        for l in range(n_layers):
            spline = jnp.einsum("nij,ioj->no", basis(x),
                                params[f"c{l}"] * params[f"ws{l}"][..., None])
            x = jax.nn.silu(x) @ params[f"wb{l}"] + spline
        return x

    return apply
