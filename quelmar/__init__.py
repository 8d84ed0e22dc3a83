"""quelmar: compiled tool functions for AI assistants."""

# The compiled tool modules exist only in the installed package. When this
# source tree comes first on sys.path (a script or `python -c` run from the
# repository), the installed copy's directories join the package path, so
# that `import quelmar.tools.plusor` still finds them.
from pkgutil import extend_path

__path__ = extend_path(__path__, __name__)
