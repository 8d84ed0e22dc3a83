"""``FNO``: a Fourier neural operator (Li et al., 2020) for tabular rows.

A row of n = n_in input values is read as a function sampled on a regular
grid of n points, x_j at s_j = j / n.  The network::

    v_0(s_j)     = P (x_j, s_j) + p                     lift to C channels
    v_{l+1}(s_j) = act( K_l v_l (s_j) + W_l v_l(s_j) + w_l ),   l < num_layers
    K_l v        = irfft( R_l . rfft(v)[:modes] )       spectral convolution

rfft/irfft run along the grid; R_l holds complex C x C weights for
each of the ``modes`` lowest frequencies kept (at most n // 2 + 1 exist:
a larger ``modes`` keeps them all), W_l is the pointwise linear path and act
is GELU (not after the last layer, as in Li et al.).  The grids are short,
so rfft and irfft are products with the real DFT matrices (the same values).
On a grid of at most ``DENSE_GRID`` points a layer is applied as one matrix
on the flattened (n C) activation, K_l + W_l built from the weights once
per call: the same map in far fewer, larger operations.

C, the width, is 16 channels; on training grids of at most ``DENSE_GRID``
points, where a layer's work grows as (n C)^2, it is narrower (at most
``SHORT_WIDTH``, and n C at most ``DENSE_CELLS``: 10 channels up to 3
points, 8 at 4, 4 at 8; see ``width``), so that an epoch costs about what
an MLP's does.  A saved model keeps the width it was trained with.

Output head, chosen by the setting ``fno_head``:

* ``function``: the operator maps a function on the grid to a function on
  the same grid, by a pointwise projection ``y_j = Q2 act(Q1 v(s_j) + q1) + q2``
  (regression with as many outputs as inputs only).  The inputs are then
  one sampled function: they are mapped to [0, 1] by one shared affine map
  (the training range of all input values), and the outputs are
  standardised by one shared mean and standard deviation, so the network
  sees the function's shape.  Nothing in the model depends on the number of
  grid points: it predicts on another grid of the same interval (a finer
  one, s_j = j / m for m points, at least 2 (modes - 1) of them), the kept
  frequencies acting alike on every grid.
* ``pooled``: a learnt weighted sum over the grid per channel, then
  ``Q2 act(Q1 . + q1) + q2`` to the outputs (any number of outputs,
  classification).  The columns are tabular: each input is mapped so that
  its training range becomes [0, 1], each output standardised on its own,
  and the model reads exactly the grid it was trained on.
* ``auto`` (default): ``function`` for regression with as many outputs as
  inputs, else ``pooled``.

What it suits: rows whose columns are samples of one function on an ordered,
evenly spaced grid (a signal, a profile, a field along a line), ideally with
the target on the same grid.  For rows of unrelated features the column
order is arbitrary and the Fourier view has no meaning; prefer MLP, KAN or
the CP methods there (or at least the ``pooled`` head).
"""

from __future__ import annotations

import functools
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
SHORT_WIDTH = 10   # most channels on such a grid
DENSE_CELLS = 32   # most values per row of a layer on such a grid (grid points x channels)


@dataclass(frozen=True)
class Settings:
    num_layers: int = setting(4, "Fourier layers", low=1, high=100)
    modes: int = setting(8, "lowest Fourier modes kept in each layer (all of the n_in // 2 + 1 "
                            "when larger)", low=1, high=10000)
    fno_head: str = setting("auto", "output head: function (a function on the same grid, one "
                                    "shared scale, any grid size), pooled (tabular outputs), or "
                                    "auto (function when regression has as many outputs as "
                                    "inputs)", choices=("auto", "function", "pooled"))


def check(settings: Settings, n_in: int) -> None:
    """No constraints between the settings."""


