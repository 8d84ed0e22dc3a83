"""The CP (canonical polyadic) structure shared by linear, nonlinear and gaussian.

Each output o is a sum over ``nmode`` modes of products of 1-D factors, one
per input d::

    y_o(x) = sum_{m < nmode} prod_{d < n_in} f_{o,m,d}(x_d)
    f_{o,m,d}(x_d) = sum_{k <= nseg} W_k(t_d) * u_{o,m,d,k}

``u`` are the learnt node values (nseg + 1 equally spaced nodes over the
training range of input d) and ``t_d`` is the position of ``x_d`` on the
node grid, in [0, nseg] (held at the end nodes outside the range).  The
methods differ only in the node weights ``W_k(t)``: a method gives
``basis(t) -> W`` of shape (N, n_in, nseg + 1).
"""

from __future__ import annotations

from dataclasses import dataclass

import jax
import jax.numpy as jnp

from .base import setting


@dataclass(frozen=True)
class CPSettings:
    """The settings of the CP structure (all three interpolation methods)."""

    nmode: int = setting(8, "number of CP tensor decomposition modes", low=1, high=1000)
    nseg: int = setting(12, "segments per input (nseg + 1 equally spaced nodes over the "
                            "training range)", low=1, high=10000)


def init(spec, key) -> dict:
    """Node values ``values`` of shape (n_out, nmode, n_in, nseg + 1).

    Every factor starts near a common value ``a`` with relative noise ``r``
    (the noise breaks the symmetry between the modes), chosen so that the
    model's scale does not depend on the number of inputs n::

        a**n = 2**-min(n, 3) / nmode        (each output starts near 2**-min(n, 3))
        r = 0.4 * min(1, sqrt(3 / n))       (the product's spread stays bounded)

    With the factors near ``a`` (close to 1 for many inputs) a mode is about
    ``a**n * (1 + sum_d (f_d - a) / a)``: it starts as an additive model of
    its inputs, and the gradient with respect to one factor (the product of
    the others) neither vanishes nor explodes as n grows.
    """
    nmode, nseg, n = spec.settings["nmode"], spec.settings["nseg"], spec.n_in
    shape = (spec.n_out, nmode, n, nseg + 1)
    scale = (0.5 ** min(n, 3) / nmode) ** (1.0 / n)
    spread = 0.4 * min(1.0, (3.0 / n) ** 0.5)
    noise = jax.random.normal(key, shape, dtype=jnp.float32)
    return {"values": scale * (1.0 + spread * noise)}


def make_split(spec, basis, factor_activation=None):
    """``(features, apply_features)``: the node weights of the inputs,
    ``features(x) -> (N, n_in, nseg + 1)``, which do not depend on the
    parameters, and ``apply_features(params, weights) -> (N, n_out)``.

    basis              ``basis(t)``: (N, n_in) grid positions -> (N, n_in, nseg + 1)
    factor_activation  applied to each 1-D factor before the product (None: none)
    """
    nseg = spec.settings["nseg"]

    def features(x):
        return basis(spec.node_position(x, nseg))                          # (N, d, K)

    def apply_features(params, weights):
        factors = jnp.einsum("ndk,omdk->nomd", weights, params["values"])  # (N, o, m, d)
        if factor_activation is not None:
            factors = factor_activation(factors)
        return jnp.prod(factors, axis=-1).sum(axis=-1)                     # (N, o)

    return features, apply_features


def make_apply(split):
    """``apply(params, x) -> (N, n_out)`` from a `make_split` pair."""
    features, apply_features = split
    return lambda params, x: apply_features(params, features(x))
