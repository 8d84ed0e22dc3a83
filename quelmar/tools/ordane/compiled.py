"""The programs of a training run, compiled once per shape.

Every function here is jitted at module level with the model's static
description (`Static`: method, sizes and settings, frozen and hashable) as a
static argument, so a second run with the same method, settings and shapes
finds its programs compiled.  The input range of the model (``grid_lo``,
``grid_hi``), the learning rate, the epoch and the number of rows are
ordinary arguments: new data of the same shape compiles nothing.

Row counts are rounded up to a power of two (`bucket`) and the extra rows
masked, so that row counts that only change the number of mini-batches or
the size of an evaluation chunk reuse the programs compiled before.

Over several devices (a `Plan` with a mesh, see `devices`) the same programs
are partitioned by the compiler: each mini-batch is sharded over the mesh's
one axis, the parameters and the optimiser state stay replicated.
"""

from __future__ import annotations

import functools
import math
from dataclasses import dataclass

import jax
import jax.numpy as jnp
import numpy as np
import optax

from .models import METHODS, ModelSpec, make_apply, make_split, param_shapes

__all__ = ["Layout", "Plan", "Static", "apply_rows", "apply_spread", "bucket", "epoch", "features",
           "grid_arrays", "initial_state", "layout", "pad_rows", "seed_key"]


def _frozen(value):
    return tuple(value) if isinstance(value, list) else value


@dataclass(frozen=True)
class Static:
    """The part of a `ModelSpec` that decides the compiled program."""

    method: str
    n_in: int
    n_out: int
    settings: tuple
    classify: bool

    @classmethod
    def of(cls, model: ModelSpec) -> "Static":
        settings = tuple(sorted((k, _frozen(v)) for k, v in model.settings.items()))
        return cls(model.method, int(model.n_in), int(model.n_out), settings, bool(model.classify))

    def spec(self, lo, hi) -> ModelSpec:
        """The model's description with the input range `lo`, `hi` (arrays)."""
        return ModelSpec(self.method, self.n_in, self.n_out, dict(self.settings), lo, hi,
                         self.classify)


@dataclass(frozen=True)
class Plan:
    """How an epoch walks its rows: `batches` mini-batches of `batch` rows
    (the rows beyond the run's count are masked), on the model's
    parameter-free features (`split`) or on the inputs.

    Over several devices, `mesh` is the one-axis mesh the mini-batches are
    sharded over, and each mini-batch fills `slots` rows: `batch` rounded up
    to a multiple of the device count, the extra rows masked."""

    batch: int
    batches: int
    split: bool
    slots: int | None = None
    mesh: object = None
    quick: bool = False  # compiled with `QUICK` options (a run of little work)

    @property
    def width(self) -> int:
        """The rows of each mini-batch as computed (`batch` and the masked ones)."""
        return self.slots or self.batch


def bucket(n: int, least: int = 1) -> int:
    """The power of two at or above `n` (and `least`)."""
    return max(least, 1 << max(0, int(n) - 1).bit_length())


def grid_arrays(spec: ModelSpec) -> tuple[np.ndarray, np.ndarray]:
    return (np.asarray(spec.grid_lo, np.float32).reshape(-1),
            np.asarray(spec.grid_hi, np.float32).reshape(-1))


class Layout:
    """The parameters of a model as one flat float32 vector (names in sorted
    order, each array row-major), in NumPy and inside traced code."""

    def __init__(self, shapes: dict):
        self.names = sorted(shapes)
        self.shapes = [tuple(shapes[k].shape) for k in self.names]
        self.sizes = [math.prod(s) for s in self.shapes]
        self.cuts = np.cumsum(self.sizes)[:-1].tolist()

    def ravel(self, params: dict, xp=np):
        return xp.concatenate([xp.reshape(xp.asarray(params[k], dtype=xp.float32), (-1,))
                               for k in self.names])

    def unravel(self, flat, xp=np) -> dict:
        parts = xp.split(flat, self.cuts)
        return {k: xp.reshape(p, s) for k, p, s in zip(self.names, parts, self.shapes)}


@functools.lru_cache(maxsize=64)
def layout(static: Static) -> Layout:
    return Layout(param_shapes(static.spec([0.0] * static.n_in, [1.0] * static.n_in)))


def seed_key(seed: int):
    """The random key of `seed`, as ``jax.random.PRNGKey(seed)`` gives it,
    made without running a program for the common seeds."""
    if 0 <= seed < 1 << 31:
        return np.array([0, seed], dtype=np.uint32)
    return jax.random.PRNGKey(seed)


QUICK = {"xla_backend_optimization_level": 0}
"""Compiler options of the programs that run once in a run, and of the epoch
of a run of little work (`QUICK_WORK`): without XLA's backend optimisations a
program compiles three to four times faster and runs two to four times
slower, which a small training more than wins back."""

QUICK_WORK = 1 << 16
"""Most training rows times epochs of a run whose epoch is compiled with
`QUICK` options (60 rows for 300 epochs is 18,000)."""


@functools.partial(jax.jit, static_argnums=0, compiler_options=QUICK)
def initial_state(static: Static, lo, hi, key, learning_rate):
    """(flat initial parameters, optimiser state, shuffle key) in one program."""
    init_key, shuffle_key = jax.random.split(key)
    params = METHODS[static.method].init(static.spec(lo, hi), init_key)
    flat = layout(static).ravel(params, jnp)
    return flat, optax.adam(learning_rate).init(flat), shuffle_key


