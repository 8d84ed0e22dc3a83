"""``FNO``: a Fourier neural operator (Li et al., 2020) for tabular rows.

A row of n = n_in input values is read as a function sampled on a regular
grid of n points, x_j at s_j = j / n.  The network::

    v_0(s_j)     = P (x_j, s_j) + p                     lift to WIDTH channels
    v_{l+1}(s_j) = act( K_l v_l (s_j) + W_l v_l(s_j) + w_l ),   l < num_layers
    K_l v        = irfft( R_l . rfft(v)[:modes] )       spectral convolution

rfft/irfft run along the grid; R_l holds complex WIDTH x WIDTH weights for
each of the ``modes`` lowest frequencies kept (at most n // 2 + 1 exist:
a larger ``modes`` keeps them all), W_l is the pointwise linear path and act
is GELU (not after the last layer, as in Li et al.).  The grids are short,
so rfft and irfft are products with the real DFT matrices (the same values).
On a grid of at most ``DENSE_GRID`` points a layer is applied as one matrix
on the flattened (n WIDTH) activation, K_l + W_l built from the weights once
per call: the same map in far fewer, larger operations.

Output: when the number of outputs equals the number of inputs (regression),
the operator is function to function: a pointwise projection
``y_j = Q2 act(Q1 v(s_j) + q1) + q2``.  Otherwise (and for classification) a
pooling head: a learnt weighted sum over the grid per channel, then
``Q2 act(Q1 . + q1) + q2`` to the outputs.

What it suits: rows whose columns are samples of one function on an ordered,
evenly spaced grid (a signal, a profile, a field along a line), ideally with
the target on the same grid.  For rows of unrelated features the column
order is arbitrary and the Fourier view has no meaning; prefer MLP, KAN or
the CP methods there.  The inputs are first mapped affinely so that their
training range becomes [0, 1].
"""

from __future__ import annotations

from dataclasses import dataclass

import jax
import jax.numpy as jnp
import numpy as np

from .base import setting

NAME = "FNO"
FAMILY = "FNO"
REPRODUCES_DEGREE = None
WIDTH = 16   # channels of the lifted function
DENSE_GRID = 8   # grids up to this many points apply each layer as one matrix


@dataclass(frozen=True)
class Settings:
    num_layers: int = setting(4, "Fourier layers", low=1, high=100)
    modes: int = setting(8, "lowest Fourier modes kept in each layer (all of the n_in // 2 + 1 "
                            "when larger)", low=1, high=10000)


def check(settings: Settings, n_in: int) -> None:
    """No constraints between the settings."""


