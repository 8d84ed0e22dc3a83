"""The training tool's parameter table, checked against the documented one: where each
given value lands in the caller's dictionary, in which order, and which line a failed
conversion names."""
import pytest

from helpers import last_entry

SOURCE = "quelmar/tools/fitrun.py"
QUALNAME = "quelmar.tools.fitrun.execute_fitrun"

# (parameter, section it lands in or None, a valid value, conversion line or None), in signature order.
SIGNATURE = [
    ("input_col", "DATA_PARAM", [0], None),
    ("output_col", "DATA_PARAM", [1], None),
    ("data_train", "DATA_PARAM", "train.csv", None),
    ("data_val", None, "val.csv", None),
    ("data_test", None, "test.csv", None),
    ("interp_method", "MODEL_PARAM", "linear", None),
    ("nmode", "MODEL_PARAM", 3, 142),
    ("nseg", "MODEL_PARAM", 4, 143),
    ("s_patch", "MODEL_PARAM", 2, 144),
    ("alpha_dil", "MODEL_PARAM", 1.5, 145),
    ("p_order", "MODEL_PARAM", 2, 146),
    ("radial_basis", "MODEL_PARAM", "cubic", None),
    ("INNactivation", "MODEL_PARAM", "polynomial", None),
    ("sigma_factor", "MODEL_PARAM", 0.5, 149),
    ("nlayers", "MODEL_PARAM", 2, 150),
    ("nneurons", "MODEL_PARAM", 8, 151),
    ("activation", "MODEL_PARAM", "relu", None),
    ("hidden_dim", "MODEL_PARAM", 16, 153),
    ("grid_size", "MODEL_PARAM", 5, 154),
    ("spline_order", "MODEL_PARAM", 3, 155),
    ("num_layers", "MODEL_PARAM", 2, 156),
    ("modes", "MODEL_PARAM", 4, 157),
    ("split_ratio", "DATA_PARAM", [0.7, 0.15, 0.15], None),
    ("bool_data_generation", "DATA_PARAM", False, None),
    ("bool_normalize", "DATA_PARAM", True, None),
    ("bool_shuffle", "DATA_PARAM", True, None),
    ("num_epochs_INN", "TRAIN_PARAM", 10, 162),
    ("num_epochs_MLP", "TRAIN_PARAM", 11, 163),
    ("num_epochs_KAN", "TRAIN_PARAM", 12, 164),
    ("num_epochs_FNO", "TRAIN_PARAM", 13, 165),
    ("batch_size", "TRAIN_PARAM", 32, 166),
    ("learning_rate", "TRAIN_PARAM", 0.01, 167),
    ("validation_period", "TRAIN_PARAM", 5, 168),
    ("bool_denormalize", "TRAIN_PARAM", False, None),
    ("patience", "TRAIN_PARAM", 7, 170),
    ("stopping_loss_train", "TRAIN_PARAM", 1e-4, 171),
    ("bool_save_model", "TRAIN_PARAM", True, None),
    ("bool_plot", "PLOT", False, None),
    ("plot_in_axis", "PLOT", [0], None),
    ("plot_out_axis", "PLOT", [1], None),
    ("plot_params_number", "PLOT", 2, 176),
    ("run_type", None, "regression", None),
    ("gpu_idx", None, 0, 179),
]
SECTION_ORDER = ["MODEL_PARAM", "DATA_PARAM", "TRAIN_PARAM", "PLOT"]


class Stop(Exception):
    pass


def caller_dict(fitrun, monkeypatch, *args, **kwargs):
    """The caller's dictionary that execute_fitrun hands to _deep_update."""
    seen = []

    def record(config, user):
        seen.append(user)
        raise Stop

    monkeypatch.setattr(fitrun, "_deep_update", record)
    with pytest.raises(Stop):
        fitrun.execute_fitrun(*args, **kwargs)
    return seen[0]


def expected_dict(given):
    """The caller's dictionary as documented, for the parameters in `given`."""
    out = {}
    for section in SECTION_ORDER:
        keys = {}
        for name, where, value, _ in SIGNATURE:
            if where == section and name in given:
                keys[name] = value
            if name == "data_train" and section == "DATA_PARAM" and "data_train" in given:
                keys["data_filenames"] = [given[n] for n in ("data_train", "data_val", "data_test") if n in given]
        if keys:
            out[section] = keys
    return out


def as_ordered(d):
    """Nested dictionaries as lists of pairs, so that comparing them compares the order too."""
    return [(k, as_ordered(v) if isinstance(v, dict) else v) for k, v in d.items()]


@pytest.mark.parametrize("how", ["positional", "keyword"])
@pytest.mark.parametrize("omit", [(), ("data_val",), ("data_train",), ("interp_method", "bool_plot", "modes")])
def test_each_value_lands_in_its_section_in_signature_order(fitrun, monkeypatch, how, omit):
    given = {name: value for name, _, value, _ in SIGNATURE if name not in omit}
    if how == "positional":
        args = [given.get(name) for name, _, _, _ in SIGNATURE]
        user = caller_dict(fitrun, monkeypatch, *args)
    else:
        user = caller_dict(fitrun, monkeypatch, **dict(reversed(list(given.items()))))
    assert as_ordered(user) == as_ordered(expected_dict(given))


COERCED = [(name, line, type(value).__name__) for name, _, value, line in SIGNATURE if line]
CONVERSION_CASES = (
    [(name, line, kind, "x", TypeError) for name, line, kind in COERCED]
    + [(name, line, kind, float("nan"), ValueError) for name, line, kind in COERCED if kind == "int"]
    + [("gpu_idx", 179, "int", None, TypeError)]  # the one coerced parameter that refuses None
)


@pytest.mark.parametrize("name, line, kind, bad, exc", CONVERSION_CASES)
def test_conversion_errors_name_the_parameter_line(fitrun, name, line, kind, bad, exc):
    with pytest.raises(exc) as info:
        fitrun.execute_fitrun(**{name: bad})
    if exc is TypeError:
        assert str(info.value) == f"Argument '{name}' has incorrect type (expected {kind}, got {type(bad).__name__})"
    assert last_entry(info.value) == (SOURCE, QUALNAME, line)


@pytest.mark.parametrize("name", [name for name, _, value, line in SIGNATURE if not line and name != "run_type"])
def test_exact_type_refusals_add_no_entry(fitrun, name):
    with pytest.raises(TypeError) as info:
        fitrun.execute_fitrun(**{name: 1.5})
    assert str(info.value).startswith(f"Argument '{name}' has incorrect type (expected ")
    assert last_entry(info.value)[1] != QUALNAME
