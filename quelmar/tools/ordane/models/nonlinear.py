r"""``nonlinear``: CP interpolation with convolution-patch 1-D factors.

The CP structure of `cp` (``y = sum_m prod_d f_{m,d}(x_d)``) where each 1-D
factor is a convolution-patch interpolant of its node values (the
C-HiDeNN construction).  On the node grid (positions t in [0, nseg], node
spacing 1, nodes k = 0 .. nseg, values u_k):

Patches.  Node i has a patch of n = 2 s + 1 consecutive nodes
(s = ``s_patch``), ``a_i, ..., a_i + n - 1`` with
``a_i = clip(i - s, 0, nseg + 1 - n)``: centred on i, shifted inwards at the
ends of the grid so that every patch has n nodes.

Patch weights.  Over a patch, with local coordinate z = t - a_i (patch nodes
at z_j = j), the weights w^i_j(t), j < n, solve the radial-basis
interpolation system augmented with polynomials::

    [ R    P ] [ w^i ]   [ r(z)   ]     R_jl   = phi(|z_j - z_l| / a)
    [ P^T  0 ] [ l   ] = [ p(z)   ]     r_j(z) = phi(|z - z_j| / a)
                                         P_jq   = p_q(z_j),  p_q(z) = ((z - s) / s)^q,
                                         q = 0 .. p_order

with the kernel phi chosen by ``radial_basis`` and its width
``a = alpha_dil * s_patch`` node spacings (the dilation).  The second row
forces ``sum_j w^i_j(t) p_q(z_j) = p_q(z)``: the patch weights reproduce
every polynomial of degree <= ``p_order`` exactly; the first makes the
patch interpolant pass through its node values.

The factor.  In the segment e = floor(t) (e <= nseg - 1), with
xi = t - e, the linear shape functions N_e = 1 - xi and N_{e+1} = xi blend
the patches of the segment's two nodes::

    f(t) = act( N_e(t) sum_j w^e_j(t) u_{a_e + j}
              + N_{e+1}(t) sum_j w^{e+1}_j(t) u_{a_{e+1} + j} )

Because N_e + N_{e+1} = 1 and both patch sums reproduce polynomials up to
degree ``p_order``, so does f (with act the identity); f equals u_i at node i
and is continuous, and smoother than the piecewise-linear factor since each
segment draws on 2 s + 2 nodes.  ``act`` is ``INNactivation``, applied to the
value of each 1-D factor before the product over inputs; the default
"identity" keeps the polynomial reproduction.

With an activation, each mode also has a learnt weight and each activated
factor is divided by act(1) (see `cp.make_split`)::

    y_o = sum_m scales_om prod_d act(f_{o,m,d}(x_d)) / act(1)

A product of activated factors cannot start at a scale independent of the
number of inputs n when every factor is below one (tanh, sigmoid), nor cancel
in pairs through an activation that is not odd; the weights carry the modes'
scale and sign instead.  From 4 inputs on (`cp.PAIRED_FROM`), every node
value starts near 1 (each factor counts about 1) and the weights start at
+1, -1, +1, ... (`cp.mode_signs`), so the output starts small and its
gradients neither vanish nor explode as n grows.  Below 4 inputs the start
is that of `cp.init` with weights act(1)^n, the model without weights.
Models saved without weights are read with weights act(1)^n, which is the
same model.

Kernels phi(rho), rho >= 0: gaussian exp(-rho^2); multiquadric
sqrt(1 + rho^2); inverse_multiquadric 1 / sqrt(1 + rho^2); cubic_spline the
compact cubic spline (2/3 - 4 rho^2 + 4 rho^3 for rho <= 1/2,
4/3 (1 - rho)^3 for 1/2 < rho <= 1, 0 beyond).

The patch system is the same for every patch (uniform grid, patches of equal
size), so it is solved once, in double precision, when the model is built:
``w^i(t) = A r(z) + B p(z)`` with A, B blocks of the inverse system matrix.
"""

from __future__ import annotations

import functools
import math
from dataclasses import dataclass

import jax.numpy as jnp
import numpy as np