def kept_modes(spec) -> int:
    return min(spec.settings["modes"], spec.n_in // 2 + 1)


def pointwise(spec) -> bool:
    """Function-to-function output (else the pooling head)."""
    return spec.n_out == spec.n_in and not spec.classify


def _dft_matrices(n: int, kmax: int) -> tuple[np.ndarray, np.ndarray]:
    """Forward (2 kmax, n): real then imaginary parts of the rfft's first kmax
    frequencies; inverse (n, 2 kmax): the irfft from those parts."""
    j = np.arange(n)
    k = np.arange(kmax)
    angle = 2 * np.pi * k[:, None] * j[None, :] / n
    weight = (np.where((k == 0) | (2 * k == n), 1.0, 2.0) / n)[:, None]
    forward = np.concatenate([np.cos(angle), -np.sin(angle)])
    inverse = np.concatenate([weight * np.cos(angle), -weight * np.sin(angle)]).T
    return forward, inverse


def _layer_bases(n: int, kmax: int) -> np.ndarray:
    """(2 kmax + 1, n, n): B with K_l v + W_l v = sum_m B[m]^T v R_m on a (n, WIDTH)
    function v, where R_m runs over the real parts of R_l, its imaginary parts
    and W_l."""
    forward, inverse = _dft_matrices(n, kmax)
    cos, sin = forward[:kmax], forward[kmax:]            # (k, n): rfft rows
    icos, isin = inverse[:, :kmax].T, inverse[:, kmax:].T  # (k, n): irfft columns
    real = cos[:, :, None] * icos[:, None, :] + sin[:, :, None] * isin[:, None, :]
    imag = cos[:, :, None] * isin[:, None, :] - sin[:, :, None] * icos[:, None, :]
    return np.concatenate([real, imag, np.eye(n)[None]])


def _dense(key, a: int, b: int):
    limit = np.sqrt(6.0 / (a + b))
    return jax.random.uniform(key, (a, b), jnp.float32, -limit, limit)


def init(spec, key) -> dict:
    """Lift ``lift_w``/``lift_b``; the layers' weights ``layer_w`` (num_layers,
    2 modes + 1, WIDTH, WIDTH): per layer the real parts of R_l, its imaginary
    parts and W_l; their biases ``layer_b`` (num_layers, WIDTH); head ``pool``
    (pooling only), ``q1``/``q1b``, ``q2``/``q2b``."""
    kmax = kept_modes(spec)
    layers = spec.settings["num_layers"]
    keys = iter(jax.random.split(key, 3 * layers + 3))
    scale = 1.0 / (WIDTH * WIDTH)
    params = {"lift_w": _dense(next(keys), 2, WIDTH), "lift_b": jnp.zeros(WIDTH, jnp.float32)}
    weights = []
    for _ in range(layers):
        shape = (kmax, WIDTH, WIDTH)
        real = scale * jax.random.uniform(next(keys), shape, jnp.float32)
        imag = scale * jax.random.uniform(next(keys), shape, jnp.float32)
        weights.append(jnp.concatenate([real, imag, _dense(next(keys), WIDTH, WIDTH)[None]]))
    params["layer_w"] = jnp.stack(weights)
    params["layer_b"] = jnp.zeros((layers, WIDTH), jnp.float32)
    n_final = 1 if pointwise(spec) else spec.n_out
    if not pointwise(spec):
        params["pool"] = jnp.full((spec.n_in, WIDTH), 1.0 / spec.n_in, jnp.float32)
    params["q1"] = _dense(next(keys), WIDTH, WIDTH)
    params["q1b"] = jnp.zeros(WIDTH, jnp.float32)
    params["q2"] = _dense(next(keys), WIDTH, n_final)
    params["q2b"] = jnp.zeros(n_final, jnp.float32)
    return params


def make_apply(spec):
    n = spec.n_in
    grid = jnp.arange(n, dtype=jnp.float32) / n
    layers = spec.settings["num_layers"]
    to_points = pointwise(spec)
    act = jax.nn.gelu
    kmax = kept_modes(spec)
    forward, inverse = (jnp.asarray(m, jnp.float32) for m in _dft_matrices(n, kmax))
    bases = jnp.asarray(_layer_bases(n, kmax), jnp.float32)
    spread = jnp.asarray(np.tile(np.eye(WIDTH), (1, n)), jnp.float32)  # (C, n C)

    def layer_operators(params):
        """(layers, n C, n C): K_l + W_l as matrices on the flattened function."""
        blocks = jnp.einsum("lmcd,mab->lacbd", params["layer_w"], bases)  # (L, n, C, n, C)
        return blocks.reshape(layers, n * WIDTH, n * WIDTH)

    def spectral_layer(weights, v):
        """K_l v + W_l v on (N, n, C), through the kept frequencies."""
        batch = v.shape[0]
        grid_major = v.transpose(1, 0, 2).reshape(n, -1)                 # (n, N C)
        re, im = (forward @ grid_major).reshape(2, kmax, batch, WIDTH)    # (k, N, C) each
        r_re, r_im = weights[:kmax], weights[kmax:2 * kmax]
        # (re + i im)(R_re + i R_im) for all modes as one real product.
        block = jnp.concatenate([jnp.concatenate([r_re, r_im], axis=2),
                                 jnp.concatenate([-r_im, r_re], axis=2)], axis=1)  # (k, 2C, 2C)
        mixed = jnp.concatenate([re, im], axis=2) @ block                  # (k, N, 2C)
        mixed = jnp.concatenate([mixed[..., :WIDTH], mixed[..., WIDTH:]])  # (2k, N, C)
        back = (inverse @ mixed.reshape(2 * kmax, -1)).reshape(n, batch, WIDTH)
        return back.transpose(1, 0, 2) + v @ weights[2 * kmax]

    def fourier_layers(params, v):
        """The Fourier layers on the lifted function, flattened to (N, n C)."""
        # Each bias at every grid point, as a product with a constant matrix
        # rather than a broadcast: the layers' elementwise work (GELU) then
        # reads a plain row and stays vectorised.
        biases = params["layer_b"] @ spread                                 # (L, n C)
        operators = layer_operators(params) if n <= DENSE_GRID else None
        for l in range(layers):
            if operators is not None:
                v = v @ operators[l]
            else:
                v = spectral_layer(params["layer_w"][l], v.reshape(-1, n, WIDTH))
                v = v.reshape(-1, n * WIDTH)
            v = v + biases[l]
            v = act(v) if l < layers - 1 else v
        return v

    def apply(params, x):
        x = spec.unit_inputs(x)
        lift = params["lift_w"]
        v = x[..., None] * lift[0] + (grid[:, None] * lift[1] + params["lift_b"])  # (N, n, C)
        v = fourier_layers(params, v.reshape(-1, n * WIDTH)).reshape(v.shape)
        if not to_points:
            v = jnp.sum(v * params["pool"], axis=1)                       # (N, C)
        out = act(v @ params["q1"] + params["q1b"]) @ params["q2"] + params["q2b"]
        return out[..., 0] if to_points else out

    return apply