@functools.partial(jax.jit, static_argnums=0)
def apply_rows(static: Static, lo, hi, params, x):
    """The model's outputs for the rows `x` (model units)."""
    return make_apply(static.spec(lo, hi))(params, x)


@functools.partial(jax.jit, static_argnums=(0, 1))
def apply_spread(static: Static, mesh, lo, hi, params, x):
    """`apply_rows` with the rows `x` sharded over `mesh` and the outputs
    gathered onto every device (every process can read them)."""
    x = _spread(mesh, x, mesh.axis_names[0])
    return _spread(mesh, make_apply(static.spec(lo, hi))(params, x))


@functools.partial(jax.jit, static_argnums=0, compiler_options=QUICK)
def features(static: Static, lo, hi, x):
    """The parameter-free part of the model for the rows `x`."""
    return make_split(static.spec(lo, hi))[0](x)


def _sample_loss(classify: bool, pred, y):
    if classify:
        return optax.softmax_cross_entropy_with_integer_labels(pred, y)
    return jnp.mean((pred - y) ** 2, axis=1)


def _spread(mesh, value, *spec):
    """`value` laid out over `mesh` as `spec` says (a compiler constraint)."""
    from jax.sharding import NamedSharding, PartitionSpec

    sharding = NamedSharding(mesh, PartitionSpec(*spec))
    return jax.tree_util.tree_map(lambda v: jax.lax.with_sharding_constraint(v, sharding), value)


def _widened(batches, width: int):
    """Mini-batches (batches, batch, ...) widened to `width` rows by copies
    of each one's first row (real data, masked by the caller)."""
    extra = width - batches.shape[1]
    return jnp.concatenate([batches, jnp.repeat(batches[:, :1], extra, axis=1)], axis=1)


def epoch(static: Static, plan: Plan, lo, hi, flat, opt_state, learning_rate, key, ep, x, y, n,
          place=None):
    """One epoch of Adam over the first `n` rows of `x`, `y` (the others are
    padding): the rows in a random order (drawn from `key` and `ep`), then
    mini-batches of `plan.batch` rows, the last one holding what is left.
    Returns (parameters, optimiser state, mean loss over the rows).

    Over a mesh, `place` (a `devices.Placement`) first replicates the
    parameters, optimiser state and key that are not yet on every device."""
    if plan.mesh is not None and place is not None:
        flat, opt_state, key = place.replicated((flat, opt_state, key))
    run = _epoch_quick if plan.quick else _epoch
    return run(static, plan, lo, hi, flat, opt_state, learning_rate, key, ep, x, y, n)


def _epoch_body(static: Static, plan: Plan, lo, hi, flat, opt_state, learning_rate, key, ep, x, y, n):
    spec = static.spec(lo, hi)
    apply_features = make_split(spec)[1] if plan.split else make_apply(spec)
    unravel = functools.partial(layout(static).unravel, xp=jnp)
    optimizer = optax.adam(learning_rate)
    rows = plan.batches * plan.batch
    draw = jax.random.uniform(jax.random.fold_in(key, ep), (rows,))
    if x.shape[0] > rows:  # rows padded to a multiple of the device count: never drawn
        draw = jnp.concatenate([draw, jnp.full(x.shape[0] - rows, 2.0, draw.dtype)])
    order = jnp.argsort(jnp.where(jnp.arange(x.shape[0]) < n, draw, 2.0))  # real rows first
    if x.shape[0] > rows:
        order = order[:rows]
    xb = x[order].reshape(plan.batches, plan.batch, *x.shape[1:])
    yb = y[order].reshape(plan.batches, plan.batch, *y.shape[1:])
    if plan.width > plan.batch:
        xb, yb = _widened(xb, plan.width), _widened(yb, plan.width)
    if plan.mesh is not None:
        xb, yb = _spread(plan.mesh, (xb, yb), None, plan.mesh.axis_names[0])
    counts = jnp.clip(n - jnp.arange(plan.batches) * plan.batch, 0, plan.batch)

    def step(carry, batch_in):
        xi, yi, count = batch_in
        live = jnp.arange(plan.width) < count

        def train(carry):
            params, state = carry

            def loss_fn(p):
                losses = _sample_loss(static.classify, apply_features(unravel(p), xi), yi)
                return jnp.sum(jnp.where(live, losses, 0.0)) / count

            loss, grads = jax.value_and_grad(loss_fn)(params)
            updates, state = optimizer.update(grads, state, params)
            return (optax.apply_updates(params, updates), state), loss * count

        return jax.lax.cond(count > 0, train, lambda c: (c, jnp.float32(0.0)), carry)

    (flat, opt_state), totals = jax.lax.scan(step, (flat, opt_state), (xb, yb, counts))
    if plan.mesh is not None:
        flat, opt_state = _spread(plan.mesh, (flat, opt_state))
    return flat, opt_state, jnp.sum(totals) / n


_epoch = jax.jit(_epoch_body, static_argnums=(0, 1))
_epoch_quick = jax.jit(_epoch_body, static_argnums=(0, 1), compiler_options=QUICK)


def pad_rows(a: np.ndarray, rows: int) -> np.ndarray:
    """`a` with its last row repeated up to `rows` rows."""
    a = np.asarray(a)
    if a.shape[0] == rows:
        return a
    return np.pad(a, [(0, rows - a.shape[0])] + [(0, 0)] * (a.ndim - 1), mode="edge")
