// quelmar.tools.plusor: single-precision addition with JAX.
#include "arith.hpp"

namespace {

const arith::Tool kTool = {
    "quelmar.tools.plusor",
    "plusor",
    "JAX-based addition tool - Cython-compiled module.",
    "quelmar/tools/plusor.py",
    "execute_plusor",
    "quelmar.tools.plusor.execute_plusor",
    ARITH_DOCSTRING("Perform addition using JAX.", "", "", "Sum", ""),
    PyNumber_Add,
    0,
};

ARITH_MODULE(plusor, kTool)

}  // namespace
