# cython: language_level=3
"""The same `def` signatures and bodies as the tool modules, for the binding
comparison in bench/cython_peer.py: the training tool's two helpers, the CSV
tool's refusal and the addition tool (with `jnp` set by the benchmark)."""
from typing import Optional

jnp = None  # set by the benchmark (a stub with Python functions)

REQUIRED_FIELDS = {"DATA_PARAM": ["input_col", "output_col", "data_train"]}


def _validate_required_fields(user_config: dict) -> list:
    """
    Check if all required fields are provided.
    """
    missing = []
    for section, fields in REQUIRED_FIELDS.items():
        if section not in user_config:
            for field in fields:
                missing.append(f"{section}.{field}")
        else:
            for field in fields:
                if field not in user_config[section]:
                    missing.append(f"{section}.{field}")
    return missing


def _deep_update(base: dict, updates: dict) -> dict:
    """
    Recursively update a nested dictionary.
    """
    result = base.copy()
    for key, value in updates.items():
        if key in result and isinstance(result[key], dict) and isinstance(value, dict):
            result[key] = _deep_update(result[key], value)
        else:
            result[key] = value
    return result


def execute_tabextent(file_path: Optional[str] = None, csv_content: Optional[str] = None) -> dict:
    if file_path is None and csv_content is None:
        raise ValueError("Either 'file_path' or 'csv_content' must be provided")
    if file_path is not None and csv_content is not None:
        raise ValueError("Provide only one of 'file_path' or 'csv_content', not both")
    return {}


def execute_plusor(a: float, b: float) -> float:
    a_arr = jnp.array(a, dtype=jnp.float32)
    b_arr = jnp.array(b, dtype=jnp.float32)
    result = a_arr + b_arr
    if jnp.isnan(result).item():
        raise ValueError("Result is NaN (Not a Number)")
    if jnp.isinf(result).item():
        raise ValueError("Result is infinite")
    return float(result)