def kept_modes(spec) -> int:
    """Frequencies kept, fixed by the training grid (spec.n_in points)."""
    return min(spec.settings["modes"], spec.n_in // 2 + 1)


def head(spec) -> tuple[str, str]:
    """The output head ("function" or "pooled") and why, in words.

    Raises ValueError when ``fno_head`` asks for a function head that the
    data cannot have."""
    chosen = spec.settings.get("fno_head", "auto")
    if chosen == "function":
        if spec.classify or spec.n_out != spec.n_in:
            what = ("classification" if spec.classify else
                    f"{spec.n_out} output(s) for {spec.n_in} inputs")
            raise ValueError(f"MODEL_PARAM.fno_head 'function' needs regression with as many "
                             f"outputs as inputs (a function on the same grid); this run has "
                             f"{what}: use 'pooled' or 'auto'")
        return "function", "MODEL_PARAM.fno_head is 'function'"
    if chosen == "pooled":
        return "pooled", "MODEL_PARAM.fno_head is 'pooled'"
    if spec.classify:
        return "pooled", "auto: classification"
    if spec.n_out == spec.n_in:
        return "function", f"auto: regression with {spec.n_out} outputs for {spec.n_in} inputs"
    return "pooled", f"auto: {spec.n_out} output(s) for {spec.n_in} inputs"


def pointwise(spec) -> bool:
    """Function-to-function output (else the pooling head)."""
    return head(spec)[0] == "function"


def _head_is_a_setting(model) -> bool:
    """False for a model saved before the head was a setting (it scales each column on its own)."""
    return "fno_head" in model.settings


def grid_function(spec) -> bool:
    """The inputs and outputs are one function each on the grid: one shared
    scale for all inputs (and one for all outputs), any number of grid points
    (not for a model saved before the head was a setting)."""
    return pointwise(spec) and _head_is_a_setting(spec)


def min_grid(spec) -> int:
    """Fewest grid points that hold the kept frequencies."""
    return max(1, 2 * (kept_modes(spec) - 1))


def describe(spec) -> str:
    """One log line: the head, why, what it implies, and the width."""
    name, why = head(spec)
    channels = f"; {width(spec)} channels"
    if name == "function":
        return (f"FNO head: function to function ({why}); inputs and outputs each scaled by "
                f"one shared scale; predicts on any grid of at least {min_grid(spec)} points"
                + channels)
    return (f"FNO head: pooled ({why}); each column scaled on its own; predicts on "
            f"{spec.n_in}-point grids only" + channels)


def width(spec) -> int:
    """Channels of a new model: `WIDTH`, and on training grids of up to
    `DENSE_GRID` points the most, at most `SHORT_WIDTH`, with n C <=
    `DENSE_CELLS` (10 up to 3 points, 8 at 4, 4 at 7 and 8).  A layer there
    is one (n C) x (n C) matrix built from the weights at every step, and a
    step's many small operations cost more with more channels: at 16
    channels an epoch took 1.3, 4 and 10 times a reference MLP's at 2, 4 and
    8 points.  (On the benchmark's smooth functions, Friedman's data and
    iris the narrower models are as accurate.)  A saved model keeps the
    width of its parameters."""
    if spec.n_in > DENSE_GRID:
        return WIDTH
    return max(1, min(SHORT_WIDTH, DENSE_CELLS // spec.n_in))


def _dft_matrices(n: int, kmax: int, n_train: int | None = None
                  ) -> tuple[np.ndarray, np.ndarray]:
    """Forward (2 kmax, n): real then imaginary parts of the rfft's first kmax
    frequencies; inverse (n, 2 kmax): the irfft from those parts.

    When the last kept frequency is the Nyquist frequency of the training
    grid of `n_train` points, only its cosine part exists there; it is kept
    so on every grid (its sine row and column are zero), and the layer acts
    on a finer grid as it did on the training grid."""
    j = np.arange(n)
    k = np.arange(kmax)
    angle = 2 * np.pi * k[:, None] * j[None, :] / n
    weight = (np.where((k == 0) | (2 * k == n), 1.0, 2.0) / n)[:, None]
    forward = np.concatenate([np.cos(angle), -np.sin(angle)])
    inverse = np.concatenate([weight * np.cos(angle), -weight * np.sin(angle)]).T
    n_train = n if n_train is None else n_train
    if 2 * (kmax - 1) == n_train:
        forward[2 * kmax - 1] = 0.0
        inverse[:, 2 * kmax - 1] = 0.0
    return forward, inverse


def _layer_bases(n: int, kmax: int, n_train: int | None = None) -> np.ndarray:
    """(2 kmax + 1, n, n): B with K_l v + W_l v = sum_m B[m]^T v R_m on a (n, C)
    function v, where R_m runs over the real parts of R_l, its imaginary parts
    and W_l."""
    forward, inverse = _dft_matrices(n, kmax, n_train)
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
    2 modes + 1, C, C): per layer the real parts of R_l, its imaginary
    parts and W_l; their biases ``layer_b`` (num_layers, C); head ``pool``
    (pooling only), ``q1``/``q1b``, ``q2``/``q2b``."""
    kmax = kept_modes(spec)
    layers = spec.settings["num_layers"]
    c = width(spec)
    keys = iter(jax.random.split(key, 3 * layers + 3))
    scale = 1.0 / (c * c)
    params = {"lift_w": _dense(next(keys), 2, c), "lift_b": jnp.zeros(c, jnp.float32)}
    weights = []
    for _ in range(layers):
        shape = (kmax, c, c)
        real = scale * jax.random.uniform(next(keys), shape, jnp.float32)
        imag = scale * jax.random.uniform(next(keys), shape, jnp.float32)
        weights.append(jnp.concatenate([real, imag, _dense(next(keys), c, c)[None]]))
    params["layer_w"] = jnp.stack(weights)
    params["layer_b"] = jnp.zeros((layers, c), jnp.float32)
    n_final = 1 if pointwise(spec) else spec.n_out
    if not pointwise(spec):
        params["pool"] = jnp.full((spec.n_in, c), 1.0 / spec.n_in, jnp.float32)
    params["q1"] = _dense(next(keys), c, c)
    params["q1b"] = jnp.zeros(c, jnp.float32)
    params["q2"] = _dense(next(keys), c, n_final)
    params["q2b"] = jnp.zeros(n_final, jnp.float32)
    return params


@functools.lru_cache(maxsize=32)
def _grid_constants(n: int, kmax: int, n_train: int, dense: bool):
    """The grid, the DFT matrices and (dense) the layer bases of an n-point grid."""
    forward, inverse = _dft_matrices(n, kmax, n_train)
    return (np.arange(n, dtype=np.float32) / n, forward.astype(np.float32),
            inverse.astype(np.float32),
            _layer_bases(n, kmax, n_train).astype(np.float32) if dense else None)


def make_apply(spec):
    layers = spec.settings["num_layers"]
    to_points = pointwise(spec)
    act = jax.nn.gelu
    kmax = kept_modes(spec)
    # A model saved before the head was a setting scaled each column on its
    # own: it keeps doing so, on its own grid.
    on_grid = to_points and _head_is_a_setting(spec)
    if on_grid:
        # One affine map for the whole function: the range of all inputs.
        # (in float32 arrays: the range is an argument of the compiled model)
        lo = jnp.min(jnp.asarray(spec.grid_lo, jnp.float32)) if len(spec.grid_lo) else 0.0
        hi = jnp.max(jnp.asarray(spec.grid_hi, jnp.float32)) if len(spec.grid_hi) else 1.0
        span = jnp.where(hi > lo, hi - lo, jnp.float32(1.0))

    def unit(x):
        return (x - lo) / span if on_grid else spec.unit_inputs(x)

    def grid_of(n):
        """The constants of an n-point grid (a function head reads any grid of
        at least `min_grid` points; the pooling head only its own)."""
        if n != spec.n_in and not on_grid:
            why = "saved without fno_head" if to_points else "pooled head"
            raise ValueError(f"this FNO model ({why}) reads rows of {spec.n_in} values, got {n}")
        if n < min_grid(spec):
            raise ValueError(f"this FNO model keeps {kmax} frequencies: it reads grids of at "
                             f"least {min_grid(spec)} points, got {n}")
        return _grid_constants(n, kmax, spec.n_in, n <= DENSE_GRID)

    def layer_operators(params, bases, n):
        """(layers, n C, n C): K_l + W_l as matrices on the flattened function."""
        c = params["lift_w"].shape[-1]
        blocks = jnp.einsum("lmcd,mab->lacbd", params["layer_w"], bases)  # (L, n, C, n, C)
        return blocks.reshape(layers, n * c, n * c)

    def spectral_layer(weights, v, forward, inverse):
        """K_l v + W_l v on (N, n, C), through the kept frequencies."""
        batch, n, c = v.shape
        grid_major = v.transpose(1, 0, 2).reshape(n, -1)                 # (n, N C)
        re, im = (forward @ grid_major).reshape(2, kmax, batch, c)    # (k, N, C) each
        r_re, r_im = weights[:kmax], weights[kmax:2 * kmax]
        # (re + i im)(R_re + i R_im) for all modes as one real product.
        block = jnp.concatenate([jnp.concatenate([r_re, r_im], axis=2),
                                 jnp.concatenate([-r_im, r_re], axis=2)], axis=1)  # (k, 2C, 2C)
        mixed = jnp.concatenate([re, im], axis=2) @ block                  # (k, N, 2C)
        mixed = jnp.concatenate([mixed[..., :c], mixed[..., c:]])  # (2k, N, C)
        back = (inverse @ mixed.reshape(2 * kmax, -1)).reshape(n, batch, c)
        return back.transpose(1, 0, 2) + v @ weights[2 * kmax]

    def fourier_layers(params, v, n):
        """The Fourier layers on the lifted function, flattened to (N, n C)."""
        _, forward, inverse, bases = grid_of(n)
        c = params["lift_w"].shape[-1]
        # Each bias at every grid point, as a product with a constant matrix
        # rather than a broadcast: the layers' elementwise work (GELU) then
        # reads a plain row and stays vectorised.
        spread = np.tile(np.eye(c, dtype=np.float32), (1, n))            # (C, n C)
        biases = params["layer_b"] @ spread                                 # (L, n C)
        operators = layer_operators(params, bases, n) if bases is not None else None
        for l in range(layers):
            if operators is not None:
                v = v @ operators[l]
            else:
                v = spectral_layer(params["layer_w"][l], v.reshape(-1, n, c), forward, inverse)
                v = v.reshape(-1, n * c)
            v = v + biases[l]
            v = act(v) if l < layers - 1 else v
        return v

    def dense(params, x, n):
        """The lift, layers and pooling on a short grid, the affine maps
        next to each other composed first: the lift (x_j times a vector) into
        the first layer's matrix, and the pooling into the last layer's, so
        each row meets n x nC and nC x C matrices there instead of nC x nC."""
        grid, _, _, bases = grid_of(n)
        lift = params["lift_w"]
        c = lift.shape[-1]
        spread = np.tile(np.eye(c, dtype=np.float32), (1, n))
        biases = params["layer_b"] @ spread                                 # (L, n C)
        operators = layer_operators(params, bases, n)
        constant = (grid[:, None] * lift[1] + params["lift_b"]).reshape(-1)  # (n C,)
        # pre-activation = inp @ w + b, with inp = x for the first layer
        w = jnp.einsum("c,acm->am", lift[0], operators[0].reshape(n, c, -1))
        b = constant @ operators[0] + biases[0]
        inp = x
        for l in range(1, layers):
            inp = act(inp @ w + b)
            w, b = operators[l], biases[l]
        if to_points:
            return (inp @ w + b).reshape(-1, n, c)
        pool = params["pool"]
        w = jnp.einsum("kbe,be->ke", w.reshape(w.shape[0], n, c), pool)
        return inp @ w + jnp.einsum("be,be->e", b.reshape(n, c), pool)       # (N, C)

    def apply(params, x):
        n = x.shape[-1]
        x = unit(x)
        if n <= DENSE_GRID:
            v = dense(params, x, n)
        else:
            grid = grid_of(n)[0]
            lift = params["lift_w"]
            v = x[..., None] * lift[0] + (grid[:, None] * lift[1] + params["lift_b"])  # (N, n, C)
            v = fourier_layers(params, v.reshape(v.shape[0], -1), n).reshape(v.shape)
            if not to_points:
                v = jnp.sum(v * params["pool"], axis=1)                   # (N, C)
        out = act(v @ params["q1"] + params["q1b"]) @ params["q2"] + params["q2b"]
        return out[..., 0] if to_points else out

    return apply
