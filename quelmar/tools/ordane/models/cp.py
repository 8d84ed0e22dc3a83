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


PAIRED_FROM = 4
"""From this many inputs on, the modes start in pairs of opposite sign."""


def mode_signs(nmode: int):
    """+1, -1, +1, ... over the modes (an odd last mode 0): modes in pairs of
    opposite sign, which cancel at the start."""
    sign = jnp.where(jnp.arange(nmode) % 2 == 0, 1.0, -1.0)
    return sign.at[-1].set(0.0) if nmode % 2 else sign


def init(spec, key, signed: bool = True) -> dict:
    """Node values ``values`` of shape (n_out, nmode, n_in, nseg + 1), chosen
    so that the model starts at a scale that does not depend on the number
    of inputs n (a product of n factors below one would start near 2**-n).

    n < 4 (or one mode): every factor starts near c/2, c = nmode**(-1/n),
    with relative noise 0.4, so each output starts near 2**-n (1/2, 1/4 or 1/8).

    n >= 4: every factor starts near 1 with relative noise 0.1 / sqrt(n), and
    the modes come in pairs whose first factors have opposite signs (with an
    odd ``nmode`` the last mode's first factor starts at 0).  A mode is then
    about ``±(1 + sum_d e_d(x_d))`` with e_d the factors' deviations from 1:
    the pairs cancel, each output starts as a small additive function of its
    inputs (about 0.1 * sqrt(nmode) in size), and the gradient with respect
    to a factor (the product of the others, about 1) neither vanishes nor
    explodes as n grows.  The noise breaks the symmetry between the modes.
    """
    nmode, nseg, n = spec.settings["nmode"], spec.settings["nseg"], spec.n_in
    shape = (spec.n_out, nmode, n, nseg + 1)
    noise = jax.random.normal(key, shape, dtype=jnp.float32)
    if n < PAIRED_FROM or nmode < 2:
        scale = (0.5 ** min(n, 3) / nmode) ** (1.0 / n)
        return {"values": scale * (1.0 + 0.4 * noise)}
    values = 1.0 + 0.1 / n ** 0.5 * noise
    if not signed:
        return {"values": values}
    return {"values": values.at[:, :, 0, :].multiply(mode_signs(nmode)[None, :, None])}


def make_split(spec, basis, factor_activation=None, unit: float = 1.0):
    """``(features, apply_features)``: the node weights of the inputs,
    ``features(x) -> (N, n_in, nseg + 1)``, which do not depend on the
    parameters, and ``apply_features(params, weights) -> (N, n_out)``.

    basis              ``basis(t)``: (N, n_in) grid positions -> (N, n_in, nseg + 1)
    factor_activation  applied to each 1-D factor before the product (None: none)

    With a factor activation ``act`` and parameters holding mode weights
    ``scales`` (n_out, nmode), each activated factor is divided by `unit`
    (act(1)) and each mode's product weighted:
    ``y_o = sum_m scales_om prod_d act(f) / unit`` (a factor whose value is 1
    counts 1, whatever the activation).
    """
    nseg = spec.settings["nseg"]

    def features(x):
        return basis(spec.node_position(x, nseg))                          # (N, d, K)

    def apply_features(params, weights):
        factors = jnp.einsum("ndk,omdk->nomd", weights, params["values"])  # (N, o, m, d)
        if factor_activation is not None:
            factors = factor_activation(factors)
        if "scales" in params:
            return jnp.einsum("nom,om->no", jnp.prod(factors / unit, axis=-1), params["scales"])
        return jnp.prod(factors, axis=-1).sum(axis=-1)                     # (N, o)

    return features, apply_features


def make_apply(split):
    """``apply(params, x) -> (N, n_out)`` from a `make_split` pair."""
    features, apply_features = split
    return lambda params, x: apply_features(params, features(x))