from . import cp
from .base import ACTIVATIONS, setting

NAME = "nonlinear"
FAMILY = "INN"
REPRODUCES_DEGREE = "p_order"


def _cubic_spline(rho, xp):
    near = 2.0 / 3.0 - 4.0 * rho ** 2 + 4.0 * rho ** 3
    far = 4.0 / 3.0 * (1.0 - rho) ** 3
    return xp.where(rho <= 0.5, near, xp.where(rho <= 1.0, far, 0.0))


# phi(rho, xp) with xp the array module (numpy for the patch system, jax.numpy
# in the model).
KERNELS = {
    "gaussian": lambda rho, xp: xp.exp(-rho ** 2),
    "multiquadric": lambda rho, xp: xp.sqrt(1.0 + rho ** 2),
    "inverse_multiquadric": lambda rho, xp: 1.0 / xp.sqrt(1.0 + rho ** 2),
    "cubic_spline": _cubic_spline,
}
FACTOR_ACTIVATIONS = {"identity": None, **ACTIVATIONS}


@dataclass(frozen=True)
class Settings(cp.CPSettings):
    s_patch: int = setting(2, "patch size: nodes on each side of a node in its patch "
                              "(at most nseg/2)", low=1, high=50)
    alpha_dil: float = setting(1.0, "dilation: kernel width in multiples of s_patch node "
                                    "spacings", low=0.0, high=100.0, low_open=True)
    p_order: int = setting(2, "polynomial order reproduced exactly (at most 2*s_patch)",
                           low=0, high=100)
    radial_basis: str = setting("gaussian", "radial basis kernel of the patch interpolation",
                                choices=tuple(KERNELS))
    INNactivation: str = setting("identity", "activation applied to each 1-D factor",
                                 choices=tuple(FACTOR_ACTIVATIONS))


def check(settings: Settings, n_in: int) -> None:
    """A patch of 2*s_patch + 1 nodes must fit the grid and hold p_order + 1 terms."""
    if 2 * settings.s_patch > settings.nseg:
        raise ValueError(f"MODEL_PARAM.s_patch must be from 1 to nseg/2 = "
                         f"{settings.nseg // 2} (a patch of 2*s_patch + 1 nodes must fit the "
                         f"nseg + 1 = {settings.nseg + 1} nodes), got {settings.s_patch}")
    if settings.p_order > 2 * settings.s_patch:
        raise ValueError(f"MODEL_PARAM.p_order must be from 0 to 2*s_patch = "
                         f"{2 * settings.s_patch} (a patch has 2*s_patch + 1 nodes), got "
                         f"{settings.p_order}")
    patch_system(settings.s_patch, settings.p_order, settings.alpha_dil,
                 settings.radial_basis)


@functools.lru_cache(maxsize=64)
def patch_system(s_patch: int, p_order: int, alpha_dil: float, radial_basis: str):
    """The blocks (A, B) of the inverse patch system (float64), see the module doc."""
    n, m = 2 * s_patch + 1, p_order + 1
    z = np.arange(n, dtype=np.float64)
    kernel = KERNELS[radial_basis]
    width = alpha_dil * s_patch
    system = np.zeros((n + m, n + m))
    system[:n, :n] = kernel(np.abs(z[:, None] - z[None, :]) / width, np)
    poly = ((z[:, None] - s_patch) / s_patch) ** np.arange(m)
    system[:n, n:] = poly
    system[n:, :n] = poly.T
    try:
        inverse = np.linalg.inv(system)
    except np.linalg.LinAlgError:
        inverse = None
    # Weights of size 1e5 would lose about 1e-2 to single-precision rounding.
    if inverse is None or not np.isfinite(inverse).all() or np.abs(inverse[:n]).max() > 1e5:
        raise ValueError(f"the patch interpolation with MODEL_PARAM.radial_basis "
                         f"{radial_basis!r}, alpha_dil {alpha_dil:g}, s_patch {s_patch} and "
                         f"p_order {p_order} is (nearly) singular; choose a smaller "
                         f"MODEL_PARAM.alpha_dil (e.g. from 0.5 to 1)")
    return inverse[:n, :n], inverse[:n, n:]


