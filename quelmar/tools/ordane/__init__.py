"""ordane: the training pipeline called by the ``fitrun`` tool.

The entry points live in `quelmar.tools.ordane.main` (``train_model``,
``load_model``); this package module imports nothing heavy.
"""


def predict(model_file, data):
    """Predict with a saved model; see `quelmar.tools.ordane.model_io.predict`."""
    from .model_io import predict as _predict

    return _predict(model_file, data)
