"""The tool modules of quelmar.

Each tool lives in its own compiled module and is imported on its own, by its
dotted name (``quelmar.tools.plusor`` and so on); this package imports none of
them, so importing it never pulls in JAX, pandas or the training pipeline.
"""