def patch_basis(settings: dict):
    """``basis(t)``: grid positions (N, d) -> node weights (N, d, nseg + 1)."""
    s, p, nseg = settings["s_patch"], settings["p_order"], settings["nseg"]
    a_block, b_block = patch_system(s, p, float(settings["alpha_dil"]),
                                    settings["radial_basis"])
    n = 2 * s + 1
    width = float(settings["alpha_dil"]) * s
    kernel = KERNELS[settings["radial_basis"]]
    nodes = jnp.arange(nseg + 1)

    def combine(block, terms):
        """block (n, len(terms)) applied to `terms` as sums of scaled arrays:
        with a handful of terms this stays one elementwise loop, where a
        matrix product of that odd shape would be a slow operation of its own."""
        return [sum(float(block[j, i]) * term for i, term in enumerate(terms))
                for j in range(n)]

    def basis(t):
        e = jnp.clip(jnp.floor(t), 0, nseg - 1).astype(jnp.int32)
        xi = t - e
        # The patches of the segment's two nodes side by side: (N, d, 2).
        starts = jnp.clip(jnp.stack([e, e + 1], -1) - s, 0, nseg + 1 - n)
        z = t[..., None] - starts
        r = [kernel(jnp.abs(z - j) / width, jnp) for j in range(n)]
        u = (z - s) / s
        poly = [jnp.ones_like(u)]
        for _ in range(p):
            poly.append(poly[-1] * u)  # u^q by products: no 0 * inf in gradients at u = 0
        shape = jnp.stack([1.0 - xi, xi], -1)
        w = [(a + b) * shape for a, b in zip(combine(a_block, r), combine(b_block, poly))]
        # Spread over all nodes (a chain of selects; cheaper than a gather).
        idx = nodes - starts[..., None]                                    # (N, d, 2, K)
        out = jnp.zeros(idx.shape, jnp.float32)
        for j in range(n):
            out = jnp.where(idx == j, w[j][..., None], out)
        return out.sum(axis=2)

    return basis


_SIGMOID_1 = 1.0 / (1.0 + math.exp(-1.0))
UNITS = {"relu": 1.0, "leaky_relu": 1.0, "elu": 1.0, "tanh": math.tanh(1.0),
         "sigmoid": _SIGMOID_1, "silu": _SIGMOID_1, "softplus": math.log1p(math.e),
         # jax.nn.gelu's tanh form at 1
         "gelu": 0.5 * (1.0 + math.tanh(math.sqrt(2.0 / math.pi) * 1.044715))}
"""act(1) of each factor activation (plain numbers: models are built inside
traced code)."""


def _unit(settings) -> float | None:
    """act(1) of the factor activation, or None for the identity."""
    return UNITS.get(settings["INNactivation"])


def init(spec, key) -> dict:
    unit = _unit(spec.settings)
    if unit is None:
        return cp.init(spec, key)
    nmode, n = spec.settings["nmode"], spec.n_in
    if n < cp.PAIRED_FROM or nmode < 2:
        return {**cp.init(spec, key), "scales": jnp.full((spec.n_out, nmode), unit ** n,
                                                         jnp.float32)}
    scales = jnp.broadcast_to(cp.mode_signs(nmode), (spec.n_out, nmode)).astype(jnp.float32)
    return {**cp.init(spec, key, signed=False), "scales": scales}


def upgrade_params(spec, params: dict) -> dict:
    """Parameters saved before the modes had weights: weights act(1)^n_in,
    which keep the saved model's outputs."""
    unit = _unit(spec.settings)
    if unit is None or "scales" in params or "values" not in params:
        return params
    return {**params, "scales": np.full((spec.n_out, spec.settings["nmode"]), unit ** spec.n_in,
                                        np.float32)}


def make_split(spec):
    return cp.make_split(spec, patch_basis(spec.settings),
                         FACTOR_ACTIVATIONS[spec.settings["INNactivation"]],
                         _unit(spec.settings) or 1.0)


def make_apply(spec):
    return cp.make_apply(make_split(spec))
