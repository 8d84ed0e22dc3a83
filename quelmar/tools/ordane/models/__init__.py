"""The model registry: one module per method.

Each method module gives

* ``NAME`` (the ``interp_method`` value) and ``FAMILY`` (its epochs setting
  is ``TRAIN_PARAM.num_epochs_<FAMILY>``);
* ``Settings``: a frozen dataclass of its MODEL_PARAM settings, each field
  made with `base.setting` (its default, meaning and allowed values);
* ``check(settings, n_in)``: the constraints between settings (ValueError);
* ``init(spec, key)``: the initial parameters, a flat dict of float32 arrays
  (saved as-is into the ``.npz`` file);
* ``make_apply(spec)``: ``apply(params, x) -> (N, n_out)`` for inputs in the
  model's units;
* optionally ``make_split(spec)``: ``(features, apply_features)`` with
  ``apply(params, x) == apply_features(params, features(x))`` where
  ``features`` does not depend on the parameters (training computes it once);
* ``REPRODUCES_DEGREE``: the polynomial degree each 1-D factor reproduces
  exactly (or the name of the setting that gives it), None for no promise;
* optionally ``describe(spec)``: a line for the log about the model's shape
  (it may raise ValueError for settings the data cannot have);
* optionally ``grid_function(spec)``: True when the inputs are one function
  on a grid and the outputs one function on the same grid: the data are
  then scaled by one shared scale for all inputs (and one for all outputs),
  and the model predicts on grids of other sizes.

A `base.ModelSpec` (method name, sizes, settings as a dict, input range) is
what a saved model stores besides its parameters; `make_apply` rebuilds the
model from it.  Nothing outside this package names a method.
"""

from __future__ import annotations

import dataclasses
import math
import textwrap

from . import fno, gaussian, kan, linear, mlp, nonlinear
from .base import ModelSpec, allowed_text, check_value

METHODS = {m.NAME: m for m in (linear, nonlinear, gaussian, mlp, kan, fno)}

__all__ = ["MAX_PARAMETERS", "METHODS", "ModelSpec", "adapt", "adapt_due", "check_size",
           "describe_model", "describe_settings", "grid_function", "has_split", "init_params", "make_apply",
           "make_split", "method_settings", "param_shapes", "setting_owners", "upgrade_params"]


def describe_model(spec: ModelSpec) -> str | None:
    """The method's log line about this model, or None."""
    module = METHODS[spec.method]
    return module.describe(spec) if hasattr(module, "describe") else None


def grid_function(spec: ModelSpec) -> bool:
    """The model maps a function on a grid to a function on the same grid
    (shared scaling, any grid size)."""
    module = METHODS[spec.method]
    return bool(module.grid_function(spec)) if hasattr(module, "grid_function") else False

MAX_PARAMETERS = 10_000_000
"""Most parameters a model may have (40 MB of float32 values; training keeps about four
times that, plus the activations). A larger model is refused before anything is allocated."""


def param_shapes(spec: ModelSpec) -> dict:
    """The shape and dtype of each of `spec`'s parameters, found without allocating them."""
    import jax

    return jax.eval_shape(lambda: METHODS[spec.method].init(spec, jax.random.PRNGKey(0)))


def check_size(model: ModelSpec) -> dict:
    """`param_shapes(model)`; ValueError when the model has more than `MAX_PARAMETERS` parameters."""
    shapes = param_shapes(model)
    count = sum(math.prod(s.shape) for s in shapes.values())
    if count > MAX_PARAMETERS:
        settings = ", ".join(f"{k}={v}" for k, v in model.settings.items()
                             if isinstance(v, int) and not isinstance(v, bool))
        raise ValueError(f"a {model.method} model with {model.n_in} inputs, {model.n_out} outputs and "
                         f"{settings or 'these settings'} has {count:,} parameters, more than the "
                         f"limit of {MAX_PARAMETERS:,}: choose smaller settings")
    return shapes


def init_params(spec: ModelSpec, key) -> dict:
    """The initial parameters (refused first by `check_size` when there are too many)."""
    check_size(spec)
    return METHODS[spec.method].init(spec, key)


def make_apply(spec: ModelSpec):
    """``apply(params, x) -> (N, n_out)`` for inputs in the model's units."""
    return METHODS[spec.method].make_apply(spec)


def has_split(spec: ModelSpec) -> bool:
    """The method has a parameter-free part worth computing once (`make_split`)."""
    return hasattr(METHODS[spec.method], "make_split")


def make_split(spec: ModelSpec):
    """``(features, apply_features)``: ``features(x)`` the part of the model that
    does not depend on the parameters (the identity for methods without one),
    ``apply_features(params, features(x)) -> (N, n_out)``."""
    module = METHODS[spec.method]
    if hasattr(module, "make_split"):
        return module.make_split(spec)
    return (lambda x: x), module.make_apply(spec)


def method_settings(method: str, section: dict, n_in: int):
    """The checked settings dataclass of `method` from the MODEL_PARAM `section`.

    A missing or null value takes the field's default; a bad one raises
    TypeError/ValueError naming ``MODEL_PARAM.<key>`` and the allowed values.
    """
    module = METHODS[method]
    values = {}
    for f in dataclasses.fields(module.Settings):
        value = section.get(f.name)
        values[f.name] = (f.default if value is None
                          else check_value(f"MODEL_PARAM.{f.name}", value, f))
    settings = module.Settings(**values)
    module.check(settings, n_in)
    return settings


def setting_owners() -> dict[str, list[str]]:
    """MODEL_PARAM key -> the methods that use it, in registry order."""
    owners: dict[str, list[str]] = {}
    for name, module in METHODS.items():
        for f in dataclasses.fields(module.Settings):
            owners.setdefault(f.name, []).append(name)
    return owners


def setting_fields() -> dict[str, dataclasses.Field]:
    """MODEL_PARAM key -> its dataclass field (one per key)."""
    out: dict[str, dataclasses.Field] = {}
    for module in METHODS.values():
        for f in dataclasses.fields(module.Settings):
            out.setdefault(f.name, f)
    return out


def describe_settings() -> str:
    """The MODEL_PARAM settings of all methods as documentation lines."""
    lines = []
    owners = setting_owners()
    for key, f in setting_fields().items():
        kind = type(f.default)
        text = (f"{', '.join(owners[key])}: {f.metadata['meaning']}; "
                f"{allowed_text(f.metadata, kind)}.  Default {f.default!r}.")
        out = textwrap.wrap(text, 52)
        lines.append(f"  {key:<22}{out[0]}")
        lines.extend(f"  {'':<22}{rest}" for rest in out[1:])
    return "\n".join(lines)


def adapt_due(spec: ModelSpec, epoch: int, num_epochs: int) -> bool:
    """Whether a method whose model follows its data during training (KAN's
    grids) adapts it after `epoch` (0: at initialisation) of `num_epochs`."""
    module = METHODS[spec.method]
    return hasattr(module, "adapt") and module.grid_update_due(epoch, num_epochs)


def adapt(spec: ModelSpec, params: dict, x) -> dict:
    """The parameters adapted to the training inputs `x` (model units)."""
    return METHODS[spec.method].adapt(spec, params, x)


def upgrade_params(spec: ModelSpec, params: dict) -> dict:
    """Saved parameters of an earlier layout of the method, completed to today's."""
    module = METHODS[spec.method]
    return module.upgrade_params(spec, params) if hasattr(module, "upgrade_params") else params
