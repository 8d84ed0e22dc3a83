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
  exactly (or the name of the setting that gives it), None for no promise.

A `base.ModelSpec` (method name, sizes, settings as a dict, input range) is
what a saved model stores besides its parameters; `make_apply` rebuilds the
model from it.  Nothing outside this package names a method.
"""

from __future__ import annotations

import dataclasses
import textwrap

from . import fno, gaussian, kan, linear, mlp, nonlinear
from .base import ModelSpec, allowed_text, check_value

METHODS = {m.NAME: m for m in (linear, nonlinear, gaussian, mlp, kan, fno)}

__all__ = ["METHODS", "ModelSpec", "adapt", "adapt_due", "describe_settings", "init_params", "make_apply",
           "make_split", "upgrade_params",
           "method_settings",
           "setting_owners"]


def init_params(spec: ModelSpec, key) -> dict:
    return METHODS[spec.method].init(spec, key)


def make_apply(spec: ModelSpec):
    """``apply(params, x) -> (N, n_out)`` for inputs in the model's units."""
    return METHODS[spec.method].make_apply(spec)


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
