"""The tool modules of quelmar.

Each tool lives in its own compiled module and is imported on its own, by its
dotted name (``quelmar.tools.plusor`` and so on); this package imports none of
them, so importing it never pulls in JAX, pandas or the training pipeline.
"""

# See quelmar/__init__.py: lets a source checkout first on sys.path reach the
# installed compiled modules.
from pkgutil import extend_path

__path__ = extend_path(__path__, __name__)
