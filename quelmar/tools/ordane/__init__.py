"""ordane: the training pipeline called by the ``fitrun`` tool.

The entry points live in `quelmar.tools.ordane.main` (``train_model``,
``load_model``); this package module imports nothing heavy.
"""
