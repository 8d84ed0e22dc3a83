"""``KAN``: a Kolmogorov-Arnold network (Liu et al., 2024).

Layers of widths ``[n_in, *hidden, n_out]`` (``hidden_dim``: one width or a
list of widths).  Every edge i -> o of a layer carries a learnable 1-D
function, and a node sums its incoming edges::

    y_o = sum_i phi_{i,o}(x_i),
    phi_{i,o}(x) = wb_{i,o} silu(x) + ws_{i,o} sum_j c_{i,o,j} B_j(x)

with B_j the B-splines of degree ``spline_order`` (Liu et al.'s k; 3 is
cubic) on ``grid_size`` equal intervals of the grid [lo_i, hi_i] of input
node i of the layer, the knots extended by ``spline_order`` intervals on
each side (``grid_size + spline_order`` splines per edge).  The inputs are
first mapped affinely so that their training range becomes [-1, 1].
Beyond the grid the spline part fades out and only the silu part remains.

Adaptive grid (Liu et al.'s grid update).  Each layer's grid follows the
activations that reach it: `adapt` sets [lo_i, hi_i] to the range of node
i's values over the training rows (for hidden nodes widened by
``GRID_MARGIN`` of the range on each side, and never narrower than the
hidden grid was: an update widens a hidden grid to its values, it does not
take away a part of the edges the model has learnt) and refits the spline
coefficients by least squares so that every edge function keeps its shape
over the whole new grid (sampled evenly, ``REFIT_SAMPLES`` points per
interval), not only at the rows' values: a fit to the rows alone leaves the
splines between and beyond them free, and such wild edges generalise worse.
Training does this at initialisation and after the epochs 1, 2, 4, 8 and 16
that fall in the first half of the epoch budget (``grid_update_due``); in
between, and afterwards, the grid is fixed (it is a parameter that the
optimiser does not move).  A node that is constant over the rows keeps its
grid's width, centred on its value.  Initialisation as in Liu et al.:
c ~ N(0, 0.1^2), ws = 1, wb Glorot-uniform, grids [-1, 1].
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


GRID_MARGIN = 0.1
"""Share of a hidden node's range added on each side of its adapted grid
(room for the values to move between updates and for unseen rows).  The
first layer's grids are the inputs' training range, [-1, 1], without margin:
its values do not move, and a wider grid would only be a coarser one."""
REFIT_ROWS = 4096
"""At most this many training rows (evenly spaced) set the grids."""
REFIT_SAMPLES = 8
"""Points per grid interval, evenly spaced over the new grid, at which the
refit matches each edge function."""
REFIT_RIDGE = 1e-8
"""Ridge term of the least-squares refit (relative to the basis' Gram matrix)."""


def init(spec, key) -> dict:
    """Per layer l: spline coefficients ``c<l>`` (in, out, G + k), spline
    weights ``ws<l>`` and base weights ``wb<l>`` (in, out), and the grid
    ``grid<l>`` (2, in): the rows lo and hi of each input node's grid."""
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
        params[f"grid{l}"] = jnp.stack([-jnp.ones(a, jnp.float32), jnp.ones(a, jnp.float32)])
    return params


def upgrade_params(spec, params: dict) -> dict:
    """Parameters saved before the grids were adaptive (no ``grid<l>``): the
    fixed grid [-1, 1] they were trained with."""
    out = dict(params)
    for l, a in enumerate(widths(spec)[:-1]):
        if f"grid{l}" not in out and f"c{l}" in out:
            out[f"grid{l}"] = np.stack([-np.ones(a, np.float32), np.ones(a, np.float32)])
    return out


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


def bspline_basis(grid_size: int, order: int, xp=jnp):
    """``basis(x)``: (N, d) -> (N, d, grid_size + order) B-spline values on
    the grid [-1, 1] (``xp``: the array module, jax.numpy or numpy).

    With uniform knots every B-spline is a shifted cardinal B-spline,
    B_j(x) = N(u - j) with u the position of x in knot spacings from the first
    knot, so the basis is evaluated piece by piece (one fused elementwise
    computation rather than the Cox-de Boor recursion).
    """
    h = 2.0 / grid_size
    pieces = _cardinal_pieces(order)
    shifts = xp.arange(grid_size + order, dtype=xp.float32)

    def basis(x):
        s = ((x + 1.0) / h + order)[..., None] - shifts
        m = xp.floor(s)
        f = s - m
        out = xp.zeros_like(s)
        for k, coef in enumerate(pieces):
            value = xp.full_like(f, float(coef[-1]))
            for c in coef[-2::-1]:
                value = value * f + float(c)
            out = xp.where(m == k, value, out)
        return out

    return basis


def on_grid(x, grid, xp=jnp):
    """Node values x (N, d) as positions on their grids (2, d): lo -> -1, hi -> 1."""
    lo, hi = grid[0], grid[1]
    return (2.0 * x - (lo + hi)) / xp.maximum(hi - lo, 1e-12)


def make_layers(spec):
    """``layers(params, x) -> [x_0, ..., x_L]``: the values reaching each layer
    (x_0 the inputs on [-1, 1] over their training range) and the output."""
    basis = bspline_basis(spec.settings["grid_size"], spec.settings["spline_order"])
    n_layers = len(widths(spec)) - 1

    def layers(params, x):
        out = [2.0 * spec.unit_inputs(x) - 1.0]
        for l in range(n_layers):
            x = out[-1]
            grid = jax.lax.stop_gradient(params[f"grid{l}"])
            spline = jnp.einsum("nij,ioj->no", basis(on_grid(x, grid)),
                                params[f"c{l}"] * params[f"ws{l}"][..., None])
            out.append(jax.nn.silu(x) @ params[f"wb{l}"] + spline)
        return out

    return layers


def make_apply(spec):
    layers = make_layers(spec)
    return lambda params, x: layers(params, x)[-1]


LAST_GRID_UPDATE = 16
"""The last epoch after which the grids are adapted (see `grid_update_due`)."""


def grid_update_due(epoch: int, num_epochs: int) -> bool:
    """Whether the grids are adapted after `epoch` (0: at initialisation):
    epochs 0, 1, 2, 4, 8 and 16, those beyond half the epoch budget left out.
    Like Liu et al.'s, the updates come early in training, while the values
    reaching the layers move most; later ones would disturb a model that has
    settled."""
    return epoch == 0 or (epoch & (epoch - 1) == 0
                          and epoch <= min(LAST_GRID_UPDATE, num_epochs // 2))


def outside_share(spec, params: dict, x) -> list[float]:
    """Per layer, the share of the values reaching it (over the rows `x`, in
    the model's units, and the layer's input nodes) outside the layer's grid."""
    values = jax.jit(make_layers(spec))(params, x)[:-1]
    out = []
    for l, v in enumerate(values):
        u = np.asarray(on_grid(v, params[f"grid{l}"]))
        out.append(float(np.mean(np.abs(u) > 1.0 + 1e-6)))
    return out


def adapt(spec, params: dict, x) -> dict:
    """The parameters with every layer's grid set from the range of the values
    that reach it over the rows `x` (model units), and the spline coefficients
    refitted by least squares so that each edge keeps its function over the
    new grid (at `REFIT_SAMPLES` even points per interval).

    Layers are adapted in order, each on the values the already adapted
    layers before it give.
    """
    grid_size, order = spec.settings["grid_size"], spec.settings["spline_order"]
    basis = bspline_basis(grid_size, order, np)
    x = np.asarray(x, dtype=np.float64)
    if x.shape[0] > REFIT_ROWS:
        x = x[np.linspace(0, x.shape[0] - 1, REFIT_ROWS).astype(np.int64)]
    params = {k: np.asarray(v, dtype=np.float64) for k, v in params.items()}
    v = 2.0 * spec.unit_inputs(x.astype(np.float32), np).astype(np.float64) - 1.0
    # The refit's points, evenly spaced over a grid: the same positions (and
    # so one least-squares problem) for every node.
    even = np.linspace(-1.0, 1.0, REFIT_SAMPLES * grid_size + 1)
    b = basis(even[:, None])[:, 0]                                    # (M, B)
    gram = b.T @ b
    gram = gram + (REFIT_RIDGE * np.trace(gram) + 1e-12) * np.eye(b.shape[1])
    new = {}
    for l in range(len(widths(spec)) - 1):
        c, grid = params[f"c{l}"], params[f"grid{l}"]
        lo, hi = v.min(axis=0), v.max(axis=0)
        pad = (GRID_MARGIN if l else 0.0) * (hi - lo)
        # A node that is (nearly) constant over the rows keeps its grid's
        # width, centred on its value: a grid shrunk to a point would leave
        # every other value of it outside.
        point = hi - lo <= 1e-6 * np.maximum(1.0, np.abs(lo))
        pad = np.where(point, (grid[1] - grid[0]) / 2, pad)
        new_grid = np.stack([lo - pad, hi + pad])
        if l:
            # A hidden grid only widens: the values reaching a hidden layer
            # move during training, and a grid narrowed to today's range
            # would drop the part of each edge that they come back to.
            new_grid = np.stack([np.minimum(new_grid[0], grid[0]),
                                 np.maximum(new_grid[1], grid[1])])
        at = ((new_grid[0] + new_grid[1]) + even[:, None] * (new_grid[1] - new_grid[0])) / 2
        target = np.einsum("mij,ioj->mio", basis(on_grid(at, grid, np)), c)  # (M, in, out)
        grid = new_grid
        c = np.linalg.solve(gram, b.T @ target.reshape(b.shape[0], -1))
        c = c.reshape(-1, *target.shape[1:]).transpose(1, 2, 0)          # (in, out, B)
        new[f"c{l}"], new[f"grid{l}"] = c, grid
        spline = np.einsum("nij,ioj->no", basis(on_grid(v, grid, np)),
                           c * params[f"ws{l}"][..., None])
        silu = v / (1.0 + np.exp(-v))
        v = silu @ params[f"wb{l}"] + spline
    return {k: np.asarray(new.get(k, p), dtype=np.float32) for k, p in params.items()}
